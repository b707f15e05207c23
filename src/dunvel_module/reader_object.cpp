#include "dunvel_module/reader_object.hpp"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "dunvel_module/pages.hpp"
#include "dunvel_module/read_call.hpp"
#include "reader/compression.hpp"
#include "reader/fed_source.hpp"
#include "reader/file_source.hpp"
#include "reader/growing_plot.hpp"
#include "reader/parallel_rows.hpp"
#include "reader/plot_driver.hpp"
#include "reader/plot_stream.hpp"

namespace dunvel {

namespace {

// The C++ side of a Reader; declared in the order that it is built, so that
// a stream goes before the bytes it reads.
struct ReaderState {
    std::unique_ptr<reader::FileSource> file;
    std::unique_ptr<reader::FedSource> fed;
    std::unique_ptr<reader::RefuseCompressed> text;
    std::unique_ptr<reader::PlotStream> plot;
    std::unique_ptr<reader::GrowingPlot> growing;
    // The lock's saved state while a call runs without it, for interrupts.
    PyThreadState* saved = nullptr;
    // Whether reads give the number of each step kept.
    bool selects_steps = false;
    // What a path's stream was made with, for a read of it on threads.
    reader::StreamOptions options;
};

struct Reader {
    PyObject_HEAD ReaderState* state;
    ModuleState* module_state;
    PyObject* module;   // keeps the module state alive
    PyObject* fill;     // the stream's method, or null for a path
    PyObject* prefix;   // bytes still to hand over before the stream's own
    PyObject* scratch;  // the bytearray that a readinto-like method fills
    PyObject* names;
    bool into;
    bool busy;
};

// Calls a stream's method for the next bytes of a buffer, with the
// interpreter lock held.
class Feeder {
public:
    explicit Feeder(Reader& reader) : reader_(reader) {}

    // The bytes put in room; false with an exception set.
    bool fill(std::span<char> room, std::size_t& bytes) {
        if (reader_.prefix != nullptr) return take_prefix(room, bytes);
        return reader_.into ? fill_into(room, bytes) : fill_read(room, bytes);
    }

private:
    bool take_prefix(std::span<char> room, std::size_t& bytes) {
        const char* data = PyBytes_AS_STRING(reader_.prefix);
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(reader_.prefix));
        bytes = std::min(size, room.size());
        std::memcpy(room.data(), data, bytes);
        PyObject* rest = bytes == size ? nullptr
                                       : PyBytes_FromStringAndSize(data + bytes, static_cast<Py_ssize_t>(size - bytes));
        if (rest == nullptr && bytes != size) return false;
        Py_SETREF(reader_.prefix, rest);
        return true;
    }

    // Through a bytearray of the reader's own, copied from: a stream may keep
    // what it was handed (a view of it, say) and write to it later, which
    // must never reach the reader's buffers.
    bool fill_into(std::span<char> room, std::size_t& bytes) {
        if (reader_.scratch == nullptr) {
            reader_.scratch = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room.size()));
            if (reader_.scratch == nullptr) return false;
        }
        PyObject* result = PyObject_CallFunctionObjArgs(reader_.fill, reader_.scratch, nullptr);
        if (result == nullptr) return false;
        // It may have been resized since.
        const auto held = static_cast<std::size_t>(PyByteArray_GET_SIZE(reader_.scratch));
        const bool counted = count_of(result, std::min(room.size(), held), bytes);
        Py_DECREF(result);
        if (counted) std::memcpy(room.data(), PyByteArray_AS_STRING(reader_.scratch), bytes);
        return counted;
    }

    bool count_of(PyObject* result, std::size_t room, std::size_t& bytes) {
        if (result == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError,
                            "the stream has no bytes ready (its readinto() returned None); dunvel reads blocking "
                            "streams");
            return false;
        }
        if (!PyLong_Check(result)) {
            PyErr_Format(PyExc_TypeError, "the stream's readinto() returned %.100s, not an int",
                         Py_TYPE(result)->tp_name);
            return false;
        }
        const Py_ssize_t n = PyLong_AsSsize_t(result);
        if (n == -1 && PyErr_Occurred()) return false;
        if (n < 0 || static_cast<std::size_t>(n) > room) {
            PyErr_Format(PyExc_OSError, "the stream's readinto() returned %zd for a buffer of %zu bytes", n, room);
            return false;
        }
        bytes = static_cast<std::size_t>(n);
        return true;
    }

    bool fill_read(std::span<char> room, std::size_t& bytes) {
        PyObject* result = PyObject_CallFunction(reader_.fill, "n", static_cast<Py_ssize_t>(room.size()));
        if (result == nullptr) return false;
        if (PyUnicode_Check(result)) {
            Py_DECREF(result);
            PyErr_SetString(PyExc_TypeError,
                            "the stream's read() returned str: dunvel reads bytes; open the file in binary mode "
                            "(\"rb\")");
            return false;
        }
        Py_buffer buffer;
        if (PyObject_GetBuffer(result, &buffer, PyBUF_SIMPLE) < 0) {
            Py_DECREF(result);
            return false;
        }
        const bool fits = static_cast<std::size_t>(buffer.len) <= room.size();
        if (fits) {
            bytes = static_cast<std::size_t>(buffer.len);
            std::memcpy(room.data(), buffer.buf, bytes);
        } else {
            PyErr_Format(PyExc_OSError, "the stream's read(%zu) returned %zd bytes", room.size(), buffer.len);
        }
        PyBuffer_Release(&buffer);
        Py_DECREF(result);
        return fits;
    }

    Reader& reader_;
};

