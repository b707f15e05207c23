"""Files that end inside a step, as a run that crashed or is still writing
leaves them: cut at every byte after the header, they read the steps whose
lines are all whole with incomplete="keep", and fail as "incomplete" at the
file's last line by default, unless the cut falls between two steps."""

import numpy as np
import pytest

import dunvel
from conftest import plot_text

NAMES = [f"P{j}" for j in range(12)]  # two data lines a step
BLOCKS = [[(i + 1) * 100.0 + j / 8 for j in range(12)] for i in range(4)]


def lines_of(data: bytes) -> int:
    return data.count(b"\n") + (not data.endswith(b"\n") and len(data) > 0)


def step_ends(text: bytes, newline: bytes):
    """Where the content of each step's last line ends, and where its
    terminator does."""
    header = 1 + len(NAMES)
    per_step = 3
    starts = [0]
    for line in text.split(newline)[:-1]:
        starts.append(starts[-1] + len(line) + len(newline))
    return [(starts[header + per_step * (i + 1)] - len(newline), starts[header + per_step * (i + 1)])
            for i in range(len(BLOCKS))], starts[header]


@pytest.mark.parametrize("width, given, newline", [(12, None, b"\n"), (12, 12, b"\r\n"), (15, 15, b"\n")])
def test_every_cut_after_the_header(tmp_path, width, given, newline):
    text = plot_text(NAMES, BLOCKS, width, newline=newline.decode()).encode()
    whole = dunvel.read(_write(tmp_path, text), given)
    ends, data_start = step_ends(text, newline)
    path = tmp_path / "cut.dat"
    for cut in range(data_start, len(text)):
        data = text[:cut]
        path.write_bytes(data)
        # The steps whose lines are all there (a last line's terminator may
        # be missing), and whether anything of the next one is.
        steps = sum(end <= cut for end, _ in ends)
        boundary = cut == data_start or any(end <= cut <= after for end, after in ends)
        kept = dunvel.read(path, given, incomplete="keep")
        assert (kept.n_steps, kept.complete) == (steps, boundary), cut
        assert kept.values.tobytes() == whole.values[:steps].tobytes()
        assert kept.times.tobytes() == whole.times[:steps].tobytes()
        if boundary:
            assert dunvel.read(path, given).values.tobytes() == kept.values.tobytes()
            continue
        with pytest.raises(dunvel.PlotFileError) as caught:
            dunvel.read(path, given)
        error = caught.value
        assert (error.kind, error.line, error.column, error.text) == ("incomplete", lines_of(data), None, None), cut
        assert f"inside step {steps} (counting from 0)" in error.message


def _write(tmp_path, data: bytes, name="whole.dat") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


# Failures that no cut explains stay what they are with incomplete="keep".
@pytest.mark.parametrize(
    "data, kind, line",
    [
        (b"2\nA\n", "header", 2),
        (b"", "header", 0),
        (b"1\nA\nt\n 1.0000xE+00\nt\n 2.0", "field", 4),
        (b"1\nA\nt\n 1.00000E+00\nt\n 2.\xff0000E+00", "encoding", 6),
        (b"2\nA\nB\nt\n 1.00000E+00 2.00000E+00\nt\n 1.00000E+00\nt\n 2.0", "short-line", 7),
    ],
    ids=["header", "empty", "field-before-the-cut", "not-utf8-in-the-last-line", "short-line-before-the-cut"],
)
def test_keep_still_refuses(tmp_path, data, kind, line):
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(_write(tmp_path, data), incomplete="keep")
    assert (caught.value.kind, caught.value.line) == (kind, line)


@pytest.mark.parametrize("width", [None, 12])
def test_a_first_data_line_cut_before_its_width_is_told(tmp_path, width):
    path = _write(tmp_path, b"2\nA\nB\n TIME 1\n 1.00000E+00 2.0")
    plot = dunvel.read(path, width, incomplete="keep")
    assert (plot.n_steps, plot.n_parameters, plot.complete, plot.values.shape) == (0, 2, False, (0, 2))
    assert repr(plot) == "<dunvel.Plot 'whole.dat': 2 parameters x 0 steps, width 12, incomplete>"
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path, width)
    assert (caught.value.kind, caught.value.line) == ("incomplete", 5)
    assert caught.value.message == (
        "the file ends inside step 0 (counting from 0), inside its data line 1 of 1; no step before it is "
        'complete (incomplete="keep" reads the file as 0 steps)'
    )


def test_a_character_cut_at_the_end_is_a_cut(tmp_path):
    path = _write(tmp_path, "1\nA\nt\n 1.00000E+00\nTIME \u00e9".encode()[:-1])
    assert dunvel.read(path, incomplete="keep").n_steps == 1
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path)
    assert (caught.value.kind, caught.value.line) == ("incomplete", 5)
    assert "inside its block-start line" in caught.value.message


def test_read_many_passes_incomplete(tmp_path):
    cut = _write(tmp_path, b"1\nA\nt\n 1.00000E+00\nt\n", "cut.dat")
    whole = _write(tmp_path, b"1\nA\nt\n 1.00000E+00\n")
    plots = dunvel.read_many([cut, whole], incomplete="keep")
    assert [(p.n_steps, p.complete) for p in plots] == [(1, False), (1, True)]
    (failure, plot) = dunvel.read_many([cut, whole], errors="return")
    assert (type(failure), failure.kind, plot.complete) == (dunvel.PlotFileError, "incomplete", True)
    np.testing.assert_array_equal(plots[0].values, plot.values)


@pytest.mark.parametrize("value", ["Keep", "drop", None, True])
def test_incomplete_must_be_raise_or_keep(tmp_path, value):
    path = _write(tmp_path, b"0\n")
    for call in (lambda: dunvel.read(path, incomplete=value), lambda: dunvel.read_many([], incomplete=value)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == f"incomplete must be 'raise' or 'keep', not {value!r}"
