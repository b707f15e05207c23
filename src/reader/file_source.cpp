#include "reader/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace reader {

IoError open_read_only(std::string_view path, int& fd, const InterruptCheck& on_interrupt) {
    if (path.find('\0') != std::string_view::npos) return {IoError::Kind::invalid_name, 0};
    for (;;) {
        fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return {};
        if (errno != EINTR) return {IoError::Kind::os, errno};
        if (on_interrupt.should_stop()) throw CallerException{};
    }
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

ReadResult FileSource::read(std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n >= 0) return {static_cast<std::size_t>(n), {}};
        if (errno != EINTR) return {0, {IoError::Kind::os, errno}};
        if (on_interrupt_.should_stop()) throw CallerException{};
    }
}

std::uint64_t FileSource::size_hint() const noexcept {
    struct stat status;
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace reader
