"""examples/many_files.py over a folder, read on Dask's threads in its own
process or by the worker processes of a scheduler: every row carries the
values olvane itself returns, files of both widths are read side by side
without being told which, a broken file is reported without hiding the
others, and files outside --pattern are left alone."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import olvane
from conftest import f32_bits, plot_text

pytest.importorskip("dask.distributed")
pytest.importorskip("dunvel")

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "many_files.py"

# Starts a scheduler with one worker process and runs the example against it,
# as a user with a cluster would; prints what the example printed.
ON_A_SCHEDULER = textwrap.dedent(
    """
    import subprocess, sys
    from dask.distributed import LocalCluster

    if __name__ == "__main__":
        with LocalCluster(
            n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None
        ) as cluster:
            command = [*sys.argv[1:], "--scheduler", cluster.scheduler_address]
            done = subprocess.run(command, capture_output=True, text=True)
        sys.stdout.write(done.stdout)
        sys.stderr.write(done.stderr)
        sys.exit(done.returncode)
    """
)


@pytest.mark.parametrize("where", ["threads-here", "scheduler"])
def test_rows_carry_olvanes_values(where, tmp_path):
    # 23 parameters end every block with a short data line; c.plt has no block at all.
    files = {
        "a.plt": ("PTQ", 40, 12),
        "b.plt": ([f"X{j}" for j in range(23)], 30, 15),
        "c.plt": ("EF", 0, 12),
    }
    for file, (names, n_blocks, width) in files.items():
        blocks = [
            [(-1.7) ** j * (i + 0.3) / 7e3 for j in range(len(names))] for i in range(n_blocks)
        ]
        (tmp_path / file).write_text(plot_text(names, blocks, width))
    broken = tmp_path / "d.plt"  # two blocks, then only the start of a third
    broken.write_text("".join((tmp_path / "a.plt").read_text().splitlines(True)[:9]))
    (tmp_path / "notes.txt").write_text("not a plot file\n")

    command = [sys.executable, str(SCRIPT), str(tmp_path), "--pattern", "*.plt"]
    if where == "scheduler":
        launcher = tmp_path / "launch.py"
        launcher.write_text(ON_A_SCHEDULER)
        command = [sys.executable, str(launcher), *command]
    # Dask's own warnings (an event loop slow on a busy machine) are not the
    # example's to report.
    env = {**os.environ, "DASK_LOGGING__DISTRIBUTED": "error"}
    done = subprocess.run(
        command, env=env, capture_output=True, text=True, timeout=120, check=False
    )

    expected = [("file", "name", "count", "min", "max", "last")]
    for file, (names, _, width) in files.items():
        for name, c in zip(names, olvane.rust_read_dunvel(str(tmp_path / file), width)):
            values = [f32_bits(min(c)), f32_bits(max(c)), f32_bits(c[-1])] if c else ["-"] * 3
            expected.append((file, name, len(c), *values))
    rows = [tuple(line.split("\t")) for line in done.stdout.splitlines()]
    got = rows[:1] + [
        (file, name, int(count), *(v if v == "-" else f32_bits(float(v)) for v in values))
        for file, name, count, *values in rows[1:]
    ]
    assert got == expected
    assert done.returncode == 1
    # The block-start line of the third block is the last line; its data line is missing.
    assert done.stderr == (
        f"{broken.resolve()}, line 9: the file ends inside step 2 (counting from 0), after its block-start line;"
        ' incomplete="keep" reads the 2 complete steps before it\n'
    )
