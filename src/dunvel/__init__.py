"""DUNVEL plot files as NumPy arrays.

    >>> plot = dunvel.read("run42.plt")
    >>> plot.values.shape                 # (steps, parameters), float32
    >>> plot["PRES-CORE"]                 # one column, a view
    >>> plot.times                        # float64, from the block-start lines

The values are exactly those that ``olvane.rust_read_dunvel`` returns for the
same file and width: each field rounded once, correctly, to binary32. The file
is read and parsed with the interpreter lock released, so ``read_many`` reads
files on threads side by side.

    >>> dunvel.read("run42.plt.gz")       # compressed, told by its content
    >>> with dunvel.open("big.plt") as reader:
    ...     for chunk in reader.chunks(10_000):   # a file larger than memory
    ...         ...
    >>> for new in dunvel.follow("running.plt", idle_timeout=600):
    ...     ...                           # the steps of a run as they come
    >>> frame = dunvel.to_dask(paths)     # many runs as one Dask DataFrame
    >>> dunvel.plot(["run42.plt", "run43.plt"], "PRES_*", out="runs.html")
"""

from __future__ import annotations

import builtins
import os
import time as _time
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Protocol, Union, cast, overload

import numpy as np
import numpy.typing as npt

from dunvel import _formats, _native, _selection, _sources
from dunvel._selection import Names, Steps, TimeWindow
from dunvel._sources import Compression

if TYPE_CHECKING:
    # All optional; pandas is typed only with pandas-stubs, pyarrow only with
    # its own stubs.
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import polars  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import xarray  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from typing_extensions import Self

__all__ = [
    "Comparison",
    "Plot",
    "PlotFileError",
    "PlotReader",
    "compare",
    "follow",
    "open",
    "plot",
    "read",
    "read_many",
    "to_dask",
]

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class BinaryReadable(Protocol):
    """A binary file object that dunvel can read: one with read(size)."""

    def read(self, size: int, /) -> bytes: ...


class BinaryReadableInto(Protocol):
    """A binary file object that dunvel can read: one with readinto(buffer)."""

    def readinto(self, buffer: Any, /) -> int | None: ...


# A path, or a binary file object: anything with readinto or read.
Source = Union[StrPath, BinaryReadable, BinaryReadableInto]


ErrorKind = Literal[
    "encoding",
    "count",
    "header",
    "incomplete",
    "field",
    "short-line",
    "width",
    "too-large",
    "compressed",
    "changed",
]


class PlotFileError(ValueError):
    """A plot file whose content the reader refuses. ``str(e)`` is
    ``"<path>, line <line>: <message>"``.

    ``kind`` tells what is wrong: ``"encoding"`` (bytes that are not UTF-8),
    ``"count"`` (the first line does not end with the number of parameters),
    ``"header"`` (the file ends in its header, or is empty),
    ``"incomplete"`` (the file ends inside a step: a run cut while writing;
    ``incomplete="keep"`` reads the steps before it), ``"field"`` (a field
    that is not a number), ``"short-line"`` (a data line too short for its
    fields), ``"width"`` (no width given, and the first data line fits
    neither 12 nor 15), ``"too-large"`` (more parameters than a plot can
    hold), ``"compressed"`` (compressed data, with ``compression=None``) or
    ``"changed"`` (a growing file that was replaced, cut or rewritten under
    its reader).

    ``line`` is the 1-based line of the problem (where the file ends too
    early, its last line; 0 for an empty file), ``column`` the 1-based byte
    column where the problem starts in it (or None), ``text`` the offending
    text (or None)."""

    path: str
    line: int
    message: str
    kind: ErrorKind
    column: int | None
    text: str | None

    def __init__(
        self,
        path: str,
        line: int,
        message: str,
        kind: ErrorKind,
        column: int | None = None,
        text: str | None = None,
    ) -> None:
        super().__init__(f"{path}, line {line}: {message}")
        self.path = path
        self.line = line
        self.message = message
        self.kind = kind
        self.column = column
        self.text = text

    def __reduce__(self) -> tuple[type[PlotFileError], tuple[str, int, str, ErrorKind, int | None, str | None]]:
        # The default would call the class with the one formatted text.
        return type(self), (self.path, self.line, self.message, self.kind, self.column, self.text)


