// The one place that includes the interpreter's headers, so that every file
// of the module sees them configured alike (sizes as Py_ssize_t throughout).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