// Runs body on a thread of the reader's own, which parses without the
// interpreter lock, while this thread calls the stream for the bytes that
// it asks for. False with a Python exception set where the stream raised
// (or a signal handler did); else the body's outcome is in outcome.
template <class Body>
bool run_fed(Reader& reader, Outcome& outcome, Body&& body) {
    reader::FedSource& fed = *reader.state->fed;
    fed.begin_job();
    std::thread worker;
    try {
        worker = std::thread([&] {
            outcome.run(body);
            fed.end_job();
        });
    } catch (const std::system_error& error) {
        fed.end_job();
        PyErr_Format(PyExc_RuntimeError, "could not start the reader's thread: %s", error.what());
        return false;
    }
    Feeder feeder(reader);
    bool raised = false;
    for (;;) {
        bool done = false;
        PyThreadState* saved = PyEval_SaveThread();
        const std::span<char> room = fed.wait_for_room(std::chrono::milliseconds(50), done);
        PyEval_RestoreThread(saved);
        if (done) break;
        if (room.empty()) {
            // Waiting on the parser: Ctrl-C still ends the read.
            if (PyErr_CheckSignals() < 0) {
                fed.give_up();
                raised = true;
                break;
            }
            continue;
        }
        std::size_t bytes = 0;
        if (!feeder.fill(room, bytes)) {
            fed.give_up();
            raised = true;
            break;
        }
        fed.hand_over(bytes);
    }
    PyThreadState* saved = PyEval_SaveThread();
    worker.join();
    PyEval_RestoreThread(saved);
    return !raised;
}

// Runs body without the interpreter lock, on this thread.
template <class Body>
void run_unlocked(Reader& reader, Outcome& outcome, Body&& body) {
    reader.state->saved = PyEval_SaveThread();
    outcome.run(body);
    PyEval_RestoreThread(reader.state->saved);
}

// Runs body the way that the reader's source needs; false with an
// exception set where the body failed.
template <class Body>
bool run(Reader& reader, Body&& body) {
    Outcome outcome;
    if (reader.fill != nullptr) {
        if (!run_fed(reader, outcome, body)) return false;
    } else {
        run_unlocked(reader, outcome, body);
    }
    return !raise_outcome(*reader.module_state, outcome);
}

const reader::PlotStream* stream_of(const ReaderState& state) {
    if (state.growing) return &state.growing->stream();
    return state.plot.get();
}

bool check_usable(Reader& reader) {
    if (reader.busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is already reading, on another thread");
        return false;
    }
    if (reader.state == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the reader is closed");
        return false;
    }
    return true;
}

void clear_state(Reader& reader) {
    delete reader.state;
    reader.state = nullptr;
}

// A read of the reader's next steps: at most max_steps (0: all), on up to
// threads threads where it reads all of a path's steps from the first.
PyObject* read_steps(Reader& reader, std::uint64_t max_steps, unsigned threads) {
    if (!check_usable(reader)) return nullptr;
    ReaderState& state = *reader.state;
    const std::uint64_t first_step = stream_of(state)->next_step();
    const bool threaded = threads > 1 && max_steps == 0 && first_step == 0 && state.file && state.plot;
    reader::PlotRows rows;
    reader.busy = true;
    const bool read = run(reader, [&] {
        if (threaded)
            rows = reader::read_rest_threaded(*state.file, *state.plot, state.options, threads,
                                              {python_signal_raised, &state.saved});
        else
            rows = state.growing ? state.growing->read(max_steps) : state.plot->read(max_steps);
    });
    reader.busy = false;
    if (!read) {
        // Cut off where it failed, a reader cannot go on.
        clear_state(reader);
        return nullptr;
    }
    const std::size_t step_bytes = rows.steps.size() * sizeof(std::int64_t);
    PyObject* times = nullptr;
    PyObject* values = nullptr;
    if (!take_pages(*reader.module_state, rows, times, values)) return nullptr;
    PyObject* steps = Py_None;
    if (state.selects_steps) {
        steps = new_pages(reader.module_state->pages_type, rows.steps.release(), step_bytes);
        if (steps == nullptr) {
            Py_DECREF(times);
            Py_DECREF(values);
            return nullptr;
        }
    } else {
        Py_INCREF(steps);
    }
    PyObject* complete = rows.stopped ? Py_None : rows.complete ? Py_True : Py_False;
    return Py_BuildValue("(NNNKO)", times, values, steps, static_cast<unsigned long long>(first_step), complete);
}

