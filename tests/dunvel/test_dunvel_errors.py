"""dunvel's failures: one exception per kind of reader failure, with the
path, the 1-based line and the reader's own message; OSError subclasses as
open() raises them; bad arguments; running out of memory; and never a byte
on fd 1 or fd 2."""

import os
import pickle
from pathlib import Path

import pytest

import dunvel
from conftest import run_python

INVALID_UTF8 = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
NOTICE = "Error: '{}' is not a valid number of parameters!\n"
BAD_COUNT = "The first line should end with the number of parameters:\n'{}'"

# (content, width, line, message)
CONTENT_FAILURES = {
    "empty-file": (b"", 12, 1, "Failed ot read line!"),
    "bad-count": (
        b"3 parameters\na\n", 12, 1, NOTICE.format("parameters") + BAD_COUNT.format("3 parameters")
    ),
    "negative-count": (b"NPAR = -3\n", None, 1, NOTICE.format("-3") + BAD_COUNT.format("NPAR = -3")),
    "count-not-utf8": (b"\xc3(2\n", 12, 1, INVALID_UTF8),
    "missing-name-line": (b"2\na\n", 12, 3, "Failed to read line!"),
    "name-not-utf8": (b"2\na\n\xed\xa0\x80\n", 12, 3, INVALID_UTF8),
    "short-block": (b"1\na\nt\n", 12, 4, "Error reading line"),
    "short-second-block": (b"1\na\nt\n 1.00000E+00\nt\n", 12, 6, "Error reading line"),
    "blank-line-after-last-block": (b"1\na\nt\n 1.00000E+00\n\n", 12, 6, "Error reading line"),
    "second-data-line-missing": (
        b"11\n" + b"a\n" * 11 + b"t\n" + b" 1.00000E+00" * 10 + b"\n", 12, 15, "Error reading line"
    ),
    "bad-field": (b"1\na\nt\n 1.00000Q+00\n", 12, 4, "Could not parse line: ParseFloatError { kind: Invalid }"),
    "blank-field": (b"1\na\nt\n" + b" " * 12 + b"\n", 12, 4, "Could not parse line: ParseFloatError { kind: Empty }"),
    "field-out-of-range": (
        b"2\na\nb\nt\n 1.00000E+00\n", 12, 5, "byte index 24 is out of bounds of ` 1.00000E+00`"
    ),
    "field-off-char-boundary": (
        "1\na\nt\n        1\u00e9\n".encode(), 10, 4,
        "byte index 10 is not a char boundary; it is inside 'é' (bytes 9..11) of `        1é`",
    ),
    "second-block-not-utf8": (b"1\na\nt\n 1.00000E+00\nt\n\xff\n", 12, 6, INVALID_UTF8),
    "width-neither-12-nor-15": (
        b"2\na\nb\nt=0\n 1.00000E+00 2.0\n", None, 5,
        ("Could not tell the field width: the first data line holds 16 bytes (trailing whitespace"
        " aside) for 2 fields, which is neither 12 nor 15 bytes a field"),
    ),
}


@pytest.mark.parametrize("case", CONTENT_FAILURES)
def test_content_failure_is_plot_file_error(write_file, case):
    content, width, line, message = CONTENT_FAILURES[case]
    path = write_file(content)
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path, width)
    error = caught.value
    assert (type(error), error.path, error.line, error.message) == (
        dunvel.PlotFileError, path, line, message
    )
    assert str(error) == f"{path}, line {line}: {message}"
    assert error.__cause__ is None and error.__suppress_context__


def test_plot_file_error_is_a_value_error_that_pickles():
    error = dunvel.PlotFileError("run.plt", 7, "Error reading line")
    assert isinstance(error, ValueError)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.path, copy.line, copy.message, str(copy)) == (
        dunvel.PlotFileError, "run.plt", 7, "Error reading line", "run.plt, line 7: Error reading line"
    )


def _paths(tmp_path):
    (tmp_path / "file").write_text("0\n")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    return {
        "missing": tmp_path / "missing.dat",
        "directory": tmp_path,
        "not-a-directory": tmp_path / "file" / "plot.dat",
        "symlink-loop": tmp_path / "loop",
        "name-too-long": tmp_path / ("x" * 300),
    }


