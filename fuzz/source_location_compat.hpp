// Force-included into every fuzz build (-include). Clang before 15 lacks
// __builtin_source_location, so libstdc++ 12's <source_location> comes out
// empty and the reader does not compile; Debian 12's "clang" is clang 14.
// This stands in with the older builtins, which clang has long had. With a
// standard library that provides the real type, it does nothing.
#pragma once

#include <source_location>

#ifndef __cpp_lib_source_location
namespace std {

struct source_location {
    // The builtins in default arguments name the caller's position, as the
    // standard's current() does.
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             unsigned line = __builtin_LINE(),
                                             unsigned column = __builtin_COLUMN()) noexcept {
        source_location where;
        where.file_ = file;
        where.function_ = function;
        where.line_ = line;
        where.column_ = column;
        return where;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    unsigned line_ = 0;
    unsigned column_ = 0;
};

}  // namespace std
#endif
