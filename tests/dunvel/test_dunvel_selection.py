"""Part of a file: names= (names, else glob patterns), steps= (a slice or
range) and time= (a window) give the bits of those columns and rows of a full
read, in read, read_many, open and follow; what is not selected is not parsed,
nothing after a stop is read, and a bad selection fails before any file opens."""

import difflib
import fnmatch
import gzip
import io
import math
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import dunvel
from conftest import plot_text
from stream_support import arrays, bounded, corpus, line_ends, outcome, overwrite, sample, signature

INF = math.inf
NO_STOP = 1 << 62  # past any file


def as_range(steps):
    if isinstance(steps, range):
        return steps
    steps = steps or slice(None)
    return range(steps.start or 0, NO_STOP if steps.stop is None else steps.stop, steps.step or 1)


def selected_columns(header, names):
    if names is None:
        return list(range(len(header)))
    wanted = [names] if isinstance(names, str) else list(names)
    return [j for j, name in enumerate(header)
            if any(name == w if w in header else fnmatch.fnmatchcase(name, w) for w in wanted)]


def selected_rows(full, steps=None, time=None):
    within = as_range(steps)
    return [i for i in range(full.n_steps)
            if i in within and (time is None or time[0] <= full.times[i] <= time[1])]


def expected_complete(full, steps):
    """None where the read stopped at the stop, before the file's end."""
    within = as_range(steps)
    return None if within.stop != NO_STOP and len(within) and within[-1] < full.n_steps else full.complete


def check(got, full, names=None, steps=None, time=None):
    cols, rows = selected_columns(full.names, names), selected_rows(full, steps, time)
    assert got.names == tuple(full.names[j] for j in cols)
    assert got.steps.dtype == np.int64 and got.steps.tolist() == rows
    want = full.values[rows][:, cols]
    assert got.values.dtype == np.float32 and got.values.shape == want.shape
    assert got.values.tobytes() == want.tobytes()
    assert got.times.tobytes() == full.times[rows].tobytes()
    if rows:
        assert got.width == full.width


def failure(error):
    return (type(error), *(getattr(error, name, None) for name in ("kind", "line", "column", "text")))


# --- a selection is the same bits as those columns and rows of a full read ---

FILES = {
    "width-12": sample(12, 40),
    "width-15-crlf-23-parameters": sample(23, 17, 15, seed=3, newline="\r\n"),
    "10-parameters": sample(10, 9, seed=1),
    "no-final-line-feed": sample(11, 6, seed=2)[:-1],
    "no-times": plot_text([f"P{j}" for j in range(4)], [[j + i / 8 for j in range(4)] for i in range(7)]).encode(),
    "cut-in-a-step": sample(12, 9, seed=4)[:-30],
}
# sample()'s step i has the time 9i.25E-02 (0.9025, 0.9125, ..., 9.1025 for step 10).
SELECTIONS = [
    {"names": "P1"}, {"names": ["P3", "P0"]}, {"names": "P1*"}, {"names": ("P?",)}, {"names": ["P[02468]", "P2"]},
    {"steps": slice(2, None)}, {"steps": slice(None, 5)}, {"steps": slice(1, 8, 3)}, {"steps": range(0, 100, 4)},
    {"steps": range(3, 3)}, {"time": (0.9125, 0.9425)}, {"time": (-INF, INF)}, {"time": (5.0, 5.0)},
    {"names": "P?", "steps": slice(1, None, 2), "time": (0.91, 9.2)}, {"names": "P0", "steps": range(5, 6)},
]
SOURCES = {"path": lambda path, data: path, "BytesIO": lambda path, data: io.BytesIO(data),
           "gzip": lambda path, data: path + ".gz"}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("selection", SELECTIONS, ids=repr)
@pytest.mark.parametrize("content", FILES)
def test_selection_is_those_bits_of_the_full_read(write_file, content, selection, source):
    data = FILES[content]
    path = write_file(data)
    with open(path + ".gz", "wb") as packed:
        packed.write(gzip.compress(data, 1, mtime=0))
    full = dunvel.read(path, incomplete="keep")
    got = dunvel.read(SOURCES[source](path, data), incomplete="keep", **selection)
    check(got, full, **selection)
    if len(as_range(selection.get("steps"))):
        assert got.complete is expected_complete(full, selection.get("steps"))


