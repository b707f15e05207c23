// libFuzzer target: the reader a piece at a time, against the whole read.
//
// Input: byte 0 picks the field width (low four bits, reader_fuzz's table)
// and whether a cut last step is kept (bit 4); byte 1 seeds the sizes of
// the pieces that the bytes arrive in; byte 2 picks the most steps a run
// takes (1 to 8); the rest is the file.
//
// - Fed: the file handed over from another thread in pieces (FedSource, with
//   compressed data refused, as dunvel's streams have it),
//   read by a PlotStream in runs of at most that many steps, must give
//   what read_plot_rows gives for the whole file: the same steps, times and
//   values to the bit, or the same failure (message, line, problem).
// - Growing: the file written in those pieces, a GrowingPlot reading after
//   each, its end then taken as final, must give the whole read's steps
//   with a cut last step kept out, or fail with the whole read's message.
//   No read may fail for an end that more bytes could move.
// - Selected: where the whole read succeeds, a read of some parameters and
//   steps (chosen from bytes 1 and 2) must succeed too and give exactly
//   those columns of those rows, and find a cut last step where it finds
//   one, unless the selection's stop came first.
// Anything else (another exception, a crash, a sanitizer report) aborts.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "reader/compression.hpp"
#include "reader/fed_source.hpp"
#include "reader/failure.hpp"
#include "reader/growing_plot.hpp"
#include "reader/plot_rows.hpp"
#include "reader/plot_stream.hpp"

namespace {

constexpr std::uint32_t widths[16] = {12, 15, 0, 1, 2, 3, 7, 9, 11, 13, 16, 24, 40, 255, 0x80000000u, 0xFFFFFFFFu};

int plot_fd = -1;
std::string plot_path;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "stream_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void write_at(std::string_view bytes, off_t at) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(plot_fd, bytes.data(), bytes.size(), at);
        if (n <= 0) fail("cannot write the plot file", plot_path);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += n;
    }
}

// The sizes of the pieces that the file comes in, from a seed: 1 to 64 bytes.
std::vector<std::size_t> piece_sizes(std::size_t total, unsigned seed) {
    std::vector<std::size_t> sizes;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t done = 0; done < total;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t size = std::min<std::size_t>(1 + (state >> 26), total - done);
        sizes.push_back(size);
        done += size;
    }
    return sizes;
}

// What a read gave: the steps' times and values as bits, or a failure.
struct Outcome {
    std::vector<std::uint64_t> times;
    std::vector<std::uint32_t> values;
    std::uint32_t count = 0;
    bool complete = true;
    bool stopped = false;
    std::optional<reader::ReaderFailure> failure;

    void add(const reader::PlotRows& rows) {
        for (std::size_t i = 0; i < rows.times.size(); ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, rows.times.data() + i, sizeof bits);
            times.push_back(bits);
        }
        for (std::size_t i = 0; i < rows.values.size(); ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, rows.values.data() + i, sizeof bits);
            values.push_back(bits);
        }
        complete = complete && rows.complete;
        count = rows.count;
        stopped = rows.stopped;
    }
};

std::string describe(const Outcome& outcome) {
    if (outcome.failure)
        return "failure at line " + std::to_string(outcome.failure->line) + ": " + outcome.failure->message;
    return std::to_string(outcome.times.size()) + " steps, " + std::to_string(outcome.values.size()) + " values";
}

void expect_same_steps(const Outcome& whole, const Outcome& part, const char* what, const std::string& file) {
    if (whole.times != part.times || whole.values != part.values)
        fail(what, "whole read " + describe(whole) + ", pieces " + describe(part) + "\n" + file);
}

Outcome whole_read(std::uint32_t width, bool keep, const reader::Selection& selection = {}) {
    Outcome outcome;
    reader::RowsOptions options;
    options.width = width;
    options.detect_width = width == 0;
    options.keep_incomplete = keep;
    options.selection = selection;
    try {
        outcome.add(reader::read_plot_rows(plot_path, options));
    } catch (reader::ReaderFailure& failure) {
        outcome.failure.emplace(std::move(failure));
    }
    return outcome;
}

