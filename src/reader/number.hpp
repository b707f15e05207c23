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
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

#include "reader/failure.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The common case of parse_double at the front of [p, end): at most 19
// digits and an exponent of at most three, whose significand and power of
// ten are exact doubles (Clinger's path: one correctly rounded
// multiplication or division). Returns the end of the number so read, or
// null when the front of the text is not that simple; whether the number is
// the whole token is the caller's to check.
const char* scan_simple_double(const char* p, const char* end, double& out);

namespace number_detail {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// 10^-112 .. 10^112, each correctly rounded (exact from 10^0 to 10^22).
// try_fast_path uses 10^-64 .. 10^38, every power that can scale a
// significand of at most 2^53 into the normal binary32 range; the fixed-slot
// fields, whose two-digit exponents less their fraction digits reach past
// those, use the rest, where an estimate is plainly zero or infinite.
inline constexpr int min_scale = -64;
inline constexpr int max_scale = 38;
inline constexpr int table_min = -112;
inline constexpr int table_max = 112;
inline constexpr double scales[] = {
    1e-112, 1e-111, 1e-110, 1e-109, 1e-108, 1e-107, 1e-106, 1e-105, 1e-104, 1e-103, 1e-102, 1e-101,
    1e-100, 1e-99, 1e-98, 1e-97, 1e-96, 1e-95, 1e-94, 1e-93, 1e-92, 1e-91, 1e-90, 1e-89, 1e-88,
    1e-87, 1e-86, 1e-85, 1e-84, 1e-83, 1e-82, 1e-81, 1e-80, 1e-79, 1e-78, 1e-77, 1e-76, 1e-75,
    1e-74, 1e-73, 1e-72, 1e-71, 1e-70, 1e-69, 1e-68, 1e-67, 1e-66, 1e-65, 1e-64, 1e-63, 1e-62,
    1e-61, 1e-60, 1e-59, 1e-58, 1e-57, 1e-56, 1e-55, 1e-54, 1e-53, 1e-52, 1e-51, 1e-50, 1e-49,
    1e-48, 1e-47, 1e-46, 1e-45, 1e-44, 1e-43, 1e-42, 1e-41, 1e-40, 1e-39, 1e-38, 1e-37, 1e-36,
    1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23,
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,
    1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
    1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24,
    1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40,
    1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56,
    1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72,
    1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88,
    1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112};
static_assert(std::size(scales) == table_max - table_min + 1);

inline constexpr double scale(std::int64_t exponent) { return scales[exponent - table_min]; }

inline constexpr float float_scales[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                         1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

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
inline bool settle_out_of_range(double estimate, float& out) {
    if (estimate < 0x1p-151) {
        out = 0.0f;
        return true;
    }
    if (estimate >= largest_float_binade_end) {
        out = std::numeric_limits<float>::infinity();
        return true;
    }
    return false;
}

// The exact route of try_fast_path near a midpoint, for |exponent| <= 22.
// Out of line and cold, so that no compiler computes its division on every
// value to spare a branch.
[[gnu::noinline, gnu::cold]] inline bool settle_near_midpoint(double m, double estimate,
                                                               std::int64_t exponent, float& out) {
    if (exponent < -22 || exponent > 22) return false;
    const double value = exponent >= 0 ? estimate : m / scale(-exponent);
    if (distance_to_midpoint(value) == 0) return false;
    out = static_cast<float>(value);
    return true;
}

// Correctly rounded binary32 of significand * 10^exponent, or false when this
// path cannot be sure.
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
inline bool try_fast_path(std::uint64_t significand, std::int64_t exponent, float& out) {
    // Clinger's path: both operands exact binary32 values (5^10 < 2^24), so
    // the one binary32 operation is the correctly rounded result itself.
    if (significand <= (std::uint64_t{1} << 24) && exponent >= -10 && exponent <= 10) {
        const auto m = static_cast<float>(static_cast<std::int32_t>(significand));
        out = exponent >= 0 ? m * float_scales[exponent] : m / float_scales[-exponent];
        return true;
    }
    if (significand > (std::uint64_t{1} << 53) || exponent < min_scale || exponent > max_scale) return false;
    if (significand == 0) {
        out = 0.0f;
        return true;
    }
    const double m = static_cast<double>(static_cast<std::int64_t>(significand));
    const double estimate = m * scale(exponent);
    if (estimate < smallest_normal_float || estimate >= largest_float_binade_end) [[unlikely]]
        return settle_out_of_range(estimate, out);
    if (distance_to_midpoint(estimate) > 4) [[likely]] {
        out = static_cast<float>(estimate);
        return true;
    }
    return settle_near_midpoint(m, estimate, exponent, out);
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
// Declines (returns false) for everything else, valid or not, which then
// goes the general way.
inline bool parse_common(std::string_view text, float& out) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    p += (*p == '-' || *p == '+');
    Mantissa mantissa;
    p = scan_mantissa(p, end, mantissa);
    if (mantissa.digits == 0 || mantissa.digits > 19) return false;
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
    if (!try_fast_path(mantissa.significand, exponent - mantissa.fraction_digits, magnitude)) return false;
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
//
// Reads exponent_field_reads bytes from p, past the field where it is
// shorter; what lies past the field is never used.
inline constexpr std::size_t exponent_field_reads = 16;

namespace number_detail {

// The slots of a Fortran exponent field of the given fraction digits, as
// bit masks of its bytes, and two templates: every fixed slot holds one of
// its two allowed bytes in one of them.
template <unsigned Fraction>
struct ExponentLayout {
    static constexpr unsigned width = Fraction + 7;
    static constexpr unsigned digit_slots = (1u << 1) | (((1u << Fraction) - 1) << 3) | (3u << (width - 2));
    static constexpr unsigned fixed_slots = 1u | (1u << 2) | (3u << (width - 4));
    struct Template {
        alignas(16) char bytes[16];
    };
    static constexpr Template make(char sign, char letter, char exponent_sign) {
        Template t{};
        t.bytes[0] = sign;
        t.bytes[2] = '.';
        t.bytes[width - 4] = letter;
        t.bytes[width - 3] = exponent_sign;
        return t;
    }
    static constexpr Template plus = make(' ', 'E', '+');
    static constexpr Template minus = make('-', 'e', '-');
};

// The values of parse_exponent_field that its one multiplication does not
// settle: zero and results outside the normal binary32 range, or near a
// rounding midpoint. Out of line, so that the common path stays short.
[[gnu::noinline]] inline bool settle_exponent_field(std::uint64_t significand, std::int64_t exponent,
                                                     double estimate, float& out) {
    if (estimate < smallest_normal_float || estimate >= largest_float_binade_end)
        return settle_out_of_range(estimate, out);
    return try_fast_path(significand, exponent, out);
}

}  // namespace number_detail

template <unsigned Fraction>
[[gnu::always_inline]] inline bool parse_exponent_field(const char* p, float& out) {
    static_assert(Fraction >= 4 && Fraction <= 8, "eight bytes are read from the first fraction digit");
    using namespace number_detail;
    using Layout = ExponentLayout<Fraction>;
    constexpr unsigned width = Layout::width;
    static_assert(width <= exponent_field_reads);
    const char* const tail = p + width - 4;
    // The fraction digits and whatever follows them, eight bytes inside the
    // field.
    std::uint64_t word;
    std::memcpy(&word, p + 3, 8);
#if defined(__SSE2__)
    // Every slot in one pass: digits where digits belong, and the fixed
    // slots each equal to one of their two templates' bytes.
    const __m128i field = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i offsets = _mm_sub_epi8(field, _mm_set1_epi8('0'));
    const auto digits_at =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offsets, _mm_set1_epi8(9)), offsets)));
    const auto fixed_at = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(field, _mm_load_si128(reinterpret_cast<const __m128i*>(Layout::plus.bytes))),
                     _mm_cmpeq_epi8(field, _mm_load_si128(reinterpret_cast<const __m128i*>(Layout::minus.bytes))))));
    if (((digits_at & Layout::digit_slots) | (fixed_at & Layout::fixed_slots)) !=
        (Layout::digit_slots | Layout::fixed_slots))
        return false;
