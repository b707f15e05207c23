"""dunvel's failures: PlotFileError for each kind of content failure, with
the path, the kind, the 1-based line, the column, the text and dunvel's own
message; OSError subclasses as open() raises them; bad arguments; running
out of memory; and never a byte on fd 1 or fd 2."""

import bz2
import gzip
import lzma
import os
import pickle
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import dunvel
from conftest import plot_text, run_python

# (content, width, kind, line, column, text, what the message says)
CONTENT_FAILURES = {
    "empty-file": (b"", 12, "header", 0, None, None,
                   "the file is empty; a plot file begins with a line that ends with its number of parameters"),
    "bad-count": (b"3 parameters\na\n", 12, "count", 1, 3, "parameters",
                  ("the first line should end with the number of parameters, a whole number, but it ends with "
                  "'parameters'")),
    "negative-count": (b"NPAR = -3\n", None, "count", 1, 8, "-3", "...but it ends with '-3'"),
    "count-not-utf8": (b"\xc3(2\n", 12, "encoding", 1, 1, None,
                       "the byte 0xC3 at column 1 is not UTF-8, which plot files are written in"),
    "missing-name-line": (b"2\na\n", 12, "header", 2, None, None,
                          ("the file ends after 1 of its 2 parameter names, in its header (the count line, then a "
                          "line per name)")),
    "name-not-utf8": (b"2\na\n\xed\xa0\x80\n", 12, "encoding", 3, 1, None, "the byte 0xED at column 1..."),
    "name-cut-in-a-character": (b"2\na\nb\xc3", 12, "encoding", 3, 2, None,
                                "the byte 0xC3 at column 2 starts a character that the end of the file cuts off"),
    "short-block": (b"1\na\nt\n", 12, "incomplete", 3, None, None,
                    ("the file ends inside step 0 (counting from 0), after its block-start line; no step before it "
                    'is complete (incomplete="keep" reads the file as 0 steps)')),
    "short-second-block": (b"1\na\nt\n 1.00000E+00\nt\n", 12, "incomplete", 5, None, None,
                           ("the file ends inside step 1 (counting from 0), after its block-start line; "
                           'incomplete="keep" reads the 1 complete step before it')),
    "blank-line-after-last-block": (b"1\na\nt\n 1.00000E+00\n\n", 12, "incomplete", 5, None, None,
                                    "the file ends inside step 1 (counting from 0), after its block-start..."),
    "second-data-line-missing": (
        b"11\n" + b"a\n" * 11 + b"t\n" + b" 1.00000E+00" * 10 + b"\n", 12, "incomplete", 14, None, None,
        "the file ends inside step 0 (counting from 0), after 1 of its 2 data lines; no step before it..."
    ),
    "last-line-cut": (b"1\na\nt\n 1.00000E+00\nt\n 2.0000", 12, "incomplete", 6, None, None,
                      ("the file ends inside step 1 (counting from 0), inside its data line 1 of 1; "
                      'incomplete="keep" reads the 1 complete step before it')),
    "last-line-cut-in-a-character": (b"1\na\nt\n 1.00000E+00\nt \xe2\x82", 12, "incomplete", 5, None, None,
                                     ("the file ends inside step 1 (counting from 0), inside its block-start line;"
                                     "...")),
    "last-line-not-utf8": (b"1\na\nt\n 1.00000E+00\nt\n 2.00\xff0E+00", 12, "encoding", 6, 6, None,
                           "the byte 0xFF at column 6 is not UTF-8, which plot files are written in"),
    "bad-field": (b"1\na\nt\n 1.00000X+00\n", 12, "field", 4, 1, "1.00000X+00",
                  "field 1 (columns 1-12) is not a number: '1.00000X+00'"),
    "bad-second-field": (b"2\na\nb\nt\n 1.00000E+00   1.0 2.0  \n", 12, "field", 5, 13, "1.0 2.0",
                         "field 2 (columns 13-24) is not a number: '1.0 2.0'"),
    "blank-field": (b"1\na\nt\n" + b" " * 12 + b"\n", 12, "field", 4, 1, "", "field 1 (columns 1-12) is blank"),
    "field-out-of-range": (
        b"2\na\nb\nt\n 1.00000E+00\n", 12, "short-line", 5, 13, None,
        "the line is too short for its fields: field 2 needs columns 13-24, but the line is 12 bytes long"
    ),
    "field-off-char-boundary": (
        "1\na\nt\n        1\u00e9\n".encode(), 10, "field", 4, 1, "1\u00e9",
        "field 1 (columns 1-10) is not a number: '1é', and its edge at byte 11 falls inside the character 'é'",
    ),
    "second-block-not-utf8": (b"1\na\nt\n 1.00000E+00\nt\n\xff\n", 12, "encoding", 6, 1, None,
                              "the byte 0xFF at column 1..."),
    "width-neither-12-nor-15": (
        b"2\na\nb\nt=0\n 1.00000E+00 2.0\n", None, "width", 5, None, None,
        ("the first data line is 16 bytes long (trailing blanks aside), but its 2 fields need 24 at width 12 or 30"
        " at width 15; give width= for another width. A count on the first line that does not match the names"
        " that follow it causes this too"),
    ),
    "gzip": (gzip.compress(b"1\na\n"), 12, "compressed", 1, None, None,
             ("the file holds gzip-compressed data, not text; read it with compression=\"infer\" (the default), "
              "or decompress it first (for example with gunzip)")),
    "bzip2": (bz2.compress(b"1\na\n"), 12, "compressed", 1, None, None, "the file holds bzip2-compressed..."),
    "bzip2-empty": (bz2.compress(b""), 12, "compressed", 1, None, None, "the file holds bzip2-compressed..."),
    "xz": (lzma.compress(b"1\na\n"), 12, "compressed", 1, None, None, "the file holds xz-compressed data..."),
    "zstd": (b"\x28\xb5\x2f\xfd\x20\x04\x21\x00\x001\na\n", 12, "compressed", 1, None, None,
             "the file holds zstd-compressed data, not text; read it with compression=\"infer\"..."),
}


