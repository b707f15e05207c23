// The ladder: our own grammar check (which also gathers the decimal
// significand and exponent), then an exact fast path through one double
// operation, then std::from_chars, which rounds correctly for any length.
#include "reader/number.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace olvane {

namespace {

constexpr ParsedValue invalid{0.0f, ParseError::invalid};

// Past this the exponent's value stops growing; further digits are consumed
// but ignored. It keeps the arithmetic bounded whatever the text holds.
constexpr std::int64_t exponent_cap = 65536;

constexpr int max_exact_digits = 19;  // any 19 digits fit in 64 bits

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

float with_sign(float magnitude, bool negative) { return negative ? -magnitude : magnitude; }

ParsedValue parse_word(std::string_view word, bool negative) {
    auto equals_folded = [word](std::string_view lower) {
        if (word.size() != lower.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if ((word[i] | 0x20) != lower[i]) return false;
        return true;
    };
    if (equals_folded("inf") || equals_folded("infinity"))
        return {with_sign(std::numeric_limits<float>::infinity(), negative), ParseError::none};
    if (equals_folded("nan"))
        return {std::bit_cast<float>(negative ? 0xFFC00000u : 0x7FC00000u), ParseError::none};
    return invalid;
}

// What the grammar check learns of a decimal number.
struct Decimal {
    std::uint64_t significand = 0;  // the first max_exact_digits significant digits
    int significant_digits = 0;     // counted from the first non-zero digit
    std::int64_t fraction_digits = 0;
    std::int64_t integer_significant = 0;  // integer-part digits from the first non-zero one
    std::int64_t fraction_leading_zeros = 0;
    std::int64_t exponent = 0;  // signed, capped
    bool exponent_capped = false;
    const char* exponent_mark = nullptr;  // the 'e' or 'E', if any
};

// Exact when the double result cannot land on a binary32 rounding midpoint:
// the significand and the power of ten are exact doubles, so the one
// operation is correctly rounded, and rounding to 53 bits never crosses a
// binary32 midpoint (both neighbours of a midpoint are doubles). Landing on
// one from a value that was not on it is the only way double rounding goes
// wrong, and that case is left to the general path.
bool try_fast_path(const Decimal& d, float& out) {
    const std::int64_t e10 = d.exponent - d.fraction_digits;
    if (d.significant_digits > max_exact_digits || d.significand > (std::uint64_t{1} << 53) ||
        e10 < -22 || e10 > 22)
        return false;
    const double m = static_cast<double>(d.significand);
    const double value = e10 >= 0 ? m * powers_of_ten[e10] : m / powers_of_ten[-e10];
    // Results lie in [1e-22, 2^53 * 1e22], well inside the normal binary32
    // range, so the 29 bits below binary32 precision are always these bits.
    constexpr std::uint64_t below_float = (std::uint64_t{1} << 29) - 1;
    if ((std::bit_cast<std::uint64_t>(value) & below_float) == (std::uint64_t{1} << 28))
        return false;
    out = static_cast<float>(value);
    return true;
}

float parse_general(const char* begin, const char* end, const Decimal& d) {
    std::string capped;
    if (d.exponent_capped) {
        // from_chars would use the exponent's full value; ours stopped growing.
        capped.assign(begin, d.exponent_mark);
        capped += 'e';
        capped += std::to_string(d.exponent);
        begin = capped.data();
        end = begin + capped.size();
    }
    float value = 0.0f;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone here; the position of the first
        // significant digit tells overflow (at least 1) from underflow.
        const std::int64_t magnitude =
            d.integer_significant > 0 ? d.integer_significant - 1 + d.exponent
                                      : d.exponent - d.fraction_leading_zeros - 1;
        return magnitude >= 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    }
    (void)ptr;
    return value;
}

}  // namespace

ParsedValue parse_value(std::string_view text) {
    if (text.empty()) return {0.0f, ParseError::empty};
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        if (++p == end) return invalid;
    }
    if (!is_digit(*p) && *p != '.') return parse_word({p, static_cast<std::size_t>(end - p)}, negative);

    const char* const number = p;
    Decimal d;
    std::int64_t digits = 0;
    auto take_digit = [&d](char c) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (d.significant_digits == 0 && digit == 0) return;
        if (++d.significant_digits <= max_exact_digits) d.significand = d.significand * 10 + digit;
    };
    for (; p < end && is_digit(*p); ++p, ++digits) take_digit(*p);
    d.integer_significant = d.significant_digits;
    if (p < end && *p == '.') {
        for (++p; p < end && is_digit(*p); ++p, ++digits, ++d.fraction_digits) {
            if (d.significant_digits == 0 && *p == '0') ++d.fraction_leading_zeros;
            take_digit(*p);
        }
    }
    if (digits == 0) return invalid;
    if (p < end && (*p == 'e' || *p == 'E')) {
        d.exponent_mark = p;
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return invalid;
        for (; p < end && is_digit(*p); ++p) {
            if (d.exponent < exponent_cap)
                d.exponent = d.exponent * 10 + (*p - '0');
            else
                d.exponent_capped = true;
        }
        if (exponent_negative) d.exponent = -d.exponent;
    }
    if (p != end) return invalid;

    if (d.significant_digits == 0) return {with_sign(0.0f, negative), ParseError::none};
    float magnitude;
    if (!try_fast_path(d, magnitude)) magnitude = parse_general(number, end, d);
    return {with_sign(magnitude, negative), ParseError::none};
}

}  // namespace olvane
