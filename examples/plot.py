"""Plot parameters of a DUNVEL plot file against time, or against another
parameter, into a PNG file.

    python examples/plot.py examples/sample.dat
    python examples/plot.py run42.plt PRES_CORE_0001 TEMP_CORE_0002
    python examples/plot.py run42.plt TEMP_CORE_0002 --x PRES_CORE_0001 --out temp.png

Parameters are named as in the file's header; without names, the first four
are drawn. Each gets a panel of its own, since the quantities of one run differ
by many orders of magnitude. The time of a step is the one on its block-start
line; a file whose block-start lines do not all hold one is drawn against the
step number instead. Needs matplotlib (pip install matplotlib).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import numpy.typing as npt

# The figure is made without pyplot: no GUI backend, no global figure state,
# so the script runs the same on a headless server as on a desktop.
from matplotlib.figure import Figure

import dunvel

DEFAULT_COUNT = 4


def draw(plot: dunvel.Plot, chosen: list[str], x_name: str | None) -> tuple[Figure, str]:
    """One panel per chosen parameter, stacked, sharing the x axis; and what
    the x axis shows."""
    figure = Figure(figsize=(8, 1.2 + 1.8 * len(chosen)), layout="constrained")
    axes = figure.subplots(len(chosen), 1, sharex=True, squeeze=False)[:, 0]
    x: npt.NDArray[np.floating]
    if x_name is not None:
        x, x_label = plot[x_name], x_name
    elif plot.n_steps and not np.isnan(plot.times).any():
        x, x_label = plot.times, "time (s)"
    else:
        x, x_label = np.arange(plot.n_steps, dtype=np.float64), "step (block index)"
    marker = "." if x_name is not None else ""
    for ax, name in zip(axes, chosen):
        ax.plot(x, plot[name], marker=marker, linewidth=1.0, markersize=2)
        ax.set_ylabel(name, fontsize="small")
        ax.grid(True, linewidth=0.4, alpha=0.6)
    axes[-1].set_xlabel(x_label)
    figure.suptitle(Path(plot.path).name, fontsize="medium")
    return figure, x_label


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Plot parameters of a DUNVEL plot file.")
    parser.add_argument("path", type=Path, help="plot file")
    parser.add_argument("names", nargs="*", metavar="NAME", help="parameters to draw")
    parser.add_argument("--x", metavar="NAME", help="parameter for the x axis (default: time)")
    parser.add_argument("--width", type=int, help="characters per value (default: detected)")
    parser.add_argument("--out", type=Path, help="PNG file (default: PATH with .png suffix)")
    args = parser.parse_args(argv)

    plot = dunvel.read(args.path, args.width)
    chosen: list[str] = args.names or [n for n in plot.names if n != args.x][:DEFAULT_COUNT]
    unknown = [n for n in [*chosen, *([args.x] if args.x else [])] if n not in plot]
    if unknown:
        parser.error(f"not in the header: {', '.join(unknown)}; it has: {', '.join(plot.names)}")
    if not chosen:
        parser.error(f"{args.path} has no parameter to draw")

    out: Path = args.out or args.path.with_suffix(".png")
    figure, x_label = draw(plot, chosen, args.x)
    figure.savefig(out, dpi=100)
    print(f"{out}: {', '.join(chosen)} against {x_label}")


if __name__ == "__main__":
    main()