@pytest.mark.parametrize("case", ["missing", "directory", "not-a-directory", "symlink-loop", "name-too-long"])
@pytest.mark.parametrize("form", [str, bytes, Path], ids=["str", "bytes", "PathLike"])
def test_os_error_as_open_raises_it(tmp_path, case, form):
    path = _paths(tmp_path)[case]
    given = os.fsencode(path) if form is bytes else form(path)
    with pytest.raises(OSError) as opened, open(given, "rb") as file:
        file.read()
    with pytest.raises(OSError) as read:
        dunvel.read(given)
    want, got = opened.value, read.value
    assert (type(got), got.errno, got.strerror, got.filename, str(got)) == (
        type(want), want.errno, want.strerror, want.filename, str(want)
    )
    assert got.__cause__ is None and got.__suppress_context__


@pytest.mark.parametrize("path", ["plot\0.dat", b"plot\0.dat"], ids=["str", "bytes"])
def test_nul_in_path_as_open_raises_it(path):
    with pytest.raises(ValueError) as opened:
        open(path)  # noqa: SIM115 - it raises; there is no file to close
    with pytest.raises(ValueError) as read:
        dunvel.read(path)
    assert (type(read.value), str(read.value)) == (type(opened.value), str(opened.value))


@pytest.mark.parametrize(
    "width, error, message",
    [
        (0, ValueError, "width must be positive, not 0"),
        (-12, ValueError, "width must be positive, not -12"),
        (12.0, TypeError, "width must be an int or None, not float"),
        ("12", TypeError, "width must be an int or None, not str"),
        (True, TypeError, "width must be an int or None, not bool"),
        (2**32, OverflowError, "width must be at most 4294967295, not 4294967296"),
    ],
)
def test_bad_width(write_file, width, error, message):
    path = write_file("1\na\n")
    with pytest.raises(error) as caught:
        dunvel.read(path, width)
    assert (type(caught.value), str(caught.value)) == (error, message)


@pytest.mark.parametrize("path", [12, None, ["plot.dat"]], ids=["int", "None", "list"])
def test_bad_path_type(path):
    with pytest.raises(TypeError):
        dunvel.read(path)


def test_nothing_on_fd_1_or_fd_2(write_file, tmp_path):
    paths = [write_file(content) for content, _, _, _ in CONTENT_FAILURES.values()]
    paths += [str(tmp_path / "missing.dat"), str(tmp_path)]
    done = run_python(
        """
        import sys, dunvel
        for path in sys.argv[1:]:
            try:
                dunvel.read(path)
            except (OSError, ValueError):
                pass
            else:
                raise SystemExit(f"{path} did not fail")
        """,
        *paths,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


@pytest.mark.skipif(
    os.environ.get("OLVANE_SANITIZED") == "1", reason="RLIMIT_AS cannot limit a sanitized build"
)
def test_out_of_memory_is_memory_error(write_file):
    # Five million names of one byte: a 10 MB file whose names need far more
    # than the address space that the child leaves itself.
    path = write_file(b"5000000\n" + b"a\n" * 5_000_000)
    done = run_python(
        """
        import resource, sys, dunvel
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        try:
            dunvel.read(sys.argv[1])
        except MemoryError as error:
            print(type(error).__name__, error.args)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(dunvel.read(sys.argv[2]).n_parameters)
        """,
        path,
        write_file(b"2\na\nb\n"),
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"MemoryError ()\n2\n", b"")


@pytest.mark.skipif(
    os.environ.get("OLVANE_SANITIZED") == "1",
    reason="LeakSanitizer checks this there, and tracemalloc leaks its own tracebacks under it",
)
def test_repeated_reads_give_back_what_they_take(write_plot, write_file):
    # Python objects (tracemalloc sees the module's too) and mapped pages
    # (VmSize), over many reads that succeed and many that fail.
    good = write_plot([f"p{j}" for j in range(40)], [[float(i + j) for j in range(40)] for i in range(300)])
    bad = [write_file(content) for content, _, _, _ in CONTENT_FAILURES.values()]
    done = run_python(
        """
        import gc, sys, tracemalloc, dunvel
        good, bad = sys.argv[1], sys.argv[2:]

        def vm_size():
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))

        def rounds(n):
            for _ in range(n):
                plot = dunvel.read(good)
                column = plot["p3"]
                del plot, column
                for path in bad + ["/nonexistent/plot.dat"]:
                    try:
                        dunvel.read(path)
                    except (OSError, ValueError):
                        pass
            gc.collect()

        rounds(50)
        tracemalloc.start()
        before, vm_before = tracemalloc.get_traced_memory()[0], vm_size()
        rounds(400)
        grown, vm_grown = tracemalloc.get_traced_memory()[0] - before, vm_size() - vm_before
        tracemalloc.stop()
        print(grown < 64 * 1024, vm_grown < 4 * 1024, grown, vm_grown)
        """,
        good,
        *bad,
    )
    assert done.stdout.split()[:2] == [b"True", b"True"], done.stdout + done.stderr
