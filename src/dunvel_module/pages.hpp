// Pages: the Python object that owns a result's mapped memory and lends it
// through the buffer protocol, writable, so that NumPy arrays are views of
// it (np.frombuffer keeps the object alive as their base) and no value is
// copied. Its memory is given back when the last array lets it go.
#pragma once

#include <cstddef>

#include "dunvel_module/python.hpp"
#include "reader/mapped_array.hpp"

namespace dunvel {

// A new heap type, for the module's exec slot.
PyTypeObject* make_pages_type(PyObject* module);

// A new Pages object that owns the released mapping, or null with an
// exception set (and the mapping given back).
PyObject* new_pages(PyTypeObject* type, reader::MappedBytes::Released memory, std::size_t used_bytes);

}  // namespace dunvel
