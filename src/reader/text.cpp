#include "reader/text.hpp"

#include <array>
#include <string>

#include "reader/error_text.hpp"
#include "reader/failure.hpp"
#include "reader/utf8.hpp"

namespace reader {

namespace {

// Bit 0: whitespace among U+0080..U+00FF; bit 1: among U+2000..U+20FF; both
// indexed by the code point's low byte.
constexpr std::array<std::uint8_t, 256> whitespace_bits = [] {
    std::array<std::uint8_t, 256> bits{};
    bits[0x85] |= 1;
    bits[0xA0] |= 1;
    for (int i = 0x00; i <= 0x0A; ++i) bits[i] |= 2;
    for (int i : {0x28, 0x29, 0x2F, 0x5F}) bits[i] |= 2;
    return bits;
}();

bool is_ascii_whitespace(unsigned char byte) noexcept { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

// The code point that ends at `end` (exclusive), and where it starts.
char32_t decode_before(const char* begin, const char*& end) noexcept {
    const char* start = end - 1;
    while (start > begin && (static_cast<unsigned char>(*start) & 0xC0) == 0x80) --start;
    const Decoded d = decode_utf8({start, static_cast<std::size_t>(end - start)});
    end = start;
    return d.code_point;
}

constexpr std::size_t shown_prefix = 256;

}  // namespace

bool is_whitespace(char32_t cp) noexcept {
    if (cp < 0x80) return is_ascii_whitespace(static_cast<unsigned char>(cp));
    if (cp <= 0xFF) return whitespace_bits[cp] & 1;
    if ((cp >> 8) == 0x20) return whitespace_bits[cp & 0xFF] & 2;
    return cp == 0x1680 || cp == 0x3000;
}

std::vector<std::string_view> split_tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0, start = 0;
    bool in_token = false;
    while (i < line.size()) {
        const Decoded d = decode_utf8(line.substr(i));
        const bool space = is_whitespace(d.code_point);
        if (space && in_token) tokens.push_back(line.substr(start, i - start));
        if (!space && !in_token) start = i;
        in_token = !space;
        i += d.length;
    }
    if (in_token) tokens.push_back(line.substr(start));
    return tokens;
}

std::optional<std::uint32_t> parse_count(std::string_view token) noexcept {
    if (token.empty() || token == "+" || token == "-") return std::nullopt;
    if (token.front() == '+') token.remove_prefix(1);
    std::uint64_t value = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string_view trim_field(std::string_view field) noexcept {
    const char* begin = field.data();
    const char* end = begin + field.size();
    while (begin < end) {
        const auto byte = static_cast<unsigned char>(*begin);
        if (byte < 0x80) {
            if (!is_ascii_whitespace(byte)) break;
            ++begin;
            continue;
        }
        const Decoded d = decode_utf8({begin, static_cast<std::size_t>(end - begin)});
        if (!is_whitespace(d.code_point)) break;
        begin += d.length;
    }
    while (end > begin) {
        const auto byte = static_cast<unsigned char>(end[-1]);
        if (byte < 0x80) {
            if (!is_ascii_whitespace(byte)) break;
            --end;
            continue;
        }
        const char* start = end;
        if (!is_whitespace(decode_before(begin, start))) break;
        end = start;
    }
    return {begin, static_cast<std::size_t>(end - begin)};
}

void fail_field_range(std::string_view line, std::uint64_t begin, std::uint64_t end, std::uint64_t line_number) {
    std::size_t shown = line.size();
    if (shown > shown_prefix) {
        shown = shown_prefix;
        while (!is_char_boundary(line, shown)) --shown;
    }
    std::string tail = "`";
    tail.append(line.substr(0, shown));
    tail += '`';
    if (shown < line.size()) tail += "[...]";

    std::string message;
    ReaderFailure failure("");
    const std::uint64_t width = end - begin;
    const std::uint64_t k = begin / width;
    failure.column = begin + 1;
    if (begin > line.size() || end > line.size()) {
        message = "byte index " + std::to_string(begin > line.size() ? begin : end) + " is out of bounds of " + tail;
        failure.problem = Problem::short_line;
        failure.plain = "the line is too short for its fields: field " + std::to_string(k + 1) + " needs columns " +
                        std::to_string(begin + 1) + "-" + std::to_string(end) + ", but the line is " +
                        std::to_string(line.size()) + " bytes long";
    } else {
        const std::uint64_t index = is_char_boundary(line, begin) ? end : begin;
        std::size_t start = static_cast<std::size_t>(index);
        while (!is_char_boundary(line, start)) --start;
        const Decoded ch = decode_utf8(line.substr(start));
        message = "byte index " + std::to_string(index) + " is not a char boundary; it is inside " +
                  quoted_char(ch.code_point) + " (bytes " + std::to_string(start) + ".." +
                  std::to_string(start + ch.length) + ") of " + tail;
        // The field's text, widened to the characters that its edges cut.
        std::size_t from = static_cast<std::size_t>(begin);
        std::size_t to = static_cast<std::size_t>(end);
        while (!is_char_boundary(line, from)) --from;
        while (!is_char_boundary(line, to)) ++to;
        const std::string_view text = trim_field(line.substr(from, to - from));
        failure.problem = Problem::field;
        failure.plain = field_and_columns(k, width) + " is not a number: " + quoted(text) + ", and its edge at byte " +
                        std::to_string(index + 1) + " falls inside the character " + quoted_char(ch.code_point);
        failure.text = std::string(text);
    }
    failure.message = std::move(message);
    failure.line = line_number;
    throw failure;
}

}  // namespace reader
