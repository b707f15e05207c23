"""Reference and allocation counts of every kind of dunvel call: after a
warm-up, a thousand calls of one kind leave the interpreter's allocated
blocks, its mapped memory, the reference counts of the types whose objects
the calls make and drop (a type that keeps or loses one reference per
object leaks too), and on a debug interpreter its total reference count,
where they found them, within a tolerance far below one object per call.

NumPy comes as a release build even to the debug interpreter (the two share
their ABI), and a release build's reference operations do not reach
sys.gettotalrefcount(): a call through np.frombuffer moves the total by a
reference or two that nothing holds. So a read's total is checked less what
the same NumPy operations on a bytearray move it by (numpy-baseline), and
calls that make other arrays too are left to the blocks and the types' own
counts, which are exact either way."""

import gzip
import json
import os
import sys
from pathlib import Path

import pytest

from conftest import MALFORMED_FILES, plot_text, run_python
from stream_support import big_plot

pytestmark = pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC", "").startswith("malloc") or os.environ.get("OLVANE_SANITIZED") == "1",
    reason="the interpreter counts no blocks without its own allocator",
)

DEBUG = hasattr(sys, "gettotalrefcount")
TOLERANCE = 100  # caches that settle, or grow now and then by a few dozen blocks
VM_TOLERANCE_KIB = 2048  # a leaked mapping is at least 4 KiB a call, 4 MiB a window

