#include "reader/plot_file.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "reader/console.hpp"
#include "reader/file_source.hpp"
#include "reader/plot_driver.hpp"

namespace reader {

namespace {

// olvane's result: one column per parameter, every field of every step. The
// header's names and block-start lines are not kept. A file is read whole in
// one pass from its first step, so a step's row is always the next one.
class ColumnsSink {
public:
    static constexpr bool selects_fields = false;
    static constexpr bool fortran_forms = false;

    struct Targets {
        Column* columns;
        void put(unsigned k, float value) { columns[k].push_back(value); }
    };

    int announce_bad_count(std::string_view notice) { return write_stdout_line(notice); }
    void name(std::string_view) noexcept {}
    void start(std::uint32_t count) { columns_.resize(count); }
    bool begin_step(std::uint64_t, std::string_view, bool) noexcept { return true; }
    Targets targets(std::uint32_t first) noexcept { return {columns_.data() + first}; }
    void end_step() noexcept { ++steps_; }
    void discard_step() noexcept {
        for (Column& column : columns_) column.resize(std::min(column.size(), steps_));
    }
    unsigned wanted_fields(std::uint32_t) const noexcept { return ~0u; }
    bool full() const noexcept { return false; }

    // Columns sized for the steps to come, so that they do not grow by
    // copying as they fill. Only a hint: columns still grow if the guess was
    // short, and a guess that cannot be had is simply not taken.
    void reserve(std::uint64_t steps) {
        try {
            for (Column& column : columns_) column.reserve(static_cast<std::size_t>(steps));
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
    }

    Columns take() noexcept { return std::move(columns_); }

private:
    Columns columns_;
    std::size_t steps_ = 0;
};

static_assert(driver::Sink<ColumnsSink>);

}  // namespace

Columns read_plot_file(std::string_view path, std::uint32_t n_digits, const InterruptCheck& on_interrupt) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, on_interrupt)) driver::fail_open(error);
    FileSource file(fd, on_interrupt);
    LineSource source(file);
    ColumnsSink sink;
    const std::uint32_t count = driver::read_header(source, sink);
    driver::read_steps(source, sink, count, n_digits);
    return sink.take();
}

}  // namespace reader
