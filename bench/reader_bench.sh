#!/usr/bin/env bash
# Builds bench/reader_bench.cpp against the reader library in a meson build of
# its own (-Dnative_tools=true, the release build's optimisation: -O3
# -DNDEBUG), then runs it:
#   bash bench/reader_bench.sh FILE WIDTH|read|lines|names=..|steps=N|time=T0:T1 [ROUNDS [BUFFER_BYTES]]
# CXX picks the compiler; meson and ninja come from python3's environment
# (pip install meson ninja) or PATH. With READER_BENCH_BUILD set, the build
# is kept in that directory and only brought up to date by later runs (for
# benches that run it round after round).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -n "${READER_BENCH_BUILD:-}" ]; then
    work="$READER_BENCH_BUILD"
    mkdir -p "$work"
else
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
fi
if python3 -c 'import mesonbuild' 2>/dev/null; then
    meson=(python3 -m mesonbuild.mesonmain)
else
    meson=(meson)
fi
# Spelled out rather than left to the defaults, so that what is timed does
# not change with them.
[ -d "$work/build" ] || "${meson[@]}" setup "$work/build" "$root" -Dnative_tools=true -Dextension_modules=false \
    -Dbuildtype=release -Db_ndebug=true >"$work/setup.log" 2>&1 || { cat "$work/setup.log" >&2; exit 1; }
"${meson[@]}" compile -C "$work/build" reader_bench >"$work/compile.log" 2>&1 || { cat "$work/compile.log" >&2; exit 1; }
"$work/build/bench/reader_bench" "$@"
