#include "reader/plot_file.hpp"

#include <new>
#include <stdexcept>

#include "reader/console.hpp"
#include "reader/plot_driver.hpp"

namespace olvane {

namespace {

// olvane's result: one column per parameter. Lines are not counted and the
// header's names and block-start lines are not kept.
class ColumnsSink {
public:
    static constexpr bool detects_width = false;

    struct Targets {
        Column* columns;
        void put(unsigned k, float value) { columns[k].push_back(value); }
    };

    void count_line() noexcept {}
    int announce_bad_count(std::string_view notice) { return write_stdout_line(notice); }
    void name(std::string_view) noexcept {}
    void start(std::uint32_t count) { columns_.resize(count); }
    void block_start(std::string_view) noexcept {}
    Targets begin_block() noexcept { return {columns_.data()}; }
    Targets targets(Targets block, std::uint32_t first) noexcept { return {block.columns + first}; }
    void end_block() noexcept {}

    // Sizes every column for the blocks still to come, judged by the bytes
    // that the first block took, so that columns do not grow by copying as
    // they fill. Only a hint: columns still grow if the guess was short, and
    // a guess that cannot be had is simply not taken.
    void reserve(const LineSource& source, std::uint64_t data_start) {
        const std::uint64_t block_bytes = source.consumed() - data_start;
        const std::uint64_t size = source.size_hint();
        if (block_bytes == 0 || size <= data_start) return;
        const std::uint64_t blocks = (size - data_start) / block_bytes;
        const std::uint64_t capacity = blocks + blocks / 16 + 16;
        try {
            for (Column& column : columns_) column.reserve(static_cast<std::size_t>(capacity));
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
    }

    Columns take() noexcept { return std::move(columns_); }

private:
    Columns columns_;
};

}  // namespace

Columns read_plot_file(std::string_view path, std::uint32_t n_digits) {
    ColumnsSink sink;
    driver::read_plot(path, sink, LineSource::default_buffer_size,
                      [n_digits](LineSource& source, ColumnsSink& columns, std::uint32_t count) {
                          driver::dispatch_width(source, columns, count, n_digits, source.consumed());
                      });
    return sink.take();
}

}  // namespace olvane
