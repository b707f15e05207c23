// Checks the reader's fast number paths (the fixed-slot path for Fortran
// exponent fields, the common-form path in front of the general grammar, and
// the time stamps' double path) against std::from_chars, which rounds
// correctly, on every field of the given plot files and on millions of
// generated texts. Prints the count of texts checked and exits non-zero on
// the first disagreement.
//
//   fast_path_sweep COUNT [FILE WIDTH]...
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "reader/exponent_field.hpp"
#include "reader/number.hpp"
#include "reader/text.hpp"

namespace {

long checked = 0;

std::uint32_t bits(float value) {
    std::uint32_t b;
    std::memcpy(&b, &value, 4);
    return b;
}

// The correctly rounded binary32 of a text the grammar accepts.
float reference(std::string_view text) {
    std::string copy(text);
    const char* begin = copy.c_str();
    const bool negative = *begin == '-';
    if (*begin == '+') ++begin;
    float value = 0.0f;
    if (std::from_chars(begin, copy.c_str() + copy.size(), value).ec == std::errc::result_out_of_range) {
        const double wide = std::fabs(std::strtod(begin, nullptr));
        value = wide >= 1.0 ? std::numeric_limits<float>::infinity() : 0.0f;
        if (negative) value = -value;
    }
    return value;
}

void fail(std::string_view text, const char* path, float got, float want) {
    std::printf("MISMATCH %s: '%.*s' gives %08x, correctly rounded %08x\n", path, static_cast<int>(text.size()),
                text.data(), bits(got), bits(want));
    std::exit(1);
}

template <unsigned Width>
void check_field(std::string_view field) {
    const std::string_view text = reader::trim_field(field);
    const reader::ParsedValue parsed = reader::parse_value(text);
    if (parsed.error != reader::ParseError::none) return;
    const float want = reference(text);
    ++checked;
    if (bits(parsed.value) != bits(want)) fail(text, "parse_value", parsed.value, want);
    if constexpr (Width == 12 || Width == 15) {
        // The reader reads a whole 16 bytes from a field's start; what lies
        // past the field must make no difference, digits included.
        char padded[reader::exponent_field_reads];
        std::memset(padded, '7', sizeof padded);
        std::memcpy(padded, field.data(), std::min(field.size(), sizeof padded));
        if (field.size() != Width) return;
        const std::optional<float> fast = reader::parse_exponent_field<Width - 7>(padded);
        if (fast && bits(*fast) != bits(want)) fail(field, "parse_exponent_field", *fast, want);
    }
}

// A time stamp: scan_simple_double against the correctly rounded double.
void check_time(std::string_view text) {
    const reader::Scanned scanned = reader::scan_simple_double(text.data(), text.data() + text.size());
    if (scanned.end != text.data() + text.size()) return;
    const double got = scanned.value;
    const char* begin = text.data() + (text.front() == '+');
    double want;
    std::from_chars(begin, text.data() + text.size(), want);
    ++checked;
    std::uint64_t got_bits, want_bits;
    std::memcpy(&got_bits, &got, 8);
    std::memcpy(&want_bits, &want, 8);
    if (got_bits != want_bits) {
        std::printf("MISMATCH scan_simple_double: '%.*s' gives %016llx, correctly rounded %016llx\n",
                    static_cast<int>(text.size()), text.data(), static_cast<unsigned long long>(got_bits),
                    static_cast<unsigned long long>(want_bits));
        std::exit(1);
    }
}

template <unsigned Width>
void check_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    const auto count = std::strtoul(line.c_str() + line.find_last_of(" \t") + 1, nullptr, 10);
    for (unsigned long i = 0; i < count; ++i) std::getline(in, line);
    while (std::getline(in, line)) {  // a block-start line
        for (unsigned long first = 0; first < count && std::getline(in, line); first += 10) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            for (std::size_t k = 0; k < 10 && first + k < count && (k + 1) * Width <= line.size(); ++k)
                check_field<Width>(std::string_view(line).substr(k * Width, Width));
        }
    }
}

