#include "reader/line_source.hpp"

namespace reader {

LineSource::LineSource(ByteSource& bytes, std::size_t buffer_size, std::uint64_t first_line)
    : bytes_{bytes},
      buffer_size_{buffer_size},
      buffer_(new char[buffer_size + line_padding]()),
      line_number_{first_line - 1} {}

void LineSource::give_back() noexcept {
    given_back_ = true;
    given_back_fill_ = fill_;
    fill_ = 0;
    --line_number_;
}

bool LineSource::refill() {
    const ReadResult read = bytes_.read({buffer_.get(), buffer_size_});
    if (read.error) {
        error_ = read.error;
        return false;
    }
    before_buffer_ += fill_;
    position_ = 0;
    fill_ = read.bytes;
    return true;
}

LineSource::Status LineSource::read_spanning_line() {
    if (given_back_) {
        given_back_ = false;
        fill_ = given_back_fill_;
        ++line_number_;
        return Status::line;
    }
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
    if (!taken) {
        at_end_ = true;
        return Status::end_of_file;
    }
    return finish_spanning_line(false);
}

LineSource::Status LineSource::finish_spanning_line(bool had_line_feed) {
    const std::size_t length = spanning_.size();
    const bool ascii = is_ascii(spanning_);
    spanning_.append(line_padding, '\0');
    ended_without_line_feed_ = !had_line_feed;
    return finish_line({spanning_.data(), length}, had_line_feed, ascii);
}

LineSource::Status LineSource::invalid_line(std::string_view bytes, bool had_line_feed) {
    std::size_t offset = 0;
    Decoded decoded{};
    while (offset < bytes.size()) {
        decoded = decode_utf8(bytes.substr(offset));
        if (!decoded.valid) break;
        offset += decoded.length;
    }
    const auto byte = static_cast<unsigned char>(bytes[offset]);
    // A maximal subpart that reaches the end and starts with a lead byte is
    // a sequence that its continuation bytes were to follow.
    const bool lead = byte >= 0xC2 && byte <= 0xF4;
    invalid_ = {offset, byte, !had_line_feed && lead && offset + decoded.length == bytes.size()};
    error_ = {IoError::Kind::invalid_data, 0};
    return Status::error;
}

}  // namespace reader
