"""Many runs as one Dask DataFrame, a file to a partition, each read on the
worker that computes it. The client reads the first file's header alone,
for the columns; every other file is first opened on a worker."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

import dunvel
from dunvel import _formats, _selection, _sources

if TYPE_CHECKING:
    # Both optional; pandas is typed only with pandas-stubs.
    import dask.dataframe  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from dunvel import StrPath
    from dunvel._selection import Names, Steps, TimeWindow
    from dunvel._sources import Compression

# The run names as strings that Arrow holds (one buffer per partition, not an
# object per row); dask.dataframe needs pyarrow anyway.
RUN_DTYPE = "string[pyarrow]"


def run_names(paths: list[str]) -> list[str]:
    """Each file's name; where two files share one, each run is named by its
    path from the folder that holds all of them instead, so that a frame's
    runs are named one way."""
    names = [os.path.basename(path) for path in paths]
    if len(set(names)) == len(names):
        return names
    common = os.path.commonpath([os.path.dirname(path) for path in paths])
    relative = [os.path.relpath(path, common) for path in paths]
    seen: set[str] = set()
    for path, run in zip(paths, relative):
        if run in seen:
            raise ValueError(f"{path} is given twice: each file is one run")
        seen.add(run)
    return relative


def frame(
    run: str,
    columns: list[str],
    times: np.ndarray[Any, np.dtype[np.float64]],
    values: np.ndarray[Any, np.dtype[np.float32]],
    steps: np.ndarray[Any, np.dtype[np.int64]],
) -> pandas.DataFrame:
    pd = _formats.need("pandas", "dunvel.to_dask")
    index = pd.Index(steps, name="step")
    # The values stay one float32 block; run and time are blocks of their own.
    table: pandas.DataFrame = pd.DataFrame(values, columns=columns, index=index, copy=False)
    table.insert(0, "run", pd.Series(run, index=index, dtype=RUN_DTYPE))
    table.insert(1, "time", times)
    return table


def _listed(names: Iterable[str]) -> str:
    shown = list(dict.fromkeys(names))
    text = ", ".join(map(repr, shown[:3]))
    return text + (f" and {len(shown) - 3} more" if len(shown) > 3 else "")


class ReadRun:
    """What a worker calls for each partition: reads one file and checks
    that it has the first file's names. Holds only names and read's
    arguments, so that it pickles small into every task."""

    def __init__(self, first: str, names: tuple[str, ...], columns: list[str], options: dict[str, Any]) -> None:
        self.first = first
        self.names = names
        self.columns = columns
        self.options = options

    def __call__(self, path: str, run: str) -> pandas.DataFrame:
        plot = dunvel.read(path, **self.options)
        if plot.names != self.names:
            lacks = [name for name in self.names if name not in plot.names]
            extra = [name for name in plot.names if name not in self.names]
            parts = []
            if lacks:
                parts.append(f"it lacks {_listed(lacks)}")
            if extra:
                parts.append(f"it also holds {_listed(extra)}")
            detail = "; ".join(parts) or "the same names, but in another order or held another number of times"
            raise ValueError(
                f"{plot.path}: its parameters differ from those of {self.first}, the first file,"
                f" whose header made the frame's columns: {detail}"
            )
        return frame(run, self.columns, plot.times, plot.values, plot.steps)

    def __dask_tokenize__(self) -> tuple[object, ...]:
        return (type(self).__name__, self.first, self.names, self.columns, sorted(self.options.items(), key=str))


def to_dask(
    paths: Iterable[StrPath],
    *,
    names: Names | None = None,
    width: int | None = None,
    steps: Steps | None = None,
    time: TimeWindow | None = None,
    threads: int | None = 1,
    incomplete: Literal["raise", "keep"] = "raise",
    compression: Compression = "infer",
) -> dask.dataframe.DataFrame:
    """Many plot files as one Dask DataFrame, a partition per file, in the
    order of paths, each read by ``dunvel.read`` on the worker that computes
    it: nothing is read here but the first file's header, for the columns.
    The workers must see the files under the same paths (made absolute here).

    The columns: ``run`` (``string[pyarrow]``), the file's name, or where two
    files share a name, every file's path from the folder that holds them
    all (``a/run.plt``, ``b/run.plt``; a path given twice is a ValueError);
    ``time`` (float64, NaN where a step has no time); then one float32
    column per parameter of the first file (those that ``names`` selects),
    a name the header holds twice, or one named "run" or "time", getting
    pandas' suffixes (".1", ".2", ...) as in ``Plot.to_polars``. The index,
    ``step``, is each step's 0-based number in its file. Divisions are
    unknown.

    ``names``, ``width``, ``steps``, ``time``, ``incomplete`` and
    ``compression`` are read's, for every file. ``threads`` is per file,
    1 unless told: a worker reads as many files at once as it has threads,
    so that more would only contend for its cores (None: as many as the
    worker's process may run on, for a few files of many megabytes).

    A file whose names (those selected) are not the first file's, in the
    same order, raises ValueError naming it, and a file that cannot be read
    raises as ``read`` does, when its partition is computed; the first
    file's header fails here."""
    dd = _formats.need("dask.dataframe", "dunvel.to_dask")
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must be a list of paths, not one {type(paths).__name__}: to_dask([path]) reads one")
    given = [os.fsdecode(os.fspath(path)) for path in paths]
    if not given:
        raise ValueError("paths is empty: give at least one plot file")
    # A bad argument fails here, once, rather than on every worker.
    dunvel._width_argument(width)
    dunvel._threads_argument(threads)
    dunvel._incomplete_argument(incomplete)
    _sources.check_compression(compression)
    chosen = _selection.selection(names, steps, time)
    # Once, as a tuple: an iterator of names would be used up by the check.
    selected = None if chosen is None else chosen.names
    # Absolute, so that a worker whose folder is not the client's reads the same files.
    located = [os.path.abspath(path) for path in given]
    runs = run_names(located)
    with dunvel.open(located[0], width, names=selected, incomplete=incomplete, compression=compression) as reader:
        header = reader.names
    columns = _formats.unique_names(header, ["run", "time"])
    options = {
        "width": width,
        "names": selected,
        "steps": steps,
        "time": time,
        "threads": threads,
        "incomplete": incomplete,
        "compression": compression,
    }
    empty = frame(
        "",
        columns,
        np.empty(0, np.float64),
        np.empty((0, len(header)), np.float32),
        np.empty(0, np.int64),
    )
    read_run = ReadRun(located[0], header, columns, options)
    lazy: dask.dataframe.DataFrame = dd.from_map(read_run, located, runs, meta=empty, label="dunvel-read")
    return lazy
