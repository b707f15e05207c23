#include "reader/compression.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "reader/failure.hpp"

namespace reader {

namespace {

bool starts_with(std::string_view bytes, std::string_view magic) noexcept {
    return bytes.substr(0, magic.size()) == magic;
}

}  // namespace

std::string_view compression_of(std::string_view bytes) noexcept {
    using namespace std::string_view_literals;
    if (starts_with(bytes, "\x1f\x8b"sv)) return "gzip";
    if (starts_with(bytes,
                    "\xfd"
                    "7zXZ\0"sv))
        return "xz";
    if (starts_with(bytes, "\x28\xb5\x2f\xfd"sv)) return "zstd";
    // "BZh", the block size, then a block's magic or the end-of-stream one:
    // a text line may well begin with "BZh9".
    if (bytes.size() >= 10 && starts_with(bytes, "BZh"sv) && bytes[3] >= '1' && bytes[3] <= '9') {
        const std::string_view next = bytes.substr(4, 6);
        if (next == "1AY&SY"sv || next == "\x17rE8P\x90"sv) return "bzip2";
    }
    return {};
}

ReadResult RefuseCompressed::read(std::span<char> buffer) {
    const ReadResult result = bytes_.read(buffer);
    if (seen_ < first_bytes_needed && !result.error) {
        const std::size_t taken = std::min(first_bytes_needed - seen_, result.bytes);
        std::memcpy(first_ + seen_, buffer.data(), taken);
        seen_ += taken;
        const std::string_view format = compression_of({first_, seen_});
        if (!format.empty()) {
            ReaderFailure failure("the file holds " + std::string(format) + "-compressed data, not text");
            failure.line = 1;
            failure.problem = Problem::compressed;
            failure.plain = "the file holds " + std::string(format) +
                            "-compressed data, not text; read it with compression=\"infer\" (the default), "
                            "or decompress it first (for example with " +
                            (format == "gzip"    ? "gunzip"
                             : format == "bzip2" ? "bunzip2"
                             : format == "xz"    ? "unxz"
                                                 : "unzstd") +
                            ")";
            throw failure;
        }
    }
    return result;
}

}  // namespace reader