PyObject* reader_read(PyObject* self, PyObject* arg) {
    const unsigned long long max_steps = PyLong_AsUnsignedLongLong(arg);
    if (max_steps == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return read_steps(*reinterpret_cast<Reader*>(self), max_steps, 1);
}

PyObject* reader_read_all(PyObject* self, PyObject* arg) {
    const unsigned long threads = PyLong_AsUnsignedLong(arg);
    if (threads == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (threads == 0 || threads > 1024) {
        PyErr_SetString(PyExc_ValueError, "read_all() takes 1 to 1024 threads");
        return nullptr;
    }
    return read_steps(*reinterpret_cast<Reader*>(self), 0, static_cast<unsigned>(threads));
}

// The parameters kept: None, or a tuple of ascending ints below count.
bool parameters_argument(PyObject* arg, std::uint32_t count, std::optional<std::vector<std::uint32_t>>& parameters) {
    if (arg == Py_None) return true;
    if (!PyTuple_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "select() takes the parameters as a tuple of ints, or None");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(arg);
    std::vector<std::uint32_t> kept;
    try {
        kept.reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long value = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(arg, i));
        if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
        if (value >= count || (!kept.empty() && value <= kept.back())) {
            PyErr_Format(PyExc_ValueError, "select() takes ascending parameters below %u; %lu is not one", count,
                         value);
            return false;
        }
        kept.push_back(static_cast<std::uint32_t>(value));
    }
    parameters = std::move(kept);
    return true;
}

bool step_argument(PyObject* arg, std::uint64_t& value) {
    value = PyLong_AsUnsignedLongLong(arg);
    return !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

bool time_argument(PyObject* arg, std::optional<double>& time) {
    if (arg == Py_None) return true;
    const double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred()) return false;
    time = value;
    return true;
}

PyObject* reader_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError,
                        "select() takes parameters, first_step, stop_step or None, stride, earliest and latest");
        return nullptr;
    }
    if (!check_usable(reader)) return nullptr;
    ReaderState& state = *reader.state;
    reader::Selection selection;
    std::uint64_t stop = 0;
    if (!parameters_argument(args[0], stream_of(state)->count(), selection.parameters) ||
        !step_argument(args[1], selection.first_step) || (args[2] != Py_None && !step_argument(args[2], stop)) ||
        !step_argument(args[3], selection.stride) || !time_argument(args[4], selection.earliest) ||
        !time_argument(args[5], selection.latest))
        return nullptr;
    if (args[2] != Py_None) selection.stop_step = stop;
    if (selection.stride == 0) {
        PyErr_SetString(PyExc_ValueError, "select() takes a stride of at least 1");
        return nullptr;
    }
    try {
        if (state.growing)
            state.growing->select(selection);
        else
            state.plot->select(selection);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    state.selects_steps = selection.selects_steps();
    Py_RETURN_NONE;
}

PyObject* reader_close(PyObject* self, PyObject*) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    if (reader.busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is reading, on another thread");
        return nullptr;
    }
    clear_state(reader);
    Py_CLEAR(reader.fill);
    Py_CLEAR(reader.prefix);
    Py_CLEAR(reader.scratch);
    Py_RETURN_NONE;
}

PyObject* reader_take_end_as_final(PyObject* self, PyObject*) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    if (!check_usable(reader)) return nullptr;
    if (reader.state->growing) reader.state->growing->take_end_as_final();
    Py_RETURN_NONE;
}

PyObject* reader_names(PyObject* self, void*) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    Py_INCREF(reader.names);
    return reader.names;
}

PyObject* reader_width(PyObject* self, void*) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    const reader::PlotStream* stream = reader.state ? stream_of(*reader.state) : nullptr;
    return PyLong_FromUnsignedLong(stream && stream->width() ? *stream->width() : 0);
}

PyObject* reader_next_step(PyObject* self, void*) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    const reader::PlotStream* stream = reader.state ? stream_of(*reader.state) : nullptr;
    return PyLong_FromUnsignedLongLong(stream ? stream->next_step() : 0);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reader.module);
    Py_VISIT(reader.fill);
    Py_VISIT(reader.prefix);
    Py_VISIT(reader.scratch);
    Py_VISIT(reader.names);
    return 0;
}

int reader_clear(PyObject* self) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    Py_CLEAR(reader.fill);
    Py_CLEAR(reader.prefix);
    Py_CLEAR(reader.scratch);
    Py_CLEAR(reader.names);
    return 0;
}

