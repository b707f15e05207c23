// The module dunvel._native: a static definition for multi-phase
// initialisation whose exec slot creates the ReaderError exception, the
// Pages and Reader types and the functions read and open, kept in the
// module's state. The Python package dunvel is its only user. PyInit__native
// is the only symbol the library exports and does nothing but hand out the
// definition.
#include "dunvel_module/pages.hpp"
#include "dunvel_module/python.hpp"
#include "dunvel_module/read_call.hpp"
#include "dunvel_module/reader_object.hpp"

namespace dunvel {

namespace {

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// PyModule_AddObjectRef, which 3.9 lacks.
int add_object(PyObject* module, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) == 0) return 0;
    Py_DECREF(value);
    return -1;
}

PyMethodDef native_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_entry)), METH_FASTCALL,
     "read(path, width, keep_incomplete, threads=1, /)\n--\n\n"
     "Reads a plot file (path as bytes; width 0 to find it; keep_incomplete: leave out a cut last step; "
     "threads: at most this many, the caller's among them): "
     "(names, times, values, count, width, complete)."},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_entry)), METH_FASTCALL,
     "open(source, into, prefix, width, keep_incomplete, growing, /)\n--\n\n"
     "A Reader of a plot file (source: a path as bytes, or a binary stream's readinto-like (into) or read-like "
     "method; prefix: bytes taken from the stream already), which reads a run of steps at a time."},
    {nullptr, nullptr, 0, nullptr},
};

int native_exec(PyObject* module) {
    ModuleState& state = state_of(module);
    state.reader_error = PyErr_NewExceptionWithDoc(
        "dunvel._native.ReaderError",
        "A reader failure: args are (kind, errno, line, problem, column, text, message); dunvel maps it to its own "
        "errors.",
        nullptr, nullptr);
    if (state.reader_error == nullptr) return -1;
    if (add_object(module, "ReaderError", state.reader_error) < 0) return -1;
    state.pages_type = make_pages_type(module);
    if (state.pages_type == nullptr) return -1;
    if (add_object(module, "Pages", reinterpret_cast<PyObject*>(state.pages_type)) < 0) return -1;
    state.reader_type = make_reader_type(module);
    if (state.reader_type == nullptr) return -1;
    if (add_object(module, "Reader", reinterpret_cast<PyObject*>(state.reader_type)) < 0) return -1;
    return PyModule_AddFunctions(module, native_methods);
}

int native_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    Py_VISIT(state.reader_error);
    Py_VISIT(state.pages_type);
    Py_VISIT(state.reader_type);
    return 0;
}

int native_clear(PyObject* module) {
    ModuleState& state = state_of(module);
    Py_CLEAR(state.reader_error);
    Py_CLEAR(state.pages_type);
    Py_CLEAR(state.reader_type);
    return 0;
}

void native_free(void* module) { native_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {0, nullptr},
};

PyModuleDef native_module_def = {
    PyModuleDef_HEAD_INIT, "_native",    "The native reader behind dunvel.",
    sizeof(ModuleState),   nullptr,      native_slots,
    native_traverse,       native_clear, native_free,
};

}  // namespace

}  // namespace dunvel

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&dunvel::native_module_def); }
