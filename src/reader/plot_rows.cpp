#include "reader/plot_rows.hpp"

#include <limits>
#include <new>

#include "reader/failure.hpp"
#include "reader/plot_driver.hpp"
#include "reader/time_stamp.hpp"

namespace olvane {

namespace {

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
    void block_start(std::string_view line, bool ascii) { plot_.times.push_back(time_stamps_.read(line, ascii)); }
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
    PlotRows plot_;
    std::uint64_t lines_ = 0;
    std::string notice_;
    TimeStamps time_stamps_;
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
