// Failures that reach Python as PanicException: the report on file
// descriptor 2 (thread and source position, message, and a backtrace by
// RUST_BACKTRACE, which is read once per process), then the exception set
// with the message as its only argument. The type and the two report
// settings are process-wide and never released.
#pragma once

#include <string_view>

#include "module/python.hpp"
#include "reader/failure.hpp"

namespace olvane {

using reader::SourcePosition;
using reader::StackFrames;

// Whether a report written now would print the stack of the failure (so
// that failures capture it only then).
bool report_prints_backtrace();

// Writes the report and sets PanicException(message). Call with the
// interpreter lock held and no exception set.
void raise_failure(std::string_view message, const SourcePosition& position, const StackFrames& frames);

// For the module's own failures: the position and stack are the caller's.
void raise_failure(std::string_view message, SourcePosition where = SourcePosition::current());

// An internal failure after an interpreter call returned null: the pending
// exception, if any, goes to sys.unraisablehook first.
void raise_null_object_failure(SourcePosition where = SourcePosition::current());

}  // namespace olvane
