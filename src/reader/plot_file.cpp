#include "reader/plot_file.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include "reader/console.hpp"
#include "reader/failure.hpp"
#include "reader/line_source.hpp"
#include "reader/number.hpp"
#include "reader/text.hpp"

namespace olvane {

namespace {

constexpr unsigned fields_per_line = 10;

// The largest count whose list of columns a 32-bit platform can size
// (n * 12 bytes must stay within 2^31 - 1); files are meant to read alike on
// every platform.
constexpr std::uint32_t max_parameters = 178956970;

[[noreturn]] void fail_read(const LineSource& source,
                            SourcePosition where = SourcePosition::current()) {
    throw ReaderFailure(with_description("Failed to read line!", describe(source.error())), where);
}

std::uint32_t read_parameter_count(LineSource& source) {
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
    if (const int code = write_stdout_line(notice)) {
        throw ReaderFailure("failed printing to stdout: " + os_error_text(code) + " (os error " +
                            std::to_string(code) + ")");
    }
    std::string message = "The first line should end with the number of parameters:\n'";
    message += line;
    message += '\'';
    throw ReaderFailure(std::move(message));
}

// The names are not returned, so a name line is only read (and so checked).
void skip_parameter_names(LineSource& source, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        switch (source.read_next_line()) {
            case LineSource::Status::line: break;
            case LineSource::Status::end_of_file: throw ReaderFailure("Failed to read line!");
            case LineSource::Status::error: fail_read(source);
        }
    }
}

// Any field through the whole grammar.
float parse_field(std::string_view field, SourcePosition where = SourcePosition::current()) {
    const ParsedValue parsed = parse_value(trim_field(field));
    if (parsed.error != ParseError::none) [[unlikely]]
        throw ReaderFailure(with_description("Could not parse line", describe(parsed.error)), where);
    return parsed.value;
}

// Sizes every column for the blocks still to come, judged by the bytes that
// the first block took, so that columns do not grow by copying as they fill.
// Only a hint: columns still grow if the guess was short, and a guess that
// cannot be had is simply not taken.
void reserve_columns(Columns& columns, const LineSource& source, std::uint64_t data_start) {
    const std::uint64_t block_bytes = source.consumed() - data_start;
    const std::uint64_t size = source.size_hint();
    if (block_bytes == 0 || size <= data_start) return;
    const std::uint64_t blocks = (size - data_start) / block_bytes;
    const std::uint64_t capacity = blocks + blocks / 16 + 16;
    try {
        for (Column& column : columns) column.reserve(static_cast<std::size_t>(capacity));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

// The blocks, to the end of the file. Width is the field width when it is
// one of the two that plot files use, so that their fields are cut and read
// with constants; 0 for any other, taken from n_digits.
template <unsigned Width>
void read_blocks(LineSource& source, Columns& columns, std::uint32_t n_digits) {
    const auto count = static_cast<std::uint32_t>(columns.size());
    const std::uint32_t width = Width != 0 ? Width : n_digits;
    const std::uint64_t data_start = source.consumed();
    for (std::uint64_t block = 0;; ++block) {
        // The block-start line: its end of file is the file's normal end;
        // its text is never looked at.
        switch (source.read_next_line()) {
            case LineSource::Status::line: break;
            case LineSource::Status::end_of_file: return;
            case LineSource::Status::error: fail_read(source);
        }
        for (std::uint32_t first = 0; first < count; first += fields_per_line) {
            switch (source.read_next_line()) {
                case LineSource::Status::line: break;
                case LineSource::Status::end_of_file: throw ReaderFailure("Error reading line");
                case LineSource::Status::error: fail_read(source);
            }
            const std::string_view line = source.line();
            const bool ascii = source.line_is_ascii();
            const unsigned fields = std::min(fields_per_line, count - first);
            Column* const targets = columns.data() + first;
            if constexpr (Width != 0) {
                // An ASCII line that holds all its fields needs no check per field.
                if (ascii && line.size() >= std::size_t{fields} * Width) [[likely]] {
                    const char* field = line.data();
                    for (unsigned k = 0; k < fields; ++k, field += Width) {
                        float value;
                        if (!parse_exponent_field<Width - 7>(field, value)) [[unlikely]]
                            value = parse_field({field, Width});
                        targets[k].push_back(value);
                    }
                    continue;
                }
            }
            // Other widths, and lines that are not ASCII or too short for
            // their fields (these fail at the first field that does not fit).
            for (unsigned k = 0; k < fields; ++k)
                targets[k].push_back(parse_field(take_field(line, ascii, k, width)));
        }
        if (block == 0) reserve_columns(columns, source, data_start);
    }
}

}  // namespace

Columns read_plot_file(std::string_view path, std::uint32_t n_digits, const InterruptCheck& on_interrupt) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, on_interrupt))
        throw ReaderFailure(with_description("Plot file not found!", describe(error)));
    LineSource source(fd, on_interrupt);

    const std::uint32_t count = read_parameter_count(source);
    skip_parameter_names(source, count);
    if (count > max_parameters) throw ReaderFailure("capacity overflow");
    Columns columns(count);
    switch (n_digits) {
        case 12: read_blocks<12>(source, columns, n_digits); break;
        case 15: read_blocks<15>(source, columns, n_digits); break;
        default: read_blocks<0>(source, columns, n_digits); break;
    }
    return columns;
}

}  // namespace olvane
