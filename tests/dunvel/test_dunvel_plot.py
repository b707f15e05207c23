"""Plot as a pandas user expects it: len and iteration, columns by a list of
names (the columns pandas' df[[...]] gives), KeyErrors that suggest close
names, steps as the DataFrame's index, pickling and equality."""

import io
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
    assert (selected.steps.tolist(), selected.complete, selected == plot) == ([3, 4], False, True)
    for array in (selected.values, selected.times, selected.steps):
        array[...] = -1
    assert (plot.values.tolist(), plot.times.tolist(), plot.steps.tolist()) == (
        [[1.0, 2.0], [3.0, 4.0]],
        [0.5, 1.5],
        [3, 4],
    )


def plainly_pickled(value):
    # Past copyreg: distributed, once the Dask tests have imported it, has
    # tblib reduce every exception class there, which would hide this one's own.
    buffer = io.BytesIO()
    pickler = pickle.Pickler(buffer)
    pickler.dispatch_table = {}
    pickler.dump(value)
    return buffer.getvalue()


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
    back = pickle.loads(plainly_pickled(caught.value))
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


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_back_equal(write_file, write_plot, protocol):
    nan_fields = "".join(field.rjust(12) for field in ["-nan", "-0", "nan", "3"])
    plots = [
        dunvel.read(write_plot(HEADER, ROWS, block_start="TIME {i}.5")),
        dunvel.read(
            write_file(f"2\na\nb\nno time\n{nan_fields[:24]}\nTIME 2\n{nan_fields[24:]}\n")
        ),
        dunvel.read(write_file("2\na\nb\n")),
        made(steps=np.array([3, 9], dtype=np.int64), complete=False),
    ]
    assert np.isnan(plots[1].times[0]) and plots[1].values.view(np.uint32)[0].tolist() == [
        0xFFC00000,
        1 << 31,
    ]
    for plot in plots:
        back = pickle.loads(pickle.dumps(plot, protocol))
        assert back == plot and back.values.flags.writeable and list(back) == list(plot)
        assert [a.tobytes() for a in (back.times, back.values, back.steps)] == [
            a.tobytes() for a in (plot.times, plot.values, plot.steps)
        ]
        assert (back.complete, back.values.shape, back.steps.dtype) == (
            plot.complete,
            plot.values.shape,
            np.int64,
        )


def flipped(array, index, bit=0):
    copy = array.copy()
    copy.view(f"u{array.itemsize}")[index] ^= 1 << bit
    return copy


BASE = made(ROWS, times=[np.nan, 1.0])
ZERO = made(np.zeros((2, 5)))


@pytest.mark.parametrize(
    "other",
    [
        made(flipped(BASE.values, (1, 4)), times=BASE.times),
        made(ROWS, times=flipped(BASE.times, 0)),  # another NaN
        made(ROWS, times=BASE.times, complete=False),
        made(ROWS, times=BASE.times, steps=np.array([0, 2], dtype=np.int64)),
        made(ROWS, times=BASE.times, steps=np.array([0, 1], dtype=np.int32)),
        made(np.array(ROWS)[:, :4], HEADER[:4], BASE.times),
        made(ROWS, HEADER[:4] + ["TEMP"], BASE.times),
        dunvel.Plot("dir/made.plt", 15, BASE.names, BASE.times, BASE.values),
        dunvel.Plot("made.plt", 12, BASE.names, BASE.times, BASE.values),
        dunvel.Plot("dir/made.plt", 12, BASE.names, BASE.times, BASE.values.astype(np.float64)),
        dunvel.Plot("dir/made.plt", 12, BASE.names, np.array([np.nan, 1.0, 2.0]), BASE.values),
        type("Derived", (dunvel.Plot,), {"__slots__": ()})(
            "dir/made.plt", 12, BASE.names, BASE.times, BASE.values
        ),
    ],
)
def test_equality_sees_every_difference(other):
    assert (other == BASE, BASE == other, other != BASE) == (False, False, True)
    assert made(ROWS, times=BASE.times.copy()) == BASE


def test_equality_by_bits_and_of_the_same_type_only():
    assert made(-np.zeros((2, 5))) != ZERO and made(np.zeros((2, 5))) == ZERO
    assert BASE != "dir/made.plt" and BASE != (BASE.path, BASE.names)
    with pytest.raises(TypeError):
        hash(BASE)
