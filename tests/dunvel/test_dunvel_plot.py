"""Plot as a pandas user expects it: len and iteration, columns by a list of
names (the columns pandas' df[[...]] gives), KeyErrors that suggest close
names, steps as the DataFrame's index."""

import pickle

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


@pytest.mark.parametrize(
    "key, columns",
    [
        (["VOID", "TEMP"], [4, 1]),
        (["PRES"], [0, 2]),  # both columns of a name held twice, in header order
        (["FLOW", "PRES"], [3, 0, 2]),
        (["TEMP", "TEMP"], [1, 1]),
        (["PRES", "TEMP", "PRES"], [0, 2, 1, 0, 2]),
        ([], []),
    ],
)
def test_list_of_names_selects_columns(write_plot, key, columns):
    plot = dunvel.read(write_plot(HEADER, ROWS, block_start="TIME {i}.5"))
    selected = plot[key]
    assert (type(selected), selected.path, selected.width) == (dunvel.Plot, plot.path, 12)
    assert selected.names == tuple(HEADER[j] for j in columns)
    assert (selected.values.shape, selected.values.dtype) == ((2, len(columns)), np.float32)
    assert selected.values.tolist() == [[row[j] for j in columns] for row in ROWS]
    assert (selected.times.tolist(), selected.steps.tolist()) == ([0.5, 1.5], [0, 1])


def test_selection_copies_and_keeps_steps_and_completeness():
    # Every column in header order: where a shortcut would be to share the arrays.
    plot = made(
        [[1.0, 2.0], [3.0, 4.0]], ["a", "b"], steps=np.array([3, 4], dtype=np.int64), complete=False
    )
    selected = plot[["a", "b"]]
    assert (selected.steps.tolist(), selected.complete) == ([3, 4], False)
    for array in (selected.values, selected.times, selected.steps):
        array[...] = -1
    assert (plot.values.tolist(), plot.times.tolist(), plot.steps.tolist()) == (
        [[1.0, 2.0], [3.0, 4.0]],
        [0.5, 1.5],
        [3, 4],
    )


@pytest.mark.parametrize("in_list", [False, True])
@pytest.mark.parametrize(
    "missing, close",
    [
        ("PRESSURE", ["PRESSURE1", "PRESSURE12", "PRESSURE123"]),  # closest first, of four
        ("TEMP-COR", ["TEMP-CORE"]),
        ("zzz", []),
    ],
)
def test_missing_name_is_key_error_with_close_names(missing, close, in_list):
    names = ["PRESSURE1234", "PRESSURE12", "TEMP-CORE", "PRESSURE1", "PRESSURE123", "FLOW"]
    plot = made([[0.0] * 6], names, [0.0])
    with pytest.raises(KeyError) as caught:
        plot[["FLOW", missing]] if in_list else plot[missing]
    text = f"'{missing}' is not a name in 'made.plt'" + "; close names: " * bool(close)
    assert (caught.value.args, str(caught.value)) == (
        (missing,),
        text + ", ".join(map(repr, close)),
    )
    back = pickle.loads(pickle.dumps(caught.value))
    assert (type(back), back.args, str(back)) == (type(caught.value), (missing,), str(caught.value))


@pytest.mark.parametrize(
    "key, wrong",
    [
        (0, 0),
        (None, None),
        (("PRES",), ("PRES",)),
        (b"PRES", b"PRES"),
        (["PRES", 0], 0),
        ([["PRES"]], ["PRES"]),
    ],
)
def test_key_that_is_no_str_is_key_error(key, wrong):
    with pytest.raises(KeyError) as caught:
        made()[key]
    assert caught.value.args == (wrong,)
    assert str(caught.value).startswith(
        f"{wrong!r} is not a name: names are str, not {type(wrong).__name__}"
    )


def test_to_pandas_indexed_by_steps_where_a_time_is_missing():
    pytest.importorskip("pandas")
    steps = np.array([3, 4, 7], dtype=np.int64)
    frame = made([[1.0], [2.0], [3.0]], ["a"], [0.5, np.nan, 2.5], steps=steps).to_pandas()
    assert (frame.index.name, frame.index.tolist(), frame.loc[7, "a"]) == ("step", [3, 4, 7], 3.0)
    frame = made([[1.0], [2.0], [3.0]], ["a"], [0.5, 1.5, 2.5], steps=steps).to_pandas()
    assert (frame.index.name, frame.index.tolist()) == ("time", [0.5, 1.5, 2.5])
