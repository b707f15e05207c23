"""Two runs of one transient compared: a regression test of a simulation
code, where a new build must give the base build's values, bit for bit or
within tolerances. Parameters are matched by name, steps by time, and the
values a block of steps at a time, so that runs of millions of steps compare
in bounded memory."""

from __future__ import annotations

import math
import numbers
import os
from typing import TYPE_CHECKING, Any, Literal, Union, cast

import numpy as np
import numpy.typing as npt

import dunvel
from dunvel import _selection

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from dunvel import Plot

PlotOrPath = Union["Plot", str, "os.PathLike[str]"]

# Values compared at once (each temporary of a block holds this many
# float64s). Blocks are runs of whole rows, read from memory in order: a
# block of columns would read every row's cache line for a few values.
_BLOCK_VALUES = 1 << 20

_EMPTY_STEPS = np.empty(0, dtype=np.int64)


def kept_after_restarts(times: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
    """Which steps a restart has not superseded. A step whose time is below
    the last time before it (steps without a time skipped) is a restart back
    to that time; it supersedes every earlier step at or after it. A step is
    kept where its time is below every later restart's time, so restarts
    within restarts need no more than one pass."""
    times = np.asarray(times, dtype=np.float64)
    timed = ~np.isnan(times)
    # The last time before each step, NaN before the first.
    last = np.where(timed, np.arange(times.size), -1)
    np.maximum.accumulate(last, out=last)
    before = np.full(times.size, np.nan)
    before[1:] = np.where(last[:-1] >= 0, times[np.maximum(last[:-1], 0)], np.nan)
    with np.errstate(invalid="ignore"):
        restart = timed & (times < before)
    targets = np.where(restart, times, np.inf)
    # The lowest restart time after each step.
    later = np.full(times.size, np.inf)
    if times.size > 1:
        later[:-1] = np.minimum.accumulate(targets[::-1])[::-1][1:]
    with np.errstate(invalid="ignore"):
        return ~timed | (times < later)


def drop_restarts(plot: Plot, keep: npt.NDArray[np.bool_] | None = None) -> Plot:
    if keep is None:
        keep = kept_after_restarts(plot.times)
    if keep.all():
        return dunvel.Plot(plot.path, plot.width, plot.names, plot.times, plot.values, plot.steps, plot.complete)
    return dunvel.Plot(
        plot.path, plot.width, plot.names, plot.times[keep], plot.values[keep], plot.steps[keep], plot.complete
    )


class Comparison:
    """Two runs compared by ``dunvel.compare``. ``ok`` is True where they
    do not differ at all: the same names, the same steps and every value
    equal. ``to_pandas()`` has one row per parameter compared.

    Per parameter compared (``names``, in base's header order; a name the
    headers hold twice is there twice), arrays of one value each:
    ``max_abs`` and ``max_rel`` (the largest absolute and relative
    difference over the steps compared, inf where a NaN or an infinity
    meets anything but itself), ``max_abs_time`` and ``max_rel_time``
    (base's time of the first step, in base's order, where that largest
    difference is, or where it is 0, of the first step that differs; NaN
    where none does, or where that step has no time) and
    ``steps_differing``.

    ``names_only_in_base`` and ``names_only_in_new``: the names of one run
    only. ``steps_only_in_base`` and ``steps_only_in_new``: the step
    numbers in their file of the steps that match none of the other run,
    with their times in ``times_only_in_base`` and ``times_only_in_new``.
    ``dropped_base`` and ``dropped_new``: the step numbers that
    ``restarts="drop"`` left out as superseded. ``steps_compared``: how
    many steps were matched."""

    base_path: str
    new_path: str
    names: tuple[str, ...]
    max_abs: npt.NDArray[np.float64]
    max_abs_time: npt.NDArray[np.float64]
    max_rel: npt.NDArray[np.float64]
    max_rel_time: npt.NDArray[np.float64]
    steps_differing: npt.NDArray[np.int64]
    steps_compared: int
    names_only_in_base: tuple[str, ...]
    names_only_in_new: tuple[str, ...]
    steps_only_in_base: npt.NDArray[np.int64]
    steps_only_in_new: npt.NDArray[np.int64]
    times_only_in_base: npt.NDArray[np.float64]
    times_only_in_new: npt.NDArray[np.float64]
    dropped_base: npt.NDArray[np.int64]
    dropped_new: npt.NDArray[np.int64]

    def __init__(self, **fields: Any) -> None:
        for name, value in fields.items():
            setattr(self, name, value)

    @property
    def ok(self) -> bool:
        return not (
            self.names_only_in_base
            or self.names_only_in_new
            or self.steps_only_in_base.size
            or self.steps_only_in_new.size
            or self.steps_differing.any()
        )

    @property
    def parameters_differing(self) -> int:
        return int(np.count_nonzero(self.steps_differing))

    def to_pandas(self) -> pandas.DataFrame:
        """One row per parameter compared, indexed by name ("name"):
        max_abs, max_abs_time, max_rel, max_rel_time, steps_differing."""
        import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

        return pandas.DataFrame(
            {
                "max_abs": self.max_abs,
                "max_abs_time": self.max_abs_time,
                "max_rel": self.max_rel,
                "max_rel_time": self.max_rel_time,
                "steps_differing": self.steps_differing,
            },
            index=pandas.Index(list(self.names), name="name", dtype=object),
        )

    def __repr__(self) -> str:
        state = "no differences" if self.ok else f"{self.parameters_differing} parameters differ"
        return (
            f"<dunvel.Comparison {os.path.basename(self.base_path)!r} -> {os.path.basename(self.new_path)!r}:"
            f" {len(self.names)} parameters x {self.steps_compared} steps, {state}>"
        )


def _tolerance(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number) or number < 0:
        raise ValueError(f"{name} must be at least 0, not {value!r}")
    return number


def _plot_of(run: object, names: _selection.Names | None, chosen: tuple[str, ...] | None) -> Plot:
    if isinstance(run, dunvel.Plot):
        if chosen is None:
            return run
        places = _selection.columns(chosen, run.names, run.path)
        columns = np.array(places, dtype=np.intp)
        return dunvel.Plot(
            run.path,
            run.width,
            tuple(run.names[place] for place in places),
            run.times,
            run.values[:, columns],
            run.steps,
            run.complete,
        )
    return dunvel.read(cast("os.PathLike[str]", run), names=names)


def _pairs(base: tuple[str, ...], new: tuple[str, ...]) -> tuple[list[int], list[int], list[str], list[str]]:
    """The columns of base and new that hold the same name, the k-th
    occurrence of a name with the k-th; then the names of one run only."""
    places: dict[str, list[int]] = {}
    for place, name in enumerate(new):
        places.setdefault(name, []).append(place)
    seen: dict[str, int] = {}
    base_columns, new_columns, only_base = [], [], []
    for place, name in enumerate(base):
        k = seen.get(name, 0)
        seen[name] = k + 1
        held = places.get(name, [])
        if k < len(held):
            base_columns.append(place)
            new_columns.append(held[k])
        else:
            only_base.append(name)
    only_new = [name for name, held in places.items() for _ in held[seen.get(name, 0) :]]
    only_new.sort(key=new.index)
    return base_columns, new_columns, only_base, only_new


def _merge(base: npt.NDArray[np.float64], new: npt.NDArray[np.float64], tolerance: float) -> npt.NDArray[np.intp]:
    """For each of base's sorted times, the index of the new sorted time it
    matches, or -1: the two-pointer merge, which takes each base time with
    the first new time not yet taken within the tolerance. Done as a scan:
    a pass over all steps, and one more from each base step whose window
    holds only new times already taken by earlier ones (a tolerance wider
    than half a step), which runs rarely have."""
    if not base.size:
        return np.empty(0, dtype=np.intp)
    low = np.searchsorted(new, base - tolerance, "left")
    high = np.searchsorted(new, base + tolerance, "right")
    if tolerance == 0:
        # Windows of equal times, which the merge pairs k-th with k-th: no scan.
        rank = np.arange(base.size) - np.searchsorted(base, base, "left")
        return np.where(low + rank < high, low + rank, -1).astype(np.intp)
    taking = low < high  # where a match may be, an upper bound on where one is
    start = 0
    pointer = np.empty(base.size, dtype=np.intp)  # the next new index free after each base step
    while True:
        span = slice(start, base.size)
        before = pointer[start - 1] if start else 0
        # pointer[i] = max(low[i], pointer[i - 1]) + taking[i], as a running maximum.
        taken = np.cumsum(taking[span])
        shifted = np.empty_like(taken)
        shifted[0] = 0
        shifted[1:] = taken[:-1]
        running = np.maximum.accumulate(np.maximum(low[span] - shifted, before))
        pointer[span] = running + taken
        candidate = running + shifted  # max(low[i], pointer[i - 1])
        wrong = np.flatnonzero(taking[span] & (candidate >= high[span]))
        if not wrong.size:
            break
        start += int(wrong[0])
        taking[start] = False
    matched = np.full(base.size, -1, dtype=np.intp)
    after = np.concatenate(([0], pointer[:-1]))
    chosen = np.maximum(low, after)
    matched[taking] = chosen[taking]
    return matched


def _match(
    base: Plot, new: Plot, tolerance: float, interpolate: bool
) -> tuple[npt.NDArray[np.intp], Any, npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """Base's rows compared, in file order; new's rows for them (an index
    array, or to interpolate, a pair of index arrays and the weights of the
    second); and which steps of each run match nothing."""
    base_timed, new_timed = ~np.isnan(base.times), ~np.isnan(new.times)
    # Steps without a time, by step number: a run without times, or a
    # block-start line that lost its time in both runs.
    base_untimed, new_untimed = np.flatnonzero(~base_timed), np.flatnonzero(~new_timed)
    _, first, second = np.intersect1d(
        base.steps[base_untimed], new.steps[new_untimed], assume_unique=True, return_indices=True
    )
    rows = [base_untimed[first]]
    other = [new_untimed[second]]
    # In time order, equal times in file order: a restart that was kept
    # compares in time order.
    base_order = np.flatnonzero(base_timed)
    base_order = base_order[np.argsort(base.times[base_order], kind="stable")]
    new_order = np.flatnonzero(new_timed)
    new_order = new_order[np.argsort(new.times[new_order], kind="stable")]
    base_times, new_times = base.times[base_order], new.times[new_order]
    if interpolate:
        inside = np.zeros(base_times.size, dtype=bool)
        if new_times.size:
            inside = (base_times >= new_times[0] - tolerance) & (base_times <= new_times[-1] + tolerance)
        rows.append(base_order[inside])
        weights = [np.zeros(rows[0].size)]
        uppers = [other[0]]
        if new_times.size:
            at = np.clip(base_times[inside], new_times[0], new_times[-1])
            left = np.clip(np.searchsorted(new_times, at, "right") - 1, 0, new_times.size - 1)
            right = np.minimum(left + 1, new_times.size - 1)
            span = new_times[right] - new_times[left]
            with np.errstate(invalid="ignore", divide="ignore"):
                weights.append(np.where(span > 0, (at - new_times[left]) / np.where(span > 0, span, 1.0), 0.0))
            other.append(new_order[left])
            uppers.append(new_order[right])
    else:
        matched = _merge(base_times, new_times, tolerance)
        found = matched >= 0
        rows.append(base_order[found])
        other.append(new_order[matched[found]])
    base_alone = np.ones(len(base), dtype=bool)
    new_alone = np.ones(len(new), dtype=bool)
    taken = np.concatenate(rows).astype(np.intp)
    order = np.argsort(taken, kind="stable")
    base_alone[taken] = False
    lower = np.concatenate(other).astype(np.intp)[order]
    if interpolate:
        # Every step of new is used, or lies between those used.
        new_alone[:] = False
        upper = np.concatenate(uppers).astype(np.intp)[order]
        return taken[order], (lower, upper, np.concatenate(weights)[order]), base_alone, new_alone
    new_alone[lower] = False
    return taken[order], lower, base_alone, new_alone


def _differences(
    base: npt.NDArray[np.float32], new: npt.NDArray[np.float64], rtol: float, atol: float, exact: bool
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """Absolute and relative differences of one block, and where they differ."""
    wide = base.astype(np.float64)
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        absolute = np.abs(new - wide)
        both_nan = np.isnan(wide) & np.isnan(new)
        same = (new == wide) | both_nan
        # A NaN or an infinity that meets anything but itself is as far off
        # as can be, whatever the tolerances.
        far = ~same & ~np.isfinite(absolute)
        absolute[far] = np.inf
        absolute[same] = 0.0
        if exact:
            # Bit for bit: -0.0 is not 0.0.
            differ = ~same | ((np.signbit(wide) != np.signbit(new)) & ~both_nan)
        else:
            differ = far | (~same & ~(absolute <= atol + rtol * np.abs(wide)))
        relative = absolute / np.abs(wide)
        relative[far] = np.inf
        relative[absolute == 0] = 0.0
    return absolute, relative, differ


class _Rows:
    """Rows and columns of a run's values, taken a block of rows at a time:
    as a view where they are a run of rows and every column."""

    def __init__(self, values: npt.NDArray[np.float32], rows: npt.NDArray[np.intp], columns: npt.NDArray[np.intp]):
        self.values = values
        self.rows = rows
        self.columns = None if np.array_equal(columns, np.arange(values.shape[1])) else columns
        self.run = bool(rows.size) and np.array_equal(rows, np.arange(rows[0], rows[0] + rows.size))

    def take(self, block: slice) -> npt.NDArray[np.float32]:
        if self.run:
            start, stop, _ = block.indices(self.rows.size)
            part = self.values[self.rows[0] + start : self.rows[0] + stop]
        else:
            part = self.values[self.rows[block]]
        return part if self.columns is None else part[:, self.columns]


def compare(
    base: PlotOrPath,
    new: PlotOrPath,
    *,
    rtol: float = 0.0,
    atol: float = 0.0,
    names: _selection.Names | None = None,
    time_tolerance: float = 0.0,
    interpolate: bool = False,
    restarts: Literal["drop", "keep"] = "drop",
) -> Comparison:
    """Compares two runs, ``base`` and ``new``, each a Plot or a path
    (read with ``dunvel.read(path, names=names)``; of a Plot, ``names``
    selects as a read does).

    - Parameters are matched by name, the k-th column of a name in one run
      with the k-th of the same name in the other; a name of one run only
      is a difference.
    - ``restarts="drop"`` first leaves out of each run the steps that a
      restart superseded (see ``Plot.drop_restarts``); ``"keep"`` keeps
      them, and the steps are matched in time order.
    - Steps are matched by time: in time order (equal times in file order),
      each step of base with the first step of new not yet matched whose
      time is within ``time_tolerance`` of its own. Steps without a time
      match by step number those of the other run without a time (so runs
      without times compare step by step). A step of one run that matches
      none is a difference.
    - ``interpolate=True`` compares new's values interpolated linearly in
      time onto base's steps, those within new's times (widened by
      ``time_tolerance``); base's steps outside them are differences. No
      step of new is then one of new's only.
    - Two values differ where ``|new - base| > atol + rtol * |base|``,
      in float64 from the float32 values; a NaN equals a NaN, an infinity
      the same infinity, and nothing else either. With both tolerances 0
      (the default) values must be the same bits, so -0.0 differs from 0.0
      (any NaN still equals any NaN). The relative difference is
      ``|new - base| / |base|``: inf where base is 0 and new is not.

    Raises TypeError or ValueError for a bad argument before any file is
    read, and what ``dunvel.read`` raises for a file."""
    rtol = _tolerance("rtol", rtol)
    atol = _tolerance("atol", atol)
    time_tolerance = _tolerance("time_tolerance", time_tolerance)
    if not isinstance(interpolate, bool):
        raise TypeError(f"interpolate must be a bool, not {type(interpolate).__name__}")
    if restarts not in ("drop", "keep"):
        raise ValueError(f"restarts must be 'drop' or 'keep', not {restarts!r}")
    chosen = _selection.selection(names, None, None)
    for which, run in (("base", base), ("new", new)):
        if not isinstance(run, (dunvel.Plot, str, os.PathLike)):
            raise TypeError(f"{which} must be a Plot or a path, not {type(run).__name__}")
    base_plot = _plot_of(base, names, chosen.names if chosen else None)
    new_plot = _plot_of(new, names, chosen.names if chosen else None)
    dropped_base = dropped_new = _EMPTY_STEPS
    if restarts == "drop":
        kept_base, kept_new = kept_after_restarts(base_plot.times), kept_after_restarts(new_plot.times)
        dropped_base, dropped_new = base_plot.steps[~kept_base], new_plot.steps[~kept_new]
        base_plot, new_plot = drop_restarts(base_plot, kept_base), drop_restarts(new_plot, kept_new)

    base_columns, new_columns, only_base, only_new = _pairs(base_plot.names, new_plot.names)
    rows, other, base_alone, new_alone = _match(base_plot, new_plot, time_tolerance, interpolate)
    count = len(base_columns)
    taken_base = np.array(base_columns, dtype=np.intp)
    taken_new = np.array(new_columns, dtype=np.intp)
    max_abs, max_rel = np.zeros(count), np.zeros(count)
    max_abs_time, max_rel_time = np.full(count, np.nan), np.full(count, np.nan)
    first_time = np.full(count, np.nan)
    differing = np.zeros(count, dtype=np.int64)
    exact = rtol == 0 and atol == 0
    height = max(1, _BLOCK_VALUES // max(1, count))
    base_rows = _Rows(base_plot.values, rows, taken_base)
    new_rows = None if isinstance(other, tuple) else _Rows(new_plot.values, other, taken_new)
    for start in range(0, rows.size if count else 0, height):
        block = slice(start, start + height)
        times = base_plot.times[rows[block]]
        values = base_rows.take(block)
        places = np.arange(count)
        if new_rows is None:
            left, right, weight = (part[block] for part in other)
            lower = new_plot.values[np.ix_(left, taken_new)].astype(np.float64)
            upper = new_plot.values[np.ix_(right, taken_new)].astype(np.float64)
            with np.errstate(invalid="ignore", over="ignore"):
                # At a time of new's own, its value as it is, whatever the next.
                between = np.where(weight[:, None] > 0, lower + weight[:, None] * (upper - lower), lower)
        else:
            newer = new_rows.take(block)
            # Only columns whose bits differ somewhere need a closer look:
            # a regression test's runs mostly agree.
            places = np.flatnonzero((values.view(np.uint32) != newer.view(np.uint32)).any(axis=0))
            if not places.size:
                continue
            values, between = values[:, places], newer[:, places].astype(np.float64)
        absolute, relative, differ = _differences(values, between, rtol, atol, exact)
        counted = np.count_nonzero(differ, axis=0)
        first = np.isnan(first_time[places]) & (counted > 0) & (differing[places] == 0)
        first_time[places[first]] = times[np.argmax(differ, axis=0)[first]]
        differing[places] += counted
        for largest, at, differences in ((max_abs, max_abs_time, absolute), (max_rel, max_rel_time, relative)):
            where = np.argmax(differences, axis=0)
            peak = differences[where, np.arange(places.size)]
            # The first step of the largest: a later block must beat it.
            better = peak > largest[places]
            largest[places[better]] = peak[better]
            at[places[better]] = times[where[better]]
    # Where every difference is 0 but values differ (-0.0 against 0.0), the first of them.
    for largest, at in ((max_abs, max_abs_time), (max_rel, max_rel_time)):
        at[largest == 0] = first_time[largest == 0]
    return Comparison(
        base_path=base_plot.path,
        new_path=new_plot.path,
        names=tuple(base_plot.names[column] for column in base_columns),
        max_abs=max_abs,
        max_abs_time=max_abs_time,
        max_rel=max_rel,
        max_rel_time=max_rel_time,
        steps_differing=differing,
        steps_compared=int(rows.size),
        names_only_in_base=tuple(only_base),
        names_only_in_new=tuple(only_new),
        steps_only_in_base=base_plot.steps[base_alone],
        steps_only_in_new=new_plot.steps[new_alone],
        times_only_in_base=base_plot.times[base_alone],
        times_only_in_new=new_plot.times[new_alone],
        dropped_base=dropped_base,
        dropped_new=dropped_new,
    )


def _short(value: float) -> str:
    """The shortest text that reads back as the same double: for times."""
    return repr(float(value))


def _difference(value: float) -> str:
    # Six digits: a difference is read by a person, not read back.
    return f"{float(value):.6g}"


def _count(count: int, thing: str) -> str:
    return f"{count} {thing}{'' if count == 1 else 's'}"


def _listed(items: list[str], total: int, limit: int = 8) -> str:
    shown = ", ".join(items[:limit])
    return shown + (f", ... ({total} in all)" if total > limit else "")


def render(comparison: Comparison) -> str:
    """The comparison as text for a terminal: a row per parameter that
    differs, the names and steps of one run only, then a summary line.
    (The steps that restarts superseded are the command's to tell, on
    standard error.)"""
    lines = []
    changed = np.flatnonzero(comparison.steps_differing).tolist()
    if changed:
        rows = [("name", "max abs", "at time", "max rel", "at time", "steps")]
        rows += [
            (
                comparison.names[k],
                _difference(comparison.max_abs[k]),
                _short(comparison.max_abs_time[k]),
                _difference(comparison.max_rel[k]),
                _short(comparison.max_rel_time[k]),
                str(comparison.steps_differing[k]),
            )
            for k in changed
        ]
        widths = [max(len(row[i]) for row in rows) for i in range(6)]
        for row in rows:
            cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
            lines.append("  ".join(cells))
    for label, found in (("base", comparison.names_only_in_base), ("new", comparison.names_only_in_new)):
        if found:
            lines.append(f"names only in {label}: {_listed(list(found), len(found))}")
    for label, steps, times in (
        ("base", comparison.steps_only_in_base, comparison.times_only_in_base),
        ("new", comparison.steps_only_in_new, comparison.times_only_in_new),
    ):
        if steps.size:
            shown = [f"{step} (time {_short(time)})" for step, time in zip(steps[:8].tolist(), times[:8].tolist())]
            lines.append(f"steps only in {label}: {_listed(shown, steps.size)}")
    parameters = len(comparison.names)
    if comparison.ok:
        lines.append(
            f"no differences: {_count(parameters, 'parameter')}, {_count(comparison.steps_compared, 'step')} compared"
        )
    else:
        summary = (
            f"{comparison.parameters_differing} of {parameters} parameters differ;"
            f" {_count(comparison.steps_only_in_base.size, 'step')} only in base,"
            f" {comparison.steps_only_in_new.size} only in new"
        )
        if comparison.names_only_in_base or comparison.names_only_in_new:
            summary += (
                f"; {_count(len(comparison.names_only_in_base), 'name')} only in base,"
                f" {len(comparison.names_only_in_new)} only in new"
            )
        lines.append(summary)
    return "\n".join(lines) + "\n"


def _number(value: float) -> float | str | None:
    """A float for JSON: NaN (a time that is not there) as null, an
    infinity as the string "Infinity" or "-Infinity", as dunvel info
    --json writes it."""
    value = float(value)
    if math.isnan(value):
        return None
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return value


def as_json(comparison: Comparison) -> dict[str, Any]:
    """The comparison as a dict that ``json.dumps(..., allow_nan=False)``
    takes: ``ok``, ``base`` and ``new`` (the paths), ``steps_compared``,
    ``parameters`` (one object per parameter compared: ``name``,
    ``max_abs``, ``max_abs_time``, ``max_rel``, ``max_rel_time``,
    ``steps_differing``), ``names_only_in_base``/``_new``,
    ``steps_only_in_base``/``_new`` (step numbers), ``times_only_in_base``/
    ``_new`` and ``dropped_base``/``_new``. A NaN (a time where there is
    none: no difference, or runs without times) is null; an infinity is
    the string "Infinity" (or "-Infinity")."""
    return {
        "ok": comparison.ok,
        "base": comparison.base_path,
        "new": comparison.new_path,
        "steps_compared": comparison.steps_compared,
        "parameters": [
            {
                "name": name,
                "max_abs": _number(comparison.max_abs[k]),
                "max_abs_time": _number(comparison.max_abs_time[k]),
                "max_rel": _number(comparison.max_rel[k]),
                "max_rel_time": _number(comparison.max_rel_time[k]),
                "steps_differing": int(comparison.steps_differing[k]),
            }
            for k, name in enumerate(comparison.names)
        ],
        "names_only_in_base": list(comparison.names_only_in_base),
        "names_only_in_new": list(comparison.names_only_in_new),
        "steps_only_in_base": comparison.steps_only_in_base.tolist(),
        "steps_only_in_new": comparison.steps_only_in_new.tolist(),
        "times_only_in_base": [_number(t) for t in comparison.times_only_in_base.tolist()],
        "times_only_in_new": [_number(t) for t in comparison.times_only_in_new.tolist()],
        "dropped_base": comparison.dropped_base.tolist(),
        "dropped_new": comparison.dropped_new.tolist(),
    }
