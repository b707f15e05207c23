#include "dunvel_module/read_call.hpp"

#include <string_view>

#include "dunvel_module/pages.hpp"
#include "reader/failure.hpp"
#include "reader/parallel_rows.hpp"
#include "reader/plot_rows.hpp"

namespace dunvel {

namespace {

const char* kind_name(reader::FailureKind kind) {
    switch (kind) {
        case reader::FailureKind::open: return "open";
        case reader::FailureKind::read: return "read";
        case reader::FailureKind::content: break;
    }
    return "content";
}

const char* problem_name(reader::Problem problem) {
    using reader::Problem;
    switch (problem) {
        case Problem::encoding: return "encoding";
        case Problem::count: return "count";
        case Problem::header: return "header";
        case Problem::incomplete: return "incomplete";
        case Problem::field: return "field";
        case Problem::short_line: return "short-line";
        case Problem::width: return "width";
        case Problem::too_large: return "too-large";
        case Problem::compressed: return "compressed";
        case Problem::changed: return "changed";
        case Problem::none: break;
    }
    return "content";
}

PyObject* decoded(const std::string& text) {
    // Texts are cut from checked lines; "replace" only guards the promise.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace

void raise_reader_error(const ModuleState& state, const reader::ReaderFailure& failure) {
    PyObject* column = failure.column == 0
                           ? none()
                           : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(failure.column));
    PyObject* text = failure.text ? decoded(*failure.text) : none();
    PyObject* plain = decoded(failure.plain);
    if (column == nullptr || text == nullptr || plain == nullptr) {
        Py_XDECREF(column);
        Py_XDECREF(text);
        Py_XDECREF(plain);
        return;
    }
    // N steals each of them, also where building the tuple fails.
    PyObject* args = Py_BuildValue("(siKsNNN)", kind_name(failure.kind), failure.os_error,
                                   static_cast<unsigned long long>(failure.line), problem_name(failure.problem), column,
                                   text, plain);
    if (args == nullptr) return;
    PyErr_SetObject(state.reader_error, args);
    Py_DECREF(args);
}

PyObject* names_tuple(const std::vector<std::string>& names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Lines are checked UTF-8, so names decode without fail.
        PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), nullptr);
        if (name == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

bool take_pages(const ModuleState& state, reader::PlotRows& plot, PyObject*& times, PyObject*& values) {
    const std::size_t time_bytes = plot.times.size() * sizeof(double);
    const std::size_t value_bytes = plot.values.size() * sizeof(float);
    times = new_pages(state.pages_type, plot.times.release(), time_bytes);
    if (times == nullptr) return false;
    values = new_pages(state.pages_type, plot.values.release(), value_bytes);
    if (values != nullptr) return true;
    Py_CLEAR(times);
    return false;
}

namespace {

PyObject* result_tuple(const ModuleState& state, reader::PlotRows& plot) {
    PyObject* times = nullptr;
    PyObject* values = nullptr;
    if (!take_pages(state, plot, times, values)) return nullptr;
    PyObject* names = names_tuple(plot.names);
    if (names == nullptr) {
        Py_DECREF(times);
        Py_DECREF(values);
        return nullptr;
    }
    return Py_BuildValue("(NNNkkO)", names, times, values, static_cast<unsigned long>(plot.count),
                         static_cast<unsigned long>(plot.width), plot.complete ? Py_True : Py_False);
}

}  // namespace

bool python_signal_raised(void* context) {
    auto& saved = *static_cast<PyThreadState**>(context);
    PyEval_RestoreThread(saved);
    const bool raised = PyErr_CheckSignals() < 0;
    saved = PyEval_SaveThread();
    return raised;
}

bool raise_outcome(const ModuleState& state, const Outcome& outcome) {
    if (outcome.interrupted) return true;  // the handler's exception is set
    if (outcome.out_of_memory) {
        PyErr_NoMemory();
        return true;
    }
    if (outcome.failure) {
        raise_reader_error(state, *outcome.failure);
        return true;
    }
    return false;
}

bool width_argument(PyObject* arg, std::uint32_t& width) {
    const unsigned long value = PyLong_AsUnsignedLong(arg);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (value > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "width must be at most 4294967295");
        return false;
    }
    width = static_cast<std::uint32_t>(value);
    return true;
}

PyObject* read_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    const auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    if ((nargs != 3 && nargs != 4) || !PyBytes_Check(args[0]) || !PyLong_Check(args[1]) || !PyBool_Check(args[2]) ||
        (nargs == 4 && !PyLong_Check(args[3]))) {
        PyErr_SetString(PyExc_TypeError,
                        "read() takes a path as bytes, a width as int, keep_incomplete as bool and, optionally, "
                        "threads as int");
        return nullptr;
    }
    const unsigned long threads = nargs == 4 ? PyLong_AsUnsignedLong(args[3]) : 1;
    if (threads == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (threads == 0 || threads > 1024) {
        PyErr_SetString(PyExc_ValueError, "threads must be 1 to 1024");
        return nullptr;
    }
    std::uint32_t width;
    if (!width_argument(args[1], width)) return nullptr;
    // The bytes object stays alive (the caller holds it) while the lock is released.
    const std::string_view path(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
    reader::RowsOptions options;
    options.width = width;
    options.detect_width = width == 0;
    options.keep_incomplete = args[2] == Py_True;

    reader::PlotRows plot;
    Outcome outcome;
    PyThreadState* saved = PyEval_SaveThread();
    options.on_interrupt = {python_signal_raised, &saved};
    outcome.run([&] {
        plot = threads == 1 ? reader::read_plot_rows(path, options)
                            : reader::read_plot_rows_threaded(path, options, static_cast<unsigned>(threads),
                                                              options.on_interrupt);
    });
    PyEval_RestoreThread(saved);
    if (raise_outcome(state, outcome)) return nullptr;
    return result_tuple(state, plot);
}

}  // namespace dunvel
