// Compressed data told by its first bytes: the formats that plot files are
// archived in (gzip, bzip2, xz, zstd), and a byte source that refuses them
// before any line is read, since as text they would fail as bytes that are
// not UTF-8, or as a count, a name or a field, wherever a byte broke first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/byte_source.hpp"

namespace reader {

// The format whose magic number the bytes begin with ("gzip", "bzip2",
// "xz", "zstd"), or empty. first_bytes_needed bytes tell every format.
std::string_view compression_of(std::string_view first_bytes) noexcept;
inline constexpr std::size_t first_bytes_needed = 10;

// Hands out the bytes of another source; throws a ReaderFailure of
// Problem::compressed (at line 1) once its first bytes tell a format.
class RefuseCompressed final : public ByteSource {
public:
    explicit RefuseCompressed(ByteSource& bytes) noexcept : bytes_(bytes) {}

    ReadResult read(std::span<char> buffer) override;
    std::uint64_t size_hint() const noexcept override { return bytes_.size_hint(); }

private:
    ByteSource& bytes_;
    char first_[first_bytes_needed] = {};
    std::size_t seen_ = 0;
};

}  // namespace reader