NAMES = [f"P{j}" for j in range(30)]
PATTERNS = ["P*", "P1?", "P[0-4]", "P?", "*[13579]", "P2*", "Q*", "P[!1]*"]


@st.composite
def selections(draw):
    pick = st.one_of(st.sampled_from(NAMES), st.sampled_from(PATTERNS))
    stop = st.none() | st.integers(0, 25)
    return {
        "names": draw(st.none() | pick | st.lists(pick, min_size=1, max_size=4).map(tuple)),
        "steps": draw(st.none() | st.builds(slice, st.none() | st.integers(0, 20), stop, st.none() | st.integers(1, 4))
                      | st.builds(range, st.integers(0, 20), st.integers(0, 25), st.integers(1, 4))),
        "time": draw(st.none() | st.tuples(st.floats(0.8, 10.0), st.floats(0.0, 9.0)).map(lambda w: (w[0], w[0] + w[1]))
                     | st.tuples(st.integers(0, 20), st.integers(0, 20)).map(
                         lambda w: tuple(float(f"9{i}.25E-02") for i in sorted(w)))),
    }


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.integers(1, 25), st.integers(0, 20), st.sampled_from([12, 15]), st.sampled_from(["\n", "\r\n"]),
       st.integers(0, 8), selections(), st.integers(1, 5))
def test_any_selection_is_those_bits_of_the_full_read(tmp_path, n, steps, width, newline, cut, selection, chunk):
    data = sample(n, steps, width, seed=n * 100 + steps, newline=newline)
    path = tmp_path / "plot.dat"
    path.write_bytes(data[: len(data) - cut] if steps else data)
    full = dunvel.read(path, incomplete="keep")
    names = selection["names"]
    missing = [w for w in ([names] if isinstance(names, str) else names or [])
               if not selected_columns(full.names, [w])]
    if missing:
        with pytest.raises(KeyError) as caught:
            dunvel.read(path, incomplete="keep", **selection)
        assert caught.value.args[0] in missing
        return
    got = dunvel.read(path, incomplete="keep", **selection)
    check(got, full, **selection)
    if len(as_range(selection["steps"])):
        assert got.complete is expected_complete(full, selection["steps"])
    with dunvel.open(path, incomplete="keep", **selection) as reader:
        assert reader.names == got.names
        chunks = list(reader.chunks(chunk))
    sizes = [p.n_steps for p in chunks]
    assert all(0 < k <= chunk for k in sizes[:-1]) and all(k <= chunk for k in sizes[-1:]), sizes
    assert arrays(chunks) == arrays([got])


# --- which names select which columns --------------------------------------

HEADER = ["b", "a", "a", "[a]", "a*", "ab", "Ab"]


@pytest.mark.parametrize("names, want", [
    (["ab", "b"], ("b", "ab")),  # header order, whatever the order asked
    ("a", ("a", "a")),  # a name the header holds twice
    (["a", "a"], ("a", "a")),  # each column once
    ("[a]", ("[a]",)),  # a name the header holds is not taken as a pattern
    ("a*", ("a*",)),
    ("a?", ("a*", "ab")),
    (["?", "a"], ("b", "a", "a")),
    ("[!a]*", ("b", "[a]", "Ab")),
    ("A*", ("Ab",)),  # case counts
    (("*b",), ("b", "ab", "Ab")),
    (["b", "*"], tuple(HEADER)),
])
def test_names_select_columns(write_plot, names, want):
    path = write_plot(HEADER, [[float(j + 10 * i) for j in range(len(HEADER))] for i in range(3)])
    got = dunvel.read(path, names=names)
    assert got.names == want
    check(got, dunvel.read(path), names=names)


