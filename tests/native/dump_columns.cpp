// Reads each plot file given with its field width and prints what the reader
// returns: per column its values as binary32 bit patterns in hex, or the
// failure's line and message. Two builds of the reader (another C library, another
// processor) agree when their outputs are equal byte for byte.
//
//   dump_columns FILE WIDTH [FILE WIDTH]...
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reader/failure.hpp"
#include "reader/plot_file.hpp"

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: dump_columns FILE WIDTH [FILE WIDTH]...\n");
        return 2;
    }
    for (int arg = 1; arg + 1 < argc; arg += 2) {
        const std::string path = argv[arg];
        std::printf("file %s\n", path.c_str());
        // A bad count's notice is written to fd 1 directly: after this line.
        std::fflush(stdout);
        try {
            const auto columns = reader::read_plot_file(path, static_cast<std::uint32_t>(std::atoi(argv[arg + 1])));
            for (const auto& column : columns) {
                for (const float value : column) {
                    std::uint32_t bits;
                    std::memcpy(&bits, &value, sizeof bits);
                    std::printf("%08" PRIx32 " ", bits);
                }
                std::printf("\n");
            }
        } catch (const reader::ReaderFailure& failure) {
            std::printf("failure line %llu: %s\n", static_cast<unsigned long long>(failure.line),
                        failure.message.c_str());
        }
    }
    return 0;
}
