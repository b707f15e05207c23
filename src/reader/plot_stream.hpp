// A plot file read a piece at a time: the header first, then the steps in
// runs of at most so many, each run a PlotRows of its own, from a ByteSource
// that may be a file, a caller's stream or a file that is still being
// written. A run reads exactly what the whole read (read_plot_rows) would
// read for those steps, to the same bits and with the same failures.
//
// A growing stream takes the end of its bytes as "not written yet": a step
// that the end cuts, or whose last line lacks its line feed, is left for
// the next run, which starts again, from new bytes, at the step's first
// byte (resume_offset). The stream only says where; its owner reads the
// file again there (growing_plot.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/byte_source.hpp"
#include "reader/line_source.hpp"
#include "reader/plot_rows.hpp"
#include "reader/selection.hpp"

namespace reader {

struct StreamOptions {
    std::optional<std::uint32_t> width;  // none: found from the first data line
    bool keep_incomplete = false;
    bool growing = false;
    std::size_t buffer_size = 64 * 1024;
    // Set by another thread, it ends a read before its next step.
    const std::atomic<bool>* stop = nullptr;
};

// Where a read writes its rows in place: the caller's arrays of values (a
// row a step) and times.
struct RowTarget {
    float* values;
    double* times;
};

class PlotStream {
public:
    // Reads the header from bytes, which stay the caller's and must outlive
    // the stream (or be replaced by resume). A growing stream whose header
    // is not whole yet (the end comes before its last line feed) fails as
    // Problem::header.
    PlotStream(ByteSource& bytes, const StreamOptions& options);
    // A stream of the same file's steps from bytes that begin at its byte
    // offset, taken to be where step first_step begins, on line first_line:
    // the header, width and selection are from's, which must know its width.
    PlotStream(ByteSource& bytes, const StreamOptions& options, const PlotStream& from, std::uint64_t offset,
               std::uint64_t first_step, std::uint64_t first_line);

    const std::vector<std::string>& names() const noexcept { return names_; }
    const Selection& selection() const noexcept { return selection_; }
    // The names, moved out, for a caller that needs the stream no more.
    std::vector<std::string> take_names() noexcept { return std::move(names_); }
    std::uint32_t count() const noexcept { return count_; }
    // Known once a step has been read (or given).
    std::optional<std::uint32_t> width() const noexcept { return width_; }
    // The number of the next step to read, from 0.
    std::uint64_t next_step() const noexcept { return next_step_; }
    // Whether the bytes have ended for good (never for a growing stream), or
    // the selection's last step has been read.
    bool finished() const noexcept { return finished_; }

    // What the reads from now on keep; parameters must be ascending and
    // below count(). Steps are numbered in the whole file, whichever step
    // is next.
    void select(const Selection& selection);
    // The next steps kept, at most max_steps of them (0: all there are). The
    // result's names are empty; its count and width are the file's. Once
    // past the last step that the selection allows, a stream reads nothing
    // more (finished, and each result stopped).
    // stop_before ends the read before that step, selected or not. With a
    // target, a read that selects no steps writes step k to row k of the
    // target's arrays, which must hold every step that it may take, and
    // the result holds no rows of its own.
    PlotRows read(std::uint64_t max_steps, std::uint64_t stop_before = std::uint64_t(-1),
                  const RowTarget* target = nullptr);

    // Where the header ends, where the last step read begins and where the
    // next begins, in bytes of the file, and the line that the next begins at.
    std::uint64_t header_bytes() const noexcept { return header_bytes_; }
    std::uint64_t last_step_offset() const noexcept { return last_step_offset_; }
    std::uint64_t resume_offset() const noexcept { return resume_offset_; }
    std::uint64_t resume_line() const noexcept { return resume_line_; }
    // The bytes that a growing stream has taken, also those past the last
    // step read.
    std::uint64_t bytes_seen() const noexcept { return bytes_seen_; }
    // Whether a growing stream's last run went past resume_offset, so that
    // its next needs bytes from there (resume) before it can go on.
    bool needs_resume() const noexcept { return needs_resume_; }
    // Reads on from bytes positioned at resume_offset.
    void resume(ByteSource& bytes);
    // A growing stream's writer is done: from the next run on, the end of
    // the bytes is final, a last line without its line feed ends its step,
    // and a cut step is left out.
    void take_end_as_final() noexcept {
        options_.growing = false;
        options_.keep_incomplete = true;
    }

private:
    template <bool SelectsFields, bool InPlace>
    PlotRows read_run(std::uint64_t max_steps, std::uint64_t stop_before, const RowTarget* target);

    StreamOptions options_;
    Selection selection_;
    FieldSelection fields_;
    std::unique_ptr<LineSource> source_;
    std::uint64_t source_start_ = 0;  // the file offset of the source's first byte
    std::vector<std::string> names_;
    std::uint32_t count_ = 0;
    std::optional<std::uint32_t> width_;
    std::uint64_t next_step_ = 0;
    std::uint64_t header_bytes_ = 0;
    std::uint64_t last_step_offset_ = 0;
    std::uint64_t resume_offset_ = 0;
    std::uint64_t resume_line_ = 0;
    std::uint64_t bytes_seen_ = 0;
    bool finished_ = false;
    bool needs_resume_ = false;
    bool stopped_ = false;
};

}  // namespace reader
