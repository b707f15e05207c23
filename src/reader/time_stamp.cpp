// The search for a block-start line's time, token by token, and the keeping
// of the bytes before the deciding token for the lines after.
#include "reader/time_stamp.hpp"

#include <limits>
#include <optional>

#include "reader/fortran_forms.hpp"
#include "reader/line_source.hpp"
#include "reader/text.hpp"
#include "reader/utf8.hpp"

namespace reader {

static_assert(TimeStamps::prefix_capacity <= LineSource::line_padding);

namespace {

using time_stamp_detail::is_ascii_space;
using time_stamp_detail::simple_token;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Whether the token at p begins like a number: an optional sign, then a
// digit or a point. Such a token decides the time whatever follows.
bool begins_like_number(const char* p, const char* end) noexcept {
    p += *p == '+' || *p == '-';
    return p < end && (static_cast<unsigned char>(*p - '0') < 10 || *p == '.');
}

// The time that a token gives, or nothing when the token is passed over: one
// that begins like a number gives its value, or NaN when it is none (a
// misprint must not let a later number, such as the step's, stand in for the
// time); the grammar's words give theirs; asterisks, which Fortran writes for
// a value too wide for its field, give NaN.
std::optional<double> token_time(std::string_view token) noexcept {
    const char* const p = token.data();
    const char* const end = p + token.size();
    if (begins_like_number(p, end)) {
        const ParsedDouble number = parse_double(token);
        if (number.error == ParseError::none) [[likely]]
            return number.value;
        return parse_fortran_double(token).value_or(nan);
    }
    const std::size_t sign = *p == '+' || *p == '-';
    const char lead = token.size() > sign ? p[sign] : '\0';
    if ((lead | 0x20) == 'i' || (lead | 0x20) == 'n') {
        // Words other than the grammar's are passed over like any word.
        if (const ParsedDouble word = parse_double(token); word.error == ParseError::none) return word.value;
    }
    if (token.find_first_not_of('*') == std::string_view::npos) return nan;
    return std::nullopt;
}

}  // namespace

FoundTime parse_time(std::string_view line, bool ascii, std::size_t from) {
    const char* p = line.data() + from;
    const char* const end = line.data() + line.size();
    const auto found = [&line](double value, const char* start) {
        return FoundTime{value, static_cast<std::size_t>(start - line.data())};
    };
    if (ascii) [[likely]] {
        while (p < end) {
            while (p < end && is_ascii_space(*p)) ++p;
            if (p == end) break;
            const char* const start = p;
            if (begins_like_number(p, end))
                if (const auto value = simple_token(p, end)) return found(*value, start);
            while (p < end && !is_ascii_space(*p)) ++p;
            if (const auto time = token_time({start, static_cast<std::size_t>(p - start)})) return found(*time, start);
        }
        return {nan, std::string_view::npos};
    }
    // Whether the character at p is whitespace, and its length.
    const auto space_at = [end](const char* at, std::size_t& length) {
        const Decoded d = decode_utf8({at, static_cast<std::size_t>(end - at)});
        length = d.length;
        return is_whitespace(d.code_point);
    };
    std::size_t length = 0;
    while (p < end) {
        if (space_at(p, length)) {
            p += length;
            continue;
        }
        const char* const start = p;
        while (p < end && !space_at(p, length)) p += length;
        if (const auto time = token_time({start, static_cast<std::size_t>(p - start)})) return found(*time, start);
    }
    return {nan, std::string_view::npos};
}

double TimeStamps::search(std::string_view line, bool ascii, std::size_t from) {
    const FoundTime time = parse_time(line, ascii, from);
    // Kept only when it changes: any prefix that was kept stays true of the
    // lines that start with it.
    if (ascii && time.at != std::string_view::npos && time.at != from) {
        prefix_length_ = time.at <= prefix_capacity ? time.at : 0;
        std::memcpy(prefix_, line.data(), prefix_length_);
    }
    return time.value;
}

}  // namespace reader
