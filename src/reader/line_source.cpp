#include "reader/line_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>


namespace olvane {

IoError open_read_only(std::string_view path, int& fd, const InterruptCheck& on_interrupt) {
    if (path.find('\0') != std::string_view::npos) return {IoError::Kind::invalid_name, 0};
    for (;;) {
        fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return {};
        if (errno != EINTR) return {IoError::Kind::os, errno};
        if (on_interrupt.should_stop()) throw ReadInterrupted{};
    }
}

LineSource::Descriptor::~Descriptor() {
    if (value >= 0) ::close(value);
}

LineSource::LineSource(int fd, std::size_t buffer_size, const InterruptCheck& on_interrupt)
    : fd_{fd},
      on_interrupt_{on_interrupt},
      buffer_size_{buffer_size},
      buffer_(new char[buffer_size + line_padding]()) {}

std::uint64_t LineSource::size_hint() const noexcept {
    struct stat status;
    if (::fstat(fd_.value, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

bool LineSource::refill() {
    for (;;) {
        const ssize_t n = ::read(fd_.value, buffer_.get(), buffer_size_);
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
        if (on_interrupt_.should_stop()) throw ReadInterrupted{};
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
        bool ascii;
        const char* lf = find_line_end(start, buffer_.get() + fill_, ascii);
        taken = true;
        if (lf != nullptr) {
            const auto length = static_cast<std::size_t>(lf - start);
            position_ += length + 1;
            // A line that starts a fresh fill and ends inside it needs no copy.
            if (spanning_.empty()) return finish_line({start, length}, true, ascii);
            spanning_.append(start, length);
            return finish_spanning_line(true);
        }
        spanning_.append(start, unread);
        position_ = fill_;
    }
    if (!taken) return Status::end_of_file;
    return finish_spanning_line(false);
}

LineSource::Status LineSource::finish_spanning_line(bool had_line_feed) {
    const std::size_t length = spanning_.size();
    const bool ascii = is_ascii(spanning_);
    spanning_.append(line_padding, '\0');
    return finish_line({spanning_.data(), length}, had_line_feed, ascii);
}

LineSource::Status LineSource::invalid_line() {
    error_ = {IoError::Kind::invalid_data, 0};
    return Status::error;
}

}  // namespace olvane
