"""What a read keeps of a plot file: parameters by name or glob pattern,
steps by number and by time. The arguments are checked before any file is
opened; names are matched against a header once it has been read, and the
native reader is told the header places, so that it parses nothing else."""

from __future__ import annotations

import difflib
import fnmatch
import math
import numbers
import operator
import os
from collections.abc import Iterable, Mapping
from typing import Any, NamedTuple, Union

# A name or pattern, or any list-like of them (a set too: the plot keeps
# header order whatever order they come in).
Names = Union[str, Iterable[str]]
Steps = Union[slice, range]
TimeWindow = tuple[float, float]


class MissingName(KeyError):
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

    def __reduce__(self) -> tuple[type[MissingName], tuple[object, str]]:
        # The default would call the class with args alone, without the message.
        return type(self), (self.args[0], self.message)


def missing_name(name: str, names: Iterable[str], path: str) -> MissingName:
    """The KeyError of a name (or a pattern) that selects none of names."""
    pattern = any(c in name for c in "*?[")
    where = os.path.basename(path)
    message = f"{name!r} matches no name in {where!r}" if pattern else f"{name!r} is not a name in {where!r}"
    close = difflib.get_close_matches(name, dict.fromkeys(names), n=3)
    if close:
        message += f"; close names: {', '.join(map(repr, close))}"
    return MissingName(name, message)


class Selection(NamedTuple):
    names: tuple[str, ...] | None
    first_step: int
    stop_step: int | None
    stride: int
    earliest: float | None
    latest: float | None


def selection(names: Names | None, steps: Steps | None, time: TimeWindow | None) -> Selection | None:
    """The selection that the arguments make, checked; None for all of a file."""
    if names is None and steps is None and time is None:
        return None
    first, stop, stride = _steps(steps) if steps is not None else (0, None, 1)
    earliest, latest = _time(time) if time is not None else (None, None)
    return Selection(_names(names) if names is not None else None, first, stop, stride, earliest, latest)


def _names(names: object) -> tuple[str, ...]:
    if isinstance(names, str):
        return (names,)
    if isinstance(names, (bytes, bytearray, memoryview, Mapping)) or not isinstance(names, Iterable):
        raise TypeError(f"names must be a str or a list of str, not {type(names).__name__}")
    chosen = tuple(names)
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError(f"names must be str, not {type(name).__name__}: {name!r}")
    if not chosen:
        raise ValueError("names is empty: give at least one name, or None for every parameter")
    return chosen


def _steps(steps: object) -> tuple[int, int | None, int]:
    first: int
    stop: int | None
    stride: int
    if isinstance(steps, range):
        first, stop, stride = steps.start, steps.stop, steps.step
    elif isinstance(steps, slice):
        try:
            first = 0 if steps.start is None else operator.index(steps.start)
            stop = None if steps.stop is None else operator.index(steps.stop)
            stride = 1 if steps.step is None else operator.index(steps.step)
        except TypeError:
            raise TypeError(f"steps must be a slice of ints, not {steps!r}") from None
    else:
        raise TypeError(f"steps must be a slice or a range of step numbers, not {type(steps).__name__}")
    if first < 0 or (stop is not None and stop < 0) or stride < 1:
        raise ValueError(
            f"steps must count from 0 forwards (a start and stop of at least 0, a step of at least 1), not {steps!r}"
        )
    return first, stop, stride


def _time(time: object) -> tuple[float, float]:
    if isinstance(time, (str, bytes)) or not isinstance(time, Iterable):
        raise TypeError(f"time must be a pair (t0, t1) of numbers, not {type(time).__name__}")
    bounds: Any = tuple(time)
    if len(bounds) != 2 or not all(isinstance(t, numbers.Real) and not isinstance(t, bool) for t in bounds):
        raise TypeError(f"time must be a pair (t0, t1) of numbers, not {time!r}")
    earliest, latest = float(bounds[0]), float(bounds[1])
    if math.isnan(earliest) or math.isnan(latest) or earliest > latest:
        raise ValueError(f"time must be a window (t0, t1) with t0 <= t1, neither NaN, not {time!r}")
    return earliest, latest


def columns(names: tuple[str, ...], header: tuple[str, ...], path: str) -> tuple[int, ...]:
    """The header places that names select, ascending, each once."""
    places: dict[str, list[int]] = {}
    for place, name in enumerate(header):
        places.setdefault(name, []).append(place)
    chosen: set[int] = set()
    for name in names:
        exact = places.get(name)
        if exact is not None:
            chosen.update(exact)
            continue
        matched = [place for place, held in enumerate(header) if fnmatch.fnmatchcase(held, name)]
        if not matched:
            raise missing_name(name, header, path)
        chosen.update(matched)
    return tuple(sorted(chosen))


def apply(native: Any, chosen: Selection | None, path: str) -> tuple[str, ...]:
    """Tells a native reader what to keep; returns the names it keeps."""
    names: tuple[str, ...] = native.names
    if chosen is None:
        return names
    parameters = None
    if chosen.names is not None:
        parameters = columns(chosen.names, names, path)
        names = tuple(names[place] for place in parameters)
    native.select(parameters, chosen.first_step, chosen.stop_step, chosen.stride, chosen.earliest, chosen.latest)
    return names