CLOSE = ["PRES_CORE_1", "PRES_CORE_2", "PRES_CORE_3", "PRES_CORE_4", "TEMP_LOOP_9"]
ENTRIES = {
    "read": lambda path, **kw: dunvel.read(path, **kw),
    "open": lambda path, **kw: dunvel.open(path, **kw).read(),
    "read_many": lambda path, **kw: dunvel.read_many([path, path], **kw),
    "follow": lambda path, **kw: next(iter(dunvel.follow(path, interval=0.02, idle_timeout=0.5, **kw))),
}
CALLS = {**ENTRIES, "read_many-return": lambda path, **kw: dunvel.read_many([path, path], errors="return", **kw)}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("names, missing", [
    ("PRES_CORE_X", "PRES_CORE_X"), (["TEMP_LOOP_9", "PRES_CORE"], "PRES_CORE"),
    (["PRES_*", "TEMP_*_1"], "TEMP_*_1"), ("pres_core_1", "pres_core_1"), ("zzz", "zzz"),
])
def test_a_name_that_selects_nothing_is_a_key_error(write_plot, entry, names, missing):
    path = write_plot(CLOSE, [[1.0] * 5] * 2)
    with pytest.raises(KeyError) as caught:
        bounded(ENTRIES[entry], path, names=names, timeout=30)
    message = str(caught.value)
    assert caught.value.args[0] == missing and missing in message
    close = difflib.get_close_matches(missing, CLOSE, n=3)
    assert {name for name in CLOSE if name in message} == set(close), message


# --- bad arguments fail before any file is opened ----------------------------

@pytest.mark.parametrize("entry", CALLS)
@pytest.mark.parametrize("selection, error", [
    ({"names": []}, ValueError), ({"names": ()}, ValueError),
    ({"names": [1]}, TypeError), ({"names": b"a"}, TypeError), ({"names": [b"a"]}, TypeError),
    ({"names": 1}, TypeError), ({"names": ["a", None]}, TypeError),
    ({"steps": slice(-1, None)}, ValueError), ({"steps": slice(0, -1)}, ValueError),
    ({"steps": slice(0, 5, 0)}, ValueError), ({"steps": slice(5, 0, -1)}, ValueError),
    ({"steps": range(-1, 3)}, ValueError), ({"steps": range(5, 0, -1)}, ValueError),
    ({"steps": 3}, TypeError), ({"steps": [0, 1]}, TypeError), ({"steps": slice(0.0, 3)}, TypeError),
    ({"steps": slice("0", 3)}, TypeError), ({"steps": slice(0, 3, 1.0)}, TypeError),
    ({"time": (1.0, 0.0)}, ValueError), ({"time": (math.nan, 1.0)}, ValueError),
    ({"time": (0.0, math.nan)}, ValueError), ({"time": (0.0,)}, TypeError), ({"time": (0, 1, 2)}, TypeError),
    ({"time": 0.5}, TypeError), ({"time": ("0", 1)}, TypeError),
], ids=repr)
def test_a_bad_selection_fails_before_the_file_is_opened(tmp_path, entry, selection, error):
    with pytest.raises(error):
        bounded(CALLS[entry], str(tmp_path / "missing.dat"), **selection, timeout=30)


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("selection", [{"names": "P0"}, {"steps": range(2)}, {"time": (0, 1.5)}], ids=repr)
def test_a_good_selection_goes_on_to_open_the_file(tmp_path, entry, selection):
    # What makes the refusals above the selection's own, not a keyword unknown.
    with pytest.raises(FileNotFoundError):
        bounded(ENTRIES[entry], str(tmp_path / "missing.dat"), **selection, timeout=30)


# --- what is not selected is not parsed ----------------------------------------

BASE = plot_text([f"P{j}" for j in range(13)], [[j + i / 4 for j in range(13)] for i in range(4)],
                 block_start="  TIME = {i}.5 S").split("\n")
FIELD = 12


def damaged(step, line, change):
    """BASE with data line `line` of step `step` changed by change(text)."""
    lines, at = list(BASE), 14 + 3 * step + 1 + line
    lines[at] = change(lines[at])
    return "\n".join(lines).encode()


