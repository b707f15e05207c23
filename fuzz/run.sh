#!/usr/bin/env bash
# Builds the three fuzz targets with libFuzzer, ASan and UBSan (a meson build
# with -Dnative_tools=true, in the work folder), seeds their corpora
# and runs each for SECONDS (default 60). Exits non-zero if either target
# finds a crash, a sanitizer report, a mismatch, a hang or a leak.
#
#   bash fuzz/run.sh [SECONDS]
#
# CXX picks the compiler (default clang++). FUZZ_WORK keeps the binaries,
# corpora and crash files in that folder across runs; without it they go
# to a temporary folder that is removed at the end (after a failure, the
# logs and crash files are copied to fuzz/artifacts/ first).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
cxx=${CXX:-clang++}
work=${FUZZ_WORK:-}
if [[ -z $work ]]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/artifacts"

# meson under python3 where it is installed for it, else whatever meson is on PATH.
if python3 -c 'import mesonbuild' 2>/dev/null; then
    meson=(python3 -m mesonbuild.mesonmain)
else
    meson=(meson)
fi
# The reader and the targets carry coverage, ASan and UBSan; only the
# targets link libFuzzer (its main). No Python modules: with the coverage
# hooks in the reader they would need libFuzzer's runtime to load. Asserts
# stay on, which the project's default (release) build type turns off.
setup=(-Dnative_tools=true -Dfuzzing=enabled -Dextension_modules=false
       -Doptimization=1 -Ddebug=true -Db_ndebug=false -Db_sanitize=address,undefined -Dwerror=true
       "-Dcpp_args=-fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined")
build=$work/build
# A kept FUZZ_WORK build is brought up to date rather than built anew.
[[ -e $build/meson-private ]] && setup+=(--reconfigure)
echo "== building with $("$cxx" --version | head -n 1)"
CXX=$cxx "${meson[@]}" setup "$build" "${setup[@]}" >"$work/setup.log" 2>&1 || { cat "$work/setup.log"; exit 1; }
"${meson[@]}" compile -C "$build" reader_fuzz number_fuzz stream_fuzz >"$work/compile.log" 2>&1 || { cat "$work/compile.log"; exit 1; }
for target in reader number stream; do
    cp "$build/fuzz/${target}_fuzz" "$work/${target}_fuzz"
done

python3 fuzz/make_corpus.py "$work/corpus"

declare -A max_len=([reader]=4096 [number]=400 [stream]=2048)
status=0
for target in reader number stream; do
    echo "== ${target}_fuzz for ${seconds} s"
    log="$work/${target}.log"
    # The seeds are given as a second folder: new inputs go to the first,
    # and the seeds are read but never rewritten.
    mkdir -p "$work/corpus/${target}-found"
    if "$work/${target}_fuzz" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/${target}-" \
        "$work/corpus/${target}-found" "$work/corpus/$target" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
        grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$log" || true
        echo "corpus: $(ls "$work/corpus/${target}-found" | wc -l) new inputs," \
             "$(ls "$work/corpus/$target" | wc -l) seeds"
    else
        status=1
        echo "!! ${target}_fuzz failed:"
        grep -E '^(number_fuzz|reader_fuzz):|ERROR:|SUMMARY:|Test unit written|^Base64:' "$log" ||
            tail -n 40 "$log"
    fi
done

if [[ $status -ne 0 && -z ${FUZZ_WORK:-} ]]; then
    mkdir -p fuzz/artifacts
    cp "$work"/*.log fuzz/artifacts/
    cp "$work"/artifacts/* fuzz/artifacts/ 2>/dev/null || true
    echo "logs and crash inputs copied to fuzz/artifacts/"
fi
exit $status