#else
    if ((p[0] != ' ' && p[0] != '-') || !is_digit(p[1]) || p[2] != '.' || (tail[0] | 0x20) != 'e' ||
        (tail[1] != '+' && tail[1] != '-') || !is_digit(tail[2]) || !is_digit(tail[3]))
        return false;
    constexpr std::uint64_t used = Fraction == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * Fraction)) - 1;
    if ((non_digits(word) & used) != 0) return false;
#endif
    const std::uint64_t digits = digits_value(word, Fraction);
    constexpr std::uint64_t leading_scale = [] {
        std::uint64_t s = 1;
        for (unsigned i = 0; i < Fraction; ++i) s *= 10;
        return s;
    }();
    const std::uint64_t significand = static_cast<unsigned>(p[1] - '0') * leading_scale + digits;
    const std::int64_t decimal = (tail[2] - '0') * 10 + (tail[3] - '0');
    const std::int64_t exponent = (tail[1] == '-' ? -decimal : decimal) - static_cast<std::int64_t>(Fraction);
    static_assert(99 - Fraction <= table_max && -99 - Fraction >= table_min);
    float magnitude;
    if ((Fraction <= 6 || significand <= (std::uint64_t{1} << 24)) && exponent >= -10 && exponent <= 10) {
        // Clinger's path, as in try_fast_path.
        const auto m = static_cast<float>(static_cast<std::int32_t>(significand));
        magnitude = exponent >= 0 ? m * float_scales[exponent] : m / float_scales[-exponent];
    } else {
        // The estimate of try_fast_path, for every other exponent: its float
        // is the answer whenever it is normal and far from a midpoint, or
        // zero. Testing that without a branch between keeps fields whose
        // exponents jump about from costing a misprediction each.
        const double estimate = static_cast<double>(static_cast<std::int64_t>(significand)) * scale(exponent);
        if (((estimate >= smallest_normal_float) & (estimate < largest_float_binade_end) &
             (distance_to_midpoint(estimate) > 4)) |
            (significand == 0)) [[likely]] {
            magnitude = static_cast<float>(estimate);
        } else if (!settle_exponent_field(significand, exponent, estimate, magnitude)) {
            return false;
        }
    }
    out = std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) |
                               static_cast<std::uint32_t>(p[0] == '-') << 31);
    return true;
}

}  // namespace olvane
