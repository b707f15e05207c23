// The reader's seams that no Python call reaches yet, checked through the
// driver itself over bytes in memory: a read that starts at a step boundary
// mid-file, steps a sink skips, fields a sink selects, the end-of-data
// policy, a line given back to the line source, and stacks captured only
// when asked. Prints one line per failed check and "N checks passed" when
// all pass (exit status 1 otherwise).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "reader/byte_source.hpp"
#include "reader/line_source.hpp"
#include "reader/plot_driver.hpp"

namespace {

int checks = 0, failures = 0;

void check(bool ok, const char* what, int line) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

// Bytes in memory, handed out at most chunk bytes a read, so that lines
// span refills.
class MemorySource final : public reader::ByteSource {
public:
    MemorySource(std::string bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
    reader::ReadResult read(std::span<char> buffer) override {
        const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - at_});
        std::memcpy(buffer.data(), bytes_.data() + at_, n);
        at_ += n;
        return {n, {}};
    }
    std::uint64_t size_hint() const noexcept override { return bytes_.size(); }

private:
    std::string bytes_;
    std::size_t chunk_;
    std::size_t at_ = 0;
};

struct Step {
    std::uint64_t number;
    std::string start;
    std::vector<float> values;  // NaN where a field was not put
};

// Keeps every step it is given, as the driver gave it; skips the steps and
// selects the fields it is told to.
template <bool SelectsFields>
class RecordingSink {
public:
    static constexpr bool selects_fields = SelectsFields;
    static constexpr bool fortran_forms = false;
    struct Targets {
        float* row;
        void put(unsigned k, float value) noexcept { row[k] = value; }
    };

    std::vector<std::uint64_t> skip;
    unsigned wanted = ~0u;
    std::vector<Step> steps;
    std::uint32_t count = 0;
    int discarded = 0, ended = 0;
    std::optional<std::uint64_t> reserved;

    int announce_bad_count(std::string_view) { return 0; }
    void name(std::string_view) {}
    void start(std::uint32_t n) { count = n; }
    bool begin_step(std::uint64_t step, std::string_view line, bool) {
        if (std::find(skip.begin(), skip.end(), step) != skip.end()) return false;
        steps.push_back({step, std::string(line), std::vector<float>(count, NAN)});
        open_ = true;
        return true;
    }
    Targets targets(std::uint32_t first) { return {steps.back().values.data() + first}; }
    void end_step() {
        ++ended;
        open_ = false;
    }
    void discard_step() {
        ++discarded;
        if (open_) steps.pop_back();
        open_ = false;
    }
    void reserve(std::uint64_t n) { reserved = n; }
    unsigned wanted_fields(std::uint32_t) const { return wanted; }
    bool full() const { return false; }

private:
    bool open_ = false;
};

static_assert(reader::driver::Sink<RecordingSink<false>>);
static_assert(reader::driver::Sink<RecordingSink<true>>);

// Lets the data end inside a cut step, and remembers the failure and the cut.
struct KeepComplete {
    mutable std::optional<std::string> cut;
    mutable reader::driver::StepCut where{};
    void step_cut(reader::ReaderFailure&& failure, const reader::driver::StepCut& at) const {
        cut = failure.message;
        where = at;
    }
};

// A file of 12 parameters (two data lines a step: three lines a step) and
// the given number of steps; parameter j of step i holds i * 100 + j.
std::string plot_file(int steps) {
    std::string text = " 12\n";
    for (int j = 0; j < 12; ++j) text += " P" + std::to_string(j) + "\n";
    char field[16];
    for (int i = 0; i < steps; ++i) {
        text += " TIME = " + std::to_string(i) + "\n";
        for (int j = 0; j < 12; ++j) {
            std::snprintf(field, sizeof field, "%12.5E", i * 100.0 + j);
            text += field;
            if (j == 9 || j == 11) text += '\n';
        }
    }
    return text;
}

