// The fixed-slot rung of the number ladder: a field as Fortran's 1PEw.d
// writes it, read in place with its width known when compiling, to the
// bits that parse_value gives for the trimmed field, or declined (then
// parse_value is the judge). Pure functions.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "reader/number.hpp"
#include "reader/powers_of_ten.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace reader {

// What a Fortran 1PEw.d edit descriptor writes with d = Fraction digits
// (w = d + 7), untrimmed: a blank or '-', one digit, '.', the fraction
// digits, 'E', the exponent's sign and two digits, filling the field. Files
// are written this way from end to end, so checking the fixed slots and
// reading the digits in place, with the width known when compiling, beats the
// general grammar by far. Gives the value that parse_value gives for the
// trimmed field, or nothing where it declines.
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
[[gnu::noinline]] inline std::optional<float> settle_exponent_field(std::uint64_t significand, std::int64_t exponent,
                                                                    double estimate) {
    if (estimate < smallest_normal_float || estimate >= largest_float_binade_end) return settle_out_of_range(estimate);
    return try_fast_path(significand, exponent);
}

}  // namespace number_detail

template <unsigned Fraction>
[[gnu::always_inline]] inline std::optional<float> parse_exponent_field(const char* p) {
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
    const auto digits_at = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offsets, _mm_set1_epi8(9)), offsets)));
    const auto fixed_at = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(field, _mm_load_si128(reinterpret_cast<const __m128i*>(Layout::plus.bytes))),
                     _mm_cmpeq_epi8(field, _mm_load_si128(reinterpret_cast<const __m128i*>(Layout::minus.bytes))))));
    if (((digits_at & Layout::digit_slots) | (fixed_at & Layout::fixed_slots)) !=
        (Layout::digit_slots | Layout::fixed_slots))
        return std::nullopt;
#else
    if ((p[0] != ' ' && p[0] != '-') || !is_digit(p[1]) || p[2] != '.' || (tail[0] | 0x20) != 'e' ||
        (tail[1] != '+' && tail[1] != '-') || !is_digit(tail[2]) || !is_digit(tail[3]))
        return std::nullopt;
    constexpr std::uint64_t used = Fraction == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * Fraction)) - 1;
    if ((non_digits(word) & used) != 0) return std::nullopt;
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
        } else if (const std::optional<float> settled = settle_exponent_field(significand, exponent, estimate)) {
            magnitude = *settled;
        } else {
            return std::nullopt;
        }
    }
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | static_cast<std::uint32_t>(p[0] == '-')
                                                                              << 31);
}

}  // namespace reader
