// The driver shared by the reader's results: the header, then the steps
// (a block-start line and ceil(n / 10) data lines each), every line read,
// cut and parsed the same way, with the values handed to a Sink. A Sink
// decides what is kept (columns for olvane; rows, names and times for
// dunvel), which steps and fields it wants, and where a step goes; what it
// does not need is an empty inline function, read as if it were not there.
// The driver can start at any step boundary of a file, given the header's
// count and width and where the bytes begin. Where the data end inside a
// step, it asks its end-of-data policy whether that fails, telling it where
// the step was cut. Only the driver knows where in the file it is, so only
// it composes messages (olvane's, and the same failure in plain words, with
// its column and text) and puts the line into a failure. Internal to
// src/reader: the results instantiate it.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/error_text.hpp"
#include "reader/exponent_field.hpp"
#include "reader/failure.hpp"
#include "reader/fortran_forms.hpp"
#include "reader/line_source.hpp"
#include "reader/number.hpp"
#include "reader/text.hpp"

namespace reader::driver {

inline constexpr unsigned fields_per_line = 10;

// The largest count whose list of columns a 32-bit platform can size
// (n * 12 bytes must stay within 2^31 - 1); files are meant to read alike on
// every platform.
inline constexpr std::uint32_t max_parameters = 178956970;

inline constexpr std::uint64_t lines_per_step(std::uint32_t count) noexcept {
    return 1 + (std::uint64_t{count} + fields_per_line - 1) / fields_per_line;
}

// What a Sink's targets take: t.put(k, value) for field k of the data line
// whose first field is parameter `first` of the step.
template <class T>
concept FieldTargets = requires(T targets, unsigned k, float value) { targets.put(k, value); };

// The Sink contract. Steps are numbered from 0 in the whole file, whichever
// step the driver started at.
template <class S>
concept Sink = requires(S& sink, std::string_view text, bool ascii, std::uint32_t count, std::uint64_t step,
                        std::uint32_t first) {
    // 0 when the notice of a bad count went where the result wants it, else an errno.
    { sink.announce_bad_count(text) } -> std::same_as<int>;
    sink.name(text);    // each parameter-name line
    sink.start(count);  // after the header
    // The step's block-start line: false skips the step, whose data lines
    // are then read as lines but their fields never converted.
    { sink.begin_step(step, text, ascii) } -> std::same_as<bool>;
    { sink.targets(first) } -> FieldTargets;
    sink.end_step();
    // The step begun last will not be ended: nothing of it may stay. Also
    // called where no step was begun since the last end_step.
    sink.discard_step();
    // Room for this many steps in all, a hint taken after the first step.
    sink.reserve(step);
    // Whether the sink has all the steps it wants: the driver stops before
    // the next step, reading none of its lines.
    { sink.full() } -> std::same_as<bool>;
    // The fields of a data line that the sink wants, bit k for field k; only
    // asked where selects_fields, so that taking every field costs nothing.
    { S::selects_fields } -> std::convertible_to<bool>;
    { sink.wanted_fields(first) } -> std::same_as<unsigned>;
    // Whether a field that the grammar refuses may still be one of the
    // forms that Fortran writes (fortran_forms.hpp).
    { S::fortran_forms } -> std::convertible_to<bool>;
};

// Where the data ended inside a step.
struct StepCut {
    std::uint64_t step;
    std::uint64_t last_line;         // the file's last line
    std::uint64_t data_lines;        // the data lines that a step has
    std::uint64_t whole_data_lines;  // of them, those the file holds whole
    bool inside_line;                // the next line is there, but cut
    bool inside_block_start;         // that line is the step's block-start line
};

// The end-of-data policy of olvane: a step cut by the end of the file fails
// with the failure that the driver found there.
struct FailCutStep {
    [[noreturn]] void step_cut(ReaderFailure&& failure, const StepCut&) const { throw std::move(failure); }
};

// Returns where the data may end before the cut step (which is then
// discarded), or throws.
template <class P>
concept EndPolicy = requires(const P& policy, ReaderFailure&& failure, const StepCut& cut) {
    policy.step_cut(std::move(failure), cut);
};

// A content failure at a line: its message for olvane, and its problem in
// plain words for the results that show those.
inline ReaderFailure failure_at(std::string message, std::uint64_t line, Problem problem, std::string plain,
                                SourcePosition where = SourcePosition::current()) {
    ReaderFailure failure(std::move(message), where);
    failure.line = line;
    failure.problem = problem;
    failure.plain = std::move(plain);
    return failure;
}

[[noreturn]] inline void fail_at(std::string message, std::uint64_t line, Problem problem, std::string plain,
                                 SourcePosition where = SourcePosition::current()) {
    throw failure_at(std::move(message), line, problem, std::move(plain), where);
}


[[noreturn]] inline void fail_open(IoError error, SourcePosition where = SourcePosition::current()) {
    ReaderFailure failure(with_description("Plot file not found!", describe(error)), where);
    failure.kind = FailureKind::open;
    failure.os_error = error.code;
    throw failure;
}

[[noreturn]] inline void fail_read(const LineSource& source, SourcePosition where = SourcePosition::current()) {
    const IoError error = source.error();
    ReaderFailure failure(with_description("Failed to read line!", describe(error)), where);
    failure.line = source.line_number() + 1;
    // Bytes that are not UTF-8 are the file's fault; the other read errors the system's.
    if (error.kind == IoError::Kind::os) {
        failure.kind = FailureKind::read;
        failure.os_error = error.code;
        throw failure;
    }
    const LineSource::InvalidSequence bad = source.invalid_sequence();
    static constexpr char hex[] = "0123456789ABCDEF";
    failure.problem = Problem::encoding;
    failure.column = bad.offset + 1;
    failure.plain = std::string("the byte 0x") + hex[bad.byte >> 4] + hex[bad.byte & 15] + " at column " +
                    std::to_string(failure.column) +
                    (bad.cut_at_end ? " starts a character that the end of the file cuts off"
                                    : " is not UTF-8, which plot files are written in");
    throw failure;
}

// The failures of next_line: cold and out of line, so that the common path
// of reading a line builds no source position and no message.
[[noreturn, gnu::noinline, gnu::cold]] inline void fail_next_line(const LineSource& source, const char* at_end) {
    if (source.at_end()) fail_at(at_end, source.line_number(), Problem::incomplete, "the file ends inside a step");
    fail_read(source);
}

// The next line, through which the driver reads every line: false at the
// end of the file where at_end is null, else the failure at_end there.
[[gnu::always_inline]] inline bool next_line(LineSource& source, const char* at_end) {
    const LineSource::Status status = source.read_next_line();
    if (status == LineSource::Status::line) [[likely]]
        return true;
    if (status == LineSource::Status::end_of_file && at_end == nullptr) return false;
    fail_next_line(source, at_end);
}

// The end of the file in its header, after the count line and names_found
// names (no count line at all where count is empty).
[[noreturn, gnu::cold]] inline void fail_in_header(const LineSource& source, const char* message,
                                                   std::optional<std::uint32_t> count, std::uint32_t names_found,
                                                   SourcePosition where = SourcePosition::current()) {
    std::string plain = "the file is empty; a plot file begins with a line that ends with its number of parameters";
    if (count) {
        plain = "the file ends after " + std::to_string(names_found) + " of its " + plural(*count, "parameter name") +
                ", in its header (the count line, then a line per name)";
    }
    fail_at(message, source.line_number(), Problem::header, std::move(plain), where);
}

template <Sink S>
std::uint32_t read_parameter_count(LineSource& source, S& sink) {
    // The misspelling is what callers have always matched on.
    if (!next_line(source, nullptr)) fail_in_header(source, "Failed ot read line!", std::nullopt, 0);
    const std::string_view line = source.line();
    const std::vector<std::string_view> tokens = split_tokens(line);
    if (tokens.empty()) return 0;
    if (const auto count = parse_count(tokens.back())) return *count;

    std::string notice = "Error: '";
    notice += tokens.back();
    notice += "' is not a valid number of parameters!";
    if (const int code = sink.announce_bad_count(notice)) {
        fail_at("failed printing to stdout: " + os_error_text(code) + " (os error " + std::to_string(code) + ")",
                source.line_number(), Problem::none, "");
    }
    std::string message = "The first line should end with the number of parameters:\n'";
    message += line;
    message += '\'';
    ReaderFailure failure = failure_at(
        std::move(message), source.line_number(), Problem::count,
        "the first line should end with the number of parameters, a whole number, but it ends with " +
            quoted(tokens.back()));
    failure.column = static_cast<std::uint64_t>(tokens.back().data() - line.data()) + 1;
    failure.text = std::string(tokens.back());
    throw failure;
}

// The count line and the name lines: returns the count, after sink.start.
template <Sink S>
std::uint32_t read_header(LineSource& source, S& sink) {
    const std::uint32_t count = read_parameter_count(source, sink);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!next_line(source, nullptr)) fail_in_header(source, "Failed to read line!", count, i);
        sink.name(source.line());
    }
    // The count's line, not the last one read.
    if (count > max_parameters) {
        fail_at("capacity overflow", 1, Problem::too_large,
                "the first line gives " + std::to_string(count) + " parameters, more than the " +
                    std::to_string(max_parameters) + " that a plot can hold");
    }
    sink.start(count);
    return count;
}

