#include "reader/plot_rows.hpp"

#include <limits>
#include <new>
#include <optional>

#include "reader/compression.hpp"
#include "reader/failure.hpp"
#include "reader/file_source.hpp"
#include "reader/plot_driver.hpp"
#include "reader/time_stamp.hpp"

namespace reader {

namespace {

// dunvel's result: the values as rows, each step at its own row, with the
// names and each step's time.
class RowsSink {
public:
    static constexpr bool selects_fields = false;
    static constexpr bool fortran_forms = true;

    struct Targets {
        float* row;
        void put(unsigned k, float value) noexcept { row[k] = value; }
    };

    // The failure that follows says it in plain words.
    int announce_bad_count(std::string_view) noexcept { return 0; }
    void name(std::string_view line) {
        const std::vector<std::string_view> tokens = split_tokens(line);
        plot_.names.emplace_back(tokens.empty() ? std::string_view() : tokens.back());
    }
    void start(std::uint32_t count) { plot_.count = count; }
    bool begin_step(std::uint64_t step, std::string_view line, bool ascii) {
        step_ = static_cast<std::size_t>(step);
        *plot_.times.slot(step_, 1) = time_stamps_.read(line, ascii);
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

    PlotRows& plot() noexcept { return plot_; }

private:
    PlotRows plot_;
    std::size_t step_ = 0;
    float* row_ = nullptr;
    TimeStamps time_stamps_;
};

static_assert(driver::Sink<RowsSink>);

// A step cut by the end of the file: left out where the caller keeps the
// complete steps before it, else the failure says so, and how to keep them.
struct CutSteps {
    bool keep;
    bool& complete;

    void step_cut(ReaderFailure&& failure, const driver::StepCut& cut) const {
        if (keep) {
            complete = false;
            return;
        }
        std::string plain = "the file ends inside step " + std::to_string(cut.step) + " (counting from 0)";
        const std::uint64_t data_line = cut.whole_data_lines + 1;
        if (cut.inside_block_start)
            plain += ", inside its block-start line";
        else if (cut.inside_line)
            plain += ", inside its data line " + std::to_string(data_line) + " of " + std::to_string(cut.data_lines);
        else if (cut.whole_data_lines == 0)
            plain += ", after its block-start line";
        else
            plain += ", after " + std::to_string(cut.whole_data_lines) + " of its " +
                     plural(cut.data_lines, "data line");
        plain += cut.step == 0 ? "; no step before it is complete (incomplete=\"keep\" reads the file as 0 steps)"
                               : "; incomplete=\"keep\" reads the " + plural(cut.step, "complete step") + " before it";
        ReaderFailure incomplete(std::move(failure));
        incomplete.problem = Problem::incomplete;
        incomplete.column = 0;
        incomplete.text.reset();
        incomplete.plain = std::move(plain);
        throw incomplete;
    }
};

static_assert(driver::EndPolicy<CutSteps>);

}  // namespace

PlotRows read_plot_rows(std::string_view path, const RowsOptions& options) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, options.on_interrupt)) driver::fail_open(error);
    FileSource file(fd, options.on_interrupt);
    RefuseCompressed text(file);
    LineSource source(text, options.buffer_size);
    RowsSink sink;
    const std::uint32_t count = driver::read_header(source, sink);
    PlotRows& plot = sink.plot();
    plot.width = driver::read_steps(source, sink, count,
                                    options.detect_width ? std::nullopt : std::optional(options.width), 0,
                                    CutSteps{options.keep_incomplete, plot.complete});
    return std::move(plot);
}

}  // namespace reader
