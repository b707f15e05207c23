"""examples/many_files.py over a folder, read on Dask's threads in its own
process or by the worker processes of a scheduler: every row carries the
values olvane itself returns, files of both widths are read side by side
without being told which, --names keeps what it selects, a broken file and
one of other parameters are reported without hiding the others, and files
outside --pattern are left alone."""

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
    import logging, subprocess, sys
    from dask.distributed import LocalCluster

    if __name__ == "__main__":
        with LocalCluster(
            n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None,
            silence_logs=logging.CRITICAL,
        ) as cluster:
            command = [*sys.argv[1:], "--scheduler", cluster.scheduler_address]
            done = subprocess.run(command, capture_output=True, text=True)
        sys.stdout.write(done.stdout)
        sys.stderr.write(done.stderr)
        sys.exit(done.returncode)
    """
)


NAMES = [f"X{j}" for j in range(23)]


@pytest.mark.parametrize(
    "where, names", [("threads-here", None), ("scheduler", ["X1*", "X3"])], ids=["threads-here", "scheduler"]
)
def test_rows_carry_olvanes_values(where, names, tmp_path):
    # 23 parameters end every block with a short data line; c.plt has no block at all.
    files = {"a.plt": (NAMES, 40, 12), "b.plt": (NAMES, 30, 15), "c.plt": (NAMES, 0, 12)}
    for file, (header, n_blocks, width) in files.items():
        blocks = [
            [(-1.7) ** j * (i + 0.3) / 7e3 for j in range(len(header))] for i in range(n_blocks)
        ]
        (tmp_path / file).write_text(plot_text(header, blocks, width))
    broken = tmp_path / "d.plt"  # two blocks, then only the start of a third
    broken.write_text("".join((tmp_path / "a.plt").read_text().splitlines(True)[: 24 + 8 + 1]))
    other = tmp_path / "e.plt"  # parameters of its own
    other.write_text(plot_text(["P", "T", "Q"], [[1.0, 2.0, 3.0]]))
    (tmp_path / "notes.txt").write_text("not a plot file\n")

    command = [sys.executable, str(SCRIPT), str(tmp_path), "--pattern", "*.plt"]
    for name in names or []:
        command += ["--names", name]
    if where == "scheduler":
        launcher = tmp_path / "launch.py"
        launcher.write_text(ON_A_SCHEDULER)
        command = [sys.executable, str(launcher), *command]
    # Dask's own warnings (an event loop slow on a busy machine) are not the
    # example's to report, nor is the log of a worker whose file failed.
    env = {**os.environ, "DASK_LOGGING__DISTRIBUTED": "critical"}
    done = subprocess.run(
        command, env=env, capture_output=True, text=True, timeout=120, check=False
    )

    kept = NAMES if names is None else ["X1", *(f"X1{j}" for j in range(10)), "X3"]
    expected = [("file", "name", "count", "min", "max", "last")]
    for file, (header, _, width) in files.items():
        for name, c in zip(header, olvane.rust_read_dunvel(str(tmp_path / file), width)):
            if name in kept:
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
    cut = (
        f"{broken.resolve()}, line 33: the file ends inside step 2 (counting from 0), after its block-start line;"
        ' incomplete="keep" reads the 2 complete steps before it'
    )
    if names is None:
        differs = (
            f"{other.resolve()}: its parameters differ from those of {tmp_path.resolve() / 'a.plt'}, the first file,"
            " whose header made the frame's columns: it lacks 'X0', 'X1', 'X2' and 20 more; it also holds 'P', 'T', 'Q'"
        )
    else:
        differs = "'X1*' matches no name in 'e.plt'"
    assert done.stderr == f"{cut}\n{differs}\n"
