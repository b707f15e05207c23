// libFuzzer target: the number parser against a slow reference written here
// for the purpose, which takes no shortcut: a plain grammar check, then the
// exact value d * 10^e as a fraction of big integers, divided out to 24 bits
// and rounded half to even on the exact remainder.
//
// Checked on every input: parse_value (with its fast paths), the general path
// alone, and the fixed-slot readers of 12- and 15-byte Fortran fields on the
// input's first 12 and 15 bytes (which may decline, but must not disagree).
// Any difference in acceptance, error kind or bits aborts.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/exponent_field.hpp"
#include "reader/number.hpp"

namespace {

using reader::ParseError;

// An unsigned integer of any size, little-endian 32-bit limbs, no leading
// zero limb (zero has none). Only what the reference needs.
class Natural {
public:
    explicit Natural(std::uint32_t value = 0) {
        if (value != 0) limbs_.push_back(value);
    }

    // *this = *this * factor + addend
    void multiply_add(std::uint32_t factor, std::uint32_t addend) {
        std::uint64_t carry = addend;
        for (std::uint32_t& limb : limbs_) {
            const std::uint64_t product = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
    }

    Natural shifted_left(int bits) const {
        if (limbs_.empty()) return *this;
        Natural out;
        out.limbs_.assign(static_cast<std::size_t>(bits / 32), 0);
        const int part = bits % 32;
        std::uint32_t carry = 0;
        for (const std::uint32_t limb : limbs_) {
            out.limbs_.push_back((limb << part) | carry);
            carry = part == 0 ? 0 : limb >> (32 - part);
        }
        if (carry != 0) out.limbs_.push_back(carry);
        return out;
    }

    // Requires *this >= other.
    void subtract(const Natural& other) {
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            std::int64_t d = std::int64_t{limbs_[i]} - borrow - (i < other.limbs_.size() ? other.limbs_[i] : 0);
            borrow = d < 0;
            limbs_[i] = static_cast<std::uint32_t>(d + (borrow << 32));
        }
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }

    int bit_length() const {
        return limbs_.empty() ? 0 : static_cast<int>(32 * limbs_.size()) - std::countl_zero(limbs_.back());
    }

