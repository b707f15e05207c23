// Error descriptions as failure messages show them. The escape table is
// generated from the Unicode Character Database (escape_table.inc).
#include "reader/error_text.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "reader/utf8.hpp"

// The XSI strerror_r: g++ always defines _GNU_SOURCE, which hides it behind the
// GNU variant, whose text may not land in the caller's buffer.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace reader {

namespace {

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

struct KindName {
    int code;
    std::string_view name;
};

constexpr std::array<KindName, 39> kind_names{{
    {EPERM, "PermissionDenied"},
    {ENOENT, "NotFound"},
    {EINTR, "Interrupted"},
    {E2BIG, "ArgumentListTooLong"},
    {EAGAIN, "WouldBlock"},
    {ENOMEM, "OutOfMemory"},
    {EACCES, "PermissionDenied"},
    {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},
    {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},
    {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},
    {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},
    {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},
    {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},
    {EPIPE, "BrokenPipe"},
    {EDEADLK, "Deadlock"},
    {ENAMETOOLONG, "InvalidFilename"},
    {ENOSYS, "Unsupported"},
    {ENOTEMPTY, "DirectoryNotEmpty"},
    {ELOOP, "FilesystemLoop"},
    {EOPNOTSUPP, "Unsupported"},
    {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"},
    {ECONNABORTED, "ConnectionAborted"},
    {ECONNRESET, "ConnectionReset"},
    {ENOTCONN, "NotConnected"},
    {ETIMEDOUT, "TimedOut"},
    {ECONNREFUSED, "ConnectionRefused"},
    {EHOSTUNREACH, "HostUnreachable"},
    {EINPROGRESS, "InProgress"},
    {ESTALE, "StaleNetworkFileHandle"},
    {EDQUOT, "QuotaExceeded"},
}};

}  // namespace

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

std::string quoted(std::string_view text) {
    // Appended, not added: GCC 12 warns falsely about "'" + std::string.
    std::string out = "'";
    out += escape_text(text);
    out += '\'';
    return out;
}

std::string plural(std::uint64_t n, std::string_view noun) {
    std::string text = std::to_string(n) + " ";
    text += noun;
    if (n != 1) text += 's';
    return text;
}

std::string field_and_columns(std::uint64_t k, std::uint64_t width) {
    const std::uint64_t begin = k * width;
    return "field " + std::to_string(k + 1) + " (columns " + std::to_string(begin + 1) + "-" +
           std::to_string(begin + width) + ")";
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
        case IoError::Kind::none: break;
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

}  // namespace reader
