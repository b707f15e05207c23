#include "module/python.hpp"
#include "module/failure_report.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace olvane {

namespace {

enum class BacktraceMode : int { unread, off, brief, full };

std::atomic<BacktraceMode> backtrace_mode{BacktraceMode::unread};
std::atomic<bool> first_report{true};
std::mutex report_lock;  // reports never interleave, whatever the threads do

// Created on first need and kept for the life of the process; module objects
// and interpreters all share it, so that one except clause catches them all.
PyObject* panic_exception = nullptr;

constexpr const char* panic_doc =
    "\n"
    "Raised when the native code of the olvane module fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so\n"
    "that it normally propagates all the way up the stack and makes the\n"
    "interpreter exit.\n";

PyObject* panic_exception_type() {
    if (panic_exception == nullptr) {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException,
                                                   nullptr);
        // Creating a type can run Python code (a collection, finalisers) and
        // so let another thread in: keep whichever type was stored first.
        if (panic_exception == nullptr)
            panic_exception = type;
        else
            Py_XDECREF(type);
    }
    return panic_exception;
}

BacktraceMode mode_from_environment() {
    const char* value = std::getenv("RUST_BACKTRACE");
    if (value == nullptr || std::strcmp(value, "0") == 0) return BacktraceMode::off;
    if (std::strcmp(value, "full") == 0) return BacktraceMode::full;
    return BacktraceMode::brief;
}

BacktraceMode read_backtrace_mode() {
    BacktraceMode mode = backtrace_mode.load();
    if (mode != BacktraceMode::unread) return mode;
    mode = mode_from_environment();
    BacktraceMode expected = BacktraceMode::unread;
    if (!backtrace_mode.compare_exchange_strong(expected, mode)) mode = expected;
    return mode;
}

void write_all(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n > 0)
            text.remove_prefix(static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return;  // nothing sensible is left to tell a broken standard error
    }
}

std::string describe_frame(int index, void* pc, bool full) {
    Dl_info info{};
    const bool found = dladdr(pc, &info) != 0;
    std::string symbol = "<unknown>";
    if (found && info.dli_sname != nullptr) {
        int status = 0;
        std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
        symbol = status == 0 && demangled ? demangled.get() : info.dli_sname;
    }
    char head[64];
    if (full)
        std::snprintf(head, sizeof head, "%4d: %#018zx - ", index, reinterpret_cast<std::size_t>(pc));
    else
        std::snprintf(head, sizeof head, "%4d: ", index);
    std::string entry = head + symbol + "\n";
    if (found && info.dli_fname != nullptr) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "+%#zx\n",
                      reinterpret_cast<std::size_t>(pc) - reinterpret_cast<std::size_t>(info.dli_fbase));
        entry += "             at ";
        entry += info.dli_fname;
        entry += offset;
    }
    return entry;
}

void write_backtrace(const StackFrames& frames, BacktraceMode mode) {
    const bool full = mode == BacktraceMode::full;
    std::string text = "stack backtrace:\n";
    const int first = full ? 0 : StackFrames::machinery;
    for (int i = first; i < frames.count; ++i) text += describe_frame(i - first, frames.pcs[i], full);
    if (!full) text += "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n";
    write_all(text);
}

void write_report(std::string_view message, const SourcePosition& position, const StackFrames& frames) {
    char head[512];
    const int head_size = std::snprintf(head, sizeof head, "\nthread '<unnamed>' (%ld) panicked at %.*s:%u:%u:\n",
                                        static_cast<long>(gettid()), static_cast<int>(position.file.size()),
                                        position.file.data(), position.line, position.column);
    const BacktraceMode mode = read_backtrace_mode();
    const std::lock_guard guard(report_lock);
    const auto head_length = static_cast<std::size_t>(head_size);
    if (head_size > 0 && head_length + message.size() + 1 <= sizeof head) {
        std::memcpy(head + head_length, message.data(), message.size());
        head[head_length + message.size()] = '\n';
        write_all({head, head_length + message.size() + 1});
    } else {
        write_all({head, std::min(head_length, sizeof head - 1)});
        write_all(message);
        write_all("\n");
    }
    if (mode == BacktraceMode::off) {
        if (first_report.exchange(false))
            write_all("note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n");
    } else {
        // The backtrace is a courtesy: without memory for it, the report
        // still ends after the message.
        try {
            write_backtrace(frames, mode);
        } catch (const std::bad_alloc&) {
        }
    }
}

}  // namespace

bool report_prints_backtrace() {
    // Before the first report the mode is not settled; the environment as
    // it is now is what that report would read.
    const BacktraceMode mode = backtrace_mode.load();
    return (mode == BacktraceMode::unread ? mode_from_environment() : mode) != BacktraceMode::off;
}

void raise_failure(std::string_view message, const SourcePosition& position, const StackFrames& frames) {
    write_report(message, position, frames);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation left MemoryError set
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return;
    PyObject* args = PyTuple_Pack(1, text);
    Py_DECREF(text);
    if (args == nullptr) return;
    PyErr_SetObject(type, args);
    Py_DECREF(args);
    PyObject *exc_type, *value, *traceback;
    PyErr_Fetch(&exc_type, &value, &traceback);
    PyErr_NormalizeException(&exc_type, &value, &traceback);
    PyErr_Restore(exc_type, value, traceback);
}

[[gnu::noinline]] void raise_failure(std::string_view message, SourcePosition where) {
    raise_failure(message, where, StackFrames::capture());
}

void raise_null_object_failure(SourcePosition where) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    raise_failure("PyObject pointer is null", where);
}

}  // namespace olvane
