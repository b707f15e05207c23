"""DUNVEL plot files as NumPy arrays.

    >>> plot = dunvel.read("run42.plt")
    >>> plot.values.shape                 # (steps, parameters), float32
    >>> plot["PRES-CORE"]                 # one column, a view
    >>> plot.times                        # float64, from the block-start lines

The values are exactly those that ``olvane.rust_read_dunvel`` returns for the
same file and width: each field rounded once, correctly, to binary32. The file
is read and parsed with the interpreter lock released, so ``read_many`` reads
files on threads side by side.
"""

from __future__ import annotations

import difflib
import os
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Literal, Union, cast, overload

import numpy as np
import numpy.typing as npt

from dunvel import _native

if TYPE_CHECKING:
    # pandas is optional, and typed only with pandas-stubs.
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

__all__ = ["Plot", "PlotFileError", "read", "read_many"]

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


ErrorKind = Literal[
    "encoding", "count", "header", "incomplete", "field", "short-line", "width", "too-large", "compressed"
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
    hold) or ``"compressed"`` (compressed data, not text).

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


class _MissingName(KeyError):
    """A name that a plot does not hold. ``args`` is ``(name,)``, as for any
    KeyError, so code that reads the key keeps working; ``str()`` is the
    message itself, which a traceback shows as is (KeyError's own str() is
    the repr of its argument, in quotes)."""

    message: str

    def __init__(self, name: object, message: str) -> None:
        super().__init__(name)
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> tuple[type[_MissingName], tuple[object, str]]:
        # The default would call the class with args alone, without the message.
        return type(self), (self.args[0], self.message)


class Plot:
    """The content of one plot file, laid out as a pandas user expects:
    ``names`` (the columns), ``times`` (float64, one per step, NaN where a
    block-start line holds no time), ``values`` (float32, shape (steps,
    parameters)), ``steps`` (int64, the 0-based number of each step in the
    file) and ``complete`` (False when the file ended inside a step, which
    was then left out).

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
    complete: bool

    def __init__(
        self,
        path: str,
        width: int,
        names: tuple[str, ...],
        times: npt.NDArray[np.float64],
        values: npt.NDArray[np.float32],
        steps: npt.NDArray[np.int64] | None = None,
        complete: bool = True,
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
            raise _MissingName(
                name,
                f"{name!r} is not a name: names are str, not {type(name).__name__}"
                " (plot[[name, ...]] takes a list of them)",
            )
        indices = self._columns.get(name)
        if indices is None:
            close = difflib.get_close_matches(name, self._columns, n=3)
            message = f"{name!r} is not a name in {os.path.basename(self.path)!r}"
            if close:
                message += f"; close names: {', '.join(map(repr, close))}"
            raise _MissingName(name, message)
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
        return text + ("" if self.complete else ", incomplete") + ">"

    def to_pandas(self) -> pandas.DataFrame:
        """The values as a DataFrame (float32 kept), one column per name,
        indexed by the times ("time"), or by ``steps`` ("step") where any
        step has no time."""
        import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

        if np.isnan(self.times).any():
            if self._steps is None or np.array_equal(self._steps, np.arange(self.n_steps)):
                # Every step of the file: a RangeIndex, which holds no array.
                index = pandas.RangeIndex(self.n_steps, name="step")
            else:
                index = pandas.Index(self.steps, name="step")
        else:
            index = pandas.Index(self.times, name="time")
        return pandas.DataFrame(self.values, columns=list(self.names), index=index, copy=False)


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


def read(path: StrPath, width: int | None = None, *, incomplete: Literal["raise", "keep"] = "raise") -> Plot:
    """Reads one plot file. ``width`` is the field width (12 or 15 in the
    two variants, or any positive width); None finds it from the first data
    line, which must then hold its fields at 12 or at 15 characters each.

    A file that ends inside a step (a run that crashed or is still writing)
    raises PlotFileError of kind "incomplete"; ``incomplete="keep"`` reads
    the complete steps before it instead, and the plot's ``complete`` is
    False. A step whose lines are all whole is complete, even where the
    file's last line lacks its line feed.

    Raises the OSError subclass of the system's error when the file cannot
    be opened or read (FileNotFoundError, IsADirectoryError, ...),
    PlotFileError for content that the reader refuses, MemoryError when
    memory runs out, ValueError for a NUL in the path or a width below 1."""
    filename = os.fspath(path)
    encoded = os.fsencode(filename)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    display = os.fsdecode(filename)
    keep = _incomplete_argument(incomplete)
    try:
        names, times, values, count, used_width, complete = _native.read(encoded, _width_argument(width), keep)
    except _native.ReaderError as failure:
        kind, code, line, problem, column, text, message = failure.args
        if kind == "content":
            raise PlotFileError(display, line, message, cast(ErrorKind, problem), column, text) from None
        raise OSError(code, os.strerror(code), filename) from None
    time_array = np.frombuffer(memoryview(times), dtype=np.float64)
    value_array = np.frombuffer(memoryview(values), dtype=np.float32).reshape(time_array.shape[0], count)
    return Plot(display, used_width, names, time_array, value_array, complete=complete)


@overload
def read_many(
    paths: Iterable[StrPath],
    width: int | None = ...,
    *,
    threads: int | None = ...,
    errors: Literal["raise"] = ...,
    incomplete: Literal["raise", "keep"] = ...,
) -> list[Plot]: ...
@overload
def read_many(
    paths: Iterable[StrPath],
    width: int | None = ...,
    *,
    threads: int | None = ...,
    errors: Literal["return"],
    incomplete: Literal["raise", "keep"] = ...,
) -> list[Plot | Exception]: ...
def read_many(
    paths: Iterable[StrPath],
    width: int | None = None,
    *,
    threads: int | None = None,
    errors: Literal["raise", "return"] = "raise",
    incomplete: Literal["raise", "keep"] = "raise",
) -> Sequence[Plot | Exception]:
    """Reads many plot files on a pool of threads (os.cpu_count() of them
    unless told), which read side by side, and returns the plots in the
    order of paths. errors="raise" raises the first failure in that order;
    errors="return" puts each failure's exception in its file's place.
    incomplete is read's, for every file."""
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int)):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    todo = list(paths)
    # A bad width or incomplete fails once, before any file.
    _width_argument(width)
    _incomplete_argument(incomplete)
    if not todo:
        return []
    workers = min(threads or os.cpu_count() or 1, len(todo))
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="dunvel") as pool:
        futures = [pool.submit(read, path, width, incomplete=incomplete) for path in todo]
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

