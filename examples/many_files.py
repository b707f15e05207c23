"""Summarise every plot file of a folder, as one Dask DataFrame of all the
runs (dunvel.to_dask): one tab-separated row per file and parameter (file,
name, count, min, max, last).

    python examples/many_files.py runs/                  # all cores of this machine
    python examples/many_files.py runs/ --pattern '*.plt' --width 15
    python examples/many_files.py runs/ --names 'PRES_*' --names 'TRIP_*'
    python examples/many_files.py /shared/runs --scheduler tcp://scheduler:8786

Each file is a partition of the frame, read by the worker that summarises
it; only the summaries travel back, not the values. dunvel.read lets go of
the interpreter lock while it reads and parses, so on this machine one
in-process worker reads on a thread per core, which costs no process start
and sends nothing between processes. With --scheduler the workers of that
cluster read the files, so the folder must be visible to them under the
same path (a shared file system).

The files must hold the parameters of the first (those that --names
selects), which make the frame's columns. A file that holds others, or
that cannot be read, is reported on standard error and the exit status is
1; the others are still summarised. A name that the header holds twice is
summarised under pandas' suffixed name (A, A.1). Needs Dask's DataFrame and
distributed: pip install "olvane[dask]".
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import numpy as np
from dask.delayed import delayed
from dask.distributed import Client, LocalCluster

import dunvel

# file, parameter name, count, then min, max and last ("-" for no time step)
Row = tuple[str, str, int, str, str, str]

# What a file that cannot be summarised raises: it cannot be read, lacks a
# name of --names, or holds other parameters than the first file.
FAILURES = (OSError, ValueError, KeyError)


def short(value: np.float32) -> str:
    """The fewest digits that read back as the same 32-bit float."""
    return np.format_float_scientific(value, unique=True, trim="-", exp_digits=2).upper()


def summarise(part: Any, file: str) -> list[Row]:
    """Runs on a worker, on the pandas DataFrame of one file's partition:
    the rows of that file."""
    rows: list[Row] = []
    for name in part.columns[2:]:  # after run and time
        values = part[name].to_numpy()
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
    parser.add_argument(
        "--names", action="append", metavar="NAME", help="a parameter or glob pattern (default: all)"
    )
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler of a cluster")
    args = parser.parse_args(argv)

    found = sorted(p for p in args.folder.glob(args.pattern) if p.is_file() and not p.name.startswith("."))
    if not found:
        parser.error(f"no file matches {args.pattern!r} in {args.folder}")
    paths = [str(p.resolve()) for p in found]
    files = [str(p.relative_to(args.folder)) for p in found]

    failed = 0
    # The first file's header makes the columns: one that cannot be read
    # gives way to the next.
    while paths:
        try:
            frame = dunvel.to_dask(paths, width=args.width, names=args.names)
            break
        except FAILURES as error:
            print(error, file=sys.stderr)  # the message names the file
            failed += 1
            paths, files = paths[1:], files[1:]

    print("file\tname\tcount\tmin\tmax\tlast")
    if not paths:
        return 1
    # distributed leaves Client's and LocalCluster's constructors unannotated,
    # dask its DataFrame's to_delayed.
    with ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))  # type: ignore[no-untyped-call]
        else:
            cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=1,
                threads_per_worker=min(len(paths), os.cpu_count() or 1),
                processes=False,
                dashboard_address=None,
                # A file that fails is the example's to report, once, not
                # also in the worker's log.
                silence_logs=logging.CRITICAL,
            )
            address = stack.enter_context(cluster)
            client = stack.enter_context(Client(address))  # type: ignore[no-untyped-call]
        # A summary per partition, each computed apart, so that a file that
        # fails leaves the others.
        parts = frame.to_delayed()  # type: ignore[no-untyped-call]
        futures = client.compute([delayed(summarise)(part, file) for part, file in zip(parts, files)])
        for future in futures:
            failure = future.exception()
            if failure is None:
                for row in future.result():
                    print("\t".join(map(str, row)))
            elif isinstance(failure, FAILURES):
                print(failure, file=sys.stderr)
                failed += 1
            else:
                raise failure
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