// A field that no form read, with its number, columns and text.
[[noreturn, gnu::cold]] inline void fail_field(std::string_view text, ParseError error, std::uint64_t line, unsigned k,
                                               std::uint32_t width, SourcePosition where) {
    ReaderFailure failure = failure_at(
        with_description("Could not parse line", describe(error)), line, Problem::field,
        field_and_columns(k, width) + (text.empty() ? " is blank" : " is not a number: " + quoted(text)), where);
    failure.column = std::uint64_t{k} * width + 1;
    failure.text = std::string(text);
    throw failure;
}

// Field k of a line (at width) through the whole grammar, then, where
// Fortran is on, through Fortran's forms. Out of line, so that the rare
// fields that need it leave the loop over the common ones as it is.
template <bool Fortran>
[[gnu::noinline]] float parse_field(std::string_view field, std::uint64_t line, unsigned k, std::uint32_t width,
                                    SourcePosition where = SourcePosition::current()) {
    const std::string_view text = trim_field(field);
    const ParsedValue parsed = parse_value(text);
    if (parsed.error == ParseError::none) [[likely]]
        return parsed.value;
    if constexpr (Fortran)
        if (const std::optional<float> value = parse_fortran_field(text)) return *value;
    fail_field(text, parsed.error, line, k, width, where);
}

