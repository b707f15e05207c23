"""Summarise every plot file of a folder, reading the files in parallel with
Dask: one tab-separated row per file and parameter (file, name, count, min,
max, last).

    python examples/many_files.py runs/                  # all cores of this machine
    python examples/many_files.py runs/ --pattern '*.plt' --width 15
    python examples/many_files.py /shared/runs --scheduler tcp://scheduler:8786

rust_read_dunvel holds the interpreter lock for the whole call, so threads
would read one file at a time: the files are read by worker processes, one
thread each. With --scheduler the workers of that cluster read the files, so
the folder must be visible to them under the same path (a shared file system).
Only the summaries travel back, not the values.

A file that olvane cannot read is reported on standard error (its worker also
prints olvane's failure report there) and the exit status is 1; the others are
still summarised. Needs Dask: pip install "dask[distributed]".
"""

from __future__ import annotations

import argparse
import os
import struct
import sys
from contextlib import ExitStack
from pathlib import Path
from typing import Optional

from dask.distributed import Client, LocalCluster

import olvane

# file, parameter name, count, then min, max and last (None for no time step)
Row = tuple[str, str, int, Optional[float], Optional[float], Optional[float]]


def parameter_names(path: Path) -> list[str]:
    """The names from the header: the first line ends with the number of
    parameters, and each of the next lines ends with one name."""
    with open(path, "rb") as file:
        tokens = file.readline().decode("utf-8").split()
        count = int(tokens[-1]) if tokens else 0
        names = []
        for _ in range(count):
            tokens = file.readline().decode("utf-8").split()
            names.append(tokens[-1] if tokens else "")
    return names


def summarise(path: str, width: int) -> list[Row] | str:
    """Runs on a worker: the rows of one file, or olvane's message if the file
    cannot be read."""
    try:
        columns = olvane.rust_read_dunvel(path, width)
    except BaseException as error:
        # PanicException derives from BaseException and is not importable;
        # anything else (KeyboardInterrupt, ...) must go on up.
        if type(error).__name__ != "PanicException":
            raise
        return str(error)
    file = Path(path).name
    rows: list[Row] = []
    for name, values in zip(parameter_names(Path(path)), columns):
        if values:
            rows.append((file, name, len(values), min(values), max(values), values[-1]))
        else:
            rows.append((file, name, 0, None, None, None))
    return rows


def short(value: float | None) -> str:
    """The fewest digits that read back as the same 32-bit float: the values
    are 32-bit floats widened to Python floats, whose repr() would show digits
    that the file never held."""
    if value is None:
        return "-"
    packed = struct.pack("<f", value)
    for digits in range(1, 9):
        text = f"{value:.{digits - 1}E}"
        if struct.pack("<f", float(text)) == packed:
            return text
    return f"{value:.8E}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Summarise the plot files of a folder.")
    parser.add_argument("folder", type=Path)
    parser.add_argument("--pattern", default="*", help="file names to read (default: all)")
    parser.add_argument("--width", type=int, default=12, help="field width: 12 (default) or 15")
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
                n_workers=min(len(paths), os.cpu_count() or 1),
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
            )
            address = stack.enter_context(cluster)
            client = stack.enter_context(Client(address))  # type: ignore[no-untyped-call]
        results = client.gather(client.map(summarise, paths, [args.width] * len(paths)))

    print("file\tname\tcount\tmin\tmax\tlast")
    failed = 0
    for path, result in zip(paths, results):
        if isinstance(result, str):
            print(f"{path}: {result}", file=sys.stderr)
            failed += 1
            continue
        for file, name, count, low, high, last in result:
            print(f"{file}\t{name}\t{count}\t{short(low)}\t{short(high)}\t{short(last)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
