"""A first look at a DUNVEL plot file: one row per parameter with its name,
the number of values, the smallest, the largest and the last value.

    python examples/quicklook.py                   # the sample next to this script
    python examples/quicklook.py run42.plt         # 12- or 15-character fields alike

`python -m dunvel FILE...` prints the same table for any number of files.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import dunvel


def short(value: np.float32) -> str:
    """The value in the file's own notation, with the fewest digits that read
    back as the same 32-bit float: str() of a 32-bit value widened to a Python
    float would show digits that the file never held (' 1.10000E+00' would
    print as 1.100000023841858)."""
    return np.format_float_scientific(value, unique=True, trim="-", exp_digits=2).upper()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Summarise a DUNVEL plot file.")
    parser.add_argument(
        "path",
        nargs="?",
        default=Path(__file__).with_name("sample.dat"),
        type=Path,
        help="plot file (default: sample.dat next to this script)",
    )
    parser.add_argument("--width", type=int, help="characters per value (default: detected)")
    args = parser.parse_args(argv)

    plot = dunvel.read(args.path, args.width)
    timed = plot.n_steps > 0 and not np.isnan(plot.times).any()
    span = f", time {plot.times[0]:g} .. {plot.times[-1]:g} s" if timed else ""
    print(f"{args.path}: {plot.n_parameters} parameters x {plot.n_steps} steps{span}")

    name_width = max([len("parameter"), *map(len, plot.names)])
    print(
        f"{'parameter':<{name_width}}  {'count':>7}  {'minimum':>14}  {'maximum':>14}  {'last':>14}"
    )
    for name, values in zip(plot.names, plot.values.T):
        if values.size:
            low, high, last = short(values.min()), short(values.max()), short(values[-1])
        else:
            low = high = last = "-"
        print(f"{name:<{name_width}}  {values.size:>7}  {low:>14}  {high:>14}  {last:>14}")


if __name__ == "__main__":
    main()
