"""Link-level shape of the installed library."""

import os
import re
import shutil
import subprocess

import pytest

import olvane


def inspect_library(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run([*command, olvane.__file__], check=True, capture_output=True, text=True).stdout


def test_only_init_function_is_exported():
    symbols = [line.split() for line in inspect_library("nm", "-D", "--defined-only").splitlines() if line.strip()]
    assert [(fields[-2], fields[-1]) for fields in symbols] == [("T", "PyInit_olvane")]


def test_no_libpython_among_needed():
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", inspect_library("readelf", "-d"))
    assert needed and not any(name.startswith("libpython") for name in needed)
    # The interpreter's symbols come from the hosting process; only the system runtime is named.
    runtime = ("libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "ld-linux")
    # A wheel built for glibc 2.17 (ci/wheels.sh) names the libraries that glibc
    # folded into libc.so only in 2.34.
    runtime += ("libpthread.so", "libdl.so")
    if os.environ.get("OLVANE_SANITIZED") == "1":
        runtime += ("libasan.so", "libubsan.so")  # ci/sanitize.sh's build
    assert all(name.startswith(runtime) for name in needed), needed
