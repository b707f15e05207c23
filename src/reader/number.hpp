// Decimal text -> the nearest binary32 value, ties to even, for any number of
// digits; infinity and zero (with their signs) past the range; "inf",
// "infinity" and "nan" in any case. The text must match the grammar whole,
// with no surrounding whitespace; anything else is ParseError::invalid, and
// the empty text ParseError::empty. Pure functions, on a ladder that gives the
// same bits on every rung: parse_value tries the common forms with exact
// arithmetic, then the general grammar and std::from_chars (number.cpp). The
// rung below, for fields as Fortran's 1PEw.d writes them, is
// exponent_field.hpp; the same grammar to binary64 is parse_double.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "reader/error_text.hpp"
#include "reader/powers_of_ten.hpp"

namespace reader {

struct ParsedValue {
    float value;
    ParseError error;
};

struct ParsedDouble {
    double value;
    ParseError error;
};

// A number read at the front of a text: end is where it stops, or null when
// the front of the text is not of the form asked for (value then unset).
struct Scanned {
    const char* end;
    double value;
};

// The whole grammar, every length; parse_value tries the common forms first.
ParsedValue parse_value_general(std::string_view text);

// A text of the same grammar as the nearest double, ties to even (the time
// stamps of block-start lines, which plot files print with more digits than
// a binary32 holds); ParseError as parse_value gives it for a text outside
// the grammar.
ParsedDouble parse_double(std::string_view text);

// The common case of parse_double at the front of [p, end): at most 19
// digits and an exponent of at most three, whose significand and power of
// ten are exact doubles (Clinger's path: one correctly rounded
// multiplication or division). end is null when the front of the text is
// not that simple; whether the number is the whole token is the caller's to
// check.
Scanned scan_simple_double(const char* p, const char* end);

namespace number_detail {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The 29 bits of a double below binary32 precision, and their value at a
// binary32 rounding midpoint. They are those bits wherever the float is
// normal: the fast path leaves smaller results to the exact route.
inline constexpr std::uint64_t below_float = (std::uint64_t{1} << 29) - 1;
inline constexpr std::int64_t midpoint = std::int64_t{1} << 28;
inline constexpr double smallest_normal_float = 0x1p-126;
inline constexpr double largest_float_binade_end = 0x1p128;

inline std::int64_t distance_to_midpoint(double value) {
    const auto low = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(value) & below_float);
    return low > midpoint ? low - midpoint : midpoint - low;
}

// An estimate outside the normal binary32 range, within 2 double units of the
// exact value: zero below half the smallest subnormal, infinity at or past
// 2^128 (both far beyond 2 units from their rounding thresholds, 2^-150 and
// 2^128 - 2^103). Subnormal results go the exact way, which is also immune to
// a flush-to-zero mode that a library may have set for the process.
inline std::optional<float> settle_out_of_range(double estimate) {
    if (estimate < 0x1p-151) return 0.0f;
    if (estimate >= largest_float_binade_end) return std::numeric_limits<float>::infinity();
    return std::nullopt;
}

// The exact route of try_fast_path near a midpoint, for |exponent| <= 22.
// Out of line and cold, so that no compiler computes its division on every
// value to spare a branch.
[[gnu::noinline, gnu::cold]] inline std::optional<float> settle_near_midpoint(double m, double estimate,
                                                                              std::int64_t exponent) {
    if (exponent < -22 || exponent > 22) return std::nullopt;
    const double value = exponent >= 0 ? estimate : m / scale(-exponent);
    if (distance_to_midpoint(value) == 0) return std::nullopt;
    return static_cast<float>(value);
}

// Correctly rounded binary32 of significand * 10^exponent, or nothing when
// this path cannot be sure.
//
// The estimate significand * RN(10^exponent) is off the exact value by at
// most 2 units in the last place of the double (one rounding in the table,
// one in the product), for any exponent of the table. Rounding to binary32
// only changes its mind at midpoints, so whenever no midpoint lies within 4
// units of the estimate, the estimate's float is the exact value's float;
// that holds up to overflow, whose threshold is a midpoint like any other.
// Near a midpoint, and for |exponent| <= 22, the exact route follows: the
// significand and 10^k are exact doubles, so one multiplication or division
// by 10^k is correctly rounded to 53 bits; that never crosses a binary32
// midpoint (both neighbours of a midpoint are doubles), so its float is
// right unless it landed on a midpoint, which is left to the general path,
// as are subnormal and underflowing results (a float has fewer bits there)
// and results beyond the binary32 range (settle_out_of_range).
inline std::optional<float> try_fast_path(std::uint64_t significand, std::int64_t exponent) {
    // Clinger's path: both operands exact binary32 values (5^10 < 2^24), so
    // the one binary32 operation is the correctly rounded result itself.
    if (significand <= (std::uint64_t{1} << 24) && exponent >= -10 && exponent <= 10) {
        const auto m = static_cast<float>(static_cast<std::int32_t>(significand));
        return exponent >= 0 ? m * float_scales[exponent] : m / float_scales[-exponent];
    }
    if (significand > (std::uint64_t{1} << 53) || exponent < min_scale || exponent > max_scale) return std::nullopt;
    if (significand == 0) return 0.0f;
    const double m = static_cast<double>(static_cast<std::int64_t>(significand));
    const double estimate = m * scale(exponent);
    if (estimate < smallest_normal_float || estimate >= largest_float_binade_end) [[unlikely]]
        return settle_out_of_range(estimate);
    if (distance_to_midpoint(estimate) > 4) [[likely]]
        return static_cast<float>(estimate);
    return settle_near_midpoint(m, estimate, exponent);
}

// Eight bytes at a time, the SWAR method that fast_float also uses: the
// bytes of a little-endian word that are not ASCII digits, as a nonzero high
// nibble each (a carry out of a byte >= 0xFA spoils only the bytes after
// it, which lie past the first non-digit), and the value of a word's first
// `count` bytes, all digits, moved to the top of the word so that the bytes
// below read as leading zeros and converted by three multiplications.
inline std::uint64_t non_digits(std::uint64_t word) {
    constexpr std::uint64_t zeros = 0x3030303030303030ULL;
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
    return ((word & high_nibbles) ^ zeros) | (((word + 0x0606060606060606ULL) & high_nibbles) ^ zeros);
}

inline std::uint64_t digits_value(std::uint64_t word, int count) {
    std::uint64_t digits = (word - 0x3030303030303030ULL) << (8 * (8 - count));
    digits = (digits * 10) + (digits >> 8);
    return (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// Reads a run of ASCII digits eight bytes at a time where eight are left in
// the text. Returns the run's end; value becomes value * 10^k + the k
// digits, and wraps past 19 digits, which callers tell from the run's length.
inline const char* take_digits(const char* p, const char* end, std::uint64_t& value) {
    static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t not_digit = non_digits(word);
        const int count = not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
        if (count == 0) return p;
        value = value * scale[count] + digits_value(word, count);
        p += count;
        if (count < 8) return p;
    }
    for (; p < end && is_digit(*p); ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
    return p;
}

// Digits, then a point and digits, at the front of [p, end), as one
// significand (which wraps past 19 digits: digits tells) and the count of
// digits after the point. Returns where the mantissa ends.
struct Mantissa {
    std::uint64_t significand = 0;
    std::int64_t digits = 0;
    std::int64_t fraction_digits = 0;
};

inline const char* scan_mantissa(const char* p, const char* end, Mantissa& mantissa) {
    const char* const integer = p;
    // Usually a single digit (scientific notation), so no word-wise reading.
    for (; p < end && is_digit(*p); ++p)
        mantissa.significand = mantissa.significand * 10 + static_cast<unsigned>(*p - '0');
    mantissa.digits = p - integer;
    if (p < end && *p == '.') {
        const char* const fraction = ++p;
        p = take_digits(p, end, mantissa.significand);
        mantissa.fraction_digits = p - fraction;
        mantissa.digits += mantissa.fraction_digits;
    }
    return p;
}

// The forms that plot files hold: a sign, at most 19 mantissa digits, an
// exponent of at most four digits, and a result the fast path settles.
// Declines (gives nothing) for everything else, valid or not, which then
// goes the general way.
inline std::optional<float> parse_common(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) return std::nullopt;
    const bool negative = *p == '-';
    p += (*p == '-' || *p == '+');
    Mantissa mantissa;
    p = scan_mantissa(p, end, mantissa);
    if (mantissa.digits == 0 || mantissa.digits > 19) return std::nullopt;
    std::int64_t exponent = 0;
    if (p < end) {
        if ((*p | 0x20) != 'e') return std::nullopt;
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        p += p < end && (*p == '-' || *p == '+');
        if (end - p > 4 || p == end) return std::nullopt;
        for (; p < end && is_digit(*p); ++p) exponent = exponent * 10 + (*p - '0');
        if (p != end) return std::nullopt;
        if (exponent_negative) exponent = -exponent;
    }
    const std::optional<float> magnitude = try_fast_path(mantissa.significand, exponent - mantissa.fraction_digits);
    if (!magnitude) return std::nullopt;
    return negative ? -*magnitude : *magnitude;
}

}  // namespace number_detail

inline ParsedValue parse_value(std::string_view text) {
    if (const std::optional<float> value = number_detail::parse_common(text)) [[likely]]
        return {*value, ParseError::none};
    return parse_value_general(text);
}

}  // namespace reader
