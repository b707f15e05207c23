#include "reader/plot_rows.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "reader/plot_driver.hpp"
#include "reader/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace olvane {

namespace {

bool is_ascii_space(char c) noexcept {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

// Whether the ASCII token at p is a simple number whole, and its value.
bool simple_token(const char* p, const char* end, double& value) noexcept {
    const char* const stop = scan_simple_double(p, end, value);
    return stop != nullptr && (stop == end || is_ascii_space(*stop));
}

class RowsSink {
public:
    static constexpr bool detects_width = true;

    struct Targets {
        float* row;
        void put(unsigned k, float value) noexcept { row[k] = value; }
    };

    void count_line() noexcept { ++lines_; }
    // Never written anywhere: it goes in front of the failure's message.
    int announce_bad_count(std::string_view notice) {
        notice_ = notice;
        return 0;
    }
    void name(std::string_view line) {
        const std::vector<std::string_view> tokens = split_tokens(line);
        plot_.names.emplace_back(tokens.empty() ? std::string_view() : tokens.back());
    }
    void start(std::uint32_t count) { plot_.count = count; }
    // Block-start lines of a file share their layout: where the bytes before
    // the last time's token are the same, every token among them is one that
    // was turned away (the bytes end in whitespace, so the tokens end where
    // they did), and the search starts at that token, which is most often a
    // simple number right there.
    void block_start(std::string_view line, bool ascii) {
        std::size_t from = 0;
        if (ascii && prefix_length_ != 0 && line.size() > prefix_length_ && has_prefix(line)) {
            from = prefix_length_;
            double value;
            if (simple_token(line.data() + from, line.data() + line.size(), value)) [[likely]] {
                plot_.times.push_back(value);
                return;
            }
        }
        std::size_t at = from;
        plot_.times.push_back(parse_time(line, ascii, at));
        if (at != from && ascii) {
            prefix_length_ = at <= sizeof prefix_ ? at : 0;
            std::memcpy(prefix_, line.data(), prefix_length_);
        }
    }
    Targets begin_block() { return {plot_.values.extend(plot_.count)}; }
    Targets targets(Targets block, std::uint32_t first) noexcept { return {block.row + first}; }
    void end_block() noexcept { plot_.values.commit(plot_.count); }

    // Room for the blocks still to come, judged by the bytes that the first
    // block took; pages that stay unused are never touched, so a generous
    // guess costs nothing, and a short one only a remapping.
    void reserve(const LineSource& source, std::uint64_t data_start) noexcept {
        const std::uint64_t block_bytes = source.consumed() - data_start;
        const std::uint64_t size = source.size_hint();
        if (block_bytes == 0 || size <= data_start) return;
        const std::uint64_t blocks = (size - data_start) / block_bytes;
        const std::uint64_t capacity = blocks + blocks / 16 + 16;
        if (capacity > std::numeric_limits<std::size_t>::max() / (std::uint64_t{plot_.count} + 1)) return;
        plot_.times.reserve_hint(static_cast<std::size_t>(capacity));
        plot_.values.reserve_hint(static_cast<std::size_t>(capacity * plot_.count));
    }

    std::uint64_t lines() const noexcept { return lines_; }
    const std::string& notice() const noexcept { return notice_; }
    PlotRows& plot() noexcept { return plot_; }

private:
    // Whether the line starts with the prefix: one comparison of sixteen
    // bytes, which a line's padding lets us read.
    bool has_prefix(std::string_view line) const noexcept {
#if defined(__SSE2__)
        static_assert(sizeof prefix_ == LineSource::line_padding);
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data()));
        const auto same = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(prefix_)))));
        const unsigned wanted = (1u << prefix_length_) - 1;
        return (same & wanted) == wanted;
#else
        return std::memcmp(line.data(), prefix_, prefix_length_) == 0;
#endif
    }

    PlotRows plot_;
    std::uint64_t lines_ = 0;
    std::string notice_;
    // The bytes before the time's token in the last block-start line that
    // needed a search, when there were at most sixteen.
    char prefix_[16] = {};
    std::size_t prefix_length_ = 0;
};

std::size_t trimmed_end_length(std::string_view line) {
    const std::string_view trimmed = trim_field(line);
    return trimmed.empty() ? 0 : static_cast<std::size_t>(trimmed.data() + trimmed.size() - line.data());
}

