#include "reader/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace reader {

namespace {

std::mutex stdout_lock;

}  // namespace

int write_stdout_line(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text += line;
    text += '\n';
    const std::lock_guard guard(stdout_lock);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
        if (n > 0) {
            rest.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EBADF) {
            return 0;
        } else {
            // A write that takes nothing and names no error would loop
            // forever; report it as the device failing.
            return n == 0 ? EIO : errno;
        }
    }
    return 0;
}

}  // namespace reader
