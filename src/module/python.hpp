// The one place that includes the interpreter's headers, so that every file
// of the module sees them configured alike (sizes as Py_ssize_t throughout).
// It comes before any system header in each file: pyconfig.h defines the C
// library's feature macros, which must be set before the first system header
// reads them (a newer glibc defines them otherwise, and they clash).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
