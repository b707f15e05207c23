// The reader's driver: a DUNVEL plot file (count line, one name line per
// parameter, then blocks of a block-start line and ceil(n / 10) data lines
// of fixed-width fields) -> Columns, one column of binary32 values per
// parameter. Either the whole result or a ReaderFailure, never a part; the
// file and every buffer are released on every way out. Only this stage knows
// where in the file it is, so only it composes messages.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader/interrupt.hpp"

namespace reader {

using Column = std::vector<float>;
using Columns = std::vector<Column>;

// The path's bytes must be followed by a NUL in memory (as Python's cached
// UTF-8 form of a str is), so that it reaches the system without a copy.
// Throws ReaderFailure, std::bad_alloc when memory runs out, or
// CallerException when on_interrupt says stop after a signal.
Columns read_plot_file(std::string_view path, std::uint32_t n_digits, const InterruptCheck& on_interrupt = {});

}  // namespace reader