// Some parameters and steps, from two bytes.
reader::Selection selection_of(std::uint32_t count, unsigned a, unsigned b) {
    reader::Selection selection;
    if ((a & 1) != 0) {
        std::vector<std::uint32_t> parameters;
        for (std::uint32_t p = 0; p < count; ++p)
            if (((p * 2654435761u + a) >> 5) % 3 == 0) parameters.push_back(p);
        selection.parameters = std::move(parameters);
    }
    selection.first_step = (b >> 3) & 3;
    selection.stride = 1 + ((b >> 5) & 3);
    if ((a & 2) != 0) selection.stop_step = selection.first_step + (a >> 2) % 8;
    if ((a & 0x80) != 0) {
        selection.earliest = 0.0;
        selection.latest = 100.0;
    }
    return selection;
}

// The columns and rows of a whole read that a selection keeps.
Outcome kept_of(const Outcome& whole, const reader::Selection& selection) {
    Outcome kept;
    const std::size_t steps = whole.times.size();
    for (std::size_t i = 0; i < steps; ++i) {
        double time;
        std::memcpy(&time, &whole.times[i], sizeof time);
        if (!selection.selects_number(i) || !selection.selects_time(time)) continue;
        kept.times.push_back(whole.times[i]);
        for (std::uint32_t p = 0; p < whole.count; ++p) {
            const auto& only = selection.parameters;
            if (!only || std::find(only->begin(), only->end(), p) != only->end())
                kept.values.push_back(whole.values[i * whole.count + p]);
        }
    }
    return kept;
}

Outcome fed_read(const std::string& file, const std::vector<std::size_t>& sizes, std::uint32_t width, bool keep,
                 unsigned run) {
    reader::FedSource fed(2, 64);
    fed.begin_job();
    std::thread feeder([&] {
        std::size_t done = 0;
        for (const std::size_t size : sizes) {
            bool job_done = false;
            std::span<char> room;
            while (room.empty() && !job_done) room = fed.wait_for_room(std::chrono::milliseconds(100), job_done);
            if (job_done) return;
            // A piece larger than a buffer goes in several.
            for (std::size_t left = size; left > 0;) {
                const std::size_t n = std::min(left, room.size());
                std::memcpy(room.data(), file.data() + done, n);
                fed.hand_over(n);
                done += n;
                left -= n;
                if (left > 0) {
                    room = {};
                    while (room.empty() && !job_done)
                        room = fed.wait_for_room(std::chrono::milliseconds(100), job_done);
                    if (job_done) return;
                }
            }
        }
        bool job_done = false;
        std::span<char> room;
        while (room.empty() && !job_done) room = fed.wait_for_room(std::chrono::milliseconds(100), job_done);
        if (!job_done) fed.hand_over(0);
    });
    Outcome outcome;
    try {
        reader::StreamOptions options;
        if (width != 0) options.width = width;
        options.keep_incomplete = keep;
        options.buffer_size = 128;
        reader::RefuseCompressed text(fed);
        reader::PlotStream stream(text, options);
        while (!stream.finished()) {
            const reader::PlotRows rows = stream.read(run);
            if (rows.times.size() > run) fail("a run took more steps than asked", file);
            outcome.add(rows);
            if (rows.times.size() < run && !stream.finished()) fail("a short run before the end", file);
        }
    } catch (reader::ReaderFailure& failure) {
        outcome.failure.emplace(std::move(failure));
    }
    fed.end_job();
    feeder.join();
    return outcome;
}

