// The text rules of a plot file's lines: the whitespace set (the 25 code
// points of Unicode White_Space), tokens, the parameter count, and the
// fixed-width fields of data lines with their trimming. Lines are well-formed
// UTF-8 (the line source checked them); tokens and fields are views into the
// line, never copies. take_field is the only one that fails: with the range
// failure, a ReaderFailure naming the byte index.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace reader {

bool is_whitespace(char32_t code_point) noexcept;

std::vector<std::string_view> split_tokens(std::string_view line);

// An unsigned decimal count: one optional leading '+', ASCII digits only,
// at most 4294967295; leading zeros allowed.
std::optional<std::uint32_t> parse_count(std::string_view token) noexcept;

// Leading and trailing whitespace removed.
std::string_view trim_field(std::string_view field) noexcept;

// line_number: the line's number in the file, for the failure.
[[noreturn]] void fail_field_range(std::string_view line, std::uint64_t begin, std::uint64_t end,
                                   std::uint64_t line_number);

inline bool is_char_boundary(std::string_view line, std::uint64_t index) noexcept {
    if (index == 0 || index == line.size()) return true;
    return index < line.size() && (static_cast<unsigned char>(line[index]) & 0xC0) != 0x80;
}

// Field k of a data line: the bytes [k * width, (k + 1) * width). The offsets
// are taken in 64 bits: with 32-bit wrapping, a large width would select
// other bytes of a long line and yield a wrong value without any failure.
// line_is_ascii lets the common case skip the boundary tests.
inline std::string_view take_field(std::string_view line, bool line_is_ascii, unsigned k, std::uint32_t width,
                                   std::uint64_t line_number) {
    const std::uint64_t begin = std::uint64_t{k} * width;
    const std::uint64_t end = begin + width;
    if (end <= line.size() && (line_is_ascii || (is_char_boundary(line, begin) && is_char_boundary(line, end))))
        [[likely]]
        return line.substr(begin, width);
    fail_field_range(line, begin, end, line_number);
}

}  // namespace reader