void reader_dealloc(PyObject* self) {
    auto& reader = *reinterpret_cast<Reader*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear_state(reader);
    reader_clear(self);
    Py_CLEAR(reader.module);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef reader_methods[] = {
    {"read", reader_read, METH_O, "read($self, max_steps, /)\n--\n\nThe next steps, at most max_steps (0: all)."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_select)), METH_FASTCALL,
     "select($self, parameters, first_step, stop_step, stride, earliest, latest, /)\n--\n\n"
     "What the reads from now on keep: parameters a tuple of ascending header places or None, steps "
     "first_step, first_step + stride, ... before stop_step (None: no end), of them those whose time lies in "
     "[earliest, latest] (None: no bound)."},
    {"read_all", reader_read_all, METH_O,
     "read_all($self, threads, /)\n--\n\nThe steps still to read; a path's, from the first, on up to threads "
     "threads."},
    {"close", reader_close, METH_NOARGS, "close($self, /)\n--\n\nGives back what the reader holds."},
    {"take_end_as_final", reader_take_end_as_final, METH_NOARGS,
     "take_end_as_final($self, /)\n--\n\nA growing reader's file is done: its end is final from now on."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"names", reader_names, nullptr, "The header's names.", nullptr},
    {"width", reader_width, nullptr, "The field width, 0 until known.", nullptr},
    {"next_step", reader_next_step, nullptr, "The number of the next step to read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("A plot file read a run of steps at a time; made by open().")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "dunvel._native.Reader",
    sizeof(Reader),
    0,
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
#endif
    reader_slots,
};

}  // namespace

PyTypeObject* make_reader_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
}

PyObject* open_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    auto& module_state = *static_cast<ModuleState*>(PyModule_GetState(module));
    if (nargs != 6 || !(PyBytes_Check(args[0]) || PyCallable_Check(args[0])) || !PyBool_Check(args[1]) ||
        !PyBytes_Check(args[2]) || !PyLong_Check(args[3]) || !PyBool_Check(args[4]) || !PyBool_Check(args[5])) {
        PyErr_SetString(PyExc_TypeError,
                        "open() takes a path as bytes or a stream's method, into, prefix as bytes, a width as int, "
                        "keep_incomplete and growing as bool");
        return nullptr;
    }
    std::uint32_t width;
    if (!width_argument(args[3], width)) return nullptr;
    const bool is_path = PyBytes_Check(args[0]);
    const bool growing = args[5] == Py_True;
    if (growing && !is_path) {
        PyErr_SetString(PyExc_TypeError, "only a path can be read as a growing file");
        return nullptr;
    }
    reader::StreamOptions options;
    if (width != 0) options.width = width;
    options.keep_incomplete = args[4] == Py_True;
    options.growing = growing;

    auto* self = reinterpret_cast<Reader*>(module_state.reader_type->tp_alloc(module_state.reader_type, 0));
    if (self == nullptr) return nullptr;
    Reader& reader = *self;
    reader.module_state = &module_state;
    Py_INCREF(module);
    reader.module = module;
    reader.into = args[1] == Py_True;
    reader.state = new (std::nothrow) ReaderState;
    if (reader.state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    ReaderState& state = *reader.state;
    state.options = options;
    const reader::InterruptCheck on_interrupt{python_signal_raised, &state.saved};
    bool opened;
    if (is_path) {
        // The bytes object stays alive (the caller holds it) while the lock is released.
        const std::string_view path(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        opened = run(reader, [&] {
            if (growing) {
                state.growing = std::make_unique<reader::GrowingPlot>(path, options, on_interrupt);
                return;
            }
            int fd = -1;
            if (const reader::IoError error = reader::open_read_only(path, fd, on_interrupt))
                reader::driver::fail_open(error);
            state.file = std::make_unique<reader::FileSource>(fd, on_interrupt);
            state.text = std::make_unique<reader::RefuseCompressed>(*state.file);
            state.plot = std::make_unique<reader::PlotStream>(*state.text, options);
        });
    } else {
        Py_INCREF(args[0]);
        reader.fill = args[0];
        if (PyBytes_GET_SIZE(args[2]) > 0) {
            Py_INCREF(args[2]);
            reader.prefix = args[2];
        }
        try {
            state.fed = std::make_unique<reader::FedSource>();
            state.text = std::make_unique<reader::RefuseCompressed>(*state.fed);
        } catch (const std::bad_alloc&) {
            Py_DECREF(self);
            return PyErr_NoMemory();
        }
        opened = run(reader, [&] { state.plot = std::make_unique<reader::PlotStream>(*state.text, options); });
    }
    if (opened) reader.names = names_tuple(stream_of(state)->names());
    if (!opened || reader.names == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace dunvel