Outcome growing_read(const std::string& file, const std::vector<std::size_t>& sizes, std::uint32_t width,
                     unsigned run) {
    if (::ftruncate(plot_fd, 0) != 0) fail("cannot truncate the plot file", plot_path);
    reader::StreamOptions options;
    if (width != 0) options.width = width;
    std::optional<reader::GrowingPlot> plot;
    Outcome outcome;
    std::size_t written = 0;
    try {
        for (std::size_t i = 0; i <= sizes.size(); ++i) {
            const bool last = i == sizes.size();
            if (!last) {
                write_at(std::string_view(file).substr(written, sizes[i]), static_cast<off_t>(written));
                written += sizes[i];
            }
            if (!plot) {
                try {
                    plot.emplace(plot_path, options);
                } catch (const reader::ReaderFailure& failure) {
                    // A header not written whole yet: look again after more bytes.
                    if (last || failure.problem != reader::Problem::header) throw;
                    continue;
                }
            }
            if (last) plot->take_end_as_final();
            for (;;) {
                const reader::PlotRows rows = plot->read(run);
                outcome.add(rows);
                if (rows.times.size() < run) break;
            }
        }
    } catch (reader::ReaderFailure& failure) {
        outcome.failure.emplace(std::move(failure));
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plot_fd = ::memfd_create("plot", MFD_CLOEXEC);
    if (plot_fd < 0) fail("memfd_create failed");
    plot_path = "/proc/self/fd/" + std::to_string(plot_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint32_t width = widths[data[0] & 0x0F];
    const bool keep = (data[0] & 0x10) != 0;
    const std::vector<std::size_t> sizes = piece_sizes(size - 3, data[1]);
    const unsigned run = 1 + (data[2] & 7);
    const std::string file(reinterpret_cast<const char*>(data) + 3, size - 3);

    if (::ftruncate(plot_fd, 0) != 0) fail("cannot truncate the plot file", plot_path);
    write_at(file, 0);
    const Outcome whole = whole_read(width, keep);
    const Outcome fed = fed_read(file, sizes, width, keep, run);
    if (whole.failure.has_value() != fed.failure.has_value())
        fail("fed pieces and the whole file disagree", describe(whole) + " / " + describe(fed) + "\n" + file);
    if (whole.failure) {
        if (whole.failure->message != fed.failure->message || whole.failure->line != fed.failure->line ||
            whole.failure->problem != fed.failure->problem)
            fail("fed pieces fail otherwise", describe(whole) + " / " + describe(fed) + "\n" + file);
    } else {
        expect_same_steps(whole, fed, "fed pieces read other steps", file);
        if (whole.complete != fed.complete) fail("fed pieces disagree on a cut step", file);
        const reader::Selection selection = selection_of(whole.count, data[1], data[2]);
        const Outcome selected = whole_read(width, keep, selection);
        if (selected.failure) fail("a selection fails where the whole read does not", describe(selected) + "\n" + file);
        expect_same_steps(kept_of(whole, selection), selected, "a selection read other values", file);
        // Past a stop the end is not looked at; before it, a cut is a cut.
        if (!selected.stopped && selected.complete != whole.complete) fail("a selection disagrees on a cut step", file);
    }

    // Growing: compared with the whole read that keeps a cut step out.
    const Outcome kept = keep ? whole : whole_read(width, true);
    const Outcome growing = growing_read(file, sizes, width, run);
    // A header whose last name lacks its line feed is never whole while the
    // file grows; a file that holds nothing more reads as no steps.
    if (growing.failure && growing.failure->problem == reader::Problem::header && !kept.failure && kept.times.empty() &&
        !file.ends_with('\n'))
        return 0;
    if (kept.failure.has_value() != growing.failure.has_value())
        fail("a growing read and the whole file disagree", describe(kept) + " / " + describe(growing) + "\n" + file);
    if (kept.failure) {
        if (kept.failure->message != growing.failure->message)
            fail("a growing read fails otherwise", describe(kept) + " / " + describe(growing) + "\n" + file);
    } else {
        expect_same_steps(kept, growing, "a growing read gave other steps", file);
    }
    return 0;
}