void check_generated(long count) {
    std::mt19937_64 random(20261207);
    char text[64];
    for (long i = 0; i < count; ++i) {
        // Fortran-style fields over the whole binary32 range and beyond.
        const double magnitude = std::ldexp(std::uniform_real_distribution<double>(1.0, 2.0)(random),
                                            static_cast<int>(random() % 300) - 150);
        const double value = (random() & 1) ? -magnitude : magnitude;
        std::snprintf(text, sizeof text, "%12.5E", value);
        if (std::strlen(text) == 12) check_field<12>(text);
        std::snprintf(text, sizeof text, "%15.8E", value);
        if (std::strlen(text) == 15) check_field<15>(text);
        // Near a binary32 rounding midpoint: nine, sixteen and seventeen
        // digits of it; sixteen land within a few double units of it, where
        // only the exact route can tell the side.
        const float low = std::ldexp(static_cast<float>(random() % (1u << 24)) + 1.0f,
                                     static_cast<int>(random() % 200) - 150 - 24 + (i % 2) * 60);
        const double midpoint = (static_cast<double>(low) +
                                 static_cast<double>(std::nextafter(low, std::numeric_limits<float>::infinity()))) /
                                2;
        std::snprintf(text, sizeof text, "%.8E", midpoint);
        check_field<0>(text);
        std::snprintf(text, sizeof text, "%15.8E", (i % 4 == 0) ? -midpoint : midpoint);
        if (std::strlen(text) == 15) check_field<15>(text);
        // Midpoints that nine digits hold exactly (those between floats of
        // 2^19 to 2^29, whose spacing is 2^-4 to 2^6): where an estimate a
        // unit off the midpoint must not decide the rounding.
        const int spacing = static_cast<int>(random() % 11) - 4;
        const double exact_midpoint = std::ldexp(static_cast<double>((1u << 23) + random() % (1u << 23)) + 0.5,
                                                 spacing);
        std::snprintf(text, sizeof text, "%15.8E", exact_midpoint);
        if (std::strtod(text, nullptr) == exact_midpoint) check_field<15>(text);
        // Fortran fields written digit by digit: every two-digit exponent,
        // leading zeros and zero significands among them.
        for (const unsigned fraction : {5u, 8u}) {
            std::string field = (random() & 1) ? "-" : " ";
            field += static_cast<char>('0' + random() % 10);
            field += '.';
            for (unsigned d = 0; d < fraction; ++d)
                field += static_cast<char>('0' + (random() % 3 == 0 ? 0 : random() % 10));
            field += (random() & 1) ? "E" : "e";
            field += (random() & 1) ? '-' : '+';
            const unsigned exponent = random() % 100;
            field += static_cast<char>('0' + exponent / 10);
            field += static_cast<char>('0' + exponent % 10);
            if (fraction == 5) {
                check_field<12>(field);
            } else {
                check_field<15>(field);
                check_time(std::string_view(field).substr(field[0] == ' '));
            }
        }
        std::snprintf(text, sizeof text, "%.15e", midpoint);
        check_field<0>(text);
        std::snprintf(text, sizeof text, "%.16e", midpoint);
        check_field<0>(text);
        // Plain decimals of up to 19 digits with a point anywhere.
        std::string plain = (random() & 1) ? "-" : "";
        const int digits = 1 + static_cast<int>(random() % 19);
        const int point = static_cast<int>(random() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point) plain += '.';
            plain += static_cast<char>('0' + random() % 10);
        }
        if (random() & 1) plain += "e" + std::to_string(static_cast<int>(random() % 90) - 45);
        check_field<0>(plain);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: %s COUNT [FILE WIDTH]...\n", argv[0]);
        return 2;
    }
    check_generated(std::atol(argv[1]));
    for (int i = 2; i + 1 < argc; i += 2) {
        const int width = std::atoi(argv[i + 1]);
        if (width == 12)
            check_file<12>(argv[i]);
        else if (width == 15)
            check_file<15>(argv[i]);
        else
            std::fprintf(stderr, "%s: only widths 12 and 15 are swept\n", argv[i]);
    }
    std::printf("%ld texts agree\n", checked);
}
