// UTF-8 as the reader needs it: strict validation of a line (ASCII fast path,
// full Unicode well-formedness rules otherwise), decoding one scalar value at
// a time with the length of a bad sequence's maximal subpart, and the lossy
// conversion that replaces each such subpart by U+FFFD. Pure functions over
// borrowed bytes; nothing here allocates except to_utf8_lossy's result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace reader {

struct Decoded {
    char32_t code_point;  // meaningful only when valid
    std::uint8_t length;  // bytes taken: the sequence, or its maximal invalid subpart (>= 1)
    bool valid;
};

// Decodes the scalar value at the front of a non-empty text.
Decoded decode_utf8(std::string_view text) noexcept;

// Whether every byte is below 0x80.
bool is_ascii(std::string_view text) noexcept;

// Whether the text is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view text) noexcept;

// The text with every maximal invalid subpart replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view bytes);

// Appends the UTF-8 form of a scalar value.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace reader
