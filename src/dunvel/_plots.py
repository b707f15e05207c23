"""Runs drawn side by side: one panel per parameter, one line per run, with
matplotlib (PNG, SVG, PDF) or Plotly (a page of its own). Neither library is
imported before a drawing needs it."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np
import numpy.typing as npt

from dunvel import _formats, _selection

if TYPE_CHECKING:
    from dunvel import Plot, StrPath
    from dunvel._selection import Names

Backend = Literal["matplotlib", "plotly"]

# The backend that each suffix of out draws with.
SUFFIXES: dict[str, Backend] = {".png": "matplotlib", ".svg": "matplotlib", ".pdf": "matplotlib", ".html": "plotly"}

# A line of more steps than this is drawn from its extremes: a figure a few
# inches wide, or a page a few thousand pixels wide, shows no more, and a
# page of millions of points would not open.
MAX_POINTS = 4000

# Plotly's colours, one per run, so that a run has the same colour in every
# panel (Plotly's own cycle goes on from trace to trace).
_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22",
            "#17becf")

Run = Union["Plot", "StrPath"]


def _backend(out: str | None, backend: Backend | None) -> Backend:
    if backend is not None and backend not in ("matplotlib", "plotly"):
        raise ValueError(f"backend must be 'matplotlib' or 'plotly', not {backend!r}")
    if out is None:
        return backend or "matplotlib"
    suffix = os.path.splitext(out)[1].lower()
    told = SUFFIXES.get(suffix)
    if told is None:
        raise ValueError(f"cannot tell a drawing from the suffix of {out!r}: give {', '.join(SUFFIXES)}")
    if backend is not None and backend != told:
        raise ValueError(f"{suffix} is drawn with {told}, not with backend={backend!r}")
    return told


def labels(paths: Sequence[str]) -> list[str]:
    """The legend's name of each run: its file name, or its path where runs
    of other paths share that file name, and a number after it where it is
    still not unique (the same file twice)."""
    names = [os.path.basename(path) or path for path in paths]
    shared = {name: {path for other, path in zip(names, paths) if other == name} for name in names}
    names = [path if len(shared[name]) > 1 else name for name, path in zip(names, paths)]
    seen: dict[str, int] = {}
    unique = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        unique.append(name if names.count(name) == 1 else f"{name} ({seen[name]})")
    return unique


def extremes(x: npt.NDArray[Any], y: npt.NDArray[Any], points: int = MAX_POINTS) -> npt.NDArray[np.intp]:
    """The indices of the points that draw a line of many as it looks:
    the first and the last, and in each of about points/5 runs of steps the
    smallest and largest x and y and the first NaN of either (which breaks
    the line), in order. A line of at most points, all of them."""
    n = len(y)
    if n <= points:
        return np.arange(n, dtype=np.intp)
    size = -(-n // ((points - 2) // 5))
    rows = -(-n // size)
    kept = [np.array([0, n - 1], dtype=np.intp)]
    offsets = np.arange(rows, dtype=np.intp) * size
    for column in (x, y):
        values = np.asarray(column, dtype=np.float64)
        nan = np.isnan(values)
        # Padding that no real point loses a tie to: an argmin takes the first.
        low = np.full(rows * size, np.inf)
        low[:n] = np.where(nan, np.inf, values)
        high = np.full(rows * size, -np.inf)
        high[:n] = np.where(nan, -np.inf, values)
        kept += [offsets + low.reshape(rows, size).argmin(axis=1), offsets + high.reshape(rows, size).argmax(axis=1)]
    gaps = np.zeros(rows * size, dtype=bool)
    gaps[:n] = np.isnan(np.asarray(x, dtype=np.float64)) | np.isnan(np.asarray(y, dtype=np.float64))
    gaps_by_row = gaps.reshape(rows, size)
    kept.append((offsets + gaps_by_row.argmax(axis=1))[gaps_by_row.any(axis=1)])
    return np.unique(np.concatenate(kept))


class _Line:
    __slots__ = ("label", "x", "ys")

    def __init__(self, label: str, x: npt.NDArray[Any], ys: list[npt.NDArray[np.float32]]) -> None:
        self.label = label
        self.x = x
        self.ys = ys


def _columns(plot: Plot, names: Sequence[str]) -> list[npt.NDArray[np.float32]]:
    columns = []
    for name in names:
        if name not in plot:
            raise _selection.missing_name(name, plot.names, plot.path)
        places = [place for place, held in enumerate(plot.names) if held == name]
        if len(places) > 1:
            raise ValueError(
                f"{name!r} names {len(places)} parameters in {os.path.basename(plot.path)!r} (columns"
                f" {', '.join(map(str, places))}): a panel draws one"
            )
        columns.append(plot.values[:, places[0]])
    return columns


def _lines(
    runs: Run | Sequence[Run], names: Names, x: str | None, restarts: str, width: int | None
) -> tuple[list[str], str, list[_Line]]:
    """The panels' names, the x axis's label, and each run's line data."""
    import dunvel

    if restarts not in ("drop", "keep"):
        raise ValueError(f"restarts must be 'drop' or 'keep', not {restarts!r}")
    if x is not None and not isinstance(x, str):
        raise TypeError(f"x must be a name (str) or None, not {type(x).__name__}")
    chosen = _selection._names(names)
    given: list[Run] = [runs] if isinstance(runs, (str, bytes, os.PathLike, dunvel.Plot)) else list(runs)
    if not given:
        raise ValueError("no run to draw: give a plot or a path, or a list of them")
    plots = []
    for run in given:
        if not isinstance(run, dunvel.Plot):
            wanted = [*chosen, x] if x is not None else list(chosen)
            run = dunvel.read(run, width, names=wanted)
        plots.append(run.drop_restarts() if restarts == "drop" else run)
    # The names that the patterns select in any run, first run first; each
    # run must then hold them all.
    panels: list[str] = []
    for plot in plots:
        for place in _selection.columns(chosen, plot.names, plot.path):
            if plot.names[place] not in panels:
                panels.append(plot.names[place])
    untimed = any(np.isnan(plot.times).any() for plot in plots)
    label = x if x is not None else "step" if untimed else "time (s)"
    lines = []
    for plot, name in zip(plots, labels([plot.path for plot in plots])):
        along: npt.NDArray[Any]
        if x is not None:
            (along,) = _columns(plot, [x])
        else:
            along = plot.steps if untimed else plot.times
        lines.append(_Line(name, along, _columns(plot, panels)))
    return panels, label, lines


