// The error values that lower stages of the reader hand up (IoError,
// ParseError), and the exact texts that failure messages are made of: the
// descriptions that follow a message as "<message>: <description>", the
// platform's text and kind for an errno, and characters and text escaped as
// those messages show them. Always valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace reader {

// An error from opening or reading the file.
struct IoError {
    enum class Kind : std::uint8_t { none, os, invalid_data, invalid_name };
    Kind kind = Kind::none;
    int code = 0;  // errno, for Kind::os

    explicit operator bool() const noexcept { return kind != Kind::none; }
};

enum class ParseError : std::uint8_t { none, empty, invalid };

std::string describe(IoError error);
std::string_view describe(ParseError error) noexcept;

// "<message>: <description>"
std::string with_description(std::string_view message, std::string_view description);

// The platform's text for an error number, as XSI strerror_r gives it, made valid UTF-8.
std::string os_error_text(int code);

// The error kind named in descriptions; "Uncategorized" for numbers without one.
std::string_view os_error_kind(int code) noexcept;

// A character in single quotes, escaped as failure texts show characters.
std::string quoted_char(char32_t code_point);

// The pieces of plain messages: a text in single quotes, escaped as below;
// "1 field", "2 fields"; "field 2 (columns 13-24)" for field k = 1 at width 12.
std::string quoted(std::string_view text);
std::string plural(std::uint64_t n, std::string_view noun);
std::string field_and_columns(std::uint64_t k, std::uint64_t width);

// Text for a double-quoted description: quotes, backslashes and control
// characters escaped, combining marks and unprintable characters as \u{...}.
std::string escape_text(std::string_view utf8);

}  // namespace reader
