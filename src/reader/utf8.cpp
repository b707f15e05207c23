// Validation follows the table of well-formed byte sequences in the Unicode
// Standard (chapter 3, table 3-7); a maximal subpart is what that chapter's
// "U+FFFD substitution of maximal subparts" practice replaces.
#include "reader/utf8.hpp"

#include <cstring>

namespace reader {

namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

Decoded decode_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return {lead, 1, true};

    // Second-byte ranges narrower than 80..BF are what exclude overlong forms,
    // surrogates and values above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    std::uint8_t length;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 1, false};
    }
    for (std::uint8_t i = 1; i < length; ++i) {
        if (i >= size) return {0, i, false};
        const unsigned char byte = bytes[i];
        if (i == 1 ? (byte < low || byte > high) : !is_continuation(byte)) return {0, i, false};
        value = (value << 6) | (byte & 0x3F);
    }
    return {value, length, true};
}

bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t n = text.size();
    // No early exit: the loop stays branch-free so that the compiler can widen it.
    std::uint64_t seen = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        seen |= word;
    }
    for (; n > 0; ++p, --n) seen |= static_cast<unsigned char>(*p);
    return (seen & high_bits) == 0;
}

bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const Decoded d = decode_utf8(text.substr(i));
        if (!d.valid) return false;
        i += d.length;
    }
    return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Decoded d = decode_utf8(bytes.substr(i));
        if (d.valid)
            out.append(bytes.substr(i, d.length));
        else
            append_utf8(out, U'\uFFFD');
        i += d.length;
    }
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace reader