def plot(
    runs: Run | Sequence[Run],
    names: Names,
    *,
    x: str | None = None,
    out: StrPath | None = None,
    restarts: Literal["drop", "keep"] = "drop",
    width: int | None = None,
    backend: Backend | None = None,
) -> Any:
    """Draws runs side by side: one panel per parameter, titled with its
    name, stacked over one x axis, and in each one line per run, the legend
    naming the runs by their file names (by their paths where two share a
    file name). ``runs`` is a Plot or a path, or a list of them (a path is
    read with ``dunvel.read(path, width, names=...)``, compressed or not).

    ``names`` selects the panels as ``read``'s ``names=`` does: a name or a
    glob pattern, or a list of them; the panels are the parameters that
    they select in any run, in the first run's header order, and each run
    must hold every one of them (KeyError naming the run, else). Each line
    is drawn against the step's time, or against the step number where any
    step of any run has no time, or against the parameter ``x`` (a name).
    ``restarts="drop"`` draws each run without the steps that a restart
    superseded (``Plot.drop_restarts()``), so that no line goes back in
    time; ``"keep"`` draws every step.

    ``out`` names the file to write, its suffix the drawing: ``.png``,
    ``.svg`` or ``.pdf`` with matplotlib (a ``matplotlib.figure.Figure``,
    returned), ``.html`` with Plotly: one page that holds Plotly's
    JavaScript and opens without a network, to zoom, pan, read values under
    the pointer and show or hide a run (in every panel) from the legend;
    the ``plotly.graph_objects.Figure`` is returned. ``out=None`` writes
    nothing and returns the figure of ``backend`` (default matplotlib).
    The file is written under a temporary name beside it and renamed once
    whole. Another suffix raises ValueError, naming those; a missing
    library ImportError, naming the extra that installs it
    (``olvane[matplotlib]``, ``olvane[plotly]``).

    A line of more than 4000 steps is drawn from its extremes: the first and
    last step, and in each of about 800 runs of steps the steps of the
    smallest and largest value of x and of y, and the first NaN, so that no
    peak is lost (at most 4000 points, however long the run; a page zoomed
    in shows no more)."""
    out_path = None if out is None else os.fsdecode(os.fspath(out))
    chosen = _backend(out_path, backend)
    library = "matplotlib" if chosen == "matplotlib" else "plotly"
    _formats.need(library, "dunvel.plot" if out_path is None else f"drawing {os.path.splitext(out_path)[1]}")
    panels, label, lines = _lines(runs, names, x, restarts, width)
    if chosen == "matplotlib":
        figure = _matplotlib(panels, label, lines, x is not None)
        if out_path is not None:
            # Told, since the temporary file's name says nothing of the format.
            kind = os.path.splitext(out_path)[1][1:].lower()
            _formats.replace(out_path, lambda path: figure.savefig(path, format=kind, dpi=100))
        return figure
    figure = _plotly(panels, label, lines, x is not None)
    if out_path is not None:
        _formats.replace(
            out_path,
            lambda path: figure.write_html(
                path,
                include_plotlyjs=True,
                full_html=True,
                # No button that uploads the runs to Plotly's cloud: a page of
                # a plant's runs shares what its owner sends, not what a click does.
                config={"displaylogo": False, "responsive": True, "showSendToCloud": False},
            ),
        )
    return figure


