"""python -m dunvel FILE... [--width W] [--csv OUT]

For each plot file, a summary: one row per parameter with its name, the
number of values, the smallest, the largest and the last. With --csv (one
file only), also a CSV file: a "time" column, then one column per name.
"""

from __future__ import annotations

import argparse
import csv
import os
import struct
import sys
from collections.abc import Sequence
from typing import TextIO

import dunvel

# Rows converted to text at a time, so that a large file's text is never
# held whole.
_CSV_CHUNK = 4096


def short(value: float) -> str:
    """The value in the file's own notation with the fewest digits that read
    back as the same binary32: 1.1 comes back as '1.1E+00', not as the
    1.100000023841858 that the widened double prints."""
    packed = struct.pack("<f", value)
    for digits in range(1, 10):
        text = f"{value:.{digits - 1}E}"
        if struct.pack("<f", float(text)) == packed:
            return text
    return f"{value:.8E}"


def summary(plot: dunvel.Plot, out: TextIO) -> None:
    print(f"{plot.path}: {plot.n_parameters} parameters, {plot.n_steps} time steps", file=out)
    name_width = max([len("parameter"), *map(len, plot.names)])
    print(
        f"{'parameter':<{name_width}}  {'count':>7}  {'minimum':>14}  {'maximum':>14}  {'last':>14}",
        file=out,
    )
    values = plot.values
    if plot.n_steps:
        lows, highs, lasts = values.min(axis=0), values.max(axis=0), values[-1]
    for j, name in enumerate(plot.names):
        if plot.n_steps:
            low, high, last = short(lows[j]), short(highs[j]), short(lasts[j])
        else:
            low = high = last = "-"
        print(
            f"{name:<{name_width}}  {plot.n_steps:>7}  {low:>14}  {high:>14}  {last:>14}", file=out
        )


def write_csv(plot: dunvel.Plot, out: TextIO) -> None:
    """Every number as the shortest text that reads back as the same value
    (binary32 for values, binary64 for times)."""
    csv.writer(out, lineterminator="\n").writerow(["time", *plot.names])
    for start in range(0, plot.n_steps, _CSV_CHUNK):
        times = plot.times[start : start + _CSV_CHUNK].astype(str)
        values = plot.values[start : start + _CSV_CHUNK].astype(str)
        out.writelines(
            ",".join((time, *row)) + "\n" for time, row in zip(times.tolist(), values.tolist())
        )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m dunvel", description="Summarise DUNVEL plot files."
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="plot files")
    parser.add_argument(
        "--width", type=int, help="characters per field (default: found from the file, 12 or 15)"
    )
    parser.add_argument("--csv", metavar="OUT", help="also write the values as CSV (one FILE only)")
    args = parser.parse_args(argv)
    if args.csv is not None and len(args.files) != 1:
        parser.error("--csv takes one FILE only")
    if args.width is not None and args.width <= 0:
        parser.error(f"--width must be positive, not {args.width}")

    status = 0
    shown = 0
    for path in args.files:
        try:
            plot = dunvel.read(path, args.width)
        except (OSError, ValueError) as error:
            print(f"dunvel: {error}", file=sys.stderr)
            status = 1
            continue
        if shown:
            print()
        summary(plot, sys.stdout)
        shown += 1
        if args.csv is not None:
            with open(args.csv, "w", encoding="utf-8", newline="") as out:
                write_csv(plot, out)
    return status


if __name__ == "__main__":
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the summary has gone (`| head`): nothing to report.
        # Standard output goes to /dev/null so that the flush at exit does
        # not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    sys.exit(status)
