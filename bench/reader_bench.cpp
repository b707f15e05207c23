// The reader alone, without Python: how fast read_plot_file turns a plot
// file into columns of binary32, in MB/s of file and ns per value. Shows
// where the time of a call goes when set beside bench/run.py's timings.
// With a buffer size after the rounds, it reads dunvel's rows instead, through
// a buffer of that many bytes. In place of the width, "read" times only the
// read() calls through such a buffer (8 KiB without one), and "lines" the
// lines found as the reader finds them, nothing parsed: the part of the
// reader's time that faster number parsing cannot take away. "names=I,J,..."
// (header places), "steps=N" (every Nth step) and "time=T0:T1" read
// dunvel's rows of only those, the width found from the file.
//
//   bash bench/reader_bench.sh FILE WIDTH|read|lines|names=..|steps=N|time=T0:T1 [ROUNDS [BUFFER_BYTES]]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "reader/failure.hpp"
#include "reader/file_source.hpp"
#include "reader/line_source.hpp"
#include "reader/parallel_rows.hpp"
#include "reader/plot_file.hpp"
#include "reader/plot_rows.hpp"

namespace {

// Bytes taken by plain read() calls; what the kernel's copy costs alone.
std::size_t read_only(const std::string& path, std::size_t buffer_size) {
    int fd = -1;
    if (reader::open_read_only(path, fd)) throw reader::ReaderFailure("cannot open " + path);
    std::vector<char> buffer(buffer_size);
    std::size_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer_size)) > 0;) total += static_cast<std::size_t>(n);
    ::close(fd);
    return total;
}

std::size_t lines_only(const std::string& path, std::size_t buffer_size) {
    int fd = -1;
    if (reader::open_read_only(path, fd)) throw reader::ReaderFailure("cannot open " + path);
    reader::FileSource file(fd);
    reader::LineSource source(file, buffer_size);
    std::size_t lines = 0;
    for (;;) {
        switch (source.read_next_line()) {
            case reader::LineSource::Status::line: ++lines; continue;
            case reader::LineSource::Status::end_of_file: return lines;
            case reader::LineSource::Status::error: throw reader::ReaderFailure("read failed");
        }
    }
}

// The selection that a mode names; false where the mode is none.
bool selection_of(const std::string& mode, reader::Selection& selection) {
    const std::size_t equals = mode.find('=');
    if (equals == std::string::npos) return false;
    const std::string kind = mode.substr(0, equals), value = mode.substr(equals + 1);
    if (kind == "names") {
        std::vector<std::uint32_t> parameters;
        for (std::size_t at = 0; at < value.size();) {
            std::size_t used = 0;
            parameters.push_back(static_cast<std::uint32_t>(std::stoul(value.substr(at), &used)));
            at += used + 1;
        }
        selection.parameters = std::move(parameters);
    } else if (kind == "steps") {
        selection.stride = std::stoull(value);
    } else if (kind == "threads") {
        return false;
    } else if (kind == "time") {
        const std::size_t colon = value.find(':');
        selection.earliest = std::stod(value.substr(0, colon));
        selection.latest = std::stod(value.substr(colon + 1));
    } else {
        throw std::invalid_argument("unknown mode " + mode);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s FILE WIDTH|read|lines|names=I,J,..|steps=N|time=T0:T1 [ROUNDS [BUFFER_BYTES]]\n",
                     argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const std::string mode = argv[2];
    const bool reads_only = mode == "read", finds_lines_only = mode == "lines";
    reader::Selection selection;
    const bool selects = selection_of(mode, selection);
    const unsigned threads = mode.starts_with("threads=") ? static_cast<unsigned>(std::stoul(mode.substr(8))) : 0;
    const auto width = reads_only || finds_lines_only || selects || threads
                           ? 0
                           : static_cast<std::uint32_t>(std::stoul(mode));
    const int rounds = argc > 3 ? std::stoi(argv[3]) : 7;
    const std::size_t rows_buffer = argc > 4 ? std::stoul(argv[4]) : selects || threads ? 64 * 1024 : 0;
    const std::size_t buffer_size = rows_buffer != 0 ? rows_buffer : reader::LineSource::default_buffer_size;
    struct stat status{};
    if (stat(path.c_str(), &status) != 0) {
        std::perror(path.c_str());
        return 2;
    }
    std::vector<double> seconds;
    std::size_t values = 0;
    try {
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            if (reads_only || finds_lines_only) {
                // Counted in bytes and lines here, not values.
                values = reads_only ? read_only(path, buffer_size) : lines_only(path, buffer_size);
                seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                continue;
            }
            if (rows_buffer != 0) {
                reader::RowsOptions options;
                options.width = width;
                options.detect_width = selects || threads;
                options.buffer_size = rows_buffer;
                options.selection = selection;
                reader::PlotRows rows = threads ? reader::read_plot_rows_threaded(path, options, threads, {})
                                                : reader::read_plot_rows(path, options);
                seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                values = rows.values.size();
                continue;
            }
            const reader::Columns columns = reader::read_plot_file(path, width);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            values = 0;
            for (const auto& column : columns) values += column.size();
        }
    } catch (const reader::ReaderFailure& failure) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
        return 1;
    }
    std::sort(seconds.begin(), seconds.end());
    const double best = seconds.front(), median = seconds[seconds.size() / 2];
    const double megabytes = static_cast<double>(status.st_size) / 1e6;
    const char* unit = reads_only ? "byte" : finds_lines_only ? "line" : "value";
    std::printf("%s: %.1f MB, %zu %ss; best %.1f ms (%.0f MB/s, %.1f ns/%s), median %.1f ms (%.0f MB/s)\n",
                path.c_str(), megabytes, values, unit, best * 1e3, megabytes / best,
                best * 1e9 / static_cast<double>(values), unit, median * 1e3, megabytes / median);
}
