// Failures of the reader. ReaderFailure is the one thing that ends a reader
// call: its whole message, what it is about and where (its problem, line,
// column and text, in plain words), the place in our source that raised it,
// and, where its caller asked (StackCapture), the stack at that moment (for
// the report's backtrace). The texts that olvane's messages are made of are
// error_text.hpp's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// GCC has no builtin for the column; its std::source_location gives it. Clang
// has the builtin, and clang 14 cannot compile libstdc++ 12's source_location.
#if __has_builtin(__builtin_COLUMN)
#define READER_CALLER_COLUMN __builtin_COLUMN()
#else
#include <source_location>
#define READER_CALLER_COLUMN std::source_location::current().column()
#endif

namespace reader {

struct SourcePosition {
    std::string_view file;  // relative to the project root, e.g. "src/reader/plot_file.cpp"
    std::uint32_t line;
    std::uint32_t column;

    // As a default argument, the position of the call that takes the
    // default, even through further default arguments.
    static SourcePosition current(const char* file = __builtin_FILE(), std::uint32_t line = __builtin_LINE(),
                                  std::uint32_t column = READER_CALLER_COLUMN) noexcept;
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

// What a content failure is about, for results that tell it in their own
// words (dunvel); olvane shows only the message.
enum class Problem : std::uint8_t {
    none,
    encoding,    // bytes that are not UTF-8
    count,       // the first line does not end with a count
    header,      // the file ends in its header
    incomplete,  // the file ends inside a step
    field,       // a field that is not a number
    short_line,  // a data line too short for its fields
    width,       // no width was given and neither of the two fits
    too_large,   // more parameters than a result can hold
    compressed,  // compressed data, not text
    changed,     // a growing file was replaced, cut or rewritten under its reader
};

struct ReaderFailure {
    std::string message;
    SourcePosition position;
    StackFrames frames;
    FailureKind kind = FailureKind::content;
    int os_error = 0;
    // 1-based number of the line being read or examined; where the file
    // ends too early, its last line (0 when it is empty); 0 also where the
    // reader's caller does not count lines.
    std::uint64_t line = 0;

    Problem problem = Problem::none;
    // 1-based byte column in the line where the problem starts; 0 for none.
    std::uint64_t column = 0;
    // The offending text, where there is one.
    std::optional<std::string> text;
    // The failure in plain words, for results that show their own.
    std::string plain;

    explicit ReaderFailure(std::string message, SourcePosition where = SourcePosition::current());
};

}  // namespace reader
