// A file's bytes, read with read(2) from a descriptor that the source owns
// and closes. Opening is read-only and close-on-exec; an open or read that a
// signal interrupts is repeated unless the caller's InterruptCheck says stop
// (then CallerException). The only place in the reader that calls the
// system to open, read or look at a file.
#pragma once

#include <cstdint>
#include <string_view>

#include "reader/byte_source.hpp"
#include "reader/interrupt.hpp"

namespace reader {

// Opens a file for reading only. The path's bytes must be followed by a NUL
// in memory (its size excludes it); a NUL inside the path is refused as
// invalid_name without asking the system.
IoError open_read_only(std::string_view path, int& fd, const InterruptCheck& on_interrupt = {});

class FileSource final : public ByteSource {
public:
    // Takes ownership of an open descriptor.
    explicit FileSource(int fd, const InterruptCheck& on_interrupt = {}) noexcept
        : fd_(fd), on_interrupt_(on_interrupt) {}
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource();

    ReadResult read(std::span<char> buffer) override;
    // The size of a regular file; 0 for anything else.
    std::uint64_t size_hint() const noexcept override;

private:
    int fd_;
    InterruptCheck on_interrupt_;
};

}  // namespace reader