class Plot:
    """The content of one plot file, laid out as a pandas user expects:
    ``names`` (the columns), ``times`` (float64, one per step, NaN where a
    block-start line holds no time), ``values`` (float32, shape (steps,
    parameters)), ``steps`` (int64, the 0-based number of each step in the
    file) and ``complete`` (False when the file ended inside a step, which
    was then left out; None when a selection's last step ended the read,
    and what followed it was not looked at).

    ``len(plot)`` is the number of steps and iterating gives the names, as
    for a DataFrame. ``plot[name]`` is that column as a view into ``values``;
    ``plot[[name, ...]]`` is a new Plot of those columns in that order, with
    its own copy of the arrays (a name the header holds twice gives both
    columns). ``name in plot`` tells whether the header holds it. Plots
    pickle, and compare equal when their arrays hold the same bits."""

    __slots__ = ("_columns", "_steps", "complete", "names", "path", "times", "values", "width")

    path: str
    width: int
    names: tuple[str, ...]
    times: npt.NDArray[np.float64]
    values: npt.NDArray[np.float32]
    complete: bool | None

    def __init__(
        self,
        path: str,
        width: int,
        names: tuple[str, ...],
        times: npt.NDArray[np.float64],
        values: npt.NDArray[np.float32],
        steps: npt.NDArray[np.int64] | None = None,
        complete: bool | None = True,
    ) -> None:
        self.path = path
        self.width = width
        self.names = names
        self.times = times
        self.values = values
        self._steps = steps
        self.complete = complete
        columns: dict[str, list[int]] = {}
        for index, name in enumerate(names):
            columns.setdefault(name, []).append(index)
        self._columns = columns

    @property
    def steps(self) -> npt.NDArray[np.int64]:
        """The 0-based number of each step in the file (int64)."""
        # Made when first asked for: a read makes no array but its own two.
        if self._steps is None:
            self._steps = np.arange(self.values.shape[0], dtype=np.int64)
        return self._steps

    @property
    def n_steps(self) -> int:
        return int(self.values.shape[0])

    @property
    def n_parameters(self) -> int:
        return int(self.values.shape[1])

    def __len__(self) -> int:
        return self.n_steps

    def __iter__(self) -> Iterator[str]:
        return iter(self.names)

    def _indices(self, name: object) -> list[int]:
        """The columns of one name, in header order."""
        if not isinstance(name, str):
            raise _selection.MissingName(
                name,
                f"{name!r} is not a name: names are str, not {type(name).__name__}"
                " (plot[[name, ...]] takes a list of them)",
            )
        indices = self._columns.get(name)
        if indices is None:
            raise _selection.missing_name(name, self._columns, self.path)
        return indices

    @overload
    def __getitem__(self, key: str) -> npt.NDArray[np.float32]: ...
    @overload
    def __getitem__(self, key: list[str]) -> Plot: ...
    def __getitem__(self, key: str | list[str]) -> npt.NDArray[np.float32] | Plot:
        if isinstance(key, list):
            selected = [index for name in key for index in self._indices(name)]
            return Plot(
                self.path,
                self.width,
                tuple(self.names[index] for index in selected),
                self.times.copy(),
                self.values.take(np.array(selected, dtype=np.intp), axis=1),
                self.steps.copy(),
                self.complete,
            )
        indices = self._indices(key)
        if len(indices) > 1:
            raise KeyError(
                f"{key!r} names {len(indices)} parameters (columns "
                f"{', '.join(map(str, indices))}); take one from plot.values[:, column]"
            )
        return self.values[:, indices[0]]

    def __contains__(self, name: object) -> bool:
        return name in self._columns

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Plot) or type(other) is not type(self):
            return NotImplemented
        return (
            (self.path, self.width, self.names, self.complete)
            == (other.path, other.width, other.names, other.complete)
            and self._same_bits(self.times, other.times)
            and self._same_bits(self.values, other.values)
            and self._same_bits(self.steps, other.steps)
        )

    @staticmethod
    def _same_bits(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> bool:
        # As bytes, so that NaNs (with their payloads) match and -0.0 does not match 0.0.
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
        return bool(np.array_equal(a.view(np.uint8), b.view(np.uint8)))

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Plot], tuple[object, ...]]:
        # Through the constructor, so that the name index is built again
        # rather than carried along.
        return type(self), (
            self.path,
            self.width,
            self.names,
            self.times,
            self.values,
            self._steps,
            self.complete,
        )

    def __repr__(self) -> str:
        parameters = self.n_parameters
        steps = self.n_steps
        text = (
            f"<dunvel.Plot {os.path.basename(self.path)!r}: "
            f"{parameters} parameter{'' if parameters == 1 else 's'} x "
            f"{steps} step{'' if steps == 1 else 's'}, width {self.width}"
        )
        if steps and not np.isnan(self.times[[0, -1]]).any():
            text += f", time {self.times[0]:g} .. {self.times[-1]:g}"
        return text + (", incomplete" if self.complete is False else "") + ">"

    def drop_restarts(self) -> Plot:
        """The plot without the steps that a restart superseded. A run
        restarted from an earlier time writes steps whose times go back: a
        step whose time is below the time of the last step before it that
        has one is a restart to its time, and every earlier step at or
        after that time is left out. Equal times without a step back are
        kept, and so is every step without a time (which restarts nothing).
        Restarts within restarts are all undone; ``steps`` keeps the step
        numbers of the rows kept. Where nothing is left out, a new Plot of
        the same arrays."""
        return _compare.drop_restarts(self)

    def to_pandas(self) -> pandas.DataFrame:
        """The values as a DataFrame (float32 kept, sharing ``values``), one
        column per name, indexed by the times ("time"), or by ``steps``
        ("step") where any step has no time."""
        return _formats.to_pandas(self)

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow Table: a "time" column (float64, NaN where a step has no
        time), then one float32 column per name, as the header has them (a
        name the header holds twice is two columns of that name); the width
        and the path in the schema's metadata. The times are shared, the
        values copied."""
        return _formats.to_arrow(self)

    def to_polars(self) -> polars.DataFrame:
        """A polars DataFrame: a "time" column (float64), then one float32
        column per name, a name the header holds twice (or "time") getting
        pandas' suffixes (".1", ".2", ...). The times are shared, the values
        copied."""
        return _formats.to_polars(self)

    def to_xarray(self) -> xarray.Dataset:
        """An xarray Dataset: one float32 variable per name along "time"
        (along "step", with "time" a coordinate beside it, where any step
        has no time), named as for ``to_polars`` ("step" reserved too), the
        header's name in its ``long_name``; the width and the path as
        attributes. The variables share ``values``."""
        return _formats.to_xarray(self)


def _width_argument(width: int | None) -> int:
    """0 for "find it", else the width itself, checked."""
    if width is None:
        return 0
    if isinstance(width, bool) or not isinstance(width, int):
        raise TypeError(f"width must be an int or None, not {type(width).__name__}")
    if width <= 0:
        raise ValueError(f"width must be positive, not {width}")
    if width > 0xFFFFFFFF:
        raise OverflowError(f"width must be at most 4294967295, not {width}")
    return width


def _incomplete_argument(incomplete: str) -> bool:
    """Whether a cut last step is left out."""
    if incomplete not in ("raise", "keep"):
        raise ValueError(f"incomplete must be 'raise' or 'keep', not {incomplete!r}")
    return incomplete == "keep"


def _raise_reader_error(failure: Exception, display: str, filename: object) -> None:
    """The exception of a native reader failure."""
    kind, code, line, problem, column, text, message = failure.args
    if kind == "content":
        raise PlotFileError(display, line, message, cast(ErrorKind, problem), column, text) from None
    raise OSError(code, os.strerror(code), filename) from None


def _is_path(source: object) -> bool:
    return isinstance(source, (str, bytes, os.PathLike))


def _path_arguments(path: StrPath) -> tuple[str | bytes, bytes, str]:
    """The path as given to the system, as bytes for the native reader, and as shown."""
    filename = os.fspath(path)
    encoded = os.fsencode(filename)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    return filename, encoded, os.fsdecode(filename)


def _plot(
    display: str,
    width: int,
    names: tuple[str, ...],
    times: Any,
    values: Any,
    steps: npt.NDArray[np.int64] | None,
    complete: bool | None,
) -> Plot:
    time_array = np.frombuffer(memoryview(times), dtype=np.float64)
    value_array = np.frombuffer(memoryview(values), dtype=np.float32).reshape(time_array.shape[0], len(names))
    return Plot(display, width, names, time_array, value_array, steps, complete)


def _usable_cores() -> int:
    """The cores that this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _threads_argument(threads: int | None) -> int:
    """How many threads a read may parse on: None, as many as the process may use."""
    if threads is None:
        return _usable_cores()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return min(threads, 1024)


