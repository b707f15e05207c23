// The driver shared by the reader's two results: header, then blocks, each
// line read, cut and parsed the same way, with the values handed to a Sink.
// A Sink decides what is kept (columns for olvane; rows, names and times for
// dunvel) and what the file's position costs: its hooks for lines it does not
// count or text it does not keep are empty inline functions, so a result that
// needs none of that is read as if the hooks were not there. Internal to
// src/reader: plot_file.cpp and plot_rows.cpp instantiate it.
//
// A Sink provides:
//   static constexpr bool detects_width;  // may be asked to find the width
//   void count_line();                    // before every read of a line
//   int announce_bad_count(std::string_view notice);  // 0, or an errno
//   void name(std::string_view line);     // each parameter-name line
//   void start(std::uint32_t count);      // after the header
//   void block_start(std::string_view line, bool ascii);
//   Targets begin_block();                // t.put(k, value) for field k of
//   Targets targets(Targets, std::uint32_t first);  // parameter first + k
//   void end_block();
//   void reserve(const LineSource&, std::uint64_t data_start);  // after block 0
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/error_text.hpp"
#include "reader/exponent_field.hpp"
#include "reader/failure.hpp"
#include "reader/line_source.hpp"
#include "reader/number.hpp"
#include "reader/text.hpp"

namespace olvane::driver {

inline constexpr unsigned fields_per_line = 10;

// The largest count whose list of columns a 32-bit platform can size
// (n * 12 bytes must stay within 2^31 - 1); files are meant to read alike on
// every platform.
inline constexpr std::uint32_t max_parameters = 178956970;

[[noreturn]] inline void fail_open(IoError error,
                                   SourcePosition where = SourcePosition::current()) {
    ReaderFailure failure(with_description("Plot file not found!", describe(error)), where);
    failure.kind = FailureKind::open;
    failure.os_error = error.code;
    throw failure;
}

[[noreturn]] inline void fail_read(const LineSource& source,
                                   SourcePosition where = SourcePosition::current()) {
    const IoError error = source.error();
    ReaderFailure failure(with_description("Failed to read line!", describe(error)), where);
    // Bytes that are not UTF-8 are the file's fault; the other read errors the system's.
    if (error.kind == IoError::Kind::os) {
        failure.kind = FailureKind::read;
        failure.os_error = error.code;
    }
    throw failure;
}

template <class Sink>
std::uint32_t read_parameter_count(LineSource& source, Sink& sink) {
    sink.count_line();
    switch (source.read_next_line()) {
        case LineSource::Status::line: break;
        // The misspelling is what callers have always matched on.
        case LineSource::Status::end_of_file: throw ReaderFailure("Failed ot read line!");
        case LineSource::Status::error: fail_read(source);
    }
    const std::string_view line = source.line();
    const std::vector<std::string_view> tokens = split_tokens(line);
    if (tokens.empty()) return 0;
    if (const auto count = parse_count(tokens.back())) return *count;

    std::string notice = "Error: '";
    notice += tokens.back();
    notice += "' is not a valid number of parameters!";
    if (const int code = sink.announce_bad_count(notice)) {
        throw ReaderFailure("failed printing to stdout: " + os_error_text(code) + " (os error " +
                            std::to_string(code) + ")");
    }
    std::string message = "The first line should end with the number of parameters:\n'";
    message += line;
    message += '\'';
    throw ReaderFailure(std::move(message));
}

template <class Sink>
void read_parameter_names(LineSource& source, Sink& sink, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        sink.count_line();
        switch (source.read_next_line()) {
            case LineSource::Status::line: break;
            case LineSource::Status::end_of_file: throw ReaderFailure("Failed to read line!");
            case LineSource::Status::error: fail_read(source);
        }
        sink.name(source.line());
    }
}

