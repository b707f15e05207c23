// What a read keeps of a plot file: some of its parameters, and some of its
// steps, by number and by time. What it does not keep, it does not parse: a
// field that is not kept is neither converted nor checked, and a step that
// is not kept has its lines found, not looked into. A step kept after the
// last that the step numbers allow ends the read there, so that what comes
// after is not read at all.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace reader {

struct Selection {
    // The parameters kept, by their 0-based place in the header, ascending
    // and each once; none: every one.
    std::optional<std::vector<std::uint32_t>> parameters;
    // The steps kept: first_step, first_step + stride, ... before stop_step.
    std::uint64_t first_step = 0;
    std::optional<std::uint64_t> stop_step;
    std::uint64_t stride = 1;
    // Of those, the steps whose time lies in [earliest, latest]; a step
    // without a time is not one of them.
    std::optional<double> earliest, latest;

    bool selects_steps() const noexcept { return first_step != 0 || stop_step || stride != 1 || earliest || latest; }
    bool selects_number(std::uint64_t step) const noexcept {
        return step >= first_step && (step - first_step) % stride == 0 && (!stop_step || step < *stop_step);
    }
    bool selects_time(double time) const noexcept {
        // NaN fails both.
        return (!earliest || time >= *earliest) && (!latest || time <= *latest);
    }
    // The step after the last that the numbers select, where a read can stop.
    std::optional<std::uint64_t> end_step() const noexcept {
        if (!stop_step) return std::nullopt;
        if (*stop_step <= first_step) return first_step;
        return first_step + (*stop_step - 1 - first_step) / stride * stride + 1;
    }
};

// The parameters kept, as the driver asks for them: for each data line
// (ten fields), the fields kept and where the first of them goes in a row
// of the kept values.
class FieldSelection {
public:
    FieldSelection() = default;
    // parameters: ascending, each below count.
    FieldSelection(std::uint32_t count, const std::vector<std::uint32_t>& parameters);

    unsigned wanted(std::uint32_t first) const noexcept { return lines_[first / 10].fields; }
    std::uint32_t column(std::uint32_t first) const noexcept { return lines_[first / 10].column; }
    std::uint32_t kept() const noexcept { return kept_; }

private:
    struct Line {
        unsigned fields;       // bit k: field k is kept
        std::uint32_t column;  // the row's column of the first field kept
    };
    std::vector<Line> lines_;
    std::uint32_t kept_ = 0;
};

}  // namespace reader