// Field k of a data line for a sink that selects fields: by the common
// path where the line is ASCII and holds the field whole, else as the other
// widths are.
template <unsigned Width, bool Fortran>
[[gnu::always_inline]] inline float wanted_field(std::string_view line, bool ascii, unsigned k, std::uint32_t width,
                                                 std::uint64_t line_number) {
    if constexpr (Width != 0) {
        if (ascii && line.size() >= (std::size_t{k} + 1) * Width) [[likely]] {
            const char* field = line.data() + std::size_t{k} * Width;
            if (const std::optional<float> value = parse_exponent_field<Width - 7>(field)) [[likely]]
                return *value;
            return parse_field<Fortran>({field, Width}, line_number, k, Width);
        }
    }
    return parse_field<Fortran>(take_field(line, ascii, k, width, line_number), line_number, k, width);
}

// Where the file's last line lacks its line feed, the end may have cut it.
// A full read takes a failure anywhere in it for that cut, so it is read as
// a full read reads it, every field converted, kept or not (the one line of
// a file whose unkept fields are looked at): a step cut there is then found
// cut, and fails or is left out, rather than read as whole.
template <bool Fortran>
inline void check_last_line_whole(const LineSource& source, unsigned fields, std::uint32_t width) {
    if (!source.ended_without_line_feed()) [[likely]]
        return;
    for (unsigned k = 0; k < fields; ++k)
        parse_field<Fortran>(take_field(source.line(), source.line_is_ascii(), k, width, source.line_number()),
                             source.line_number(), k, width);
}

// The steps still to come, judged by the bytes that the first step took;
// nothing where the source cannot tell its size.
inline std::optional<std::uint64_t> estimate_steps(const LineSource& source, std::uint64_t data_start) {
    const std::uint64_t step_bytes = source.consumed() - data_start;
    const std::uint64_t size = source.size_hint();
    if (step_bytes == 0 || size <= data_start) return std::nullopt;
    const std::uint64_t steps = (size - data_start) / step_bytes;
    return steps + steps / 16 + 16;
}

// Where the driver is: the step being read, whether one is open (from
// before its block-start line is read until it is ended), so that a failure
// can be told to lie inside a step, and the number of its block-start line.
struct Cursor {
    std::uint64_t step;
    bool in_step = false;
    std::uint64_t first_line = 0;
};

