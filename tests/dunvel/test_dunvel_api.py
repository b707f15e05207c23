"""dunvel.read and Plot: paths, the width found or given, names, one time
per step (which time: test_dunvel_times.py), values as float32 rows,
columns by name, the DataFrame and the repr."""

import math
import os
from pathlib import Path

import numpy as np
import pytest

import dunvel
from conftest import f32_bits, plot_text


def blocks(n, steps):
    # Quarters of small integers: exact in binary32 and in six significant digits.
    return [[(j + 1) * (i + 1) * 0.25 for j in range(n)] for i in range(steps)]


@pytest.mark.parametrize("form", [str, os.fsencode, Path], ids=["str", "bytes", "PathLike"])
def test_path_forms(write_plot, form):
    path = write_plot(["a"], blocks(1, 2))
    plot = dunvel.read(form(path))
    assert (plot.path, plot.names, plot.values.tolist()) == (path, ("a",), [[0.25], [0.5]])


def test_values_are_float32_rows(write_plot):
    n, steps = 23, 5
    plot = dunvel.read(write_plot([f"p{j}" for j in range(n)], blocks(n, steps)), 12)
    values = plot.values
    assert (values.dtype, values.shape, values.flags.c_contiguous, values.flags.writeable) == (
        np.dtype(np.float32), (steps, n), True, True
    )
    assert values.tolist() == blocks(n, steps)
    assert (plot.n_steps, plot.n_parameters, plot.width) == (steps, n, 12)


def test_values_keep_their_bits(write_file):
    # Negative zero, the NaN of a negated "nan", a subnormal and a tie to even.
    fields = ["-0", "-nan", "1.4e-45", "16777217"]
    path = write_file("4\na\nb\nc\nd\nt\n" + "".join(f.rjust(12) for f in fields) + "\n")
    bits = dunvel.read(path, 12).values.view(np.uint32)[0].tolist()
    assert bits == [0x80000000, 0xFFC00000, 0x00000001, f32_bits(16777216.0)]


@pytest.mark.parametrize(
    "n, written, options, width",
    [
        (1, 12, {}, 12),
        (1, 15, {}, 15),
        (10, 15, {}, 15),
        (11, 12, {}, 12),  # ten fields on the first data line, one on the next
        (23, 15, {"newline": "\r\n"}, 15),
        (3, 15, {"block_start": "  TIME = {i}.5  S"}, 15),
    ],
)
def test_width_found_from_the_first_data_line(write_plot, n, written, options, width):
    values = blocks(n, 3)
    plot = dunvel.read(write_plot([f"p{j}" for j in range(n)], values, written, **options))
    assert (plot.width, plot.values.tolist()) == (width, values)


def test_width_found_despite_trailing_whitespace(write_file):
    path = write_file("2\na\nb\nt\n 1.00000E+00 2.00000E+00 \t\u3000\n")
    plot = dunvel.read(path)
    assert (plot.width, plot.values.tolist()) == (12, [[1.0, 2.0]])


@pytest.mark.parametrize(
    "content",
    ["0\nt\nu\n", "3\na\nb\nc\n", "  \n"],
    ids=["no-parameters", "no-blocks", "blank-count-line"],
)
def test_width_without_a_data_line_is_12(write_file, content):
    assert dunvel.read(write_file(content)).width == 12


def test_given_width_is_used_as_is(write_plot):
    # Fields of 15 read at 13: ' 1.00000000E+' is no number.
    path = write_plot(["a"], [[1.0]], 15)
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path, 13)
    assert (caught.value.kind, caught.value.column, caught.value.text) == ("field", 1, "1.00000000E+")
    plot = dunvel.read(write_plot(["a", "b"], [[1.0, 2.0]], 15), 15)
    assert (plot.width, plot.values.tolist()) == (15, [[1.0, 2.0]])


@pytest.mark.parametrize(
    "line, name",
    [
        ("  PRES-CORE", "PRES-CORE"),
        ("3 PRESSURE CORE Pa", "Pa"),
        ("", ""),
        ("\t \u3000", ""),
        ("\u3000TEMP\u00a0", "TEMP"),
        ("name\u200b", "name\u200b"),
        ("Druck\u00fc", "Druck\u00fc"),
        ("a\rb", "b"),
    ],
    ids=["padded", "last-token", "empty", "blank", "unicode-space", "zero-width", "non-ascii", "cr"],
)
def test_names_are_last_tokens(write_file, line, name):
    path = write_file(f"2\n{line}\nsecond\n".encode())
    assert dunvel.read(path).names == (name, "second")


def test_names_with_crlf(write_file):
    assert dunvel.read(write_file("2\r\n a \r\n\r\n")).names == ("a", "")


