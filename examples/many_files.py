"""Summarise every plot file of a folder, reading the files in parallel with
Dask: one tab-separated row per file and parameter (file, name, count, min,
max, last).

    python examples/many_files.py runs/                  # all cores of this machine
    python examples/many_files.py runs/ --pattern '*.plt' --width 15
    python examples/many_files.py /shared/runs --scheduler tcp://scheduler:8786

dunvel.read lets go of the interpreter lock while it reads and parses, so the
files are read by threads: on this machine by one in-process worker with a
thread per core, which costs no process start and sends nothing between
processes. With --scheduler the workers of that cluster read the files, so the
folder must be visible to them under the same path (a shared file system).
Only the summaries travel back, not the values.

A file that cannot be read is reported on standard error and the exit status
is 1; the others are still summarised. On one machine without Dask,
dunvel.read_many does the same reading. Needs Dask: pip install "dask[distributed]".
"""

from __future__ import annotations

import argparse
import os
import sys
from contextlib import ExitStack
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster

import dunvel

# file, parameter name, count, then min, max and last ("-" for no time step)
Row = tuple[str, str, int, str, str, str]


def short(value: np.float32) -> str:
    """The fewest digits that read back as the same 32-bit float."""
    return np.format_float_scientific(value, unique=True, trim="-", exp_digits=2).upper()


def summarise(path: str, width: int | None) -> list[Row] | str:
    """Runs on a worker: the rows of one file, or why it cannot be read. The
    message travels back rather than the exception, so that a worker in
    another process needs nothing pickled but text."""
    try:
        plot = dunvel.read(path, width)
    except (OSError, dunvel.PlotFileError) as error:
        return str(error)
    file = Path(path).name
    rows: list[Row] = []
    for name, values in zip(plot.names, plot.values.T):
        if values.size:
            low, high, last = short(values.min()), short(values.max()), short(values[-1])
        else:
            low = high = last = "-"
        rows.append((file, name, values.size, low, high, last))
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Summarise the plot files of a folder.")
    parser.add_argument("folder", type=Path)
    parser.add_argument("--pattern", default="*", help="file names to read (default: all)")
    parser.add_argument("--width", type=int, help="characters per value (default: detected)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler of a cluster")
    args = parser.parse_args(argv)

    paths = sorted(
        str(p.resolve())
        for p in args.folder.glob(args.pattern)
        if p.is_file() and not p.name.startswith(".")
    )
    if not paths:
        parser.error(f"no file matches {args.pattern!r} in {args.folder}")

    # distributed leaves Client's and LocalCluster's constructors unannotated.
    with ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))  # type: ignore[no-untyped-call]
        else:
            cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=1,
                threads_per_worker=min(len(paths), os.cpu_count() or 1),
                processes=False,
                dashboard_address=None,
            )
            address = stack.enter_context(cluster)
            client = stack.enter_context(Client(address))  # type: ignore[no-untyped-call]
        results = client.gather(client.map(summarise, paths, [args.width] * len(paths)))

    print("file\tname\tcount\tmin\tmax\tlast")
    failed = 0
    for path, result in zip(paths, results):
        if isinstance(result, str):
            print(result, file=sys.stderr)  # the message names the file
            failed += 1
            continue
        for row in result:
            print("\t".join(map(str, row)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
