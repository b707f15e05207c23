// The reader's one line of ordinary output, on file descriptor 1 itself (not
// through the interpreter's sys.stdout), written whole under a process-wide
// lock so that it never interleaves with another thread's line.
#pragma once

#include <string_view>

namespace reader {

// Writes the line and its newline. Returns 0, or the error number of a failed
// write; a closed descriptor 1 (EBADF) drops the line and counts as written.
int write_stdout_line(std::string_view line);

}  // namespace reader