def read(
    path: Source,
    width: int | None = None,
    *,
    names: Names | None = None,
    steps: Steps | None = None,
    time: TimeWindow | None = None,
    threads: int | None = None,
    incomplete: Literal["raise", "keep"] = "raise",
    compression: Compression = "infer",
) -> Plot:
    """Reads one plot file. ``width`` is the field width (12 or 15 in the
    two variants, or any positive width); None finds it from the first data
    line, which must then hold its fields at 12 or at 15 characters each.

    ``path`` may also be a binary file object (anything with ``readinto``
    or ``read``: ``open(p, "rb")``, ``io.BytesIO``, ``sys.stdin.buffer``,
    ``gzip.open(...)``), which is read in pieces, from the calling thread
    only, to its end, and never closed. The plot's ``path`` is then the
    object's ``name`` where that is a str, else ``"<stream>"``.

    ``compression="infer"`` decompresses gzip, bzip2, xz and zstd content
    (zstd with the ``zstandard`` package: ``pip install 'olvane[zstd]'``),
    told by its first bytes, not by the file's name; ``None`` takes the
    bytes as they are (compressed content then fails as kind
    "compressed"); "gzip", "bz2", "xz" or "zstd" insist on one.

    A file that ends inside a step (a run that crashed or is still writing,
    or a compressed file cut short) raises PlotFileError of kind
    "incomplete"; ``incomplete="keep"`` reads the complete steps before it
    instead, and the plot's ``complete`` is False. A step whose lines are
    all whole is complete, even where the file's last line lacks its line
    feed.

    ``names``, ``steps`` and ``time`` read part of a file, parsing nothing
    else:

    - ``names``: a name or a list of them, each an exact parameter name or,
      where the header holds no such name, a glob pattern (``*``, ``?``,
      ``[...]``, case-sensitive, against the whole name). The plot holds
      every parameter selected, once each, in header order; a name or
      pattern that selects none raises KeyError, naming close names.
    - ``steps``: a slice or range of 0-based step numbers (``slice(None,
      None, 10)``: every tenth). With a stop, the read ends after the last
      step selected, what follows is not read at all, and ``complete`` is
      None.
    - ``time``: ``(t0, t1)``, the steps whose time lies in ``[t0, t1]``
      (never one without a time). Times may go back after a restart, so the
      whole file is read.

    With both, the steps that both select; ``Plot.steps`` gives their
    numbers. The values are those of a full read, to the bit. A field that
    is not selected is not checked, nor is a step that is not selected
    beyond its lines, which must still be UTF-8 and laid out as steps; only
    the file's last line, where it lacks its line feed, is read whole, to
    tell whether the end cut its step.

    A regular file of 8 MiB or more is parsed on ``threads`` threads (None:
    as many as the process may run on; 1: the calling thread's alone), each
    reading a part of it, to the same bits and with the same failures as
    one thread; smaller files, file objects and compressed content are
    parsed on one.

    Raises the OSError subclass of the system's error when the file cannot
    be opened or read (FileNotFoundError, IsADirectoryError, ...),
    PlotFileError for content that the reader refuses, MemoryError when
    memory runs out, ValueError for a NUL in the path or a width below 1;
    what a file object raises reaches the caller unchanged."""
    keep = _incomplete_argument(incomplete)
    native_width = _width_argument(width)
    _sources.check_compression(compression)
    chosen = _selection.selection(names, steps, time)
    parsers = _threads_argument(threads)
    if _is_path(path) and compression in ("infer", None) and chosen is None:
        filename, encoded, display = _path_arguments(cast(StrPath, path))
        try:
            header, times, values, _count, used_width, complete = _native.read(encoded, native_width, keep, parsers)
        except _native.ReaderError as failure:
            if compression is None or failure.args[3] != "compressed":
                _raise_reader_error(failure, display, filename)
        else:
            return _plot(display, used_width, header, times, values, None, complete)
    with open(path, width, names=names, steps=steps, time=time, incomplete=incomplete, compression=compression) as reader:
        return reader._read(None, parsers)