// The data lines of the step that the cursor is in. Width is the field width
// when it is one of the two that plot files use, so that their fields are cut
// and read with constants; 0 for any other, taken from width.
template <unsigned Width, Sink S>
void read_step_data(LineSource& source, S& sink, std::uint32_t count, std::uint32_t width) {
    for (std::uint32_t first = 0; first < count; first += fields_per_line) {
        next_line(source, "Error reading line");
        const std::string_view line = source.line();
        const bool ascii = source.line_is_ascii();
        const unsigned fields = std::min(fields_per_line, count - first);
        auto targets = sink.targets(first);
        if constexpr (S::selects_fields) {
            check_last_line_whole<S::fortran_forms>(source, fields, width);
            // Only the fields wanted, in order, so that a line too short
            // fails at the first of them that does not fit.
            for (unsigned wanted = sink.wanted_fields(first); wanted != 0; wanted &= wanted - 1) {
                const auto k = static_cast<unsigned>(std::countr_zero(wanted));
                if (k >= fields) break;
                targets.put(k, wanted_field<Width, S::fortran_forms>(line, ascii, k, width, source.line_number()));
            }
            continue;
        }
        if constexpr (Width != 0) {
            // An ASCII line that holds all its fields needs no check per field.
            if (ascii && line.size() >= std::size_t{fields} * Width) [[likely]] {
                const char* field = line.data();
                for (unsigned k = 0; k < fields; ++k, field += Width) {
                    std::optional<float> value = parse_exponent_field<Width - 7>(field);
                    if (!value) [[unlikely]]
                        value = parse_field<S::fortran_forms>({field, Width}, source.line_number(), k, Width);
                    targets.put(k, *value);
                }
                continue;
            }
        }
        // Other widths, and lines that are not ASCII or too short for their
        // fields (these fail at the first field that does not fit).
        for (unsigned k = 0; k < fields; ++k)
            targets.put(k, parse_field<S::fortran_forms>(take_field(line, ascii, k, width, source.line_number()),
                                                         source.line_number(), k, width));
    }
}

// A step's data lines read and checked as lines, their fields not converted.
template <bool Fortran>
void skip_step_data(LineSource& source, std::uint32_t count, std::uint32_t width) {
    for (std::uint32_t first = 0; first < count; first += fields_per_line) {
        next_line(source, "Error reading line");
        check_last_line_whole<Fortran>(source, std::min(fields_per_line, count - first), width);
    }
}

// The block-start line of the cursor's step, handed to the sink: false at
// the end of the file, which is the data's normal end there.
template <Sink S>
bool begin_step(LineSource& source, S& sink, Cursor& cursor, bool& wanted) {
    cursor.in_step = true;
    cursor.first_line = source.line_number() + 1;
    if (!next_line(source, nullptr)) {
        cursor.in_step = false;
        return false;
    }
    wanted = sink.begin_step(cursor.step, source.line(), source.line_is_ascii());
    return true;
}

// The rest of the cursor's step after its block-start line: its data lines,
// their fields converted where the sink wants the step, then its end.
template <unsigned Width, Sink S>
void finish_step(LineSource& source, S& sink, std::uint32_t count, std::uint32_t width, Cursor& cursor, bool wanted) {
    if (wanted) [[likely]]
        read_step_data<Width>(source, sink, count, width);
    else
        skip_step_data<S::fortran_forms>(source, count, width);
    sink.end_step();
    cursor.in_step = false;
    ++cursor.step;
}

// After the first step: the sink's room for the steps still to come.
template <Sink S>
void reserve_after_first_step(const LineSource& source, S& sink, std::uint64_t data_start) {
    if (const auto steps = estimate_steps(source, data_start)) sink.reserve(*steps);
}

// Steps from the cursor's to the end of the file, or up to stop_step; first:
// the cursor's step is the first of the read, which began at data_start.
template <unsigned Width, Sink S>
void read_steps_from(LineSource& source, S& sink, std::uint32_t count, std::uint32_t width, Cursor& cursor,
                     std::uint64_t data_start, bool first, std::uint64_t stop_step) {
    for (bool wanted;; first = false) {
        if (cursor.step == stop_step || sink.full() || !begin_step(source, sink, cursor, wanted)) return;
        finish_step<Width>(source, sink, count, width, cursor, wanted);
        if (first) [[unlikely]]
            reserve_after_first_step(source, sink, data_start);
    }
}

// Calls body.template operator()<W>() with W the width as a constant where
// it is 12 or 15, else 0.
template <class Body>
void dispatch_width(std::uint32_t width, Body&& body) {
    switch (width) {
        case 12: body.template operator()<12>(); break;
        case 15: body.template operator()<15>(); break;
        default: body.template operator()<0>(); break;
    }
}

