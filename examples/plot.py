"""Plot parameters of a DUNVEL plot file against the time step, or against
another parameter, into a PNG file.

    python examples/plot.py examples/sample.dat
    python examples/plot.py run42.plt PRES_CORE_0001 TEMP_CORE_0002 --width 15
    python examples/plot.py run42.plt TEMP_CORE_0002 --x PRES_CORE_0001 --out temp.png

Parameters are named as in the file's header; without names, the first four
are drawn. Each gets a panel of its own, since the quantities of one run differ
by many orders of magnitude. Needs matplotlib (pip install matplotlib).
"""

from __future__ import annotations

import argparse
from pathlib import Path

# The figure is made without pyplot: no GUI backend, no global figure state,
# so the script runs the same on a headless server as on a desktop.
from matplotlib.figure import Figure

import olvane

DEFAULT_COUNT = 4


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


def draw(
    path: Path,
    names: list[str],
    columns: list[list[float]],
    chosen: list[str],
    x_name: str | None,
) -> Figure:
    """One panel per chosen parameter, stacked, sharing the x axis."""
    figure = Figure(figsize=(8, 1.2 + 1.8 * len(chosen)), layout="constrained")
    axes = figure.subplots(len(chosen), 1, sharex=True, squeeze=False)[:, 0]
    if x_name is None:
        x: list[float] | range = range(len(columns[0]) if columns else 0)
        x_label = "time step (block index)"
    else:
        x, x_label = columns[names.index(x_name)], x_name
    marker = "." if x_name is not None else ""
    for ax, name in zip(axes, chosen):
        ax.plot(x, columns[names.index(name)], marker=marker, linewidth=1.0, markersize=2)
        ax.set_ylabel(name, fontsize="small")
        ax.grid(True, linewidth=0.4, alpha=0.6)
    axes[-1].set_xlabel(x_label)
    figure.suptitle(path.name, fontsize="medium")
    return figure


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Plot parameters of a DUNVEL plot file.")
    parser.add_argument("path", type=Path, help="plot file")
    parser.add_argument("names", nargs="*", metavar="NAME", help="parameters to draw")
    parser.add_argument("--x", metavar="NAME", help="parameter for the x axis (default: block)")
    parser.add_argument("--width", type=int, default=12, help="field width: 12 (default) or 15")
    parser.add_argument("--out", type=Path, help="PNG file (default: PATH with .png suffix)")
    args = parser.parse_args(argv)

    names = parameter_names(args.path)
    chosen: list[str] = args.names or [n for n in names if n != args.x][:DEFAULT_COUNT]
    unknown = [n for n in [*chosen, *([args.x] if args.x else [])] if n not in names]
    if unknown:
        parser.error(f"not in the header: {', '.join(unknown)}; it has: {', '.join(names)}")
    if not chosen:
        parser.error(f"{args.path} has no parameter to draw")

    columns = olvane.rust_read_dunvel(str(args.path), args.width)
    out: Path = args.out or args.path.with_suffix(".png")
    draw(args.path, names, columns, chosen, args.x).savefig(out, dpi=100)
    print(f"{out}: {', '.join(chosen)} against {args.x or 'the block index'}")


if __name__ == "__main__":
    main()
