"""The reader's fast number paths give the correctly rounded bits of the
general conversion: tests/native/fast_path_sweep.cpp compares them with
std::from_chars on every field of the benchmark presets and on millions of
generated texts (near rounding midpoints, exact midpoints and time stamps
among them)."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PRESETS = ["medium", "medium-w15", "wide", "narrow-long", "varied", "varied-w15"]


@pytest.fixture(scope="module")
def sweep(native_tools):
    return native_tools("fast_path_sweep")


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
