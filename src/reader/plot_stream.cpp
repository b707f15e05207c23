#include "reader/plot_stream.hpp"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "reader/failure.hpp"
#include "reader/plot_driver.hpp"
#include "reader/time_stamp.hpp"

namespace reader {

namespace {

// The values of a run of steps as rows, each step at its own row counted
// from the run's first, with each step's time; the names go to the stream.
// It notes where each step ended in the bytes, so that the stream knows
// where to go on from.
class RunSink {
public:
    static constexpr bool selects_fields = false;
    static constexpr bool fortran_forms = true;

    struct Targets {
        float* row;
        void put(unsigned k, float value) noexcept { row[k] = value; }
    };

    RunSink(std::vector<std::string>& names, const LineSource& source, std::uint64_t first_step,
            std::uint64_t max_steps, bool growing)
        : names_(names), source_(source), first_step_(first_step), max_steps_(max_steps), growing_(growing) {}

    // The failure that follows says it in plain words.
    int announce_bad_count(std::string_view) noexcept { return 0; }
    void name(std::string_view line) {
        const std::vector<std::string_view> tokens = split_tokens(line);
        names_.emplace_back(tokens.empty() ? std::string_view() : tokens.back());
    }
    void start(std::uint32_t count) { rows_.count = count; }
    bool begin_step(std::uint64_t step, std::string_view line, bool ascii) {
        index_ = static_cast<std::size_t>(step - first_step_);
        *rows_.times.slot(index_, 1) = time_stamps_.read(line, ascii);
        row_ = rows_.values.slot(index_ * rows_.count, rows_.count);
        return true;
    }
    Targets targets(std::uint32_t first) noexcept { return {row_ + first}; }
    void end_step() noexcept {
        // A growing file's last line may still be written on.
        if (growing_ && source_.ended_without_line_feed()) [[unlikely]] {
            unfinished_ = true;
            return;
        }
        rows_.times.commit_to(index_ + 1);
        rows_.values.commit_to((index_ + 1) * rows_.count);
        last_start_ = end_;
        end_ = source_.consumed();
        end_line_ = source_.line_number();
    }
    // Nothing of a step belongs to the arrays before it ends.
    void discard_step() noexcept {}
    unsigned wanted_fields(std::uint32_t) const noexcept { return ~0u; }

    // Pages that stay unused are never touched, so a generous guess costs
    // nothing, and a short one only a remapping.
    void reserve(std::uint64_t steps) noexcept {
        if (max_steps_ != 0) steps = std::min(steps, max_steps_);
        if (steps > std::numeric_limits<std::size_t>::max() / (std::uint64_t{rows_.count} + 1)) return;
        rows_.times.reserve_hint(static_cast<std::size_t>(steps));
        rows_.values.reserve_hint(static_cast<std::size_t>(steps * rows_.count));
    }

    PlotRows& rows() noexcept { return rows_; }
    std::size_t steps() const noexcept { return rows_.times.size(); }
    bool unfinished() const noexcept { return unfinished_; }
    // In the source's bytes: where the last step taken began and ended, and its last line.
    void start_at(std::uint64_t offset) noexcept { end_ = offset; }
    std::uint64_t last_start() const noexcept { return last_start_; }
    std::uint64_t end() const noexcept { return end_; }
    std::uint64_t end_line() const noexcept { return end_line_; }

private:
    std::vector<std::string>& names_;
    const LineSource& source_;
    std::uint64_t first_step_;
    std::uint64_t max_steps_;
    bool growing_;
    bool unfinished_ = false;
    PlotRows rows_;
    std::size_t index_ = 0;
    float* row_ = nullptr;
    TimeStamps time_stamps_;
    std::uint64_t last_start_ = 0;
    std::uint64_t end_ = 0;
    std::uint64_t end_line_ = 0;
};

static_assert(driver::Sink<RunSink>);

// A step cut by the end of the data: left out where the caller keeps the
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

// A growing file's cut step is not written whole yet: it is read again.
struct LeaveCutStep {
    bool& cut;
    void step_cut(ReaderFailure&&, const driver::StepCut&) const { cut = true; }
};

static_assert(driver::EndPolicy<CutSteps>);
static_assert(driver::EndPolicy<LeaveCutStep>);

}  // namespace

PlotStream::PlotStream(ByteSource& bytes, const StreamOptions& options)
    : options_(options), source_(std::make_unique<LineSource>(bytes, options.buffer_size)), width_(options.width) {
    RunSink sink(names_, *source_, 0, 0, options.growing);
    try {
        count_ = driver::read_header(*source_, sink);
        // Its last name may be only part of the name yet.
        if (options.growing && source_->ended_without_line_feed())
            driver::fail_at("Failed to read line!", source_->line_number(), Problem::header, "");
    } catch (ReaderFailure& failure) {
        if (!options.growing || !(source_->at_end() || source_->ended_without_line_feed())) throw;
        failure.problem = Problem::header;
        failure.column = 0;
        failure.text.reset();
        failure.plain = "the header is not written whole yet: the file ends in it, after " +
                        plural(source_->line_number(), "line");
        throw;
    }
    header_bytes_ = last_step_offset_ = resume_offset_ = bytes_seen_ = source_->consumed();
    resume_line_ = source_->line_number() + 1;
}

PlotRows PlotStream::read(std::uint64_t max_steps) {
    RunSink sink(names_, *source_, next_step_, max_steps, options_.growing);
    sink.start(count_);
    sink.start_at(resume_offset_ - source_start_);
    PlotRows& rows = sink.rows();
    if (finished_) {
        rows.width = width_.value_or(12);
        return std::move(rows);
    }
    const std::uint64_t stop = max_steps == 0 ? std::uint64_t(-1) : next_step_ + max_steps;
    bool cut = false;
    std::uint32_t width;
    if (options_.growing)
        width = driver::read_steps(*source_, sink, count_, width_, next_step_, LeaveCutStep{cut}, stop);
    else
        width = driver::read_steps(*source_, sink, count_, width_, next_step_,
                                   CutSteps{options_.keep_incomplete, rows.complete}, stop);
    const std::size_t steps = sink.steps();
    // A width found from a line that may be cut is not the file's yet.
    if (steps > 0 && !width_) width_ = width;
    rows.width = width_.value_or(width);
    if (steps > 0) {
        next_step_ += steps;
        last_step_offset_ = source_start_ + sink.last_start();
        resume_offset_ = source_start_ + sink.end();
        resume_line_ = sink.end_line() + 1;
    }
    bytes_seen_ = std::max(bytes_seen_, source_start_ + source_->consumed());
    const bool ended = source_->at_end() || cut || sink.unfinished() || !rows.complete;
    if (options_.growing)
        needs_resume_ = ended;
    else
        finished_ = ended;
    return std::move(rows);
}

void PlotStream::resume(ByteSource& bytes) {
    source_ = std::make_unique<LineSource>(bytes, options_.buffer_size, resume_line_);
    source_start_ = resume_offset_;
    needs_resume_ = false;
}

}  // namespace reader