def in_field(k, text):
    return lambda line: line[: k * FIELD] + text.rjust(FIELD) + line[(k + 1) * FIELD :]


DAMAGES = {
    "bad-field-P5-step-1": damaged(1, 0, in_field(5, "1.0000Q+00")),
    "bad-field-P10-step-2": damaged(2, 1, in_field(0, "1.0000Q+00")),
    "cut-inside-P3-step-1": damaged(1, 0, lambda line: line[: 3 * FIELD + 6]),
    "garbage-line-step-1": damaged(1, 0, lambda line: "garbage"),
    "invalid-utf8-P5-step-1": damaged(1, 0, in_field(5, "1.0#0E+00")).replace(b"#", b"\xff"),
    "not-a-count": "\n".join(["  NPAR = x", *BASE[1:]]).encode(),
}
UNSELECTED = [  # (damage, selection, the kind it fails with, or None where it reads)
    ("bad-field-P5-step-1", {"names": ["P0", "P11"]}, None), ("bad-field-P5-step-1", {"steps": slice(2, None)}, None),
    ("bad-field-P5-step-1", {"time": (2.0, INF)}, None), ("bad-field-P5-step-1", {"steps": slice(0, 1)}, None),
    ("bad-field-P5-step-1", {"names": "P5"}, "field"),
    ("bad-field-P5-step-1", {"names": "P5", "steps": range(0, 4, 2)}, None),
    ("bad-field-P10-step-2", {"names": "P[0-9]"}, None), ("bad-field-P10-step-2", {"names": "P1?"}, "field"),
    ("cut-inside-P3-step-1", {"names": ["P0", "P2", "P12"]}, None),
    ("cut-inside-P3-step-1", {"names": "P3"}, "short-line"), ("cut-inside-P3-step-1", {"names": "P4"}, "short-line"),
    ("garbage-line-step-1", {"steps": slice(2, None)}, None), ("garbage-line-step-1", {"time": (0.0, 0.5)}, None),
    ("garbage-line-step-1", {"names": "P12"}, None),
    ("invalid-utf8-P5-step-1", {"names": "P0"}, "encoding"),
    ("invalid-utf8-P5-step-1", {"steps": slice(2, None)}, "encoding"),
    ("invalid-utf8-P5-step-1", {"steps": slice(0, 1)}, None), ("not-a-count", {"names": "P0"}, "count"),
]


@pytest.mark.parametrize("damage, selection, kind", UNSELECTED, ids=repr)
def test_what_is_not_selected_is_not_parsed(write_file, damage, selection, kind):
    path = write_file(DAMAGES[damage])
    whole = outcome(dunvel.read, path)
    assert isinstance(whole, dunvel.PlotFileError)  # the damage is real
    got = outcome(dunvel.read, path, **selection)
    if kind is not None:
        # Where the selection holds the bad field itself, the full read fails at the same byte.
        same = 5 if kind in ("field", "encoding", "count") else 3
        assert failure(got)[:same] == failure(whole)[:same] and got.kind == kind
        return
    assert isinstance(got, dunvel.Plot), got
    intact = dunvel.read(write_file("\n".join(BASE).encode()))
    check(got, intact, **selection)


# --- with a stop, what follows the last selected step is not read ---------------

HEAD = sample(3, 4, seed=5)  # steps 0 to 3
TAILS = {
    "bad-field": b"9.0\n 1.00000E+00 2.0000QE+00 3.00000E+00\n",
    "cut-step": b"9.0\n 1.00000E+00 2.0",
    "invalid-utf8": b"\xff\xfe\n",
    "short-line": b"9.0\n 1.00000E+00\n",
    "block-start-only": b"9.0\n",
}


