#include "reader/failure.hpp"

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#else
#include <unwind.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "reader/utf8.hpp"

// The XSI strerror_r: g++ always defines _GNU_SOURCE, which hides it behind the
// GNU variant, whose text may not land in the caller's buffer.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace olvane {

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

struct CodeRange {
    char32_t lo, hi;
};
#include "reader/escape_table.inc"

bool is_escaped(char32_t cp) {
    const auto* it = std::upper_bound(std::begin(escaped_ranges), std::end(escaped_ranges), cp,
                                      [](char32_t c, const CodeRange& r) { return c < r.lo; });
    return it != std::begin(escaped_ranges) && cp <= (it - 1)->hi;
}

void append_escaped(std::string& out, char32_t cp) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
    out += hex;
}

// Meson names sources relative to its build folder ("../src/..."); reports
// name them relative to the project root.
std::string_view project_relative(std::string_view path) noexcept {
    const std::size_t at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

struct KindName {
    int code;
    std::string_view name;
};

constexpr std::array<KindName, 39> kind_names{{
    {EPERM, "PermissionDenied"},     {ENOENT, "NotFound"},
    {EINTR, "Interrupted"},          {E2BIG, "ArgumentListTooLong"},
    {EAGAIN, "WouldBlock"},          {ENOMEM, "OutOfMemory"},
    {EACCES, "PermissionDenied"},    {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},       {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},      {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},        {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},         {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},         {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},        {EPIPE, "BrokenPipe"},
    {EDEADLK, "Deadlock"},           {ENAMETOOLONG, "InvalidFilename"},
    {ENOSYS, "Unsupported"},         {ENOTEMPTY, "DirectoryNotEmpty"},
    {ELOOP, "FilesystemLoop"},       {EOPNOTSUPP, "Unsupported"},
    {EADDRINUSE, "AddrInUse"},       {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ENETDOWN, "NetworkDown"},       {ENETUNREACH, "NetworkUnreachable"},
    {ECONNABORTED, "ConnectionAborted"}, {ECONNRESET, "ConnectionReset"},
    {ENOTCONN, "NotConnected"},      {ETIMEDOUT, "TimedOut"},
    {ECONNREFUSED, "ConnectionRefused"}, {EHOSTUNREACH, "HostUnreachable"},
    {EINPROGRESS, "InProgress"},     {ESTALE, "StaleNetworkFileHandle"},
    {EDQUOT, "QuotaExceeded"},
}};

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

std::string_view os_error_kind(int code) noexcept {
    for (const auto& entry : kind_names)
        if (entry.code == code) return entry.name;
    return "Uncategorized";
}

std::string os_error_text(int code) {
    char buffer[128] = {};
    __xpg_strerror_r(code, buffer, sizeof buffer);
    // A text that fills the buffer is cut there; the last byte stays NUL.
    buffer[sizeof buffer - 1] = '\0';
    return to_utf8_lossy(buffer);
}

std::string escape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Decoded d = decode_utf8(text);
        const char32_t cp = d.valid ? d.code_point : U'\uFFFD';
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (is_escaped(cp))
                    append_escaped(out, cp);
                else
                    append_utf8(out, cp);
        }
        text.remove_prefix(d.length);
    }
    return out;
}

std::string quoted_char(char32_t cp) {
    std::string out = "'";
    if (is_escaped(cp))
        append_escaped(out, cp);
    else
        append_utf8(out, cp);
    out += '\'';
    return out;
}

std::string describe(IoError error) {
    switch (error.kind) {
        case IoError::Kind::os: {
            std::string out = "Os { code: ";
            out += std::to_string(error.code);
            out += ", kind: ";
            out += os_error_kind(error.code);
            out += ", message: \"";
            out += escape_text(os_error_text(error.code));
            out += "\" }";
            return out;
        }
        case IoError::Kind::invalid_data:
            return R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })";
        case IoError::Kind::invalid_name:
            return R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })";
        case IoError::Kind::none:
            break;
    }
    return {};
}

std::string_view describe(ParseError error) noexcept {
    switch (error) {
        case ParseError::empty: return "ParseFloatError { kind: Empty }";
        case ParseError::invalid: return "ParseFloatError { kind: Invalid }";
        case ParseError::none: break;
    }
    return {};
}

std::string with_description(std::string_view message, std::string_view description) {
    std::string out;
    out.reserve(message.size() + 2 + description.size());
    out += message;
    out += ": ";
    out += description;
    return out;
}

}  // namespace olvane
