// The module olvane: a static definition for multi-phase initialisation
// whose one exec slot creates the function rust_read_dunvel, appends its
// name to __all__ and stores it. No module state; PyInit_olvane is the only
// symbol the library exports and does nothing but hand out the definition.
#include "module/python.hpp"

#include <new>

#include "module/arguments.hpp"
#include "module/call.hpp"
#include "module/failure_report.hpp"

namespace olvane {

namespace {

#define OLVANE_SIGNATURE "rust_read_dunvel(file_path, n_digits)\n--\n\n"

PyMethodDef rust_read_dunvel_method_def = {
    "rust_read_dunvel",
    // The real signature is the fast-call-with-keywords one that ml_flags announce.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_read_dunvel_entry)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    OLVANE_SIGNATURE
    "# Reads in the dunvel file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## DUNVEL plot file shape\n"
    "The DUNVEL data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the DUNVEL plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n",
};

// Appends the function's name to the module's __all__ (made if missing).
bool add_to_all(PyObject* module, PyObject* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) {
            raise_null_object_failure();
            return false;
        }
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return false;
        }
    } else if (!PyList_Check(all)) {
        PyObject* type_name = type_name_text(Py_TYPE(all));
        Py_DECREF(all);
        if (type_name != nullptr) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'list'", type_name);
            Py_DECREF(type_name);
        }
        return false;
    }
    const int appended = PyList_Append(all, name);
    Py_DECREF(all);
    if (appended == 0) return true;

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyUnicode_FromFormat("%S: %S", type, value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    const char* description = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    std::string message = "could not append __name__ to __all__: ";
    message += description != nullptr ? description : "<exception could not be described>";
    PyErr_Clear();
    Py_XDECREF(text);
    raise_failure(message);
    return false;
}

int olvane_module_exec(PyObject* module) {
    try {
        PyObject* module_name = PyModule_GetNameObject(module);
        if (module_name == nullptr) return -1;
        PyObject* function = PyCMethod_New(&rust_read_dunvel_method_def, module, module_name, nullptr);
        Py_DECREF(module_name);
        if (function == nullptr) return -1;
        PyObject* name = PyObject_GetAttrString(function, "__name__");
        const bool stored = name != nullptr && add_to_all(module, name) &&
                            PyObject_SetAttr(module, name, function) == 0;
        Py_XDECREF(name);
        Py_DECREF(function);
        return stored ? 0 : -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyModuleDef_Slot olvane_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(olvane_module_exec)},
    {0, nullptr},
};

PyModuleDef olvane_module_def = {
    PyModuleDef_HEAD_INIT,
    "olvane",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    olvane_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace olvane

PyMODINIT_FUNC PyInit_olvane(void) { return PyModuleDef_Init(&olvane::olvane_module_def); }
