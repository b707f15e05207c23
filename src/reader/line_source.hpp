// Lines of a plot file's bytes, read front to back from a ByteSource through
// one buffer (8192 bytes unless the caller asks for another size). Each line
// is checked to be well-formed UTF-8 and handed out without its LF or CR LF
// terminator, as a view that stays valid until the next read. The source
// numbers the lines it hands out, can hand the last one out once more, and
// tells whether a line was the last and lacked its line feed. It owns its
// buffer; the ByteSource stays the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "reader/byte_source.hpp"
#include "reader/error_text.hpp"
#include "reader/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace reader {

class LineSource {
public:
    static constexpr std::size_t default_buffer_size = 8192;

    enum class Status : unsigned char { line, end_of_file, error };

    // Each refill is one read of up to buffer_size bytes. first_line is the
    // number of the first line that the bytes hold (1 where they start the
    // file).
    explicit LineSource(ByteSource& bytes, std::size_t buffer_size = default_buffer_size, std::uint64_t first_line = 1);

    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;

    // End of file only when not a single byte was left.
    Status read_next_line();
    // The next read_next_line hands out the current line again, with its
    // number. Only right after a line was handed out.
    void give_back() noexcept;

    // The line is followed in memory by at least line_padding readable
    // bytes, so that parsers may read whole words from its last field (the
    // buffer has as many zeroed bytes after its end).
    static constexpr std::size_t line_padding = 16;
    std::string_view line() const noexcept { return line_; }
    // Bytes of the file taken so far, terminators included.
    std::uint64_t consumed() const noexcept { return before_buffer_ + position_; }
    std::uint64_t size_hint() const noexcept { return bytes_.size_hint(); }
    bool line_is_ascii() const noexcept { return line_is_ascii_; }
    IoError error() const noexcept { return error_; }
    // The number of the line last handed out (first_line - 1 before any);
    // a read that fails or finds the end is about the line after it.
    std::uint64_t line_number() const noexcept { return line_number_; }
    // Whether the line last handed out, or the one whose read failed, was
    // the last of the bytes and had no line feed: a file cut while written.
    bool ended_without_line_feed() const noexcept { return ended_without_line_feed_; }
    // Whether a read has found the end of the bytes.
    bool at_end() const noexcept { return at_end_; }

    // Where the line whose read failed is not UTF-8: the offset of its first
    // bad byte and that byte, and whether the bad sequence is a whole one's
    // start that the end of the bytes cut off (a file cut while written).
    struct InvalidSequence {
        std::size_t offset = 0;
        unsigned char byte = 0;
        bool cut_at_end = false;
    };
    InvalidSequence invalid_sequence() const noexcept { return invalid_; }

private:
    Status read_spanning_line();
    Status finish_spanning_line(bool had_line_feed);
    Status finish_line(std::string_view bytes, bool had_line_feed, bool ascii);
    Status invalid_line(std::string_view bytes, bool had_line_feed);
    bool refill();

    ByteSource& bytes_;
    std::size_t buffer_size_;
    std::unique_ptr<char[]> buffer_;
    std::uint64_t before_buffer_ = 0;  // file bytes that came before the current fill
    std::size_t position_ = 0;
    std::size_t fill_ = 0;
    // While a line is given back, the fill is kept here and fill_ is 0, so
    // that the next read leaves the common path for read_spanning_line,
    // which hands the line out again: the common path tests nothing more.
    std::size_t given_back_fill_ = 0;
    bool given_back_ = false;
    bool ended_without_line_feed_ = false;
    bool at_end_ = false;
    std::uint64_t line_number_;
    // Holds a line that does not lie within one buffer fill, and
    // line_padding zero bytes after it; its capacity is kept from line to
    // line.
    std::string spanning_;
    std::string_view line_;
    bool line_is_ascii_ = true;
    IoError error_;
    InvalidSequence invalid_;
};

// The line feed in [p, end), or null, and whether the bytes before it (all
// of them when there is none) are ASCII: one pass for both, thirty-two bytes
// at a time, then sixteen. May read up to 15 bytes past end, which the
// buffer's padding allows.
inline const char* find_line_end(const char* p, const char* end, bool& ascii) noexcept {
#if defined(__SSE2__)
    const __m128i line_feed = _mm_set1_epi8('\n');
    __m128i seen = _mm_setzero_si128();
    for (; end - p >= 32; p += 32) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i low_feeds = _mm_cmpeq_epi8(low, line_feed);
        const __m128i high_feeds = _mm_cmpeq_epi8(high, line_feed);
        if (_mm_movemask_epi8(_mm_or_si128(low_feeds, high_feeds)) != 0) {
            const auto feeds = static_cast<std::uint32_t>(_mm_movemask_epi8(low_feeds)) |
                               static_cast<std::uint32_t>(_mm_movemask_epi8(high_feeds)) << 16;
            const auto non_ascii = static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
                                   static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16;
            ascii = _mm_movemask_epi8(seen) == 0 && (non_ascii & ((feeds & (0u - feeds)) - 1)) == 0;
            return p + std::countr_zero(feeds);
        }
        seen = _mm_or_si128(seen, _mm_or_si128(low, high));
    }
    auto non_ascii_before = static_cast<unsigned>(_mm_movemask_epi8(seen));
    for (; p < end; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, line_feed)));
        auto non_ascii = static_cast<unsigned>(_mm_movemask_epi8(chunk));
        if (end - p < 16) {
            const unsigned inside = (1u << (end - p)) - 1;
            feeds &= inside;
            non_ascii &= inside;
        }
        if (feeds != 0) {
            non_ascii_before |= non_ascii & ((feeds & (0u - feeds)) - 1);
            ascii = non_ascii_before == 0;
            return p + std::countr_zero(feeds);
        }
        non_ascii_before |= non_ascii;
    }
    ascii = non_ascii_before == 0;
    return nullptr;
#else
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    ascii = is_ascii({p, static_cast<std::size_t>((lf != nullptr ? lf : end) - p)});
    return lf;
#endif
}

inline LineSource::Status LineSource::finish_line(std::string_view bytes, bool had_line_feed, bool ascii) {
    if (!ascii && !is_valid_utf8(bytes)) [[unlikely]]
        return invalid_line(bytes, had_line_feed);
    // Only a CR right before the LF belongs to the terminator; one that ends
    // the file's last line stays part of it.
    if (had_line_feed && !bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
    line_ = bytes;
    line_is_ascii_ = ascii;
    ++line_number_;
    return Status::line;
}

inline LineSource::Status LineSource::read_next_line() {
    if (position_ < fill_) [[likely]] {
        const char* start = buffer_.get() + position_;
        bool ascii;
        const char* lf = find_line_end(start, buffer_.get() + fill_, ascii);
        if (lf != nullptr) [[likely]] {
            position_ += static_cast<std::size_t>(lf - start) + 1;
            return finish_line({start, static_cast<std::size_t>(lf - start)}, true, ascii);
        }
    }
    return read_spanning_line();
}

}  // namespace reader
