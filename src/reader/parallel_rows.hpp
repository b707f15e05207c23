// A regular file's steps parsed on several threads at once, to the same bits
// and with the same failures as one thread (read_plot_rows). The header and
// the first step are read first; the rest is split where steps would begin
// if each took as many bytes as the first (the data lines are fixed-width;
// only a block-start line's length may differ). Each part reads from its
// guess, numbering its lines and steps as the guess says, and confirms the
// next part's guess by ending there after the step before it. A guess that
// is not confirmed, steps of other sizes, sends the read back to one thread;
// a failure counts only where every part before it confirmed its start, so
// the first in file order is the one reported.
#pragma once

#include <string_view>

#include "reader/file_source.hpp"
#include "reader/interrupt.hpp"
#include "reader/plot_rows.hpp"
#include "reader/plot_stream.hpp"

namespace reader {

// Smaller files are read on one thread: starting the others costs more than
// they would save.
inline constexpr std::uint64_t min_threaded_bytes = 8u << 20;

// Reads with up to threads threads (1: read_plot_rows). The caller's thread
// reads the first part itself, then waits for the others in slices of 50 ms;
// between slices of its own steps and of waiting it asks poll whether to stop
// (true: the others stop at their next step and CallerException is thrown
// once they have).
PlotRows read_plot_rows_threaded(std::string_view path, const RowsOptions& options, unsigned threads,
                                 const InterruptCheck& poll);

// The same for a stream of a file that has read the header and nothing
// else, made with options, its selection made: all its steps.
PlotRows read_rest_threaded(FileSource& file, PlotStream& stream, const StreamOptions& options, unsigned threads,
                            const InterruptCheck& poll);

}  // namespace reader
