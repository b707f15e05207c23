// Decimal text -> the nearest binary32 value, ties to even, for any number of
// digits; infinity and zero (with their signs) past the range; "inf",
// "infinity" and "nan" in any case. The text must match the grammar whole,
// with no surrounding whitespace; anything else is ParseError::invalid, and
// the empty text ParseError::empty. Pure functions, on a ladder that gives the
// same bits on every rung: parse_exponent_field reads a field as Fortran's
// 1PEw.d writes it in place; parse_value tries the common forms with exact
// arithmetic, then the general grammar and std::from_chars (number.cpp).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "reader/failure.hpp"

namespace olvane {

struct ParsedValue {
    float value;
    ParseError error;
};

// The whole grammar, every length; parse_value tries the common forms first.
ParsedValue parse_value_general(std::string_view text);

// A text of the same grammar as the nearest double, ties to even (the time
// stamps of block-start lines, which plot files print with more digits than
// a binary32 holds); false for a text outside the grammar.
bool parse_double(std::string_view text, double& out);

namespace number_detail {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// 10^-22 .. 10^22, each correctly rounded (exact from 10^0 up).
inline constexpr double scales[] = {
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11,
    1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
    1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,
    1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22};

inline constexpr float float_scales[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                         1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// The 29 bits of a double below binary32 precision, and their value at a
// binary32 rounding midpoint. Non-zero results here lie in
// [1e-22, 2^53 * 1e22], well inside the normal binary32 range, where these
// are always the bits.
inline constexpr std::uint64_t below_float = (std::uint64_t{1} << 29) - 1;
inline constexpr std::int64_t midpoint = std::int64_t{1} << 28;

inline std::int64_t distance_to_midpoint(double value) {
    const auto low = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(value) & below_float);
    return low > midpoint ? low - midpoint : midpoint - low;
}

// Correctly rounded binary32 of significand * 10^exponent, or false when this
// path cannot be sure.
//
// The estimate significand * RN(10^exponent) is off the exact value by at
// most 2 units in the last place of the double (one rounding in the table,
// one in the product). Rounding to binary32 only changes its mind at
// midpoints, so whenever no midpoint lies within 4 units of the estimate,
// the estimate's float is the exact value's float. Near a midpoint the exact
// route follows: the significand and 10^k (k <= 22) are exact doubles, so one
// multiplication or division by 10^k is correctly rounded to 53 bits; that
// never crosses a binary32 midpoint (both neighbours of a midpoint are
// doubles), so its float is right unless it landed on a midpoint, which is
// left to the general path.
inline bool try_fast_path(std::uint64_t significand, std::int64_t exponent, float& out) {
    // Clinger's path: both operands exact binary32 values (5^10 < 2^24), so
    // the one binary32 operation is the correctly rounded result itself.
    if (significand <= (std::uint64_t{1} << 24) && exponent >= -10 && exponent <= 10) {
        const auto m = static_cast<float>(static_cast<std::int32_t>(significand));
        out = exponent >= 0 ? m * float_scales[exponent] : m / float_scales[-exponent];
        return true;
    }
    if (significand > (std::uint64_t{1} << 53) || static_cast<std::uint64_t>(exponent + 22) > 44)
        return false;
    const double m = static_cast<double>(static_cast<std::int64_t>(significand));
    const double estimate = m * scales[exponent + 22];
    if (distance_to_midpoint(estimate) > 4) [[likely]] {
        out = static_cast<float>(estimate);
        return true;
    }
    const double value = exponent >= 0 ? estimate : m / scales[22 - exponent];
    if (distance_to_midpoint(value) == 0) return false;
    out = static_cast<float>(value);
    return true;
}

// Reads a run of ASCII digits eight bytes at a time where eight are left in
// the text: a mask finds the first non-digit, the digits move to the top of
// the word so that the bytes below read as leading zeros, and three
// multiplications convert the eight (the SWAR method fast_float also uses).
// Returns the run's end; value becomes value * 10^k + the k digits, and wraps
// past 19 digits, which callers tell from the run's length.
inline const char* take_digits(const char* p, const char* end, std::uint64_t& value) {
    constexpr std::uint64_t zeros = 0x3030303030303030ULL;
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
    static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        // Zero bytes exactly where the byte is '0'..'9'. A carry out of a
        // byte >= 0xFA spoils only the bytes after it, which lie past the
        // first non-digit and are never used.
        const std::uint64_t not_digit =
            ((word & high_nibbles) ^ zeros) | (((word + 0x0606060606060606ULL) & high_nibbles) ^ zeros);
        const int count = not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
        if (count == 0) return p;
        std::uint64_t digits = (word - zeros) << (8 * (8 - count));
        digits = (digits * 10) + (digits >> 8);
        digits = (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
                  (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
                 32;
        value = value * scale[count] + digits;
        p += count;
        if (count < 8) return p;
    }
    for (; p < end && is_digit(*p); ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
    return p;
}

// The forms that plot files hold: a sign, at most 19 mantissa digits, an
// exponent of at most four digits, and a result the fast path settles.
// Declines (returns false) for everything else, valid or not, which then
// goes the general way.
inline bool parse_common(std::string_view text, float& out) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    p += (*p == '-' || *p == '+');
    std::uint64_t significand = 0;
    const char* const integer = p;
    // Usually a single digit (scientific notation), so no word-wise reading.
    for (; p < end && is_digit(*p); ++p) significand = significand * 10 + static_cast<unsigned>(*p - '0');
    std::int64_t digits = p - integer;
    std::int64_t fraction_digits = 0;
    if (p < end && *p == '.') {
        const char* const fraction = ++p;
        p = take_digits(p, end, significand);
        fraction_digits = p - fraction;
        digits += fraction_digits;
    }
    if (digits == 0 || digits > 19) return false;
    std::int64_t exponent = 0;
    if (p < end) {
        if ((*p | 0x20) != 'e') return false;
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        p += p < end && (*p == '-' || *p == '+');
        if (end - p > 4 || p == end) return false;
        for (; p < end && is_digit(*p); ++p) exponent = exponent * 10 + (*p - '0');
        if (p != end) return false;
        if (exponent_negative) exponent = -exponent;
    }
    float magnitude;
    if (!try_fast_path(significand, exponent - fraction_digits, magnitude)) return false;
    out = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace number_detail

inline ParsedValue parse_value(std::string_view text) {
    float value;
    if (number_detail::parse_common(text, value)) [[likely]]
        return {value, ParseError::none};
    return parse_value_general(text);
}

// What a Fortran 1PEw.d edit descriptor writes with d = Fraction digits
// (w = d + 7), untrimmed: a blank or '-', one digit, '.', the fraction
// digits, 'E', the exponent's sign and two digits, filling the field. Files
// are written this way from end to end, so checking the fixed slots and
// reading the digits in place, with the width known when compiling, beats the
// general grammar by far. Gives the value that parse_value gives for the
// trimmed field, or declines.
template <unsigned Fraction>
[[gnu::always_inline]] inline bool parse_exponent_field(const char* p, float& out) {
    static_assert(Fraction >= 4 && Fraction <= 8, "eight bytes are read from the first fraction digit");
    using namespace number_detail;
    constexpr unsigned width = Fraction + 7;
    const char* const tail = p + width - 4;
    if ((p[0] != ' ' && p[0] != '-') || !is_digit(p[1]) || p[2] != '.' || (tail[0] | 0x20) != 'e' ||
        (tail[1] != '+' && tail[1] != '-') || !is_digit(tail[2]) || !is_digit(tail[3]))
        return false;
    // The fraction digits and whatever follows them, up to eight bytes, all
    // inside the field; the SWAR digit test and conversion of fast_float.
    constexpr std::uint64_t zeros = 0x3030303030303030ULL;
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
    constexpr std::uint64_t used = Fraction == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * Fraction)) - 1;
    std::uint64_t word;
    std::memcpy(&word, p + 3, 8);
    const std::uint64_t not_digit =
        ((word & high_nibbles) ^ zeros) | (((word + 0x0606060606060606ULL) & high_nibbles) ^ zeros);
    // A carry out of a byte >= 0xFA can only spoil bytes after a non-digit.
    if ((not_digit & used) != 0) return false;
    std::uint64_t digits = (word - zeros) << (8 * (8 - Fraction));
    digits = (digits * 10) + (digits >> 8);
    digits = (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
              (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
             32;
    constexpr std::uint64_t leading_scale = [] {
        std::uint64_t s = 1;
        for (unsigned i = 0; i < Fraction; ++i) s *= 10;
        return s;
    }();
    const std::uint64_t significand = static_cast<unsigned>(p[1] - '0') * leading_scale + digits;
    std::int64_t exponent = (tail[2] - '0') * 10 + (tail[3] - '0');
    if (tail[1] == '-') exponent = -exponent;
    float magnitude;
    if (!try_fast_path(significand, exponent - static_cast<std::int64_t>(Fraction), magnitude)) return false;
    out = p[0] == '-' ? -magnitude : magnitude;
    return true;
}

}  // namespace olvane