// The width of the fields of a first data line: the one of 12 and 15 that
// its fields fill exactly, trailing whitespace aside.
inline std::uint32_t width_of_first_data_line(std::string_view line, std::uint32_t count, std::uint64_t line_number) {
    const std::string_view trimmed = trim_field(line);
    const std::size_t length = trimmed.empty()
                                   ? 0
                                   : static_cast<std::size_t>(trimmed.data() + trimmed.size() - line.data());
    const std::uint32_t fields = std::min(fields_per_line, count);
    if (length == std::size_t{fields} * 15) return 15;
    if (length == std::size_t{fields} * 12) return 12;
    const std::string legacy = "Could not tell the field width: the first data line holds " + std::to_string(length) +
                               " bytes (trailing whitespace aside) for " + plural(fields, "field") +
                               ", which is neither 12 nor 15 bytes a field";
    fail_at(legacy, line_number, Problem::width,
            "the first data line is " + std::to_string(length) + " bytes long (trailing blanks aside), but its " +
                plural(fields, "field") + (fields == 1 ? " needs " : " need ") + std::to_string(fields * 12) +
                " at width 12 or " + std::to_string(fields * 15) +
                " at width 15; give width= for another width. A count on the first line that does not match the "
                "names that follow it causes this too");
}

// Whether a failure ends the data inside a step: the file ended where a line
// of the step should be, or the step's line that failed was the file's last
// and had no line feed (where it is not UTF-8, only for a character cut off
// at the end).
inline bool cuts_step(const LineSource& source, const Cursor& cursor, const ReaderFailure& failure) {
    if (!cursor.in_step) return false;
    if (source.at_end()) return true;
    if (!source.ended_without_line_feed()) return false;
    return failure.problem != Problem::encoding || source.invalid_sequence().cut_at_end;
}

// The cut of the cursor's step that failure ended.
inline StepCut step_cut(const LineSource& source, const Cursor& cursor, const ReaderFailure& failure,
                        std::uint32_t count) {
    const std::uint64_t data_lines = lines_per_step(count) - 1;
    if (source.at_end()) {
        const std::uint64_t last = source.line_number();
        return {cursor.step, last, data_lines, last - cursor.first_line, false, false};
    }
    // The failure is about the last line, which is cut.
    const std::uint64_t last = failure.line;
    if (last == cursor.first_line) return {cursor.step, last, data_lines, 0, true, true};
    return {cursor.step, last, data_lines, last - cursor.first_line - 1, true, false};
}

// The steps from the source's current position, which must be a step
// boundary: step first_step, whose block-start line is the source's next
// line. Reads to the end of the data, or stops before step stop_step.
// Without a width, the width is found from the first data line (12 where
// there is none); returns the width used. A failure inside a cut step goes
// to the policy, and where that lets the data end there, the step is
// discarded.
template <Sink S, EndPolicy P = FailCutStep>
std::uint32_t read_steps(LineSource& source, S& sink, std::uint32_t count, std::optional<std::uint32_t> width,
                         std::uint64_t first_step = 0, const P& policy = {},
                         std::uint64_t stop_step = std::uint64_t(-1)) {
    Cursor cursor{first_step};
    const std::uint64_t data_start = source.consumed();
    if (!width && count == 0) width = 12;
    try {
        if (width) {
            dispatch_width(*width, [&]<unsigned W>() {
                read_steps_from<W>(source, sink, count, *width, cursor, data_start, true, stop_step);
            });
            return *width;
        }
        bool wanted;
        if (!begin_step(source, sink, cursor, wanted)) return 12;
        next_line(source, "Error reading line");
        width = width_of_first_data_line(source.line(), count, source.line_number());
        // The first data line is read again, now with its width.
        source.give_back();
        dispatch_width(*width, [&]<unsigned W>() {
            finish_step<W>(source, sink, count, *width, cursor, wanted);
            reserve_after_first_step(source, sink, data_start);
            read_steps_from<W>(source, sink, count, *width, cursor, data_start, false, stop_step);
        });
        return *width;
    } catch (ReaderFailure& failure) {
        if (!cuts_step(source, cursor, failure)) throw;
        const StepCut cut = step_cut(source, cursor, failure, count);
        policy.step_cut(std::move(failure), cut);
        sink.discard_step();
        return width.value_or(12);
    }
}

}  // namespace reader::driver
