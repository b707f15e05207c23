"""Plot as a pandas user expects it: len and iteration, steps as the
DataFrame's index."""

import numpy as np
import pytest

import dunvel

HEADER = ["PRES", "TEMP", "PRES", "FLOW", "VOID"]
ROWS = [[1.0, 2.0, 3.0, 4.5, 5.0], [6.0, 7.0, 8.0, 9.5, 10.0]]


def made(values=ROWS, names=HEADER, times=(0.5, 1.5), **options):
    values = np.array(values, dtype=np.float32).reshape(len(times), len(names))
    return dunvel.Plot(
        "dir/made.plt", 12, tuple(names), np.array(times, dtype=np.float64), values, **options
    )


@pytest.mark.parametrize(
    "content, steps, names",
    [
        ("2\na\nb\n", 0, ["a", "b"]),
        ("0\nTIME 1\nTIME 2\n", 2, []),
        ("0\n", 0, []),
        ("2\na\na\nt\n 1.00000E+00 2.00000E+00\n", 1, ["a", "a"]),
    ],
)
def test_len_is_steps_and_iteration_gives_names(write_file, content, steps, names):
    plot = dunvel.read(write_file(content))
    assert (len(plot), list(plot), plot.steps.tolist(), plot.complete) == (
        steps,
        names,
        list(range(steps)),
        True,
    )
    assert [name in plot for name in ("a", "b", "")] == [name in names for name in ("a", "b", "")]


def test_to_pandas_indexed_by_steps_where_a_time_is_missing():
    pytest.importorskip("pandas")
    steps = np.array([3, 4, 7], dtype=np.int64)
    frame = made([[1.0], [2.0], [3.0]], ["a"], [0.5, np.nan, 2.5], steps=steps).to_pandas()
    assert (frame.index.name, frame.index.tolist(), frame.loc[7, "a"]) == ("step", [3, 4, 7], 3.0)
    frame = made([[1.0], [2.0], [3.0]], ["a"], [0.5, 1.5, 2.5], steps=steps).to_pandas()
    assert (frame.index.name, frame.index.tolist()) == ("time", [0.5, 1.5, 2.5])
