#include "reader/line_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "reader/utf8.hpp"

namespace olvane {

IoError open_read_only(std::string_view path, int& fd) {
    if (path.find('\0') != std::string_view::npos) return {IoError::Kind::invalid_name, 0};
    for (;;) {
        fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return {};
        if (errno != EINTR) return {IoError::Kind::os, errno};
    }
}

LineSource::Descriptor::~Descriptor() {
    if (value >= 0) ::close(value);
}

LineSource::LineSource(int fd) : fd_{fd}, buffer_(new char[buffer_size]) {}

std::uint64_t LineSource::size_hint() const noexcept {
    struct stat status;
    if (::fstat(fd_.value, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

bool LineSource::refill() {
    for (;;) {
        const ssize_t n = ::read(fd_.value, buffer_.get(), buffer_size);
        if (n >= 0) {
            before_buffer_ += fill_;
            position_ = 0;
            fill_ = static_cast<std::size_t>(n);
            return true;
        }
        if (errno != EINTR) {
            error_ = {IoError::Kind::os, errno};
            return false;
        }
    }
}

LineSource::Status LineSource::read_spanning_line() {
    spanning_.clear();
    bool taken = false;
    for (;;) {
        if (position_ == fill_) {
            if (!refill()) return Status::error;
            if (fill_ == 0) break;
        }
        const char* start = buffer_.get() + position_;
        const std::size_t unread = fill_ - position_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', unread));
        taken = true;
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - start);
            position_ += length + 1;
            // A line that starts a fresh fill and ends inside it needs no copy.
            if (spanning_.empty()) return finish_line({start, length}, true);
            spanning_.append(start, length);
            return finish_line(spanning_, true);
        }
        spanning_.append(start, unread);
        position_ = fill_;
    }
    if (!taken) return Status::end_of_file;
    return finish_line(spanning_, false);
}

LineSource::Status LineSource::finish_line(std::string_view bytes, bool had_line_feed) {
    line_is_ascii_ = is_ascii(bytes);
    if (!line_is_ascii_ && !is_valid_utf8(bytes)) [[unlikely]] {
        error_ = {IoError::Kind::invalid_data, 0};
        return Status::error;
    }
    // Only a CR right before the LF belongs to the terminator; one that ends
    // the file's last line stays part of it.
    if (had_line_feed && !bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
    line_ = bytes;
    return Status::line;
}

}  // namespace olvane