// Where step k begins: after 1 + 12 header lines and 3 lines a step.
std::size_t step_offset(const std::string& text, int k) {
    std::size_t at = 0;
    for (int line = 0; line < 13 + 3 * k; ++line) at = text.find('\n', at) + 1;
    return at;
}

template <bool Selects = false, class Policy = reader::driver::FailCutStep>
std::optional<reader::ReaderFailure> read(const std::string& text, RecordingSink<Selects>& sink,
                                          std::optional<std::uint32_t> width, const Policy& policy = {},
                                          std::size_t chunk = 7) {
    MemorySource bytes(text, chunk);
    reader::LineSource source(bytes, 64);
    try {
        const std::uint32_t count = reader::driver::read_header(source, sink);
        reader::driver::read_steps(source, sink, count, width, 0, policy);
    } catch (reader::ReaderFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

bool holds_step(const Step& step, std::uint64_t number) {
    if (step.number != number || step.values.size() != 12) return false;
    for (std::size_t j = 0; j < 12; ++j)
        if (step.values[j] != static_cast<float>(number * 100 + j)) return false;
    return true;
}

void starts_mid_file() {
    const std::string text = plot_file(6);
    for (int k = 0; k < 6; ++k) {
        MemorySource bytes(text.substr(step_offset(text, k)), 5);
        reader::LineSource source(bytes, 32, 14 + 3 * k);
        RecordingSink<false> sink;
        sink.start(12);
        const std::uint32_t width = reader::driver::read_steps(source, sink, 12, 12u, k);
        CHECK(width == 12);
        CHECK(sink.steps.size() == static_cast<std::size_t>(6 - k));
        for (std::size_t i = 0; i < sink.steps.size(); ++i) CHECK(holds_step(sink.steps[i], k + i));
        CHECK(source.line_number() == 13 + 3 * 6);
    }
    // A failure in a range is placed at its line of the whole file.
    std::string broken = text;
    const std::size_t field = step_offset(broken, 4) + std::string(" TIME = 4\n").size() + 12;
    broken[field + 3] = 'x';
    MemorySource bytes(broken.substr(step_offset(broken, 3)), 64);
    reader::LineSource source(bytes, 64, 14 + 3 * 3);
    RecordingSink<false> sink;
    sink.start(12);
    try {
        reader::driver::read_steps(source, sink, 12, 12u, 3);
        CHECK(!"a bad field mid-file fails");
    } catch (const reader::ReaderFailure& failure) {
        CHECK(failure.line == 13 + 3 * 4 + 2);
        CHECK(failure.message == "Could not parse line: ParseFloatError { kind: Invalid }");
    }
}

void skips_steps_unconverted() {
    std::string text = plot_file(5);
    // A field of a skipped step that would fail if it were converted.
    text[step_offset(text, 1) + std::string(" TIME = 1\n").size() + 5] = '#';
    RecordingSink<false> sink;
    sink.skip = {1, 3};
    CHECK(!read(text, sink, 12u));
    CHECK(sink.steps.size() == 3);
    CHECK(sink.ended == 5);
    if (sink.steps.size() == 3) {
        CHECK(holds_step(sink.steps[0], 0));
        CHECK(holds_step(sink.steps[1], 2));
        CHECK(holds_step(sink.steps[2], 4));
    }
    // A skipped step's lines must still be there.
    RecordingSink<false> short_sink;
    short_sink.skip = {4};
    const std::string whole = plot_file(5);
    const std::string cut = whole.substr(0, step_offset(whole, 4) + 10);
    const auto failure = read(cut, short_sink, 12u);
    // The file ends after the skipped step's block-start line: its last line.
    CHECK(failure && failure->message == "Error reading line" && failure->line == 13 + 3 * 4 + 1);
}

void selects_fields() {
    const std::string text = plot_file(3);
    for (const std::optional<std::uint32_t> width :
         {std::optional<std::uint32_t>(12), std::optional<std::uint32_t>()}) {
        RecordingSink<true> sink;
        sink.wanted = (1u << 1) | (1u << 9);
        CHECK(!read(text, sink, width));
        CHECK(sink.steps.size() == 3);
        for (const Step& step : sink.steps)
            for (std::size_t j = 0; j < 12; ++j) {
                const bool wanted = j % 10 == 1 || j % 10 == 9;
                CHECK(wanted ? step.values[j] == static_cast<float>(step.number * 100 + j)
                             : std::isnan(step.values[j]));
            }
    }
    // A field that is not wanted is not looked at, however bad.
    std::string text_bad = text;
    text_bad[step_offset(text_bad, 1) + std::string(" TIME = 1\n").size() + 5] = '#';
    RecordingSink<true> sink;
    sink.wanted = 1u << 3;
    CHECK(!read(text_bad, sink, 12u));
}

void policy_meets_cut_steps() {
    const std::string text = plot_file(4);
    const std::size_t last = step_offset(text, 3);
    struct Cut {
        const char* what;
        std::size_t length;
        const char* message;
        std::uint64_t last_line, whole_data_lines;
        bool inside_line;
    };
    // Step 3 starts at line 13 + 3 * 3 + 1.
    const Cut cuts[] = {
        {"after the block-start line", last + 10, "Error reading line", 23, 0, false},
        {"inside the first data line", last + 10 + 30,
         "byte index 36 is out of bounds of ` 3.00000E+02 3.01000E+02 3.020`", 24, 0, true},
        {"after the first data line", last + 10 + 121, "Error reading line", 24, 1, false},
        {"inside the last data line", text.size() - 5, "byte index 24 is out of bounds of ` 3.10000E+02 3.11000`", 25,
         1, true},
    };
    for (const Cut& cut : cuts) {
        const std::string cut_text = text.substr(0, cut.length);
        RecordingSink<false> failing;
        const auto failure = read(cut_text, failing, 12u);
        CHECK(failure && failure->message == cut.message);
        if (failure && failure->message != cut.message) std::printf("  %s: %s\n", cut.what, failure->message.c_str());
        for (const std::optional<std::uint32_t> width :
             {std::optional<std::uint32_t>(12), std::optional<std::uint32_t>()}) {
            RecordingSink<false> keeping;
            const KeepComplete keep;
            CHECK(!read(cut_text, keeping, width, keep));
            CHECK(keep.cut == std::optional<std::string>(cut.message));
            const reader::driver::StepCut& at = keep.where;
            CHECK(at.step == 3 && at.data_lines == 2 && at.last_line == cut.last_line &&
                  at.whole_data_lines == cut.whole_data_lines && at.inside_line == cut.inside_line &&
                  !at.inside_block_start);
            CHECK(keeping.steps.size() == 3 && keeping.discarded == 1);
            for (std::size_t i = 0; i < keeping.steps.size(); ++i) CHECK(holds_step(keeping.steps[i], i));
        }
    }
    // A whole last line without its line feed is no cut.
    RecordingSink<false> whole;
    const KeepComplete keep;
    CHECK(!read(text.substr(0, text.size() - 1), whole, 12u, keep));
    CHECK(!keep.cut && whole.steps.size() == 4 && whole.discarded == 0);
    // A failure inside a step whose lines are whole is not the policy's.
    std::string bad = text;
    bad[step_offset(bad, 1) + 20] = 'x';
    RecordingSink<false> sink;
    const KeepComplete never;
    const auto failure = read(bad, sink, 12u, never);
    CHECK(failure && failure->line == 13 + 3 + 2 && !never.cut);
    // Nor is a header that ends early.
    RecordingSink<false> header;
    const KeepComplete header_keep;
    const auto header_failure = read(" 12\n P0\n", header, 12u, header_keep);
    CHECK(header_failure && header_failure->message == "Failed to read line!" && !header_keep.cut);
    // A first data line cut before its width can be told.
    RecordingSink<false> first;
    const KeepComplete first_keep;
    CHECK(!read(text.substr(0, step_offset(text, 0) + 10 + 50), first, std::nullopt, first_keep));
    CHECK(first_keep.cut && first_keep.cut->starts_with("Could not tell the field width") && first.steps.empty());
}

void gives_back_lines() {
    // Lines longer than the buffer, so that some are handed out from the copy
    // of a line that spanned refills.
    const std::string text = "first\n" + std::string(100, 'a') + "\nthird" + std::string(70, 'c') + "\r\nlast";
    MemorySource bytes(text, 13);
    reader::LineSource source(bytes, 16);
    std::vector<std::string> seen;
    std::vector<std::uint64_t> numbers;
    for (int read = 0; source.read_next_line() == reader::LineSource::Status::line; ++read) {
        seen.emplace_back(source.line());
        numbers.push_back(source.line_number());
        if (read % 2 == 0) source.give_back();
    }
    const std::vector<std::string> lines = {"first", std::string(100, 'a'), "third" + std::string(70, 'c'), "last"};
    std::vector<std::string> expected;
    std::vector<std::uint64_t> expected_numbers;
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (int twice = 0; twice < 2; ++twice) {
            expected.push_back(lines[i]);
            expected_numbers.push_back(i + 1);
        }
    CHECK(seen == expected);
    CHECK(numbers == expected_numbers);
    CHECK(source.ended_without_line_feed() && source.at_end());
}

// A header whose count a result cannot hold: found once every name is read,
// and said at the count's line. The names are made as they are read.
void refuses_too_many_parameters() {
    class BlankNames final : public reader::ByteSource {
    public:
        reader::ReadResult read(std::span<char> buffer) override {
            const std::string_view count = "178956971\n";
            std::size_t n = 0;
            if (!counted_) {
                std::memcpy(buffer.data(), count.data(), n = count.size());
                counted_ = true;
            }
            const auto names = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() - n, left_));
            std::memset(buffer.data() + n, '\n', names);
            left_ -= names;
            return {n + names, {}};
        }

    private:
        bool counted_ = false;
        std::uint64_t left_ = std::uint64_t{reader::driver::max_parameters} + 1;
    };
    BlankNames bytes;
    reader::LineSource source(bytes, 1 << 16);
    RecordingSink<false> sink;
    try {
        reader::driver::read_header(source, sink);
        CHECK(!"a count above the limit fails");
    } catch (const reader::ReaderFailure& failure) {
        CHECK(failure.message == "capacity overflow" && failure.line == 1);
        CHECK(failure.problem == reader::Problem::too_large);
        CHECK(failure.plain ==
              "the first line gives 178956971 parameters, more than the 178956970 that a plot can hold");
        CHECK(source.line_number() == 1 + std::uint64_t{reader::driver::max_parameters} + 1);
    }
}

// Stacks are captured only inside a StackCapture that turns them on, and a
// nested one restores what it found.
void captures_stacks_only_when_asked() {
    CHECK(reader::ReaderFailure("unasked").frames.count == 0);
    {
        const reader::StackCapture on(true);
        CHECK(reader::ReaderFailure("asked").frames.count > 0);
        {
            const reader::StackCapture off(false);
            CHECK(reader::ReaderFailure("turned off inside").frames.count == 0);
        }
        CHECK(reader::ReaderFailure("asked again").frames.count > 0);
    }
    CHECK(reader::ReaderFailure("after").frames.count == 0);
}

}  // namespace

int main() {
    refuses_too_many_parameters();
    starts_mid_file();
    skips_steps_unconverted();
    selects_fields();
    policy_meets_cut_steps();
    gives_back_lines();
    captures_stacks_only_when_asked();
    if (failures != 0) {
        std::printf("%d of %d checks failed\n", failures, checks);
        return 1;
    }
    std::printf("%d checks passed\n", checks);
}
