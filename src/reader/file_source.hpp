// A file's bytes, read with read(2) from a descriptor that the source owns
// and closes. Opening is read-only and close-on-exec; an open or read that a
// signal interrupts is repeated unless the caller's InterruptCheck says stop
// (then CallerException). A growing file is also looked at again (which
// file a path names, how long it is) and read at offsets. The only place in
// the reader that calls the system to open, read or look at a file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "reader/byte_source.hpp"
#include "reader/interrupt.hpp"

namespace reader {

// Opens a file for reading only. The path's bytes must be followed by a NUL
// in memory (its size excludes it); a NUL inside the path is refused as
// invalid_name without asking the system.
IoError open_read_only(std::string_view path, int& fd, const InterruptCheck& on_interrupt = {});

// Which file a descriptor or path is, and its length.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    bool same_file(const FileIdentity& other) const noexcept { return device == other.device && inode == other.inode; }
};

// The file that a path names now (following links), or nothing where none does.
std::optional<FileIdentity> identity_of_path(std::string_view path);

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

    std::optional<FileIdentity> identity() const noexcept;
    // Reads from offset on without moving the descriptor; fewer bytes only
    // at the end of the file.
    ReadResult read_at(std::uint64_t offset, std::span<char> buffer);
    // The next read() starts at offset.
    IoError seek(std::uint64_t offset) noexcept;
    // The same open file for another thread: a descriptor of its own (pread
    // shares no position), and no interrupt check, since a thread of the
    // reader's own must never run its caller's code. Null where the system
    // has no descriptor to spare, with the error in error.
    std::unique_ptr<FileSource> another(IoError& error) const;

private:
    int fd_;
    InterruptCheck on_interrupt_;
};

}  // namespace reader
