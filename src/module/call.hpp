// The entry of rust_read_dunvel: bind and convert the arguments, read the
// plot file with the interpreter lock held, and hand back a new list of
// lists of floats; or an exception, never a partial result. Nothing of a
// call outlives it.
#pragma once

#include "module/python.hpp"

namespace olvane {

PyObject* rust_read_dunvel_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace olvane