def test_times_one_per_step(write_plot):
    plot = dunvel.read(write_plot(["a", "b"], blocks(2, 4), block_start="  TIME = {i}.25 S  STEP = {i}"))
    assert (plot.times.dtype, plot.times.tolist()) == (np.dtype(np.float64), [0.25, 1.25, 2.25, 3.25])


def test_no_parameters_every_line_a_step(write_file):
    plot = dunvel.read(write_file("0\nTIME 1\nTIME 2\n\n"))
    assert (plot.values.shape, plot.times.tolist()[:2], math.isnan(plot.times[2])) == ((3, 0), [1.0, 2.0], True)


def test_header_without_blocks(write_file):
    plot = dunvel.read(write_file("3\na\nb\nc\n"))
    assert (plot.values.shape, plot.values.dtype, plot.times.shape, plot.names) == (
        (0, 3), np.dtype(np.float32), (0,), ("a", "b", "c")
    )


def test_column_by_name_is_a_view(write_plot):
    plot = dunvel.read(write_plot(["a", "b", "c"], blocks(3, 4)))
    column = plot["b"]
    assert column.tolist() == [0.5, 1.0, 1.5, 2.0]
    assert np.shares_memory(column, plot.values) and column.base is not None
    column[0] = 9.0
    assert plot.values[0, 1] == 9.0
    assert ("b" in plot, "d" in plot, 3 in plot) == (True, False, False)


@pytest.mark.parametrize("key", ["d", "", 0, None])
def test_unknown_name_is_key_error(write_plot, key):
    plot = dunvel.read(write_plot(["a", "b", "c"], blocks(3, 1)))
    with pytest.raises(KeyError) as caught:
        plot[key]
    assert caught.value.args == (key,)


def test_name_held_twice_is_key_error(write_plot):
    plot = dunvel.read(write_plot(["a", "b", "a", "c", "a"], blocks(5, 1)))
    with pytest.raises(KeyError) as caught:
        plot["a"]
    assert caught.value.args == (
        "'a' names 3 parameters (columns 0, 2, 4); take one from plot.values[:, column]",
    )
    assert "a" in plot and plot["c"].tolist() == [1.0]


@pytest.mark.parametrize(
    "content, name, text",
    [
        (plot_text(["a"] * 12, blocks(12, 400), block_start="TIME {i}e-2"), "run42.plt",
         "<dunvel.Plot 'run42.plt': 12 parameters x 400 steps, width 12, time 0 .. 3.99>"),
        (plot_text(["a"], blocks(1, 1), 15, block_start="TIME 1.5"), "one.plt",
         "<dunvel.Plot 'one.plt': 1 parameter x 1 step, width 15, time 1.5 .. 1.5>"),
        (plot_text(["a", "b"], blocks(2, 2)), "no-times.plt",
         "<dunvel.Plot 'no-times.plt': 2 parameters x 2 steps, width 12>"),
        ("2\na\nb\n", "empty.plt", "<dunvel.Plot 'empty.plt': 2 parameters x 0 steps, width 12>"),
    ],
    ids=["times", "one-step", "no-times", "no-steps"],
)
def test_repr(write_file, content, name, text):
    assert repr(dunvel.read(write_file(content, name))) == text


def test_to_pandas_indexed_by_time(write_plot):
    pandas = pytest.importorskip("pandas")
    plot = dunvel.read(write_plot(["a", "b"], blocks(2, 3), block_start="TIME {i}.5"))
    frame = plot.to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert (list(frame.columns), frame.index.name, frame.index.tolist()) == (["a", "b"], "time", [0.5, 1.5, 2.5])
    assert list(frame.dtypes) == [np.dtype(np.float32)] * 2
    assert frame.to_numpy().tolist() == blocks(2, 3)


def test_to_pandas_indexed_by_step_where_a_time_is_missing(write_file):
    pytest.importorskip("pandas")
    path = write_file("2\na\na\nTIME 1\n 1.00000E+00 2.00000E+00\nno time\n 3.00000E+00 4.00000E+00\n")
    frame = dunvel.read(path).to_pandas()
    assert (list(frame.columns), frame.index.name, frame.index.tolist()) == (["a", "a"], "step", [0, 1])
    assert frame.to_numpy().tolist() == [[1.0, 2.0], [3.0, 4.0]]


def test_values_outlive_the_plot(write_plot):
    values = dunvel.read(write_plot(["a", "b"], blocks(2, 3))).values
    column = values[:, 1].copy()
    assert column.tolist() == [0.5, 1.0, 1.5]
    assert values.sum() == sum(map(sum, blocks(2, 3)))

