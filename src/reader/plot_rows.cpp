#include "reader/plot_rows.hpp"

#include <cstring>
#include <limits>
#include <new>

#include "reader/file_source.hpp"
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

// dunvel's result: the values as rows, each step at its own row, with the
// names and each step's time.
class RowsSink {
public:
    static constexpr bool selects_fields = false;

    struct Targets {
        float* row;
        void put(unsigned k, float value) noexcept { row[k] = value; }
    };

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
    bool begin_step(std::uint64_t step, std::string_view line, bool ascii) {
        step_ = static_cast<std::size_t>(step);
        *plot_.times.slot(step_, 1) = time_of(line, ascii);
        row_ = plot_.values.slot(step_ * plot_.count, plot_.count);
        return true;
    }
    Targets targets(std::uint32_t first) noexcept { return {row_ + first}; }
    void end_step() noexcept {
        plot_.times.commit_to(step_ + 1);
        plot_.values.commit_to((step_ + 1) * plot_.count);
    }
    // Nothing of a step belongs to the arrays before it ends.
    void discard_step() noexcept {}
    unsigned wanted_fields(std::uint32_t) const noexcept { return ~0u; }

    // Pages that stay unused are never touched, so a generous guess costs
    // nothing, and a short one only a remapping.
    void reserve(std::uint64_t steps) noexcept {
        if (steps > std::numeric_limits<std::size_t>::max() / (std::uint64_t{plot_.count} + 1)) return;
        plot_.times.reserve_hint(static_cast<std::size_t>(steps));
        plot_.values.reserve_hint(static_cast<std::size_t>(steps * plot_.count));
    }

    const std::string& notice() const noexcept { return notice_; }
    PlotRows& plot() noexcept { return plot_; }

private:
    // Block-start lines of a file share their layout: where the bytes before
    // the last time's token are the same, every token among them is one that
    // was turned away (the bytes end in whitespace, so the tokens end where
    // they did), and the search starts at that token, which is most often a
    // simple number right there.
    double time_of(std::string_view line, bool ascii) {
        std::size_t from = 0;
        if (ascii && prefix_length_ != 0 && line.size() > prefix_length_ && has_prefix(line)) {
            from = prefix_length_;
            double value;
            if (simple_token(line.data() + from, line.data() + line.size(), value)) [[likely]]
                return value;
        }
        std::size_t at = from;
        const double time = parse_time(line, ascii, at);
        if (at != from && ascii) {
            prefix_length_ = at <= sizeof prefix_ ? at : 0;
            std::memcpy(prefix_, line.data(), prefix_length_);
        }
        return time;
    }

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
    std::size_t step_ = 0;
    float* row_ = nullptr;
    std::string notice_;
    // The bytes before the time's token in the last block-start line that
    // needed a search, when there were at most sixteen.
    char prefix_[16] = {};
    std::size_t prefix_length_ = 0;
};

static_assert(driver::Sink<RowsSink>);

}  // namespace

namespace {

// Whether a token may be a number of the grammar: it must start with a
// digit, a point, a sign or the first letter of "inf" or "nan". Most tokens
// of a block-start line are words and signs of equality, which this turns
// away without a parse.
bool may_be_number(char first) noexcept {
    switch (first | 0x20) {
        case 'i':
        case 'n': return true;
        default: return (first >= '0' && first <= '9') || first == '.' || first == '+' || first == '-';
    }
}

}  // namespace

double parse_time(std::string_view line, bool ascii, std::size_t& at) {
    const char* p = line.data() + at;
    const char* const end = p + line.size();
    double value;
    if (ascii) [[likely]] {
        while (p < end) {
            while (p < end && is_ascii_space(*p)) ++p;
            const char* const start = p;
            if (p < end && may_be_number(*p) && simple_token(p, end, value)) {
                at = static_cast<std::size_t>(start - line.data());
                return value;
            }
            while (p < end && !is_ascii_space(*p)) ++p;
            if (start < p && may_be_number(*start) &&
                parse_double({start, static_cast<std::size_t>(p - start)}, value)) {
                at = static_cast<std::size_t>(start - line.data());
                return value;
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
        if (parse_double({start, static_cast<std::size_t>(p - start)}, value)) {
            at = static_cast<std::size_t>(start - line.data());
            return value;
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

PlotRows read_plot_rows(std::string_view path, const RowsOptions& options) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, options.on_interrupt)) driver::fail_open(error);
    FileSource file(fd, options.on_interrupt);
    LineSource source(file, options.buffer_size);
    RowsSink sink;
    try {
        const std::uint32_t count = driver::read_header(source, sink);
        sink.plot().width = driver::read_steps(source, sink, count,
                                               options.detect_width ? std::nullopt : std::optional(options.width));
    } catch (ReaderFailure& failure) {
        if (!sink.notice().empty()) failure.message = sink.notice() + "\n" + failure.message;
        throw;
    }
    return std::move(sink.plot());
}

}  // namespace olvane
