// Lines of an open plot file, read front to back through one 8192-byte
// buffer. Each line is checked to be well-formed UTF-8 and handed out without
// its LF or CR LF terminator, as a view that stays valid until the next read.
// A LineSource owns its file descriptor and buffer and releases both when it
// goes away; reads and opens interrupted by signals are repeated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "reader/failure.hpp"

namespace olvane {

// Opens a file for reading only. The path's bytes must be followed by a NUL
// in memory (its size excludes it); a NUL inside the path is refused as
// invalid_name without asking the system.
IoError open_read_only(std::string_view path, int& fd);

class LineSource {
public:
    static constexpr std::size_t buffer_size = 8192;

    enum class Status : unsigned char { line, end_of_file, error };

    // Takes ownership of an open descriptor.
    explicit LineSource(int fd);

    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;

    // End of file only when not a single byte was left.
    Status read_next_line();

    std::string_view line() const noexcept { return line_; }
    // Bytes of the file taken so far, terminators included.
    std::uint64_t consumed() const noexcept { return before_buffer_ + position_; }
    // The file's size if it is a regular file, else 0: a hint, since a file
    // may still be growing.
    std::uint64_t size_hint() const noexcept;
    bool line_is_ascii() const noexcept { return line_is_ascii_; }
    IoError error() const noexcept { return error_; }

private:
    struct Descriptor {
        int value;
        ~Descriptor();
    };

    Status read_spanning_line();
    Status finish_line(std::string_view bytes, bool had_line_feed);
    bool refill();

    Descriptor fd_;
    std::unique_ptr<char[]> buffer_;
    std::uint64_t before_buffer_ = 0;  // file bytes that came before the current fill
    std::size_t position_ = 0;
    std::size_t fill_ = 0;
    // Holds a line that does not lie within one buffer fill; its capacity is
    // kept from line to line.
    std::string spanning_;
    std::string_view line_;
    bool line_is_ascii_ = true;
    IoError error_;
};

inline LineSource::Status LineSource::read_next_line() {
    if (position_ < fill_) [[likely]] {
        const char* start = buffer_.get() + position_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', fill_ - position_));
        if (lf != nullptr) [[likely]] {
            position_ += static_cast<std::size_t>(lf - start) + 1;
            return finish_line({start, static_cast<std::size_t>(lf - start)}, true);
        }
    }
    return read_spanning_line();
}

}  // namespace olvane
