// The failure type's machinery: source positions named as reports name
// them, and the stack captured when a failure is made.
#include "reader/failure.hpp"

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#else
#include <unwind.h>
#endif

#include <string_view>
#include <utility>

namespace reader {

namespace {

#if !__has_include(<execinfo.h>)
// musl has no execinfo.h; the unwinder that C++ exceptions use walks the
// stack just as well. Its first frame is backtrace's own, which glibc's
// leaves out: skipped, so that traces start alike on both.
struct UnwindTrace {
    void** pcs;
    int capacity;
    int count;
    int skip;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
    auto& trace = *static_cast<UnwindTrace*>(argument);
    if (trace.skip > 0) {
        --trace.skip;
        return _URC_NO_REASON;
    }
    if (trace.count == trace.capacity) return _URC_END_OF_STACK;
    trace.pcs[trace.count++] = reinterpret_cast<void*>(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

[[gnu::noinline]] int backtrace(void** pcs, int capacity) noexcept {
    UnwindTrace trace{pcs, capacity, 0, 1};
    _Unwind_Backtrace(record_frame, &trace);
    return trace.count;
}
#endif

// Meson names sources relative to its build folder ("../src/..."); reports
// name them relative to the project root.
std::string_view project_relative(std::string_view path) noexcept {
    const std::size_t at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

SourcePosition SourcePosition::current(const char* file, std::uint32_t line, std::uint32_t column) noexcept {
    return {project_relative(file), line, column};
}

[[gnu::noinline]] StackFrames StackFrames::capture() noexcept {
    StackFrames frames;
    frames.count = backtrace(frames.pcs, capacity);
    return frames;
}

namespace {
thread_local bool capturing_stacks = false;
}

StackCapture::StackCapture(bool on) noexcept : before_(capturing_stacks) { capturing_stacks = on; }

StackCapture::~StackCapture() { capturing_stacks = before_; }

[[gnu::noinline]] ReaderFailure::ReaderFailure(std::string text, SourcePosition where)
    : message(std::move(text)), position(where), frames(capturing_stacks ? StackFrames::capture() : StackFrames{}) {}

}  // namespace reader
