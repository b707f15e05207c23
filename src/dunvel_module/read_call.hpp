// _native.read(path, width, keep_incomplete): the one entry. path is the
// file system's bytes of the path; width a positive field width, or 0 to
// find it from the file; keep_incomplete a bool: leave out a step that the
// end of the file cut instead of failing. Reads with the interpreter lock
// released and returns (names, times, values, count, width, complete):
// names a tuple of str, times and values Pages of float64 and of row-major
// float32. A reader failure raises ReaderError with args (kind, errno, line,
// problem, column, text, message), kind one of "content", "open", "read",
// problem a PlotFileError kind; running out of memory raises MemoryError.
#pragma once

#include "dunvel_module/python.hpp"

namespace dunvel {

struct ModuleState {
    PyObject* reader_error;
    PyTypeObject* pages_type;
};

PyObject* read_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dunvel
