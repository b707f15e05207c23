"""Link-level shape of the installed libraries: olvane and dunvel._native."""

import os
import re
import shutil
import subprocess

import pytest

import dunvel._native
import olvane

# Each extension module's file and the one symbol it may export.
LIBRARIES = {
    "olvane": (olvane.__file__, "PyInit_olvane"),
    "dunvel._native": (dunvel._native.__file__, "PyInit__native"),
}


def inspect_library(library, *command):
    if shutil.which(command[0]) is None:
        # CI has binutils; anywhere else their absence only skips.
        if os.environ.get("CI") == "true":
            pytest.fail(f"{command[0]} is not installed, and CI must run this test")
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run([*command, library], check=True, capture_output=True, text=True).stdout


@pytest.mark.parametrize("library, init", LIBRARIES.values(), ids=LIBRARIES)
def test_only_init_function_is_exported(library, init):
    listing = inspect_library(library, "nm", "-D", "--defined-only")
    symbols = [line.split() for line in listing.splitlines() if line.strip()]
    assert [(fields[-2], fields[-1]) for fields in symbols] == [("T", init)]


@pytest.mark.parametrize("library", [library for library, _ in LIBRARIES.values()], ids=LIBRARIES)
def test_no_libpython_among_needed(library):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", inspect_library(library, "readelf", "-d"))
    assert needed and not any(name.startswith("libpython") for name in needed)
    # The interpreter's symbols come from the hosting process; only the system runtime is named.
    runtime = ("libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "ld-linux")
    # A wheel built for glibc 2.17 (ci/wheels.sh) names the libraries that glibc
    # folded into libc.so only in 2.34.
    runtime += ("libpthread.so", "libdl.so")
    if os.environ.get("OLVANE_SANITIZED") == "1":
        runtime += ("libasan.so", "libubsan.so")  # ci/sanitize.sh's build
    assert all(name.startswith(runtime) for name in needed), needed
