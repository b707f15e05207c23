// The reader's second result, for dunvel: the values as rows (one row of
// binary32 per block, in file order, so row-major without a transposition),
// the header's names, each block's time and the field width used. Read by
// the same driver as Columns, so a file reads exactly when read_plot_file
// reads it, to the same bits; failures are the same ReaderFailure, with the
// 1-based line number filled in and nothing written to standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader/interrupt.hpp"
#include "reader/mapped_array.hpp"
#include "reader/selection.hpp"

namespace reader {

struct PlotRows {
    std::vector<std::string> names;  // last token of each name line, "" for a blank one
    MappedArray<float> values;       // steps x count (or the parameters kept), row-major
    MappedArray<double> times;       // one per step; NaN where a block-start line holds none
    // The number of each step in the file, from 0; only where a selection
    // chose the steps.
    MappedArray<std::int64_t> steps;
    std::uint32_t count = 0;
    std::uint32_t width = 0;
    // False where the file ended inside a step, which was left out.
    bool complete = true;
    // The read ended after the last step that the selection allows, and
    // did not look at what follows: complete then tells nothing.
    bool stopped = false;
};

struct RowsOptions {
    std::uint32_t width = 12;
    // Find the width from the first data line: the one of 12 and 15 that
    // its fields fill exactly, trailing whitespace aside (12 without one).
    bool detect_width = false;
    // Where the file ends inside a step: read the steps before it (false:
    // fail with Problem::incomplete).
    bool keep_incomplete = false;
    std::size_t buffer_size = 64 * 1024;
    InterruptCheck on_interrupt;
    // The parameters and steps read; names then holds the kept ones.
    Selection selection;
};

// The path's bytes must be followed by a NUL in memory. Throws ReaderFailure
// (its line, problem and plain words set; a file whose bytes begin as
// compressed data fails as Problem::compressed before any line),
// std::bad_alloc when memory runs out, or CallerException when on_interrupt
// says stop after a signal.
PlotRows read_plot_rows(std::string_view path, const RowsOptions& options);

}  // namespace reader
