// The general path of the ladder: the whole grammar (which also gathers the
// decimal significand and exponent), the exact fast path where it settles the
// value, else std::from_chars, which rounds correctly for any length.
#include "reader/number.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "reader/powers_of_ten.hpp"

namespace reader {

namespace {

using number_detail::digits_value;
using number_detail::is_digit;
using number_detail::non_digits;
using number_detail::take_digits;

constexpr ParsedValue invalid{0.0f, ParseError::invalid};

// Past this the exponent's value stops growing; further digits are consumed
// but ignored. It keeps the arithmetic bounded whatever the text holds.
constexpr std::int64_t exponent_cap = 65536;

constexpr std::int64_t max_exact_digits = 19;  // any 19 digits fit in 64 bits

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
    if (equals_folded("nan")) return {std::bit_cast<float>(negative ? 0xFFC00000u : 0x7FC00000u), ParseError::none};
    return invalid;
}

// The decimal exponent of the first non-zero mantissa digit, before the
// written exponent; nothing when every digit is zero.
std::optional<std::int64_t> leading_digit_power(std::string_view integer, std::string_view fraction) {
    const std::size_t i = integer.find_first_not_of('0');
    if (i != std::string_view::npos) return static_cast<std::int64_t>(integer.size() - i) - 1;
    const std::size_t j = fraction.find_first_not_of('0');
    if (j != std::string_view::npos) return -static_cast<std::int64_t>(j) - 1;
    return std::nullopt;
}

// Any length of mantissa, through from_chars (correctly rounded).
float parse_general(std::string_view mantissa, std::string_view integer, std::string_view fraction,
                    std::int64_t exponent, std::string_view written) {
    const std::optional<std::int64_t> power = leading_digit_power(integer, fraction);
    if (!power) return 0.0f;
    std::string capped;
    if (written.empty()) {
        // from_chars would take the exponent's full value; ours stopped growing.
        capped.assign(mantissa);
        capped += 'e';
        capped += std::to_string(exponent);
        written = capped;
    }
    float value = 0.0f;
    if (std::from_chars(written.data(), written.data() + written.size(), value).ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone here; a first significant digit
        // at or above the units place can only mean overflow.
        return *power + exponent >= 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    }
    return value;
}

// The written exponent of a decimal number ("e" and what follows) with its
// value stopped where the grammar stops it; empty when it needs no change.
std::string capped_exponent(std::string_view exponent_text) {
    std::string_view digits = exponent_text.substr(1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    std::int64_t value = 0;
    bool capped = false;
    for (const char c : digits) {
        if (value < exponent_cap)
            value = value * 10 + (c - '0');
        else
            capped = true;
    }
    if (!capped) return {};
    return (negative ? "e-" : "e") + std::to_string(value);
}

}  // namespace


namespace {

// significand * 10^exponent, negated where negative, for a significand of at
// most 2^53 and |exponent| <= 22: both exact doubles, so one correctly
// rounded multiplication or division.
double exactly_scaled(double significand, std::int64_t exponent, bool negative) {
    const double magnitude = exponent >= 0 ? significand * number_detail::scale(exponent)
                                           : significand / number_detail::scale(-exponent);
    return negative ? -magnitude : magnitude;
}

constexpr Scanned not_simple{nullptr, 0.0};

}  // namespace

Scanned scan_simple_double(const char* p, const char* const end) {
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    // The usual time stamp, as Fortran's 1PE15.8 writes it ("4.61046558E-04"):
    // its slots checked and its digits read in place. A third exponent digit
    // after it is the general scan's to read.
    if (end - p >= 14 && is_digit(p[0]) && p[1] == '.' && (p[10] | 0x20) == 'e' && (p[11] == '+' || p[11] == '-') &&
        is_digit(p[12]) && is_digit(p[13]) && (end - p == 14 || !is_digit(p[14]))) {
        std::uint64_t word;
        std::memcpy(&word, p + 2, 8);
        if (non_digits(word) == 0) {
            const auto m = static_cast<double>(static_cast<unsigned>(p[0] - '0') * 100000000ULL +
                                               digits_value(word, 8));
            const int decimal = (p[12] - '0') * 10 + (p[13] - '0');
            const int exponent = (p[11] == '-' ? -decimal : decimal) - 8;
            if (exponent >= -22 && exponent <= 22) return {p + 14, exactly_scaled(m, exponent, negative)};
        }
    }
    number_detail::Mantissa mantissa;
    p = number_detail::scan_mantissa(p, end, mantissa);
    if (mantissa.digits == 0 || mantissa.digits > 19) return not_simple;
    std::int64_t exponent = 0;
    if (p < end && (*p | 0x20) == 'e') {
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* const first = p;
        for (; p < end && is_digit(*p) && p - first < 3; ++p) exponent = exponent * 10 + (*p - '0');
        if (p == first) return not_simple;
        if (exponent_negative) exponent = -exponent;
    }
    exponent -= mantissa.fraction_digits;
    if (mantissa.significand > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return not_simple;
    return {p, exactly_scaled(static_cast<double>(mantissa.significand), exponent, negative)};
}

namespace {

// The grammar's other numbers, by the binary32 parser's grammar check and
// std::from_chars.
ParsedDouble parse_general_double(std::string_view text) {
    // The grammar is checked once, by the parser whose grammar it is.
    const ParsedValue single = parse_value_general(text);
    if (single.error != ParseError::none) return {0.0, single.error};
    const bool negative = text.front() == '-';
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    if (!is_digit(text.front()) && text.front() != '.')
        return {static_cast<double>(single.value), ParseError::none};  // infinity or NaN, signed
    std::string rewritten;
    if (const std::size_t e = text.find_first_of("eE"); e != std::string_view::npos) {
        const std::string exponent = capped_exponent(text.substr(e));
        if (!exponent.empty()) {
            rewritten.assign(text.substr(0, e));
            rewritten += exponent;
            text = rewritten;
        }
    }
    double magnitude = 0.0;
    if (std::from_chars(text.data(), text.data() + text.size(), magnitude).ec == std::errc::result_out_of_range) {
        // Beyond the double range on either side, so beyond binary32's as
        // well, whose parse has already told which side.
        magnitude = single.value != 0.0f ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return {negative ? -magnitude : magnitude, ParseError::none};
}

}  // namespace

ParsedDouble parse_double(std::string_view text) {
    const char* const end = text.data() + text.size();
    if (const Scanned simple = scan_simple_double(text.data(), end); simple.end == end && end != nullptr) [[likely]]
        return {simple.value, ParseError::none};
    return parse_general_double(text);
}

ParsedValue parse_value_general(std::string_view text) {
    if (text.empty()) return {0.0f, ParseError::empty};
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        if (++p == end) return invalid;
    }
    if (!is_digit(*p) && *p != '.') return parse_word({p, static_cast<std::size_t>(end - p)}, negative);

    const char* const number = p;
    std::uint64_t significand = 0;
    const char* const integer_end = take_digits(p, end, significand);
    const char* fraction_begin = integer_end;
    const char* fraction_end = integer_end;
    p = integer_end;
    if (p < end && *p == '.') {
        fraction_begin = p + 1;
        p = fraction_end = take_digits(fraction_begin, end, significand);
    }
    const std::int64_t fraction_digits = fraction_end - fraction_begin;
    const std::int64_t digits = (integer_end - number) + fraction_digits;
    if (digits == 0) return invalid;

    const char* const mantissa_end = p;
    std::int64_t exponent = 0;
    bool exponent_capped = false;
    if (p < end && (*p | 0x20) == 'e') {
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return invalid;
        for (; p < end && is_digit(*p); ++p) {
            if (exponent < exponent_cap)
                exponent = exponent * 10 + (*p - '0');
            else
                exponent_capped = true;
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (p != end) return invalid;

    const bool exact = digits <= max_exact_digits;
    if (exact && significand == 0) return {with_sign(0.0f, negative), ParseError::none};
    std::optional<float> magnitude;
    if (exact) magnitude = number_detail::try_fast_path(significand, exponent - fraction_digits);
    if (!magnitude) {
        const auto view = [](const char* from, const char* to) {
            return std::string_view(from, static_cast<std::size_t>(to - from));
        };
        magnitude = parse_general(view(number, mantissa_end), view(number, integer_end),
                                  view(fraction_begin, fraction_end), exponent,
                                  exponent_capped ? std::string_view() : view(number, end));
    }
    return {with_sign(*magnitude, negative), ParseError::none};
}

}  // namespace reader