@pytest.mark.parametrize("steps", [slice(0, 4), slice(1, 4, 2), range(3, 7, 4), slice(0, 5, 3)], ids=repr)
@pytest.mark.parametrize("tail", TAILS)
def test_nothing_after_the_last_selected_step_is_read(write_file, tail, steps):
    path = write_file(HEAD + TAILS[tail])
    assert isinstance(outcome(dunvel.read, path), dunvel.PlotFileError)
    full = dunvel.read(write_file(HEAD))
    got = dunvel.read(path, steps=steps)
    check(got, full, steps=steps)
    assert got.complete is None
    with dunvel.open(path, steps=steps, names="P[12]") as reader:
        assert reader.names == ("P1", "P2")
        chunks = list(reader.chunks(1))
        for _ in range(2):
            rest = reader.read()
            assert (rest.n_steps, rest.values.shape, rest.names) == (0, (0, 2), ("P1", "P2"))
        assert list(reader.chunks(1)) == []
    assert [p.steps.tolist() for p in chunks] == [[i] for i in got.steps.tolist()]
    (many,) = dunvel.read_many([path], steps=steps)
    assert signature(many) == signature(got)


@pytest.mark.parametrize("cut, steps, want", [
    (False, slice(0, 10), True), (False, range(0, 7, 3), True),  # step 6 would be past the end
    (False, slice(0, 6), None), (True, slice(0, 10), False), (True, slice(0, 5), None),
    (True, range(1, 6, 2), False),  # step 5 is the one cut
], ids=repr)
def test_complete_where_the_file_ends_before_the_stop(write_file, cut, steps, want):
    path = write_file(sample(3, 6)[: -5 if cut else None])
    got = dunvel.read(path, steps=steps, incomplete="keep")
    assert got.complete is want
    check(got, dunvel.read(path, incomplete="keep"), steps=steps)
    raised = outcome(dunvel.read, path, steps=steps)
    assert (raised.kind == "incomplete") if want is False else (signature(raised) == signature(got))


# --- times that go back after a restart -------------------------------------------

TIMES = ["T 0.0", "T 1.0", "T 2.0", "  TIME = 1.0 (restart)", "T 2.0", "T 3.0", "  RESTART", "T 1.5"]


@pytest.mark.parametrize("selection, rows", [
    ({"time": (1.0, 2.0)}, [1, 2, 3, 4, 7]),
    ({"time": (1.5, 1.5)}, [7]),
    ({"time": (-INF, INF)}, [0, 1, 2, 3, 4, 5, 7]),
    ({"time": (3.5, 9.0)}, []),
    ({"time": (1.0, 2.0), "steps": slice(2, None)}, [2, 3, 4, 7]),
    ({"time": (1.0, 2.0), "steps": range(0, 8, 3)}, [3]),
], ids=repr)
def test_a_time_window_looks_at_every_step(write_file, selection, rows):
    lines = ["2", "a", "b"]
    for i, stamp in enumerate(TIMES):
        lines += [stamp, f" {i}.00000E+00-{i}.50000E+00"]
    path = write_file("\n".join(lines) + "\n")
    got = dunvel.read(path, **selection)
    assert got.steps.tolist() == rows
    check(got, dunvel.read(path), **selection)
    with dunvel.open(path, **selection) as reader:  # max_steps counts rows given, not steps looked at
        assert [reader.read(2).steps.tolist(), reader.read().steps.tolist()] == [rows[:2], rows[2:]]


# --- a reader and follow stop at the stop -----------------------------------------

def test_follow_stops_after_the_last_selected_step_while_the_file_grows(tmp_path):
    data, path = sample(3, 400, seed=7), tmp_path / "run.plt"
    step_ends = line_ends(data)[5::2]
    path.write_bytes(data[: step_ends[2]])
    stop, written = threading.Event(), [3]

    def write():
        with open(path, "ab", buffering=0) as out:
            while written[0] < 400 and not stop.is_set():
                out.write(data[step_ends[written[0] - 1] : step_ends[written[0]]])
                written[0] += 1
                time.sleep(0.02)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    try:
        got = bounded(lambda: list(dunvel.follow(path, names=["P2", "P0"], steps=slice(1, 8, 3), interval=0.02)),
                      timeout=30)
        assert writer.is_alive() and written[0] < 400  # follow ended, not the file
    finally:
        stop.set()
        writer.join(10)
    assert not writer.is_alive()
    assert [s for p in got for s in p.steps.tolist()] == [1, 4, 7]
    assert all(p.names == ("P0", "P2") for p in got)
    full = dunvel.read(path)
    assert np.concatenate([p.values for p in got]).tobytes() == full.values[[1, 4, 7]][:, [0, 2]].tobytes()
    assert np.concatenate([p.times for p in got]).tobytes() == full.times[[1, 4, 7]].tobytes()


