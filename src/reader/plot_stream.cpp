#include "reader/plot_stream.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string_view>
#include <utility>

#include "reader/failure.hpp"
#include "reader/plot_driver.hpp"
#include "reader/time_stamp.hpp"

namespace reader {

namespace {

// The values of a run of steps as rows, each step kept at the next row,
// with each step's time (and, where steps are selected, its number); the
// names go to the stream. Where SelectsFields, a row holds only the
// parameters kept. Where InPlace, step k goes to row k of the caller's
// arrays instead (steps are then not selected). It notes where each step
// ended in the bytes, so that the stream knows where to go on from.
template <bool SelectsFields, bool InPlace = false>
class RunSink {
public:
    static constexpr bool selects_fields = SelectsFields;
    static constexpr bool fortran_forms = true;

    struct Targets {
        float* row;
        unsigned fields;  // where fields are selected: those kept of the line
        void put(unsigned k, float value) noexcept {
            if constexpr (SelectsFields)
                row[std::popcount(fields & ((1u << k) - 1))] = value;
            else
                row[k] = value;
        }
    };

    RunSink(std::vector<std::string>& names, const LineSource& source, const Selection& selection,
            const FieldSelection& fields, std::uint64_t max_steps, const StreamOptions& options,
            const RowTarget* target = nullptr)
        : names_(names),
          source_(source),
          selection_(selection),
          fields_(fields),
          selects_steps_(selection.selects_steps()),
          max_steps_(max_steps == 0 ? std::uint64_t(-1) : max_steps),
          growing_(options.growing),
          stop_(options.stop),
          target_(target) {}

    // The failure that follows says it in plain words.
    int announce_bad_count(std::string_view) noexcept { return 0; }
    void name(std::string_view line) {
        const std::vector<std::string_view> tokens = split_tokens(line);
        names_.emplace_back(tokens.empty() ? std::string_view() : tokens.back());
    }
    void start(std::uint32_t count) {
        rows_.count = count;
        row_length_ = SelectsFields ? fields_.kept() : count;
    }
    bool begin_step(std::uint64_t step, std::string_view line, bool ascii) {
        if constexpr (InPlace) {
            target_->times[step] = time_stamps_.read(line, ascii);
            row_ = target_->values + step * row_length_;
            return true;
        }
        double time;
        if (selects_steps_) [[unlikely]] {
            wanted_ = selected(step, line, ascii, time);
            if (!wanted_) return false;
        } else {
            time = time_stamps_.read(line, ascii);
        }
        index_ = rows_.times.size();
        *rows_.times.slot(index_, 1) = time;
        if (selects_steps_) *rows_.steps.slot(index_, 1) = static_cast<std::int64_t>(step);
        row_ = rows_.values.slot(index_ * row_length_, row_length_);
        return true;
    }
    Targets targets(std::uint32_t first) noexcept {
        if constexpr (SelectsFields)
            return {row_ + fields_.column(first), fields_.wanted(first)};
        else
            return {row_ + first, 0};
    }
    void end_step() noexcept {
        // A growing file's last line may still be written on.
        if (growing_ && source_.ended_without_line_feed()) [[unlikely]] {
            unfinished_ = true;
            return;
        }
        if constexpr (InPlace) {
            ++kept_;
        } else if (wanted_) {
            rows_.times.commit_to(index_ + 1);
            if (selects_steps_) rows_.steps.commit_to(index_ + 1);
            rows_.values.commit_to((index_ + 1) * row_length_);
        }
        ++passed_;
        last_start_ = end_;
        end_ = source_.consumed();
        end_line_ = source_.line_number();
    }
    // Nothing of a step belongs to the arrays before it ends.
    void discard_step() noexcept {}
    unsigned wanted_fields(std::uint32_t first) const noexcept {
        if constexpr (SelectsFields)
            return fields_.wanted(first);
        else
            return ~0u;
    }
    bool full() const noexcept {
        return steps() == max_steps_ || (stop_ != nullptr && stop_->load(std::memory_order_relaxed));
    }

    // Pages that stay unused are never touched, so a generous guess costs
    // nothing, and a short one only a remapping.
    void reserve(std::uint64_t steps) noexcept {
        if constexpr (InPlace) return;
        if (selects_steps_) steps = steps / selection_.stride + 1;
        steps = std::min(steps, max_steps_);
        if (steps > std::numeric_limits<std::size_t>::max() / (std::uint64_t{row_length_} + 1)) return;
        rows_.times.reserve_hint(static_cast<std::size_t>(steps));
        if (selects_steps_) rows_.steps.reserve_hint(static_cast<std::size_t>(steps));
        rows_.values.reserve_hint(static_cast<std::size_t>(steps * row_length_));
    }

