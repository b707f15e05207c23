// libFuzzer target: the whole reader on arbitrary files.
//
// Input: byte 0 picks the field width (low four bits) and a padding (high
// four bits); the rest is the file. A non-zero padding h puts 8192 - 8 * h
// blanks in front of the count line, which leaves the count unchanged but
// ends the first 8192-byte read 8 * h bytes into the fuzzed text, so that
// lines and characters get split at the buffer's edge without inputs of 8 KiB.
//
// Every outcome must be Columns of equal lengths that the file has lines
// for, or a ReaderFailure with one of the reader's messages in valid UTF-8.
// Anything else (another exception, a crash, a sanitizer report) aborts.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reader/failure.hpp"
#include "reader/plot_file.hpp"

namespace {

// make_corpus.py writes byte 0 as an index into this table; keep both in step.
constexpr std::uint32_t widths[16] = {12, 15, 0, 1, 2, 3, 7, 9, 11, 13, 16, 24, 40, 255, 0x80000000u, 0xFFFFFFFFu};

int plot_fd = -1;
std::string plot_path;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "reader_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void write_all(std::string_view bytes, off_t at) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(plot_fd, bytes.data(), bytes.size(), at);
        if (n <= 0) fail("cannot write the plot file", plot_path);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += n;
    }
}

// Kept apart from the reader's own validator, so that a fault there shows here.
bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (byte & 0x3F);
        }
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

bool known_message(std::string_view m) {
    static constexpr std::string_view whole[] = {
        "Failed ot read line!",
        "Failed to read line!",
        "Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }",
        "Error reading line",
        "Could not parse line: ParseFloatError { kind: Empty }",
        "Could not parse line: ParseFloatError { kind: Invalid }",
        "capacity overflow",
    };
    for (const std::string_view w : whole)
        if (m == w) return true;
    constexpr std::string_view bad_count = "The first line should end with the number of parameters:\n'";
    if (m.starts_with(bad_count) && m.size() > bad_count.size() && m.ends_with('\'')) return true;
    return m.starts_with("byte index ") &&
           (m.find(" is out of bounds of `") != m.npos || m.find(" is not a char boundary; it is inside ") != m.npos);
}

std::size_t count_lines(std::string_view file) {
    std::size_t lines = 0;
    for (const char c : file) lines += c == '\n';
    return lines + (!file.empty() && file.back() != '\n');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A bad count prints a notice on fd 1; libFuzzer itself reports on fd 2.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    plot_fd = ::memfd_create("plot", MFD_CLOEXEC);
    if (plot_fd < 0) fail("memfd_create failed", "");
    plot_path = "/proc/self/fd/" + std::to_string(plot_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t width = widths[data[0] & 0x0F];
    const unsigned padding = data[0] >> 4;
    std::string file(padding == 0 ? 0 : 8192 - 8 * padding, ' ');
    file.append(reinterpret_cast<const char*>(data) + 1, size - 1);

    if (::ftruncate(plot_fd, 0) != 0) fail("cannot truncate the plot file", plot_path);
    write_all(file, 0);

    try {
        const reader::Columns columns = reader::read_plot_file(plot_path, width);
        const std::size_t n = columns.size();
        const std::size_t blocks = n == 0 ? 0 : columns[0].size();
        for (const reader::Column& column : columns)
            if (column.size() != blocks) fail("columns of different lengths", file);
        // Count line, name lines, and per block a start line and the data lines.
        const std::size_t needed = 1 + n + blocks * (1 + (n + 9) / 10);
        if (needed > count_lines(file)) fail("more values than the file has lines for", file);
    } catch (const reader::ReaderFailure& failure) {
        if (!valid_utf8(failure.message)) fail("message is not valid UTF-8", failure.message);
        if (!known_message(failure.message)) fail("unexpected message", failure.message);
    }
    return 0;
}
