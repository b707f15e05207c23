#!/usr/bin/env bash
# olvane built and its core tests run (pytest -m "not extras and not
# compiler"; see tests/conftest.py) on every CPython it supports, each in a virtual
# environment of its own that holds pytest, Hypothesis and zstandard only (and
# meson and ninja, with which tests/test_fast_paths.py builds its helper). A missing
# interpreter, a failed build (warnings are errors), a failed test, or a run
# that passes no test at all fails the whole run, after every version has had
# its turn.
#
#   bash ci/interpreters.sh [X.Y ...]     (default: 3.9 3.10 3.11 3.12 3.13)
#
# The interpreters are pyenv's, $(pyenv root)/versions/X.Y.Z/bin/python, the
# newest X.Y.Z of each X.Y. PYTHON=/path/to/python tests that one interpreter
# instead (ci/debug_python.sh does so), and CXX picks the compiler as for any
# pip install. MARKS replaces the marker expression: -m "not extras" also
# runs the tests whose outcome is the compiler's, as for a new compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1

work=$(mktemp -d "${TMPDIR:-/tmp}/olvane-interpreters.XXXXXX")
trap 'rm -rf "$work"' EXIT

interpreters=()
if [[ -n ${PYTHON:-} ]]; then
    interpreters=("$PYTHON")
else
    versions=("$@")
    ((${#versions[@]})) || versions=(3.9 3.10 3.11 3.12 3.13)
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for version in "${versions[@]}"; do
        newest=$(find "$pyenv_root/versions" -mindepth 1 -maxdepth 1 -regex ".*/${version//./\\.}\.[0-9]+" \
                 -printf '%f\n' 2>/dev/null | sort -V | tail -n 1)
        interpreters+=("${newest:+$pyenv_root/versions/$newest/bin/python}")
        [[ -n $newest ]] || interpreters[-1]="missing:$version"
    done
fi

count_results='
import sys
import xml.etree.ElementTree as ET
suite = ET.parse(sys.argv[1]).getroot()
suite = suite if suite.tag == "testsuite" else suite[0]
total, failed, errors, skipped = (int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped"))
passed = total - failed - errors - skipped
print(f"{passed} passed, {skipped} skipped, {failed} failed, {errors} errors")
sys.exit(passed == 0)'

status=0
summary=()
for python in "${interpreters[@]}"; do
    if [[ $python == missing:* ]]; then
        summary+=("${python#missing:}: no interpreter under $pyenv_root/versions")
        status=1
        continue
    fi
    start=$SECONDS
    name=$("$python" -c 'import platform, sys; print(platform.python_version() + ("-dbg" if hasattr(sys, "gettotalrefcount") else ""))')${CXX:+-$CXX}
    echo "== $name ($python)"
    venv=$work/$name
    report=$work/$name.xml
    result=0
    compilers="no library"
    {
        "$python" -m venv "$venv" &&
        "$venv/bin/python" -m pip install --quiet pytest hypothesis zstandard "meson>=1.1" ninja &&
        "$venv/bin/python" -m pip install --quiet --config-settings=setup-args=-Dwerror=true "$root" &&
        # From outside the source tree, so that only the installed module can be imported.
        library=$(cd "$work" && "$venv/bin/python" -c 'import olvane, sys
assert olvane.__file__.startswith(sys.prefix), olvane.__file__
print(olvane.__file__)') &&
        # Each compiler leaves its name in .comment; CXX=clang++ must have been used.
        compilers=$(readelf -p .comment "$library" | grep -oE "(clang version|GCC: \([^)]*\)) [0-9][0-9.]*" | sort -u | paste -sd "," -) &&
        { [[ ${CXX:-} != *clang* || $compilers == *clang* ]] || { echo "not built by $CXX: $compilers" >&2; false; }; } &&
        (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "${MARKS:-not extras and not compiler}" \
            --junitxml="$report" "$root/tests")
    } || result=$?
    # Exit status 5 (nothing collected) fails like any other, and so does a
    # run in which no test passed.
    if ! counts=$("$python" -c "$count_results" "$report" 2>/dev/null); then
        counts=${counts:-no test report}
        ((result)) || result=1
    fi
    summary+=("$name: $counts, status $result, $((SECONDS - start)) s (compiled by $compilers)")
    ((result == 0)) || status=1
done

echo "== core tests per interpreter"
printf '%s\n' "${summary[@]}"
exit $status