    PlotRows& rows() noexcept { return rows_; }
    // The steps kept, and those read whole, kept or not.
    std::size_t steps() const noexcept {
        if constexpr (InPlace)
            return kept_;
        else
            return rows_.times.size();
    }
    std::uint64_t passed() const noexcept { return passed_; }
    bool unfinished() const noexcept { return unfinished_; }
    // In the source's bytes: where the last step read began and ended, and its last line.
    void start_at(std::uint64_t offset) noexcept { end_ = offset; }
    std::uint64_t last_start() const noexcept { return last_start_; }
    std::uint64_t end() const noexcept { return end_; }
    std::uint64_t end_line() const noexcept { return end_line_; }

private:
    // Whether the selection keeps the step, with its time where it does. A
    // time is parsed only where it is kept or decides.
    bool selected(std::uint64_t step, std::string_view line, bool ascii, double& time) {
        const bool by_number = selection_.selects_number(step);
        if (!by_number && !selection_.earliest && !selection_.latest) return false;
        time = time_stamps_.read(line, ascii);
        return by_number && selection_.selects_time(time);
    }

    std::vector<std::string>& names_;
    const LineSource& source_;
    const Selection& selection_;
    const FieldSelection& fields_;
    bool selects_steps_;
    std::uint64_t max_steps_;
    bool growing_;
    const std::atomic<bool>* stop_;
    const RowTarget* target_;
    std::size_t kept_ = 0;
    bool unfinished_ = false;
    bool wanted_ = true;
    PlotRows rows_;
    std::uint32_t row_length_ = 0;
    std::size_t index_ = 0;
    float* row_ = nullptr;
    TimeStamps time_stamps_;
    std::uint64_t passed_ = 0;
    std::uint64_t last_start_ = 0;
    std::uint64_t end_ = 0;
    std::uint64_t end_line_ = 0;
};

static_assert(driver::Sink<RunSink<false>>);
static_assert(driver::Sink<RunSink<true>>);
static_assert(driver::Sink<RunSink<false, true>>);

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
    RunSink<false> sink(names_, *source_, selection_, fields_, 0, options);
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

void PlotStream::select(const Selection& selection) {
    selection_ = selection;
    fields_ = selection.parameters ? FieldSelection(count_, *selection.parameters) : FieldSelection();
}

PlotStream::PlotStream(ByteSource& bytes, const StreamOptions& options, const PlotStream& from, std::uint64_t offset,
                       std::uint64_t first_step, std::uint64_t first_line)
    : options_(options),
      selection_(from.selection_),
      fields_(from.fields_),
      source_(std::make_unique<LineSource>(bytes, options.buffer_size, first_line)),
      source_start_(offset),
      count_(from.count_),
      width_(from.width_),
      next_step_(first_step),
      header_bytes_(from.header_bytes_),
      last_step_offset_(offset),
      resume_offset_(offset),
      resume_line_(first_line),
      bytes_seen_(offset) {}

PlotRows PlotStream::read(std::uint64_t max_steps, std::uint64_t stop_before, const RowTarget* target) {
    if (target != nullptr) {
        if (selection_.parameters) return read_run<true, true>(max_steps, stop_before, target);
        return read_run<false, true>(max_steps, stop_before, target);
    }
    if (selection_.parameters) return read_run<true, false>(max_steps, stop_before, nullptr);
    return read_run<false, false>(max_steps, stop_before, nullptr);
}

template <bool SelectsFields, bool InPlace>
PlotRows PlotStream::read_run(std::uint64_t max_steps, std::uint64_t stop_before, const RowTarget* target) {
    RunSink<SelectsFields, InPlace> sink(names_, *source_, selection_, fields_, max_steps, options_, target);
    sink.start(count_);
    sink.start_at(resume_offset_ - source_start_);
    PlotRows& rows = sink.rows();
    const std::optional<std::uint64_t> end = selection_.end_step();
    if (end && next_step_ >= *end) finished_ = stopped_ = true;
    if (finished_) {
        rows.width = width_.value_or(12);
        rows.stopped = stopped_;
        return std::move(rows);
    }
    bool cut = false;
    std::uint32_t width;
    const std::uint64_t stop = std::min(end.value_or(std::uint64_t(-1)), stop_before);
    if (options_.growing)
        width = driver::read_steps(*source_, sink, count_, width_, next_step_, LeaveCutStep{cut}, stop);
    else
        width = driver::read_steps(*source_, sink, count_, width_, next_step_,
                                   CutSteps{options_.keep_incomplete, rows.complete}, stop);
    const std::uint64_t passed = sink.passed();
    // A width found from a line that may be cut is not the file's yet.
    if (passed > 0 && !width_) width_ = width;
    rows.width = width_.value_or(width);
    if (passed > 0) {
        next_step_ += passed;
        last_step_offset_ = source_start_ + sink.last_start();
        resume_offset_ = source_start_ + sink.end();
        resume_line_ = sink.end_line() + 1;
    }
    bytes_seen_ = std::max(bytes_seen_, source_start_ + source_->consumed());
    // What follows the last step selected is never looked at.
    stopped_ = end && next_step_ == *end;
    rows.stopped = stopped_;
    const bool ended = source_->at_end() || cut || sink.unfinished() || !rows.complete;
    if (options_.growing) needs_resume_ = ended && !stopped_;
    finished_ = stopped_ || (ended && !options_.growing);
    return std::move(rows);
}

void PlotStream::resume(ByteSource& bytes) {
    source_ = std::make_unique<LineSource>(bytes, options_.buffer_size, resume_line_);
    source_start_ = resume_offset_;
    needs_resume_ = false;
}

}  // namespace reader