// After the header: reads the first block's start line and first data line,
// takes the width from the latter, and reads on with that width.
void read_detecting_width(LineSource& source, RowsSink& sink, std::uint32_t count) {
    PlotRows& plot = sink.plot();
    plot.width = 12;
    const std::uint64_t data_start = source.consumed();
    if (count == 0) return driver::dispatch_width(source, sink, count, plot.width, data_start);
    sink.count_line();
    switch (source.read_next_line()) {
        case LineSource::Status::line: break;
        case LineSource::Status::end_of_file: return;
        case LineSource::Status::error: driver::fail_read(source);
    }
    sink.block_start(source.line(), source.line_is_ascii());
    sink.count_line();
    switch (source.read_next_line()) {
        case LineSource::Status::line: break;
        case LineSource::Status::end_of_file: throw ReaderFailure("Error reading line");
        case LineSource::Status::error: driver::fail_read(source);
    }
    const std::size_t length = trimmed_end_length(source.line());
    const std::uint32_t fields = std::min(driver::fields_per_line, count);
    if (length == std::size_t{fields} * 15) {
        plot.width = 15;
    } else if (length != std::size_t{fields} * 12) {
        throw ReaderFailure("Could not tell the field width: the first data line holds " +
                            std::to_string(length) + " bytes (trailing whitespace aside) for " +
                            std::to_string(fields) + (fields == 1 ? " field" : " fields") +
                            ", which is neither 12 nor 15 bytes a field");
    }
    driver::dispatch_width(source, sink, count, plot.width, data_start, true);
}

}  // namespace

namespace {

// Whether the token at p begins like a number: an optional sign, then a
// digit or a point. Such a token decides the time whatever follows.
bool begins_like_number(const char* p, const char* end) noexcept {
    p += *p == '+' || *p == '-';
    return p < end && (static_cast<unsigned char>(*p - '0') < 10 || *p == '.');
}

// The time that a token gives, or nothing when the token is passed over: one
// that begins like a number gives its value, or NaN when it is none (a
// misprint must not let a later number, such as the step's, stand in for the
// time); the grammar's words give theirs; asterisks, which Fortran writes for
// a value too wide for its field, give NaN.
std::optional<double> token_time(std::string_view token) noexcept {
    const char* const p = token.data();
    const char* const end = p + token.size();
    double value;
    if (begins_like_number(p, end))
        return parse_double(token, value) ? value : std::numeric_limits<double>::quiet_NaN();
    const std::size_t sign = *p == '+' || *p == '-';
    const char lead = token.size() > sign ? p[sign] : '\0';
    if (((lead | 0x20) == 'i' || (lead | 0x20) == 'n') && parse_double(token, value)) return value;
    if (token.find_first_not_of('*') == std::string_view::npos) return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
}

}  // namespace

double parse_time(std::string_view line, bool ascii, std::size_t& at) {
    const char* p = line.data() + at;
    const char* const end = line.data() + line.size();
    if (ascii) [[likely]] {
        while (p < end) {
            while (p < end && is_ascii_space(*p)) ++p;
            if (p == end) break;
            const char* const start = p;
            double value;
            if (begins_like_number(p, end) && simple_token(p, end, value)) {
                at = static_cast<std::size_t>(start - line.data());
                return value;
            }
            while (p < end && !is_ascii_space(*p)) ++p;
            if (const auto time = token_time({start, static_cast<std::size_t>(p - start)})) {
                at = static_cast<std::size_t>(start - line.data());
                return *time;
            }
        }
        return std::numeric_limits<double>::quiet_NaN();
    }
    // Whether the character at p is whitespace, and its length.
    const auto space_at = [end](const char* at, std::size_t& length) {
        const Decoded d = decode_utf8({at, static_cast<std::size_t>(end - at)});
        length = d.length;
        return is_whitespace(d.code_point);
    };
    std::size_t length = 0;
    while (p < end) {
        if (space_at(p, length)) {
            p += length;
            continue;
        }
        const char* const start = p;
        while (p < end && !space_at(p, length)) p += length;
        if (const auto time = token_time({start, static_cast<std::size_t>(p - start)})) {
            at = static_cast<std::size_t>(start - line.data());
            return *time;
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

PlotRows read_plot_rows(std::string_view path, const RowsOptions& options) {
    RowsSink sink;
    try {
        driver::read_plot(path, sink, options.buffer_size, options.on_interrupt,
                          [&options](LineSource& source, RowsSink& rows, std::uint32_t count) {
                              if (options.detect_width) return read_detecting_width(source, rows, count);
                              rows.plot().width = options.width;
                              driver::dispatch_width(source, rows, count, options.width, source.consumed());
                          });
    } catch (ReaderFailure& failure) {
        if (failure.line == 0 && failure.kind != FailureKind::open) failure.line = sink.lines();
        if (!sink.notice().empty()) failure.message = sink.notice() + "\n" + failure.message;
        throw;
    }
    return std::move(sink.plot());
}

}  // namespace olvane
