// dunvel's time of each block-start line: the first whitespace-separated
// token that begins like a number (an optional sign, then a digit or a
// point), is one of the grammar's words or is all asterisks decides it, as
// the nearest double, or NaN where that token is no number; NaN where no
// token decides. TimeStamps reads a line laid out like the last one searched
// in place, to the same bits as a search from the line's start.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "reader/number.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace reader {

struct FoundTime {
    double value;
    std::size_t at;  // where the deciding token starts; npos where none decides
};

// ascii: the line is all ASCII. The search starts at byte from, which must
// start the line or follow whitespace.
FoundTime parse_time(std::string_view block_start_line, bool ascii, std::size_t from = 0);

namespace time_stamp_detail {

inline bool is_ascii_space(char c) noexcept { return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t'; }

// The value of the ASCII token at p when it is a simple number whole.
inline std::optional<double> simple_token(const char* p, const char* end) noexcept {
    const Scanned number = scan_simple_double(p, end);
    if (number.end != nullptr && (number.end == end || is_ascii_space(*number.end))) return number.value;
    return std::nullopt;
}

}  // namespace time_stamp_detail

class TimeStamps {
public:
    // The most bytes before a time that are compared in place: one 16-byte
    // comparison, which the padding after a line source's lines allows.
    static constexpr std::size_t prefix_capacity = 16;

    // The line's bytes must be followed in memory by prefix_capacity
    // readable bytes, as a LineSource's lines are.
    //
    // Block-start lines of a file share their layout: where the bytes before
    // the last deciding token are the same, every token among them is one
    // that was passed over (the bytes end in whitespace, so the tokens end
    // where they did), and the search starts at that token, which is most
    // often a simple number right there.
    double read(std::string_view line, bool ascii) {
        if (ascii && prefix_length_ != 0 && line.size() > prefix_length_ && has_prefix(line)) {
            if (const auto value = time_stamp_detail::simple_token(line.data() + prefix_length_,
                                                                   line.data() + line.size())) [[likely]]
                return *value;
            return search(line, ascii, prefix_length_);
        }
        return search(line, ascii, 0);
    }

private:
    // The search from byte from, keeping the bytes before the deciding token
    // of an ASCII line for the next.
    double search(std::string_view line, bool ascii, std::size_t from);

    bool has_prefix(std::string_view line) const noexcept {
#if defined(__SSE2__)
        static_assert(sizeof prefix_ == 16);
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data()));
        const auto same = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(prefix_)))));
        const unsigned wanted = (1u << prefix_length_) - 1;
        return (same & wanted) == wanted;
#else
        return std::memcmp(line.data(), prefix_, prefix_length_) == 0;
#endif
    }

    // The bytes before the deciding token in the last ASCII line that needed
    // a search, when there were at most prefix_capacity.
    char prefix_[prefix_capacity] = {};
    std::size_t prefix_length_ = 0;
};

}  // namespace reader