def says(message, words):
    """Whether message is words, or, where words ends in "...", begins with
    them; "..." at the start of words leaves out the front."""
    if words.startswith("..."):
        return says(message[message.index(words[3:].removesuffix("...")):], words[3:])
    return message.startswith(words[:-3]) if words.endswith("...") else message == words


@pytest.mark.parametrize("case", CONTENT_FAILURES)
def test_content_failure_is_plot_file_error(write_file, case):
    content, width, kind, line, column, text, words = CONTENT_FAILURES[case]
    path = write_file(content)
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path, width, compression=None)
    error = caught.value
    assert (type(error), error.path, error.kind, error.line, error.column, error.text) == (
        dunvel.PlotFileError, path, kind, line, column, text
    )
    assert says(error.message, words), error.message
    assert str(error) == f"{path}, line {line}: {error.message}"
    assert error.__cause__ is None and error.__suppress_context__


def test_a_bad_count_says_nothing_on_stdout(write_file):
    # olvane prints a notice for a bad count; dunvel's message says it all.
    done = run_python("import sys, dunvel\ntry: dunvel.read(sys.argv[1])\nexcept ValueError: pass",
                      write_file(b"NPAR = x\n"))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


@pytest.mark.parametrize("column, text", [(None, None), (13, "1.0 2.0")])
def test_plot_file_error_is_a_value_error_that_pickles(column, text):
    error = dunvel.PlotFileError("run.plt", 7, "field 2 is not a number", "field", column, text)
    assert isinstance(error, ValueError)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.path, copy.line, copy.message, copy.kind, copy.column, copy.text, str(copy)) == (
        dunvel.PlotFileError, "run.plt", 7, "field 2 is not a number", "field", column, text,
        "run.plt, line 7: field 2 is not a number",
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
    paths = [write_file(case[0]) for case in CONTENT_FAILURES.values()]
    paths += [str(tmp_path / "missing.dat"), str(tmp_path)]
    done = run_python(
        """
        import sys, dunvel
        for path in sys.argv[1:]:
            try:
                dunvel.read(path, compression=None)
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
    bad = [write_file(case[0]) for case in CONTENT_FAILURES.values()]
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
                        dunvel.read(path, compression=None)
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


# --- each kind planted in generated files -------------------------------------

JUNK = ["x", "1.0.0", "--1", "e5", "1,5", "0x1F", "1.0E", "+-0", "1e+5-", "\u00e9"]


@st.composite
def planted(draw):
    """A well-formed file with one problem planted in it: (content, width to
    read at, kind, line, column, text)."""
    n = draw(st.integers(1, 23))
    width = draw(st.sampled_from([12, 15]))
    values = [[draw(st.floats(-1e6, 1e6, width=32)) for _ in range(n)] for _ in range(draw(st.integers(1, 3)))]
    lines = plot_text([f"P{j}" for j in range(n)], values, width).split("\n")[:-1]
    header = n + 1
    data = [i for i in range(header, len(lines)) if (i - header) % (1 + (n + 9) // 10) != 0]
    kind = draw(st.sampled_from(["encoding", "count", "header", "incomplete", "field", "short-line", "width",
                                 "compressed"]))
    read_at, column, text = width, None, None

    def joined(rows):
        return "".join(row + "\n" for row in rows).encode()

    if kind == "encoding":
        index = draw(st.integers(0, len(lines) - 1))
        at = draw(st.integers(0, len(lines[index])))
        raw = lines[index].encode()
        content = joined(lines[:index]) + raw[:at] + b"\xff" + raw[at:] + b"\n" + joined(lines[index + 1 :])
        line, column = index + 1, at + 1
    elif kind == "count":
        text = draw(st.sampled_from(["x", "3.0", "-1", "12a", "+", "4294967296"]))
        content = joined([f"  NPAR = {text}", *lines[1:]])
        line, column = 1, 10
    elif kind == "header":
        found = draw(st.integers(0, n - 1))
        content = joined(lines[: 1 + found])
        line = 1 + found
    elif kind == "incomplete":
        index = draw(st.sampled_from(data))
        cut = draw(st.integers(0, len(lines[index]) - 1))
        content = joined(lines[:index]) + lines[index][:cut].encode()
        line = index + 1 if cut else index
    elif kind == "field":
        index = draw(st.sampled_from(data))
        fields = len(lines[index]) // width
        k = draw(st.integers(0, fields - 1))
        text = draw(st.sampled_from(JUNK))
        row = lines[index]
        lines[index] = row[: k * width] + text.rjust(width) + row[(k + 1) * width :]
        content = joined(lines)
        line, column = index + 1, k * width + 1
    elif kind == "short-line":
        index = draw(st.sampled_from(data))
        length = draw(st.integers(0, len(lines[index]) - 1))
        lines[index] = lines[index][:length]
        content = joined(lines)
        line, column = index + 1, length // width * width + 1
    elif kind == "width":
        # Never a whole field more: 4 fields of 12 and a fifth fill 4 of 15.
        lines[header + 1] += draw(st.sampled_from(["x", " 1", "0" * (width + 1)]))
        content = joined(lines)
        read_at, line = None, header + 2
    else:
        compress = draw(st.sampled_from([gzip.compress, bz2.compress, lzma.compress]))
        content = compress(joined(lines))
        line = 1
    return content, read_at, kind, line, column, text


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(planted())
def test_each_kind_where_it_was_planted(tmp_path, case):
    content, width, kind, line, column, text = case
    path = tmp_path / "planted.dat"
    path.write_bytes(content)
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(path, width, compression=None)
    error = caught.value
    assert (error.kind, error.line, error.column, error.text) == (kind, line, column, text)