// Any field through the whole grammar. Out of line, so that the rare
// fields that need it leave the loop over the common ones as it is.
[[gnu::noinline]] inline float parse_field(std::string_view field,
                                           SourcePosition where = SourcePosition::current()) {
    const ParsedValue parsed = parse_value(trim_field(field));
    if (parsed.error != ParseError::none) [[unlikely]]
        throw ReaderFailure(with_description("Could not parse line", describe(parsed.error)), where);
    return parsed.value;
}

// The blocks, to the end of the file. Width is the field width when it is
// one of the two that plot files use, so that their fields are cut and read
// with constants; 0 for any other, taken from n_digits. With resume, the
// first block's start line and first data line have been read already (to
// find the width) and the latter is the source's current line.
template <unsigned Width, class Sink>
void read_blocks(LineSource& source, Sink& sink, std::uint32_t count, std::uint32_t n_digits,
                 std::uint64_t data_start, bool resume = false) {
    const std::uint32_t width = Width != 0 ? Width : n_digits;
    for (std::uint64_t block = 0;; ++block) {
        // The block-start line: its end of file is the file's normal end.
        if (!(Sink::detects_width && resume)) {
            sink.count_line();
            switch (source.read_next_line()) {
                case LineSource::Status::line: break;
                case LineSource::Status::end_of_file: return;
                case LineSource::Status::error: fail_read(source);
            }
            sink.block_start(source.line(), source.line_is_ascii());
        }
        auto block_targets = sink.begin_block();
        for (std::uint32_t first = 0; first < count; first += fields_per_line) {
            if (Sink::detects_width && resume) {
                resume = false;
            } else {
                sink.count_line();
                switch (source.read_next_line()) {
                    case LineSource::Status::line: break;
                    case LineSource::Status::end_of_file: throw ReaderFailure("Error reading line");
                    case LineSource::Status::error: fail_read(source);
                }
            }
            const std::string_view line = source.line();
            const bool ascii = source.line_is_ascii();
            const unsigned fields = std::min(fields_per_line, count - first);
            auto targets = sink.targets(block_targets, first);
            if constexpr (Width != 0) {
                // An ASCII line that holds all its fields needs no check per field.
                if (ascii && line.size() >= std::size_t{fields} * Width) [[likely]] {
                    const char* field = line.data();
                    for (unsigned k = 0; k < fields; ++k, field += Width) {
                        std::optional<float> value = parse_exponent_field<Width - 7>(field);
                        if (!value) [[unlikely]]
                            value = parse_field({field, Width});
                        targets.put(k, *value);
                    }
                    continue;
                }
            }
            // Other widths, and lines that are not ASCII or too short for
            // their fields (these fail at the first field that does not fit).
            for (unsigned k = 0; k < fields; ++k)
                targets.put(k, parse_field(take_field(line, ascii, k, width)));
        }
        sink.end_block();
        if (block == 0) sink.reserve(source, data_start);
    }
}

template <class Sink>
void dispatch_width(LineSource& source, Sink& sink, std::uint32_t count, std::uint32_t n_digits,
                    std::uint64_t data_start, bool resume = false) {
    switch (n_digits) {
        case 12: read_blocks<12>(source, sink, count, n_digits, data_start, resume); break;
        case 15: read_blocks<15>(source, sink, count, n_digits, data_start, resume); break;
        default: read_blocks<0>(source, sink, count, n_digits, data_start, resume); break;
    }
}

// The header, then the rest of the file by read_body(source, sink, count):
// opening, the count, the names and the count's limit are the same for every
// result.
template <class Sink, class ReadBody>
void read_plot(std::string_view path, Sink& sink, std::size_t buffer_size, const InterruptCheck& on_interrupt,
               ReadBody read_body) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, on_interrupt)) fail_open(error);
    LineSource source(fd, buffer_size, on_interrupt);

    const std::uint32_t count = read_parameter_count(source, sink);
    read_parameter_names(source, sink, count);
    if (count > max_parameters) {
        ReaderFailure failure("capacity overflow");
        failure.line = 1;  // the count's line, not the last one read
        throw failure;
    }
    sink.start(count);
    read_body(source, sink, count);
}

}  // namespace olvane::driver
