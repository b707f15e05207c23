#!/usr/bin/env bash
# CI's look at the wheels: builds the x86_64 manylinux wheel for the default
# interpreter the way ci/wheels.sh builds the released ones (which checks its
# tag with auditwheel and its exports), installs it into a fresh virtual
# environment with the test requirements, and runs the whole test suite
# against that installation rather than a build of the source tree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1

version="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
bash "$root/ci/wheels.sh" --only x86_64-manylinux --python "$version" --out "$work/wheels"
wheel=("$work"/wheels/*.whl)

python3 -m venv "$work/venv"
mapfile -t test_requirements < <(python3 -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print(*tomllib.load(f)["project"]["optional-dependencies"]["test"], sep="\n")' "$root/pyproject.toml")
"$work/venv/bin/python" -m pip install --quiet "${wheel[0]}" "${test_requirements[@]}"
(cd "$work" && venv/bin/python -c '
import olvane, sys
assert olvane.__file__.startswith(sys.prefix), olvane.__file__')
# The environment's pytest script, not `python -m pytest`, keeps the source
# tree off the import path: the tests meet the installed wheel.
cd "$root"
"$work/venv/bin/pytest" -q -p no:cacheprovider tests
