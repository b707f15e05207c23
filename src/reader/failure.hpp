// Failures of the reader. ReaderFailure is the one thing that ends a reader
// call: its whole message, the place in our source that raised it, and,
// where its caller asked (StackCapture), the stack at that moment (for the
// report's backtrace). Beside it: the error
// values that lower stages hand up (IoError, ParseError) and the exact
// descriptions that follow a message as "<message>: <description>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// GCC has no builtin for the column; its std::source_location gives it. Clang
// has the builtin, and clang 14 cannot compile libstdc++ 12's source_location.
#if __has_builtin(__builtin_COLUMN)
#define OLVANE_CALLER_COLUMN __builtin_COLUMN()
#else
#include <source_location>
#define OLVANE_CALLER_COLUMN std::source_location::current().column()
#endif

namespace olvane {

struct SourcePosition {
    std::string_view file;  // relative to the project root, e.g. "src/reader/plot_file.cpp"
    std::uint32_t line;
    std::uint32_t column;

    // As a default argument, the position of the call that takes the
    // default, even through further default arguments.
    static SourcePosition current(const char* file = __builtin_FILE(),
                                  std::uint32_t line = __builtin_LINE(),
                                  std::uint32_t column = OLVANE_CALLER_COLUMN) noexcept;
};

struct StackFrames {
    static constexpr int capacity = 64;
    void* pcs[capacity];
    int count = 0;
    // Frames of the capturing machinery itself at the front, for short backtraces.
    static constexpr int machinery = 2;

    static StackFrames capture() noexcept;
};

// Whether the failures that this thread raises capture the stack, for as
// long as the object lives: off unless a caller turns it on, since only
// olvane's report prints a stack, and only when asked to. The reader runs
// on its caller's thread, so a call's own setting reaches its failures.
class StackCapture {
public:
    explicit StackCapture(bool on) noexcept;
    ~StackCapture();
    StackCapture(const StackCapture&) = delete;
    StackCapture& operator=(const StackCapture&) = delete;

private:
    bool before_;
};

// What a failure was about, for callers that map failures to their own
// errors; the message alone is what olvane shows.
enum class FailureKind : std::uint8_t {
    content,  // the file's text: encoding, layout, counts, fields, numbers
    open,     // the file could not be opened; os_error tells why (0: a NUL in the path)
    read,     // the system refused a read; os_error tells why
};

struct ReaderFailure {
    std::string message;
    SourcePosition position;
    StackFrames frames;
    FailureKind kind = FailureKind::content;
    int os_error = 0;
    // 1-based number of the line being read or examined; 0 where no line was,
    // or where the reader's caller does not count lines.
    std::uint64_t line = 0;

    explicit ReaderFailure(std::string message, SourcePosition where = SourcePosition::current());
};

// An error from opening or reading the file.
struct IoError {
    enum class Kind : std::uint8_t { none, os, invalid_data, invalid_name };
    Kind kind = Kind::none;
    int code = 0;  // errno, for Kind::os

    explicit operator bool() const noexcept { return kind != Kind::none; }
};

enum class ParseError : std::uint8_t { none, empty, invalid };

std::string describe(IoError error);
std::string_view describe(ParseError error) noexcept;

// "<message>: <description>"
std::string with_description(std::string_view message, std::string_view description);

// The platform's text for an error number, as XSI strerror_r gives it, made valid UTF-8.
std::string os_error_text(int code);

// The error kind named in descriptions; "Uncategorized" for numbers without one.
std::string_view os_error_kind(int code) noexcept;

// A character in single quotes, escaped as failure texts show characters.
std::string quoted_char(char32_t code_point);

// Text for a double-quoted description: quotes, backslashes and control
// characters escaped, combining marks and unprintable characters as \u{...}.
std::string escape_text(std::string_view utf8);

}  // namespace olvane