def _matplotlib(panels: list[str], label: str, lines: list[_Line], markers: bool) -> Any:
    # Not pyplot: no GUI backend and no global figures, so that a server or
    # a thread draws as a desktop does.
    from matplotlib.figure import Figure

    figure = Figure(figsize=(8, 1.0 + 1.9 * len(panels)), layout="constrained")
    axes = figure.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, name in zip(axes, panels):
        ax.set_title(name, fontsize="medium")
        ax.grid(True, linewidth=0.4, alpha=0.6)
    for line in lines:
        for ax, y in zip(axes, line.ys):
            kept = extremes(line.x, y)
            ax.plot(
                line.x[kept], y[kept], label=line.label, linewidth=1.0, marker="." if markers else "", markersize=2
            )
    axes[-1].set_xlabel(label)
    handles, names = axes[0].get_legend_handles_labels()
    figure.legend(handles, names, loc="outside upper center", ncols=min(len(lines), 4), fontsize="small")
    return figure


def _plotly(panels: list[str], label: str, lines: list[_Line], markers: bool) -> Any:
    graph_objects = _formats.need("plotly.graph_objects", "drawing .html")
    subplots = _formats.need("plotly.subplots", "drawing .html")
    figure = subplots.make_subplots(
        rows=len(panels), cols=1, shared_xaxes=True, subplot_titles=panels, vertical_spacing=0.25 / len(panels)
    )
    for number, line in enumerate(lines):
        colour = _COLOURS[number % len(_COLOURS)]
        for row, y in enumerate(line.ys, 1):
            kept = extremes(line.x, y)
            figure.add_trace(
                graph_objects.Scatter(
                    x=line.x[kept],
                    y=y[kept],
                    name=line.label,
                    # One legend entry per run, which shows or hides it in every panel.
                    legendgroup=f"run {number}",
                    showlegend=row == 1,
                    mode="lines+markers" if markers else "lines",
                    line={"color": colour, "width": 1.5},
                    marker={"size": 3},
                ),
                row=row,
                col=1,
            )
    figure.update_xaxes(title_text=label, row=len(panels), col=1)
    figure.update_layout(
        height=120 + 260 * len(panels),
        hovermode="closest" if markers else "x unified",
        # Above the panels' titles: at the top of the page's figure.
        legend={"orientation": "h", "yref": "container", "y": 1.0, "yanchor": "top", "x": 0.0},
        margin={"t": 90},
    )
    return figure
