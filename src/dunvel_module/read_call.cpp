#include "dunvel_module/read_call.hpp"

#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "dunvel_module/pages.hpp"
#include "reader/failure.hpp"
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

void raise_reader_error(const ModuleState& state, const reader::ReaderFailure& failure) {
    PyObject* message = PyUnicode_DecodeUTF8(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()),
                                             "replace");
    if (message == nullptr) return;
    PyObject* args = Py_BuildValue("(siKN)", kind_name(failure.kind), failure.os_error,
                                   static_cast<unsigned long long>(failure.line), message);
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

PyObject* result_tuple(const ModuleState& state, reader::PlotRows& plot) {
    const std::size_t time_bytes = plot.times.size() * sizeof(double);
    const std::size_t value_bytes = plot.values.size() * sizeof(float);
    PyObject* times = new_pages(state.pages_type, plot.times.release(), time_bytes);
    if (times == nullptr) return nullptr;
    PyObject* values = new_pages(state.pages_type, plot.values.release(), value_bytes);
    if (values == nullptr) {
        Py_DECREF(times);
        return nullptr;
    }
    PyObject* names = names_tuple(plot.names);
    if (names == nullptr) {
        Py_DECREF(times);
        Py_DECREF(values);
        return nullptr;
    }
    return Py_BuildValue("(NNNkk)", names, times, values, static_cast<unsigned long>(plot.count),
                         static_cast<unsigned long>(plot.width));
}

// The file is read without the interpreter lock. When a signal interrupts a
// blocked open or read (a FIFO, a pipe), the lock is taken back for Python's
// signal handlers, as the interpreter's own file functions do: Ctrl-C ends
// the read, a handler that does not raise lets it go on.
bool python_signal_raised(void* context) {
    auto& saved = *static_cast<PyThreadState**>(context);
    PyEval_RestoreThread(saved);
    const bool raised = PyErr_CheckSignals() < 0;
    saved = PyEval_SaveThread();
    return raised;
}

}  // namespace

PyObject* read_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    const auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    if (nargs != 2 || !PyBytes_Check(args[0]) || !PyLong_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "read() takes a path as bytes and a width as int");
        return nullptr;
    }
    const unsigned long width = PyLong_AsUnsignedLong(args[1]);
    if (width == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (width > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "width must be at most 4294967295");
        return nullptr;
    }
    // The bytes object stays alive (the caller holds it) while the lock is released.
    const std::string_view path(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
    reader::RowsOptions options;
    options.width = static_cast<std::uint32_t>(width);
    options.detect_width = width == 0;

    reader::PlotRows plot;
    std::optional<reader::ReaderFailure> failure;
    bool out_of_memory = false;
    bool interrupted = false;
    PyThreadState* saved = PyEval_SaveThread();
    options.on_interrupt = {python_signal_raised, &saved};
    try {
        plot = reader::read_plot_rows(path, options);
    } catch (reader::ReaderFailure& raised) {
        failure.emplace(std::move(raised));
    } catch (const reader::CallerException&) {
        interrupted = true;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    }
    PyEval_RestoreThread(saved);
    if (interrupted) return nullptr;  // the handler's exception is set
    if (out_of_memory) return PyErr_NoMemory();
    if (failure) {
        raise_reader_error(state, *failure);
        return nullptr;
    }
    return result_tuple(state, plot);
}

}  // namespace dunvel
