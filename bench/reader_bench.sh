#!/usr/bin/env bash
# Builds bench/reader_bench.cpp with the reader's sources and the release
# build's optimisation, then runs it:
#   bash bench/reader_bench.sh FILE WIDTH|read|lines [ROUNDS [BUFFER_BYTES]]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(mktemp -d)/reader_bench"
g++ -std=c++20 -O3 -DNDEBUG -I"$root/src" "$root/bench/reader_bench.cpp" "$root"/src/reader/*.cpp -o "$binary"
"$binary" "$@"