class PlotReader:
    """A plot file read a run of steps at a time: made by ``dunvel.open``,
    which has read its header. ``path`` and ``names`` are the file's,
    ``width`` its field width (None until the first data line is read).

    ``read(max_steps)`` returns the next steps as a Plot whose ``steps``
    give their numbers in the file; ``chunks(steps)`` iterates over the
    rest in plots of at most that many steps, so that a file larger than
    memory can be reduced a chunk at a time. With a selection (see
    ``open``), ``names`` are the names selected, the steps counted are
    those selected, and past the last step that ``steps`` allows, reads
    return no steps. A context manager: leaving it closes what the reader
    opened (never a caller's file object).

    A growing reader (``growing=True``) reads a file that is still being
    written: each ``read`` returns the steps written whole since the last
    (none, rather than a failure, where no new step is whole yet), and first
    checks that the file is still the one it read. It raises PlotFileError
    of kind "changed" where the path names another file now, the file is
    shorter than what was read, or its header or the bytes of the last step
    read differ. No check can see a file rewritten in place, at least as
    long, with the same header and the same bytes at the last step read.

    A reader is for one thread at a time; after a failure it is closed."""

    path: str
    names: tuple[str, ...]

    def __init__(
        self, native: Any, path: str, width: int | None, owned: Any = None, names: tuple[str, ...] | None = None
    ) -> None:
        self._native = native
        self.path = path
        self.names = native.names if names is None else names
        self._given_width = width
        self._owned = owned

    @property
    def width(self) -> int | None:
        if self._native is None:
            return self._given_width
        return self._native.width or None

    @property
    def closed(self) -> bool:
        return self._native is None

    def read(self, max_steps: int | None = None) -> Plot:
        """The next steps, at most ``max_steps`` (None: all that there are)."""
        if max_steps is not None:
            if isinstance(max_steps, bool) or not isinstance(max_steps, int):
                raise TypeError(f"max_steps must be an int or None, not {type(max_steps).__name__}")
            if max_steps < 1:
                raise ValueError(f"max_steps must be at least 1, not {max_steps}")
        return self._read(max_steps, 1)

    def _read(self, max_steps: int | None, threads: int) -> Plot:
        native = self._native
        if native is None:
            raise ValueError(f"read from a closed PlotReader of {self.path!r}")
        try:
            if max_steps is None and threads > 1:
                times, values, numbers, first, complete = native.read_all(threads)
            else:
                times, values, numbers, first, complete = native.read(max_steps or 0)
        except _native.ReaderError as failure:
            self.close()
            _raise_reader_error(failure, self.path, self.path)
            raise  # not reached: for type checkers
        except BaseException:
            self.close()
            raise
        if numbers is None:
            steps = np.arange(first, first + len(memoryview(times)) // 8, dtype=np.int64)
        else:
            steps = np.frombuffer(memoryview(numbers), dtype=np.int64)
        width = native.width or self._given_width or 12
        return _plot(self.path, width, self.names, times, values, steps, complete)

    def chunks(self, steps: int) -> Iterator[Plot]:
        """The rest of the steps, in plots of at most ``steps`` steps each."""
        if isinstance(steps, bool) or not isinstance(steps, int):
            raise TypeError(f"steps must be an int, not {type(steps).__name__}")
        if steps < 1:
            raise ValueError(f"steps must be at least 1, not {steps}")
        return self._chunks(steps)

    def _chunks(self, steps: int) -> Iterator[Plot]:
        while True:
            chunk = self.read(steps)
            # An empty chunk only to say that the file ended inside a step.
            if len(chunk) or chunk.complete is False:
                yield chunk
            # None: past the last step selected.
            if len(chunk) < steps or chunk.complete is None:
                return

    def _take_end_as_final(self) -> None:
        """From now on the end of the file is its end: a last step that
        lacks only its line feed is read, a cut one left out."""
        if self._native is not None:
            self._native.take_end_as_final()

    def close(self) -> None:
        native, self._native = self._native, None
        if native is not None:
            native.close()
        owned, self._owned = self._owned, None
        if owned is not None:
            owned.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._native is None else f"next step {self._native.next_step}"
        return f"<dunvel.PlotReader {os.path.basename(self.path)!r}: {len(self.names)} parameters, {state}>"


def open(
    path: Source,
    width: int | None = None,
    *,
    names: Names | None = None,
    steps: Steps | None = None,
    time: TimeWindow | None = None,
    growing: bool = False,
    incomplete: Literal["raise", "keep"] = "raise",
    compression: Compression = "infer",
) -> PlotReader:
    """Reads the header of a plot file and returns a PlotReader for its
    steps. ``path``, ``width``, ``names``, ``steps``, ``time``,
    ``incomplete`` and ``compression`` are as for ``read`` (a name that the
    header lacks raises KeyError here); ``growing=True`` (paths only, read
    as they are) reads a file that is still being written (see
    PlotReader). Raises as ``read`` does for the header; a growing file
    whose header is not whole yet raises PlotFileError of kind "header"."""
    keep = _incomplete_argument(incomplete)
    native_width = _width_argument(width)
    _sources.check_compression(compression)
    chosen = _selection.selection(names, steps, time)
    if not isinstance(growing, bool):
        raise TypeError(f"growing must be a bool, not {type(growing).__name__}")
    if not _is_path(path):
        if growing:
            raise TypeError("growing=True reads a path; a file object cannot be told to have grown")
        return _open_stream(path, _sources.stream_name(path), width, keep, compression, None, chosen)
    filename, encoded, display = _path_arguments(cast(StrPath, path))
    if growing and compression not in ("infer", None):
        raise ValueError(f"a growing file is read as it is: compression must be 'infer' or None, not {compression!r}")
    if compression in ("infer", None):
        try:
            native = _native.open(encoded, False, b"", native_width, keep, growing)
        except _native.ReaderError as failure:
            if growing or compression is None or failure.args[3] != "compressed":
                _raise_reader_error(failure, display, filename)
        else:
            return _selecting_reader(native, display, width, None, chosen)
    # The reader owns it, and closes it with itself.
    stream = builtins.open(filename, "rb")  # noqa: SIM115
    try:
        return _open_stream(stream, display, width, keep, compression, stream, chosen)
    except BaseException:
        stream.close()
        raise


def _selecting_reader(
    native: Any, display: str, width: int | None, owned: Any, chosen: _selection.Selection | None
) -> PlotReader:
    """A PlotReader of a native reader whose header has been read, told what to keep."""
    try:
        names = _selection.apply(native, chosen, display)
    except BaseException:
        native.close()
        raise
    return PlotReader(native, display, width, owned, names)


def _open_stream(
    stream: Any,
    display: str,
    width: int | None,
    keep: bool,
    compression: Compression,
    owned: Any,
    chosen: _selection.Selection | None,
) -> PlotReader:
    method, into = _sources.binary_reader(stream)
    head = b""
    if compression is not None:
        if compression == "infer":
            head = _sources.read_head(_sources.read_bytes(method, into))
            compression = cast(Compression, _sources.format_of(head))
        if compression is not None:
            decompressing = _sources.Decompressing(_sources.read_bytes(method, into), compression, display, head)
            method, into, head = decompressing.readinto, True, b""
    try:
        native = _native.open(method, into, head, _width_argument(width), keep, False)
    except _native.ReaderError as failure:
        _raise_reader_error(failure, display, display)
        raise  # not reached: for type checkers
    return _selecting_reader(native, display, width, owned, chosen)


def follow(
    path: StrPath,
    width: int | None = None,
    *,
    names: Names | None = None,
    steps: Steps | None = None,
    time: TimeWindow | None = None,
    interval: float = 1.0,
    idle_timeout: float | None = None,
) -> Iterator[Plot]:
    """The steps of a run as its simulation writes them: yields a Plot of
    the new steps each time some have been written whole, looking every
    ``interval`` seconds. Waits for a file that does not exist yet, or whose
    header is not whole yet (raising the last failure if ``idle_timeout``
    passes first). Stops when no step has come for ``idle_timeout``
    seconds (None: never; stop iterating instead), and then takes the end
    of the file as final, so that a last step that lacks only its line feed
    comes too. Raises PlotFileError of kind "changed" where the file is
    replaced or cut under it (see PlotReader). ``names``, ``steps`` and
    ``time`` are as for ``read``: with a stop in ``steps``, following ends
    once its last step has come."""
    if isinstance(interval, bool) or not isinstance(interval, (int, float)) or not interval > 0:
        raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
    if idle_timeout is not None and (
        isinstance(idle_timeout, bool) or not isinstance(idle_timeout, (int, float)) or not idle_timeout >= 0
    ):
        raise ValueError(f"idle_timeout must be None or a number of seconds, not {idle_timeout!r}")
    _width_argument(width)
    _selection.selection(names, steps, time)
    return _follow(path, width, float(interval), idle_timeout, {"names": names, "steps": steps, "time": time})


def _follow(
    path: StrPath, width: int | None, interval: float, idle_timeout: float | None, chosen: dict[str, Any]
) -> Iterator[Plot]:
    since = _time.monotonic()
    while True:
        try:
            reader = open(path, width, growing=True, **chosen)
            break
        except (FileNotFoundError, PlotFileError) as failure:
            if isinstance(failure, PlotFileError) and failure.kind != "header":
                raise
            if idle_timeout is not None and _time.monotonic() - since >= idle_timeout:
                raise
        _time.sleep(interval)
    with reader:
        since = _time.monotonic()
        while True:
            plot = reader.read()
            if len(plot):
                yield plot
                since = _time.monotonic()
            if plot.complete is None:
                return
            if not len(plot) and idle_timeout is not None and _time.monotonic() - since >= idle_timeout:
                reader._take_end_as_final()
                last = reader.read()
                if len(last):
                    yield last
                return
            _time.sleep(interval)


@overload
def read_many(
    paths: Iterable[StrPath],
    width: int | None = ...,
    *,
    names: Names | None = ...,
    steps: Steps | None = ...,
    time: TimeWindow | None = ...,
    threads: int | None = ...,
    errors: Literal["raise"] = ...,
    incomplete: Literal["raise", "keep"] = ...,
) -> list[Plot]: ...
@overload
def read_many(
    paths: Iterable[StrPath],
    width: int | None = ...,
    *,
    names: Names | None = ...,
    steps: Steps | None = ...,
    time: TimeWindow | None = ...,
    threads: int | None = ...,
    errors: Literal["return"],
    incomplete: Literal["raise", "keep"] = ...,
) -> list[Plot | Exception]: ...
def read_many(
    paths: Iterable[StrPath],
    width: int | None = None,
    *,
    names: Names | None = None,
    steps: Steps | None = None,
    time: TimeWindow | None = None,
    threads: int | None = None,
    errors: Literal["raise", "return"] = "raise",
    incomplete: Literal["raise", "keep"] = "raise",
) -> Sequence[Plot | Exception]:
    """Reads many plot files on a pool of threads, which read side by side,
    and returns the plots in the order of paths: at most ``threads`` parse
    at once in all (None: as many as the process may run on), shared among
    the files, so that fewer files than threads are each read on several.
    errors="raise" raises the first failure in that order;
    errors="return" puts each failure's exception in its file's place.
    names, steps, time and incomplete are read's, for every file."""
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
    budget = _threads_argument(threads)
    todo = list(paths)
    # A bad width, selection or incomplete fails once, before any file.
    _width_argument(width)
    _selection.selection(names, steps, time)
    _incomplete_argument(incomplete)
    if not todo:
        return []
    workers = min(budget, len(todo))
    # A file's read parses on its pool thread and on threads of its own: the
    # budget is shared, so that no more than it parse at once in all.
    per_file = budget // workers
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="dunvel") as pool:
        futures = [
            pool.submit(
                read, path, width, names=names, steps=steps, time=time, threads=per_file, incomplete=incomplete
            )
            for path in todo
        ]
        results: list[Plot | Exception] = []
        for future in futures:
            failure = future.exception()
            if failure is None:
                results.append(future.result())
            elif errors == "return" and isinstance(failure, Exception):
                results.append(failure)
            else:
                for rest in futures:
                    rest.cancel()
                raise failure
    return results


# Last: the comparison and the Dask frame build on Plot and read.
from dunvel import _compare
from dunvel._compare import Comparison, compare
from dunvel._dask import to_dask
from dunvel._plots import plot
