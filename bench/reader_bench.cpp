// The reader alone, without Python: how fast read_plot_file turns a plot
// file into columns of binary32, in MB/s of file and ns per value. Shows
// where the time of a call goes when set beside bench/run.py's timings.
// With a buffer size after the rounds, it reads dunvel's rows instead, through
// a buffer of that many bytes.
//
//   bash bench/reader_bench.sh FILE WIDTH [ROUNDS [ROWS_BUFFER_BYTES]]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "reader/failure.hpp"
#include "reader/plot_file.hpp"
#include "reader/plot_rows.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE WIDTH [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const auto width = static_cast<std::uint32_t>(std::stoul(argv[2]));
    const int rounds = argc > 3 ? std::stoi(argv[3]) : 7;
    const std::size_t rows_buffer = argc > 4 ? std::stoul(argv[4]) : 0;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        std::perror(path.c_str());
        return 2;
    }
    std::vector<double> seconds;
    std::size_t values = 0;
    try {
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            if (rows_buffer != 0) {
                olvane::RowsOptions options;
                options.width = width;
                options.buffer_size = rows_buffer;
                olvane::PlotRows rows = olvane::read_plot_rows(path, options);
                seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                values = rows.values.size();
                continue;
            }
            const olvane::Columns columns = olvane::read_plot_file(path, width);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            values = 0;
            for (const auto& column : columns) values += column.size();
        }
    } catch (const olvane::ReaderFailure& failure) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
        return 1;
    }
    std::sort(seconds.begin(), seconds.end());
    const double best = seconds.front(), median = seconds[seconds.size() / 2];
    const double megabytes = static_cast<double>(status.st_size) / 1e6;
    std::printf("%s: %.1f MB, %zu values; best %.1f ms (%.0f MB/s, %.1f ns/value), median %.1f ms (%.0f MB/s)\n",
                path.c_str(), megabytes, values, best * 1e3, megabytes / best,
                best * 1e9 / static_cast<double>(values), median * 1e3, megabytes / median);
}