# (kind, the call, calls per window, dunvel.reads inside it (NumPy's share
# of the total; None where it makes other arrays too), what it ends in: a
# kind that ended otherwise than meant would leave its path unmeasured).
MANY = 200
KINDS = [
    ("read", "dunvel.read(good)", 1000, 1, "Plot"),
    ("read-width-15", "dunvel.read(paths['good-w15'], 15)", 1000, 1, "Plot"),
    ("read-width-found-15", "dunvel.read(paths['good-w15'])", 1000, 1, "Plot"),
    ("read-no-steps", "dunvel.read(paths['no-steps'])", 1000, 1, "Plot"),
    ("read-no-parameters", "dunvel.read(paths['no-parameters'])", 1000, 1, "Plot"),
    ("read-column", "dunvel.read(good)['p3'].sum()", 1000, None, "float32"),
    ("read-arrays-outlive-plot", "arrays_outlive_their_plot()", 1000, 1, "list"),
    ("numpy-baseline", "numpy_as_read_does()", 1000, 1, "NoneType"),
    ("native", "_native.read(enc(good), 12, False)", 1000, 0, "tuple"),
    ("native-no-steps", "_native.read(enc(paths['no-steps']), 0, False)", 1000, 0, "tuple"),
    ("native-memoryview", "lent_to_memoryview()", 1000, 0, "NoneType"),
    ("native-frombuffer", "lent_as_views()", 1000, None, "float64"),
    ("native-refused-by-numpy", "refused_by_numpy()", 1000, 0, "ValueError"),
    ("read-open-failure", "dunvel.read(paths['missing'])", 1000, 0, "FileNotFoundError"),
    ("read-read-failure", "dunvel.read(paths['directory'])", 1000, 0, "IsADirectoryError"),
    ("read-nul-in-path", "dunvel.read(good + '\\0')", 1000, 0, "ValueError"),
    ("read-width-zero", "dunvel.read(good, 0)", 1000, 0, "ValueError"),
    ("read-width-str", "dunvel.read(good, '12')", 1000, 0, "TypeError"),
    ("read-width-above-u32", "dunvel.read(good, 2 ** 32)", 1000, 0, "OverflowError"),
    ("native-open-failure", "_native.read(enc(paths['missing']), 12, False)", 1000, 0, "ReaderError open"),
    ("native-read-failure", "_native.read(enc(paths['directory']), 12, False)", 1000, 0, "ReaderError read"),
    ("native-path-str", "_native.read(good, 12, False)", 1000, 0, "TypeError"),
    ("native-width-float", "_native.read(enc(good), 12.0, False)", 1000, 0, "TypeError"),
    ("native-width-negative", "_native.read(enc(good), -1, False)", 1000, 0, "OverflowError"),
    ("native-width-above-u64", "_native.read(enc(good), 2 ** 64, False)", 1000, 0, "OverflowError"),
    ("native-width-above-u32", "_native.read(enc(good), 2 ** 32, False)", 1000, 0, "OverflowError"),
    ("native-two-arguments", "_native.read(enc(good), 12)", 1000, 0, "TypeError"),
    ("native-five-arguments", "_native.read(enc(good), 12, False, 2, 12)", 1000, 0, "TypeError"),
    ("native-threads-zero", "_native.read(enc(good), 12, False, 0)", 1000, 0, "ValueError"),
    ("native-keep-incomplete-int", "_native.read(enc(good), 12, 1)", 1000, 0, "TypeError"),
    ("native-keep-incomplete", "_native.read(enc(paths['content-short-block']), 12, True)", 1000, 0, "tuple"),
    ("read-keep-incomplete", "dunvel.read(paths['content-short-block'], incomplete='keep')", 1000, 1, "Plot"),
    ("read-many", "dunvel.read_many([good] * 4, threads=2)", MANY, 4, "[Plot, Plot, Plot, Plot]"),
    ("read-many-return", "dunvel.read_many(many_return, errors='return', threads=2)", MANY, 2,
     "[Plot, PlotFileError, FileNotFoundError, IsADirectoryError, Plot]"),
    # One thread: the good file is read, then the bad one raises, always.
    ("read-many-raise", "dunvel.read_many([good, paths['content-bad-field']], threads=1)", MANY, 1,
     "PlotFileError"),
    ("read-many-none", "dunvel.read_many([])", 1000, 0, "list"),
    # Readers: a path's, a stream's (fed from this thread to the reader's
    # own), a compressed one's, and the ways that a stream fails.
    ("native-open", "_native.open(enc(good), False, b'', 12, False, False).read(0)", 1000, 0, "tuple"),
    ("native-open-stream", "_native.open(io.BytesIO(GOOD).readinto, True, b'1', 12, False, False).read(0)",
     MANY, 0, "tuple"),
    ("native-open-read-method", "_native.open(io.BytesIO(GOOD).read, False, b'', 0, False, False).read(0)",
     MANY, 0, "tuple"),
    ("native-open-growing", "_native.open(enc(good), False, b'', 0, False, True).read(2)", 1000, 0, "tuple"),
    ("native-open-failure", "_native.open(enc(paths['missing']), False, b'', 12, False, False)", 1000, 0,
     "ReaderError open"),
    ("native-open-content-failure",
     "_native.open(enc(paths['content-bad-field']), False, b'', 12, False, False).read(0)", 1000, 0,
     "ReaderError content"),
    ("native-open-stream-growing", "_native.open(len, False, b'', 12, False, True)", 1000, 0, "TypeError"),
    ("native-open-bad-arguments", "_native.open(1, False, b'', 12, False, False)", 1000, 0, "TypeError"),
    ("native-reader-closed", "closed_reader().read(0)", 1000, 0, "ValueError"),
    ("read-stream", "dunvel.read(io.BytesIO(GOOD))", MANY, None, "Plot"),
    ("read-gzip-stream", "dunvel.read(io.BytesIO(GOOD_GZ))", MANY, None, "Plot"),
    ("read-gzip-path", "dunvel.read(paths['good-gz'])", MANY, None, "Plot"),
    ("read-stream-raises", "dunvel.read(Raising())", MANY, 0, "ZeroDivisionError"),
    ("read-stream-overstates", "dunvel.read(Overstating())", MANY, 0, "OSError"),
    ("read-stream-text", "dunvel.read(io.StringIO('1'))", 1000, 0, "TypeError"),
    ("reader-chunks", "list(dunvel.open(good).chunks(2))", MANY, None, "[Plot, Plot, Plot]"),
    ("reader-growing", "growing_reads()", MANY, None, "int"),
    ("reader-header-failure", "dunvel.open(paths['content-missing-name-line'])", 1000, 0, "PlotFileError"),
    # Selections: the native call, its refusals, and dunvel's, which also
    # make the array of step numbers.
    ("native-select", "selected_native((1, 3), 1, None, 2)", 1000, 0, "tuple"),
    ("native-select-stop", "selected_native(None, 0, 3, 1)", 1000, 0, "tuple"),
    ("native-select-unsorted", "selected_native((3, 1), 0, None, 1)", 1000, 0, "ValueError"),
    ("native-select-not-a-tuple", "selected_native([1], 0, None, 1)", 1000, 0, "TypeError"),
    ("read-selected", "dunvel.read(good, names=['p1*', 'p3'], steps=slice(None, None, 2), time=(0, 9))", 1000,
     None, "Plot"),
    ("read-selected-missing-name", "dunvel.read(good, names='q1')", 1000, 0, "MissingName"),
    ("read-selected-bad-steps", "dunvel.read(good, steps=slice(-1, None))", 1000, 0, "ValueError"),
    # A file large enough for threads, read whole, failing, and selected.
    ("read-threaded", "dunvel.read(paths['big'], threads=3)", 40, 1, "Plot"),
    ("read-threaded-failure", "dunvel.read(paths['big-damaged'], threads=3)", 40, 0, "PlotFileError"),
    ("read-threaded-selected", "dunvel.read(paths['big'], names='P1', steps=slice(0, None, 5), threads=2)", 40,
     None, "Plot"),
    ("reader-chunks-selected", "list(dunvel.open(good, names='p2', steps=range(0, 5, 2)).chunks(1))", MANY, None,
     "[Plot, Plot, Plot]"),
]
CONTENT = {**MALFORMED_FILES, "empty": "", "width-not-found": "2\na\nb\nt\n 1.00000E+00 2.0\n"}
for _name in CONTENT:
    _width = 0 if _name == "width-not-found" else 12  # 0: find it
    KINDS.append((f"read-content-{_name}", f"dunvel.read(paths['content-{_name}'], {_width or None})", 1000, 0,
                  "PlotFileError"))
    KINDS.append((f"native-content-{_name}", f"_native.read(enc(paths['content-{_name}']), {_width}, False)", 1000, 0,
                  "ReaderError content"))

