#!/usr/bin/env bash
# A representative read and every kind of failure (ci/valgrind_calls.py) in
# one interpreter under valgrind's memcheck, against a copy of olvane built
# here with debug information. Any invalid access, any use of an undefined
# value that surfaces in our code or the C++ runtime, and any definite leak
# fails the run.
#
#   bash ci/valgrind.sh            (from anywhere; needs valgrind, meson, ninja, gcc)
#
# PYTHON names the interpreter to build for and test with (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

work=$(mktemp -d "${TMPDIR:-/tmp}/olvane-valgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT

if "$python" -c 'import mesonbuild' 2>/dev/null; then
    meson=("$python" -m mesonbuild.mesonmain)
else
    meson=(meson)
fi
"${meson[@]}" setup "$work/build" -Dbuildtype=debugoptimized -Dwerror=true >"$work/setup.log" 2>&1 || { cat "$work/setup.log"; exit 1; }
"${meson[@]}" compile -C "$work/build" >"$work/compile.log" 2>&1 || { cat "$work/compile.log"; exit 1; }
mkdir "$work/files"

# PYTHONMALLOC=malloc: every object is a block of its own that memcheck
# watches, instead of a slice of a pymalloc arena. RUST_BACKTRACE=full: the
# failure reports take their longest path (frames, symbol names).
status=0
PYTHONMALLOC=malloc PYTHONPATH="$work/build" RUST_BACKTRACE=full \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --error-exitcode=99 \
    --suppressions="$root/ci/valgrind-python.supp" --log-file="$work/memcheck.log" \
    "$python" ci/valgrind_calls.py "$work/files" >"$work/stdout.txt" 2>"$work/stderr.txt" || status=$?

errors=$(grep -o 'ERROR SUMMARY: [0-9]* errors' "$work/memcheck.log" | tail -1)
if ((status)) || [[ $errors != "ERROR SUMMARY: 0 errors" ]]; then
    cat "$work/memcheck.log" >&2
    echo "----- stdout" >&2; cat "$work/stdout.txt" >&2
    echo "----- stderr (last 40 lines)" >&2; tail -n 40 "$work/stderr.txt" >&2
    echo "valgrind: status $status, ${errors:-no error summary}" >&2
    exit 1
fi
tail -n 1 "$work/stdout.txt"
grep -E 'definitely lost|ERROR SUMMARY' "$work/memcheck.log" | sed 's/^==[0-9]*== */valgrind: /'
