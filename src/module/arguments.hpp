// The call's arguments: binding of positional and keyword values to
// file_path and n_digits, and their conversions to a UTF-8 path and an
// unsigned 32-bit width, each failure worded as the interpreter words its
// own. Every function returns false with a Python exception set on failure.
#pragma once

#include "module/python.hpp"

#include <cstdint>
#include <string_view>

namespace olvane {

// slots[0] is file_path, slots[1] n_digits; borrowed references.
bool extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* slots[2]);

// The str's cached UTF-8 form, owned by the object (and NUL-terminated).
bool extract_str(PyObject* object, std::string_view& text);

bool extract_u32(PyObject* object, std::uint32_t& value);

// Turns the pending conversion error into the one the caller sees: a
// TypeError gains the parameter's name, anything else passes unchanged.
void argument_extraction_error(const char* parameter);

// The __qualname__ of a type as a str, with lone surrogates made U+FFFD;
// "<failed to extract type name>" when it cannot be read. New reference.
PyObject* type_name_text(PyTypeObject* type);

}  // namespace olvane