CHILD = """
import gc, gzip, io, json, os, sys
import numpy as np
import dunvel
from dunvel import _native

paths, kinds = json.loads(sys.argv[1]), json.loads(sys.argv[2])
out, sink = os.dup(1), os.open(os.devnull, os.O_WRONLY)
os.dup2(sink, 1)
os.dup2(sink, 2)
good, enc = paths["good"], os.fsencode
many_return = [good, paths["content-short-block"], paths["missing"], paths["directory"], paths["good-w15"]]

def lent_as_views():
    names, times, values, count, width, complete = _native.read(enc(good), 12, False)
    rows = np.frombuffer(values, dtype=np.float32).reshape(-1, count)
    column, steps = rows[:, 3], np.frombuffer(memoryview(times), dtype=np.float64)
    return column.sum() + steps[-1]

def lent_to_memoryview():
    values = _native.read(enc(good), 12, False)[2]
    with memoryview(values) as view:
        view.cast("f")[0]
    memoryview(values).cast("B")[4]  # dropped, not released

def refused_by_numpy():
    # 3 float32 are no whole number of float64: NumPy takes the buffer,
    # refuses it and must give it back.
    np.frombuffer(_native.read(enc(paths["odd-size"]), 12, False)[2], dtype=np.float64)

def arrays_outlive_their_plot():
    values = dunvel.read(good).values
    column = values[:, 2]
    del values
    return column.tolist()

TIMES, VALUES = bytearray(8 * 5), bytearray(4 * 12 * 5)
with open(good, "rb") as file:
    GOOD = file.read()[1:]  # the first byte comes as a prefix where a call says so
GOOD_GZ = gzip.compress(b"1" + GOOD)
GOOD = b"1" + GOOD

class Raising(io.RawIOBase):
    def readinto(self, buffer):
        raise ZeroDivisionError("the stream's own")

class Overstating(io.RawIOBase):
    def readinto(self, buffer):
        return len(buffer) + 1

def closed_reader():
    reader = _native.open(enc(good), False, b"", 12, False, False)
    reader.close()
    return reader

def selected_native(parameters, first, stop, stride):
    reader = _native.open(enc(good), False, b"", 12, False, False)
    reader.select(parameters, first, stop, stride, None, None)
    return reader.read(0)

def growing_reads():
    with dunvel.open(good, growing=True) as reader:
        return len(reader.read(2)) + len(reader.read()) + len(reader.read())

def numpy_as_read_does():
    # dunvel.read's NumPy operations on memory that is not Pages.
    times = np.frombuffer(memoryview(TIMES), dtype=np.float64)
    np.frombuffer(memoryview(VALUES), dtype=np.float32).reshape(times.shape[0], 12)

def outcome(call):
    try:
        result = call()
    except BaseException as error:
        if isinstance(error, _native.ReaderError):
            return f"ReaderError {error.args[0]}"
        return type(error).__name__
    if isinstance(result, list) and result and not isinstance(result[0], float):
        return "[" + ", ".join(type(r).__name__ for r in result) + "]"
    return type(result).__name__

def call(function):
    try:
        function()
    except BaseException as error:
        del error

def vm_kib():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))

total = getattr(sys, "gettotalrefcount", None)
TYPES = (_native.Pages, _native.ReaderError, _native.Reader, dunvel.Plot, dunvel.PlotFileError,
         dunvel.PlotReader, np.ndarray, memoryview, tuple, str, FileNotFoundError, IsADirectoryError, TypeError,
         ValueError, OverflowError, ZeroDivisionError)

def counts():
    gc.collect()
    return [sys.getallocatedblocks(), total() if total else 0, vm_kib()], [sys.getrefcount(t) for t in TYPES]

report = {}
for name, expression, runs in kinds:
    function = eval("lambda: " + expression)
    for _ in range(runs // 4):
        call(function)
    # Three windows: a leak grows in each, a cache that fills now and then not in all.
    windows = []
    for _ in range(3):
        before, types = counts()
        for _ in range(runs):
            call(function)
        after, types2 = counts()
        windows.append([b - a for a, b in zip(before, after)] + [[b - a for a, b in zip(types, types2)]])
    report[name] = {"outcome": outcome(function), "windows": windows}
os.write(out, json.dumps(report).encode())
"""


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    folder = tmp_path_factory.mktemp("refcounts")

    def write(name, content):
        path = folder / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    paths = {f"content-{name}": write(f"content-{name}", content) for name, content in CONTENT.items()}
    paths["good"] = write("good", plot_text([f"p{j}" for j in range(12)], [[j + i * 0.25 for j in range(12)] for i in range(5)]))
    paths["good-w15"] = write("good-w15", plot_text(["a", "b"], [[i * 0.5, -i] for i in range(5)], width=15))
    paths["no-steps"] = write("no-steps", "3\na\nb\nc\n")
    paths["no-parameters"] = write("no-parameters", "0\nt\nt\n")
    paths["odd-size"] = write("odd-size", plot_text(["a", "b", "c"], [[1.0, 2.0, 3.0]]))
    paths["good-gz"] = write("good-gz", gzip.compress(Path(paths["good"]).read_bytes()))
    big = big_plot()
    paths["big"] = write("big", big)
    late = big.index(b"E+", len(big) * 3 // 4)
    paths["big-damaged"] = write("big-damaged", big[:late] + b"Q" + big[late + 1 :])
    paths["missing"] = str(folder / "missing")
    paths["directory"] = str(folder)
    kinds = [(name, expression, runs) for name, expression, runs, _, _ in KINDS]
    proc = run_python(CHILD, json.dumps(paths), json.dumps(kinds), timeout=600)
    assert (proc.returncode, proc.stderr) == (0, b"")
    return json.loads(proc.stdout)


def test_every_kind_of_call_ends_as_meant(report):
    assert {name: case["outcome"] for name, case in report.items()} == {k[0]: k[4] for k in KINDS}


def grown(report, measure, tolerance):
    """The kinds of call whose measure moved past the tolerance in every window."""
    return {name: [window[measure] for window in case["windows"]] for name, case in report.items()
            if all(abs(window[measure]) > tolerance for window in case["windows"])}


def test_blocks_and_mapped_memory_stay(report):
    assert (grown(report, 0, TOLERANCE), grown(report, 2, VM_TOLERANCE_KIB)) == ({}, {})


def test_types_keep_their_reference_counts(report):
    # Exact: each object made holds its type, and gives it back when it goes.
    moved = {name: [window[3] for window in case["windows"]] for name, case in report.items()
             if all(any(window[3]) for window in case["windows"])}
    assert moved == {}


@pytest.mark.skipif(not DEBUG, reason="sys.gettotalrefcount() is a debug interpreter's")
def test_total_reference_count_stays(report):
    # What NumPy moves the total by per read, as numpy-baseline measured it.
    runs = next(runs for name, _, runs, _, _ in KINDS if name == "numpy-baseline")
    baseline = sorted(window[1] for window in report["numpy-baseline"]["windows"])[1] / runs
    moved = {}
    for name, _, runs, reads, _ in KINDS:
        if reads is None:
            continue
        left = [window[1] - reads * baseline * runs for window in report[name]["windows"]]
        if all(abs(r) > TOLERANCE for r in left):
            moved[name] = left
    assert moved == {}
