// Where a LineSource's bytes come from. A ByteSource fills a buffer with the
// next bytes and says how many (0 at the end), or which IoError stopped it;
// its failures of the caller's own making (an exception that the caller
// holds) are thrown as CallerException. One virtual call per refill of 8 to
// 64 KiB: nothing next to the lines it carries. A file is one source
// (file_source.hpp); a caller's stream or a byte range of a file is another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/error_text.hpp"

namespace reader {

struct ReadResult {
    std::size_t bytes = 0;  // 0 with no error: the bytes have ended
    IoError error;
};

class ByteSource {
public:
    // Fills the front of buffer (never empty) with the next bytes.
    virtual ReadResult read(std::span<char> buffer) = 0;
    // How many bytes there are in all, where the source can tell (a regular
    // file's size), else 0; a hint, since a file may still be growing.
    virtual std::uint64_t size_hint() const noexcept { return 0; }

protected:
    ByteSource() = default;
    ByteSource(const ByteSource&) = default;
    ByteSource& operator=(const ByteSource&) = default;
    ~ByteSource() = default;
};

}  // namespace reader
