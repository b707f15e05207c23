#include "reader/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

namespace {

FileIdentity identity_from(const struct stat& status) noexcept {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size)};
}

}  // namespace

std::optional<FileIdentity> identity_of_path(std::string_view path) {
    const std::string terminated(path);
    struct stat status;
    if (::stat(terminated.c_str(), &status) != 0) return std::nullopt;
    return identity_from(status);
}

std::optional<FileIdentity> FileSource::identity() const noexcept {
    struct stat status;
    if (::fstat(fd_, &status) != 0) return std::nullopt;
    return identity_from(status);
}

ReadResult FileSource::read_at(std::uint64_t offset, std::span<char> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
        if (n == 0) break;
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EINTR) return {done, {IoError::Kind::os, errno}};
        if (on_interrupt_.should_stop()) throw CallerException{};
    }
    return {done, {}};
}

IoError FileSource::seek(std::uint64_t offset) noexcept {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return {IoError::Kind::os, errno};
    return {};
}

std::unique_ptr<FileSource> FileSource::another(IoError& error) const {
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        error = {IoError::Kind::os, errno};
        return nullptr;
    }
    try {
        return std::make_unique<FileSource>(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace reader
