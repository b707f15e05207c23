// The reader alone, without Python: how fast read_plot_file turns a plot
// file into columns of binary32, in MB/s of file and ns per value. Shows
// where the time of a call goes when set beside bench/run.py's timings.
//
//   bash bench/reader_bench.sh FILE WIDTH [ROUNDS]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "reader/failure.hpp"
#include "reader/plot_file.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE WIDTH [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const auto width = static_cast<std::uint32_t>(std::stoul(argv[2]));
    const int rounds = argc > 3 ? std::stoi(argv[3]) : 7;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        std::perror(path.c_str());
        return 2;
    }
    std::vector<double> seconds;
    std::size_t values = 0;
    try {
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const olvane::Columns columns = olvane::read_plot_file(path, width);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            values = 0;
            for (const auto& column : columns) values += column.size();
        }
    } catch (const olvane::ReaderFailure& failure) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
        return 1;
    }
    std::sort(seconds.begin(), seconds.end());
    const double best = seconds.front(), median = seconds[seconds.size() / 2];
    const double megabytes = static_cast<double>(status.st_size) / 1e6;
    std::printf("%s: %.1f MB, %zu values; best %.1f ms (%.0f MB/s, %.1f ns/value), median %.1f ms (%.0f MB/s)\n",
                path.c_str(), megabytes, values, best * 1e3, megabytes / best,
                best * 1e9 / static_cast<double>(values), median * 1e3, megabytes / median);
}
