"""The reader's fast number paths give the correctly rounded bits of the
general conversion: tests/native/fast_path_sweep.cpp compares them with
std::from_chars on every field of the benchmark presets and on millions of
generated texts (near rounding midpoints, exact midpoints and time stamps
among them)."""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PRESETS = ["medium", "medium-w15", "wide", "narrow-long", "varied", "varied-w15"]


def meson_command():
    if importlib.util.find_spec("mesonbuild") is not None:
        return [sys.executable, "-m", "mesonbuild.mesonmain"]
    found = shutil.which("meson")
    return [found] if found else None


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """The helper as a meson build of the tree with -Dnative_tools=true makes
    it: -O2, asserts on, warnings as errors."""
    meson = meson_command()
    if meson is None:
        # CI installs meson (the test extra); anywhere else a missing one only skips.
        if os.environ.get("CI") == "true":
            pytest.fail("meson is not installed, and CI must run this test")
        pytest.skip("needs meson (pip install meson ninja)")
    build = tmp_path_factory.mktemp("sweep") / "build"
    # ninja beside this interpreter (a virtual environment that is not
    # activated); and none of ci/sanitize.sh's preloading, which is for the
    # interpreters that import the modules, not for meson and the compilers.
    preloading = ("LD_PRELOAD", "OLVANE_SANITIZER_PRELOAD")
    env = {key: value for key, value in os.environ.items() if key not in preloading}
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    for step in (
        ["setup", build, ROOT, "-Dnative_tools=true", "-Dextension_modules=false",
         "-Doptimization=2", "-Db_ndebug=false", "-Dwerror=true"],
        ["compile", "-C", build, "fast_path_sweep"],
    ):
        done = subprocess.run([*meson, *step], capture_output=True, text=True, env=env, check=False)
        assert done.returncode == 0, done.stdout + done.stderr
    return build / "tests" / "native" / "fast_path_sweep"


def test_fast_paths_agree_with_the_general_conversion(sweep):
    pytest.importorskip("numpy")
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import generate
    finally:
        sys.path.remove(str(ROOT / "bench"))
    files = []
    for preset in PRESETS:
        files += [str(generate.cached(preset)), str(generate.PRESETS[preset].width)]
    done = subprocess.run([sweep, "2000000", *files], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.endswith(" texts agree\n")
