#include "module/call.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "module/arguments.hpp"
#include "module/failure_report.hpp"
#include "reader/plot_file.hpp"

namespace olvane {

using reader::CallerException;
using reader::Column;
using reader::Columns;
using reader::ReaderFailure;
using reader::StackCapture;

namespace {

// Each column is released as soon as its list exists, so that the peak holds
// every value once as binary32 and once as a Python float, not more. Floats
// are immutable, so a value with the same bits as the one before it in its
// column shares that one's object: plot files hold long constant stretches
// and zeros, and a shared object is neither created nor kept in memory. NaN
// never shares: Python compares by identity first, so a shared NaN would
// equal itself in count(), `in` and list equality, where one object per
// value does not.
PyObject* columns_into_list(Columns& columns) {
    PyObject* outer = PyList_New(static_cast<Py_ssize_t>(columns.size()));
    if (outer == nullptr) {
        raise_null_object_failure();
        return nullptr;
    }
    for (std::size_t j = 0; j < columns.size(); ++j) {
        Column& column = columns[j];
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(column.size()));
        if (inner == nullptr) {
            Py_DECREF(outer);
            raise_null_object_failure();
            return nullptr;
        }
        PyList_SET_ITEM(outer, static_cast<Py_ssize_t>(j), inner);
        PyObject* previous = nullptr;
        std::uint32_t previous_bits = 0;
        for (std::size_t i = 0; i < column.size(); ++i) {
            const auto bits = std::bit_cast<std::uint32_t>(column[i]);
            if (previous != nullptr && bits == previous_bits && !std::isnan(column[i])) {
                Py_INCREF(previous);
            } else {
                previous = PyFloat_FromDouble(static_cast<double>(column[i]));
                if (previous == nullptr) [[unlikely]] {
                    Py_DECREF(outer);
                    raise_null_object_failure();
                    return nullptr;
                }
                previous_bits = bits;
            }
            PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(i), previous);
        }
        Column().swap(column);
    }
    return outer;
}

// Runs Python's signal handlers when a signal interrupts a blocked open or
// read, as the interpreter's own file functions do (PEP 475): Ctrl-C ends a
// read from a FIFO without a writer; a handler that does not raise lets the
// read go on. The lock is held throughout, so the handlers may run here.
bool python_signal_raised(void* /*context*/) { return PyErr_CheckSignals() < 0; }

}  // namespace

PyObject* rust_read_dunvel_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!extract_arguments_fastcall(args, nargs, kwnames, slots)) return nullptr;
    std::string_view path;
    if (!extract_str(slots[0], path)) {
        argument_extraction_error("file_path");
        return nullptr;
    }
    std::uint32_t n_digits = 0;
    if (!extract_u32(slots[1], n_digits)) {
        argument_extraction_error("n_digits");
        return nullptr;
    }
    // The interpreter lock is held throughout, so the environment that the
    // report will read cannot change before it does.
    const StackCapture capture(report_prints_backtrace());
    // Running out of our own memory must not take the user's interpreter
    // down: everything the call holds is released on the way out here.
    try {
        Columns columns = reader::read_plot_file(path, n_digits, {python_signal_raised, nullptr});
        return columns_into_list(columns);
    } catch (const ReaderFailure& failure) {
        raise_failure(failure.message, failure.position, failure.frames);
        return nullptr;
    } catch (const CallerException&) {
        return nullptr;  // the handler's exception is set; it is not ours to report
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size past what a container can hold: memory that cannot be had.
        return PyErr_NoMemory();
    }
}

}  // namespace olvane
