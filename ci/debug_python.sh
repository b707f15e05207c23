#!/usr/bin/env bash
# The core tests (ci/interpreters.sh) on Debian's debug interpreter,
# python3.11-dbg: CPython built with Py_DEBUG, whose reference-count checks
# abort on a count that goes negative and whose sys.gettotalrefcount() lets
# tests see a reference that a call leaves behind.
#
#   bash ci/debug_python.sh      (as root on Debian 12: installs the interpreter,
#                                 its headers and venv if missing)
set -euo pipefail
cd "$(dirname "$0")/.."

python=python3.11-dbg
ready() {
    command -v "$python" >/dev/null &&
        "$python" -c 'import ensurepip, os, sysconfig, venv
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null
}
if ! ready; then
    apt-get update -qq
    apt-get install -y -qq python3.11-dbg python3.11-dev python3.11-venv >/dev/null
fi
"$python" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), f"{sys.executable} is not a debug build"'
PYTHON=$(command -v "$python") exec bash ci/interpreters.sh
