#!/usr/bin/env bash
# Builds the sdist and the wheel, checks what the wheel carries, then installs
# the sdist into a fresh virtual environment and runs the core tests from the
# unpacked sdist against that installation, but for those whose outcome is the
# compiler's (the README's step runs them, built by the same one); the whole
# suite runs against the manylinux wheel, ci/wheel_check.sh, which is built
# from the same sources.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python3 -m pip install --quiet build
python3 -m build --outdir "$work/dist" "$root"
wheel=("$work"/dist/*.whl)
sdist=("$work"/dist/*.tar.gz)

python3 - "${wheel[0]}" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
print("wheel:", *names, sep="\n  ")
assert any(n.startswith("olvane.") and n.endswith(".so") for n in names), "no extension module"
assert "olvane-stubs/__init__.pyi" in names, "no typing stub"
assert any(n.startswith("dunvel/_native.") and n.endswith(".so") for n in names), "no dunvel._native"
missing = {"dunvel/__init__.py", "dunvel/__main__.py", "dunvel/_command.py", "dunvel/_compare.py", "dunvel/_dask.py",
           "dunvel/_formats.py", "dunvel/_plots.py", "dunvel/_selection.py", "dunvel/_sources.py", "dunvel/_native.pyi",
           "dunvel/py.typed"} - set(names)
assert not missing, f"dunvel lacks {sorted(missing)}"
assert any(n.endswith(".dist-info/licenses/LICENSE") or n.endswith(".dist-info/LICENSE") for n in names), "no license"
assert not any(n.startswith(("tests/", "bench/", "fuzz/", "ci/", "examples/")) for n in names), "stray files"
PY

python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet "${sdist[0]}"
mapfile -t test_requirements < <(python3 -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print(*tomllib.load(f)["project"]["optional-dependencies"]["test"], sep="\n")' "$root/pyproject.toml")
"$work/venv/bin/python" -m pip install --quiet "${test_requirements[@]}"
mkdir "$work/unpacked"
tar -xzf "${sdist[0]}" -C "$work/unpacked"
cd "$work"/unpacked/olvane-*
"$work/venv/bin/python" -c 'import olvane, sys; assert olvane.__file__.startswith(sys.prefix), olvane.__file__'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider -m "not extras and not compiler" tests