    friend int compare(const Natural& a, const Natural& b) {
        if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (std::size_t i = a.limbs_.size(); i-- > 0;)
            if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        return 0;
    }

private:
    std::vector<std::uint32_t> limbs_;
};

struct Expected {
    ParseError error;
    std::uint32_t bits;
};

// Bits of the binary32 nearest to digits * 10^exponent (digits: ASCII, at
// least one, leading zeros allowed), ties to even.
std::uint32_t nearest_binary32(std::string_view digits, std::int64_t exponent) {
    while (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
    if (digits.empty()) return 0;
    // The value lies in [10^(top - 1), 10^top).
    const std::int64_t top = exponent + static_cast<std::int64_t>(digits.size());
    if (top - 1 >= 39) return 0x7F800000;  // >= 1e39, beyond 2^128
    if (top <= -46) return 0;              // < 1e-46, below 2^-150
    // Past those two tests |exponent| is below 46 + the digit count.
    Natural numerator, denominator(1);
    for (const char c : digits) numerator.multiply_add(10, static_cast<std::uint32_t>(c - '0'));
    for (std::int64_t i = 0; i < exponent; ++i) numerator.multiply_add(10, 0);
    for (std::int64_t i = 0; i > exponent; --i) denominator.multiply_add(10, 0);

    // k with 2^k <= value < 2^(k + 1): the bit lengths leave two candidates.
    int k = numerator.bit_length() - denominator.bit_length();
    const auto at_least_power = [&](int power) {  // value >= 2^power
        return compare(numerator.shifted_left(power < 0 ? -power : 0),
                       denominator.shifted_left(power > 0 ? power : 0)) >= 0;
    };
    if (!at_least_power(k)) --k;
    if (k >= 128) return 0x7F800000;

    // Scale so that one unit in the last place of the result is 1: 2^-149
    // for subnormals, 2^(k - 23) for normal numbers.
    const bool subnormal = k < -126;
    const int scale = subnormal ? 149 : 23 - k;
    Natural rest = numerator.shifted_left(scale > 0 ? scale : 0);
    const Natural divisor = denominator.shifted_left(scale < 0 ? -scale : 0);
    std::uint32_t quotient = 0;  // below 2^24 by the choice of scale
    for (int bit = 24; bit >= 0; --bit) {
        const Natural part = divisor.shifted_left(bit);
        if (compare(rest, part) >= 0) {
            rest.subtract(part);
            quotient |= std::uint32_t{1} << bit;
        }
    }
    const int half = compare(rest.shifted_left(1), divisor);
    if (half > 0 || (half == 0 && (quotient & 1) != 0)) ++quotient;

    // A carry out of the significand moves into the exponent field, which
    // is right: 2^23 is the smallest normal and 2^24 at k = 127 is infinity.
    if (subnormal) return quotient;
    return (static_cast<std::uint32_t>(k + 127) << 23) + (quotient - (std::uint32_t{1} << 23));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

Expected reference_parse(std::string_view text) {
    if (text.empty()) return {ParseError::empty, 0};
    constexpr Expected invalid{ParseError::invalid, 0};
    std::uint32_t sign = 0;
    if (text[0] == '+' || text[0] == '-') {
        sign = text[0] == '-' ? 0x80000000 : 0;
        text.remove_prefix(1);
        if (text.empty()) return invalid;
    }
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity"))
        return {ParseError::none, sign | 0x7F800000};
    if (equals_ignoring_case(text, "nan")) return {ParseError::none, sign | 0x7FC00000};

    std::string digits;
    std::int64_t fraction_digits = 0;
    std::size_t i = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) digits += text[i];
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i, ++fraction_digits) digits += text[i];
    }
    if (digits.empty()) return invalid;
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        if (i == text.size() || !is_digit(text[i])) return invalid;
        for (; i < text.size() && is_digit(text[i]); ++i)
            if (exponent < 65536) exponent = exponent * 10 + (text[i] - '0');
        if (negative) exponent = -exponent;
    }
    if (i != text.size()) return invalid;
    return {ParseError::none, sign | nearest_binary32(digits, exponent - fraction_digits)};
}

const char* name(ParseError error) {
    switch (error) {
        case ParseError::none: return "value";
        case ParseError::empty: return "Empty";
        case ParseError::invalid: return "Invalid";
    }
    return "?";
}

void check(const char* path, std::string_view text, ParseError error, float value, const Expected& want) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if (error == want.error && (error != ParseError::none || bits == want.bits)) return;
    std::fprintf(stderr, "number_fuzz: %s disagrees on \"", path);
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7F)
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\": reference %s 0x%08X, got %s 0x%08X\n", name(want.error), want.bits, name(error), bits);
    std::abort();
}

// Fields come untrimmed; the fixed-slot reader only ever takes a leading blank.
template <unsigned Fraction>
void check_field(std::string_view text) {
    constexpr std::size_t width = Fraction + 7;
    if (text.size() < width) return;
    // An allocation of exactly the bytes the reader may read, so that
    // reading past them is caught; past the field, the input's next bytes,
    // which must make no difference.
    constexpr std::size_t reads = reader::exponent_field_reads;
    const std::unique_ptr<char[]> field(new char[reads]());
    std::memcpy(field.get(), text.data(), std::min(text.size(), reads));
    const std::optional<float> value = reader::parse_exponent_field<Fraction>(field.get());
    if (!value) return;
    std::string_view trimmed(field.get(), width);
    while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
    check(Fraction == 5 ? "parse_exponent_field<5>" : "parse_exponent_field<8>", {field.get(), width}, ParseError::none,
          *value, reference_parse(trimmed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Expected want = reference_parse(text);
    const reader::ParsedValue fast = reader::parse_value(text);
    check("parse_value", text, fast.error, fast.value, want);
    const reader::ParsedValue general = reader::parse_value_general(text);
    check("parse_value_general", text, general.error, general.value, want);
    check_field<5>(text);
    check_field<8>(text);
    return 0;
}
