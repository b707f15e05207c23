"""read_many: plots in the order of the paths, failures raised or returned
in their place; and the interpreter lock released while a file is read, so
that Python runs on while a read waits."""

import os

import pytest

import dunvel
from conftest import run_python


def blocks(n, steps, scale=1.0):
    return [[(j + 1) * (i + 1) * 0.25 * scale for j in range(n)] for i in range(steps)]


@pytest.fixture
def files(write_plot, write_file, tmp_path):
    good = [write_plot(["a", "b"], blocks(2, 3, scale)) for scale in (1.0, 2.0, 4.0, 8.0)]
    bad = write_file("1\na\nt\n")  # ends inside a block
    return good, bad, str(tmp_path / "missing.dat")


@pytest.mark.parametrize("threads", [None, 1, 2, 7])
def test_plots_in_order(files, threads):
    good, _, _ = files
    plots = dunvel.read_many(good * 3, threads=threads)
    assert [p.path for p in plots] == good * 3
    assert [p.values.tolist() for p in plots] == [blocks(2, 3, s) for s in (1.0, 2.0, 4.0, 8.0)] * 3


def test_width_applies_to_every_file(write_plot):
    paths = [write_plot(["a"], blocks(1, 2), 15) for _ in range(3)]
    assert [p.width for p in dunvel.read_many(paths, 15)] == [15, 15, 15]
    assert [p.width for p in dunvel.read_many(paths)] == [15, 15, 15]


def test_errors_return_puts_each_failure_in_its_place(files):
    good, bad, missing = files
    results = dunvel.read_many([good[0], bad, missing, good[1]], errors="return", threads=2)
    assert isinstance(results[0], dunvel.Plot) and isinstance(results[3], dunvel.Plot)
    assert (type(results[1]), results[1].line, results[1].kind) == (dunvel.PlotFileError, 3, "incomplete")
    assert (type(results[2]), results[2].filename) == (FileNotFoundError, missing)


@pytest.mark.parametrize("order", ["bad-first", "missing-first"])
def test_errors_raise_raises_the_first_in_order(files, order):
    good, bad, missing = files
    paths = [good[0], bad, missing] if order == "bad-first" else [good[0], missing, bad]
    expected = dunvel.PlotFileError if order == "bad-first" else FileNotFoundError
    with pytest.raises(expected):
        dunvel.read_many(paths, threads=3)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return', not 'ignore'"),
        ({"threads": 0}, ValueError, "threads must be at least 1, not 0"),
        ({"threads": 2.0}, TypeError, "threads must be an int or None, not float"),
        ({"width": 0}, ValueError, "width must be positive, not 0"),
    ],
)
def test_bad_arguments(files, arguments, error, message):
    good, _, _ = files
    with pytest.raises(error) as caught:
        dunvel.read_many(good, **arguments)
    assert str(caught.value) == message


def test_no_paths():
    assert dunvel.read_many([]) == []


def test_lock_released_while_a_read_waits(tmp_path):
    # The reader blocks on a FIFO, first in open() and then in read(); the
    # main thread can only feed it if the read let the interpreter lock go.
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    done = run_python(
        """
        import sys, threading, dunvel
        path = sys.argv[1]
        result = []
        reader = threading.Thread(target=lambda: result.append(dunvel.read(path, 12)))
        reader.start()
        with open(path, "w") as fifo:
            fifo.write("2\\na\\nb\\n")
            fifo.flush()
            fifo.write("TIME 0.5\\n 1.00000E+00 2.00000E+00\\n")
        reader.join()
        print(result[0].times.tolist(), result[0].values.tolist())
        """,
        str(fifo),
        timeout=60,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"[0.5] [[1.0, 2.0]]\n", b"")