# --- read_many ------------------------------------------------------------------

def test_read_many_selects_in_every_file(write_file, write_plot):
    paths = [write_file(sample(12, 20, seed=8)), write_file(sample(23, 9, 15, seed=9))]
    selection = {"names": ["P1?", "P0"], "steps": slice(1, None, 2), "time": (0.91, 9.15)}
    for path, got in zip(paths, dunvel.read_many(paths, threads=2, **selection)):
        check(got, dunvel.read(path), **selection)
    other = write_plot(["Q0", "Q1"], [[1.0, 2.0]] * 3)
    missing = paths[0] + ".missing"
    results = dunvel.read_many([paths[0], other, missing, paths[1]], names="P1?", errors="return")
    assert [type(r) for r in results] == [dunvel.Plot, type(results[1]), FileNotFoundError, dunvel.Plot]
    assert isinstance(results[1], KeyError) and results[1].args[0] == "P1?"
    assert signature(results[3]) == signature(dunvel.read(paths[1], names="P1?"))
    with pytest.raises(KeyError):
        dunvel.read_many([paths[0], other], names="P1?")


# --- a last line without its line feed is judged as a full read judges it --------

LAST_LINES = {
    "cut-in-a-field": b" 3.00000E+00 4.00000E+",
    "whole-but-not-a-number": b" 3.00000E+00 4.0000QE+00",
    "cut-to-a-width-of-12": b" 3.00000000E",  # at 15, and the first data line: it decides 12
}


@pytest.mark.parametrize("selection", [{"names": "a"}, {"time": (0.0, 1.0)}, {"steps": slice(0, None, 2)}], ids=repr)
@pytest.mark.parametrize("last", LAST_LINES)
def test_a_cut_last_line_cuts_its_step_whatever_is_selected(write_file, last, selection):
    two = b"2\na\nb\n  TIME = 0.5\n 1.00000E+00 2.00000E+00\n  TIME = 1.5\n"
    one = b"1\na\n  TIME = 1.5\n"
    head = one if last == "cut-to-a-width-of-12" else two
    path = write_file(head + LAST_LINES[last])
    full = dunvel.read(path, incomplete="keep")
    assert full.complete is False
    got = dunvel.read(path, incomplete="keep", **selection)
    check(got, full, **selection)
    assert got.complete is False
    assert outcome(dunvel.read, path, **selection).kind == "incomplete"


# --- over every file that the other tests wrote -----------------------------------


def corpus_selections(full):
    """Selections that fit the file: of its names, steps and times."""
    chosen = [{"steps": slice(1, None, 3)}, {"steps": range((full.n_steps + 1) // 2 or 1)}]
    if full.names:
        chosen += [{"names": list(full.names[::2])}, {"names": full.names[-1], "steps": slice(0, None, 2)}]
    times = np.sort(full.times[~np.isnan(full.times)])
    if len(times):
        chosen.append({"time": (float(times[len(times) // 4]), float(times[3 * len(times) // 4]))})
    return chosen


@pytest.mark.after_corpus
def test_selections_of_every_corpus_file(tmp_path):
    path = tmp_path / "plot.dat"
    for data in corpus():
        overwrite(path, data)
        try:
            full = dunvel.read(path, incomplete="keep")
        except (dunvel.PlotFileError, OSError):
            continue  # what fails whole is the damage tables' to look at
        for selection in corpus_selections(full):
            got = dunvel.read(path, incomplete="keep", **selection)
            check(got, full, **selection)
            assert got.complete is expected_complete(full, selection.get("steps")), selection
