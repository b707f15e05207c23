"""The reader's seams that no Python call reaches yet (a read that starts at
a step boundary mid-file, skipped steps, selected fields, the end-of-data
policy, a line given back, stacks captured only when asked):
tests/native/driver_seams.cpp drives the reader itself over bytes in memory
and checks each."""

import subprocess


def test_driver_seams(native_tools):
    done = subprocess.run([native_tools("driver_seams")], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.endswith(" checks passed\n"), done.stdout
