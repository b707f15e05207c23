// _native.read(path, width, keep_incomplete[, threads]): a whole file at once,
// a regular file of 8 MiB or more on up to threads threads. path is the
// file system's bytes of the path; width a positive field width, or 0 to
// find it from the file; keep_incomplete a bool: leave out a step that the
// end of the file cut instead of failing. Reads with the interpreter lock
// released and returns (names, times, values, count, width, complete):
// names a tuple of str, times and values Pages of float64 and of row-major
// float32. A reader failure raises ReaderError with args (kind, errno, line,
// problem, column, text, message), kind one of "content", "open", "read",
// problem a PlotFileError kind; running out of memory raises MemoryError.
// Also what the other entries share: their failures, their pages, their
// interrupts.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dunvel_module/python.hpp"
#include "reader/failure.hpp"
#include "reader/interrupt.hpp"
#include "reader/plot_rows.hpp"

namespace dunvel {

struct ModuleState {
    PyObject* reader_error;
    PyTypeObject* pages_type;
    PyTypeObject* reader_type;
};

PyObject* read_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// What ended a reader call that ran without the interpreter lock, to be
// raised once the lock is back.
struct Outcome {
    std::optional<reader::ReaderFailure> failure;
    bool out_of_memory = false;
    bool interrupted = false;  // CallerException: the caller's exception is set, or will be

    template <class Body>
    void run(Body&& body) noexcept {
        try {
            body();
        } catch (reader::ReaderFailure& raised) {
            failure.emplace(std::move(raised));
        } catch (const reader::CallerException&) {
            interrupted = true;
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (const std::length_error&) {
            out_of_memory = true;
        }
    }
};

// Sets the Python exception of an outcome that failed: true where it did.
bool raise_outcome(const ModuleState& state, const Outcome& outcome);
// ReaderError(kind, errno, line, problem, column or None, text or None, plain message).
void raise_reader_error(const ModuleState& state, const reader::ReaderFailure& failure);
PyObject* names_tuple(const std::vector<std::string>& names);
// A width argument (an int, 0 for "find it"), or false with an exception set.
bool width_argument(PyObject* arg, std::uint32_t& width);
// The plot's times and values as two new Pages objects, or false with an
// exception set.
bool take_pages(const ModuleState& state, reader::PlotRows& plot, PyObject*& times, PyObject*& values);

// An InterruptCheck for a reader that runs without the interpreter lock;
// context is the PyThreadState* that PyEval_SaveThread returned. When a
// signal interrupts a blocked open or read (a FIFO, a pipe), the lock is
// taken back for Python's signal handlers, as the interpreter's own file
// functions do: Ctrl-C ends the read, a handler that does not raise lets it
// go on.
bool python_signal_raised(void* context);

}  // namespace dunvel
