"""The Python package's edges: to_pandas()'s index whatever times are
missing, read_many's arguments checked even with no path, and a failure in
a worker that is not an Exception (KeyboardInterrupt, SystemExit), which
read_many must raise, never hand back in a file's place."""

import json
import math

import pytest

import dunvel
from conftest import run_python


def plot_with_times(write_file, times):
    """One parameter, one step per entry: a block-start line holding the
    time, or none where the entry is None."""
    text = "1\na\n" + "".join(
        ("no time" if t is None else f"TIME {t!r}") + f"\n{float(i):12.5E}\n" for i, t in enumerate(times)
    )
    return dunvel.read(write_file(text))


# times -> the index's name and values ("step": 0-based, a RangeIndex)
INDEXES = [
    ([0.5, 1.5, 2.5], "time", [0.5, 1.5, 2.5]),
    ([None, 1.5, 2.5], "step", [0, 1, 2]),
    ([0.5, None, 2.5], "step", [0, 1, 2]),
    ([0.5, 1.5, None], "step", [0, 1, 2]),
    ([None, None, None], "step", [0, 1, 2]),
    ([None], "step", [0]),
    ([0.5, math.inf, -math.inf], "time", [0.5, math.inf, -math.inf]),  # infinite is not missing
    ([2.5, 0.5, 0.5], "time", [2.5, 0.5, 0.5]),  # as they come, repeats kept
    ([], "time", []),
]


@pytest.mark.parametrize("times, name, index", INDEXES)
def test_to_pandas_index(write_file, times, name, index):
    pandas = pytest.importorskip("pandas")
    plot = plot_with_times(write_file, times)
    frame = plot.to_pandas()
    assert (frame.index.name, frame.index.tolist(), len(frame.index)) == (name, index, len(times))
    assert isinstance(frame.index, pandas.RangeIndex) == (name == "step")
    # The values do not move with the index, and the times stay on the plot.
    assert frame["a"].tolist() == [float(i) for i in range(len(times))] == plot.values[:, 0].tolist()
    assert [None if math.isnan(t) else t for t in plot.times.tolist()] == times


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"width": 0}, ValueError, "width must be positive, not 0"),
        ({"width": "12"}, TypeError, "width must be an int or None, not str"),
        ({"width": 2**32}, OverflowError, "width must be at most 4294967295, not 4294967296"),
        ({"width": 0, "errors": "return"}, ValueError, "width must be positive, not 0"),
        ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return', not 'ignore'"),
        ({"threads": 0}, ValueError, "threads must be at least 1, not 0"),
        ({"threads": True}, TypeError, "threads must be an int or None, not bool"),
    ],
)
@pytest.mark.parametrize("paths", [[], iter(())], ids=["empty-list", "empty-iterator"])
def test_read_many_checks_its_arguments_without_paths(arguments, error, message, paths):
    # A bad argument is the caller's mistake whether or not a file came:
    # the list that happened to be empty today must not hide it.
    with pytest.raises(error) as caught:
        dunvel.read_many(paths, **arguments)
    assert (type(caught.value), str(caught.value)) == (error, message)


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_read_many_with_no_paths_is_an_empty_list(errors):
    assert dunvel.read_many(iter(()), 15, threads=3, errors=errors) == []


BASE_EXCEPTIONS = """
import json, sys, dunvel

class Stop(BaseException):
    pass

class Path:
    def __init__(self, raised):
        self.raised = raised
    def __fspath__(self):
        raise self.raised

good, bad = sys.argv[1], sys.argv[2]
RAISED = {"KeyboardInterrupt": KeyboardInterrupt, "SystemExit": lambda: SystemExit(3), "Stop": Stop,
          "RuntimeError": lambda: RuntimeError("an Exception")}
results = {}
for name, make in RAISED.items():
    for errors in ("raise", "return"):
        for place in ("first", "between", "last"):
            paths = {"first": [Path(make()), good, bad], "between": [good, Path(make()), bad],
                     "last": [good, bad, Path(make())]}[place]
            try:
                got = dunvel.read_many(paths, errors=errors, threads=2)
            except BaseException as error:
                outcome = "raised " + type(error).__name__
            else:
                outcome = "returned " + ", ".join(type(r).__name__ for r in got)
            results[f"{name} {errors} {place}"] = outcome
print(json.dumps(results))
"""


def test_failure_that_is_not_an_exception_is_raised(write_file):
    # KeyboardInterrupt, SystemExit and the like end the program, not one
    # file: returned in the file's place they would be swallowed. A child,
    # with a hard timeout, in case one leaves the pool waiting.
    good, bad = write_file("1\na\nt\n 1.00000E+00\n"), write_file("1\na\nt\n")
    done = run_python(BASE_EXCEPTIONS, good, bad, timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    got = json.loads(done.stdout)
    want = {}
    for name in ("KeyboardInterrupt", "SystemExit", "Stop", "RuntimeError"):
        for place in ("first", "between", "last"):
            # errors="raise": the first failure in order, the bad file's where it comes first.
            want[f"{name} raise {place}"] = "raised " + ("PlotFileError" if place == "last" else name)
            order = {"first": [name, "Plot", "PlotFileError"], "between": ["Plot", name, "PlotFileError"],
                     "last": ["Plot", "PlotFileError", name]}[place]
            want[f"{name} return {place}"] = (
                "returned " + ", ".join(order) if name == "RuntimeError" else f"raised {name}"
            )
    assert got == want
