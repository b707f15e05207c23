"""dunvel.open, a PlotReader: read(max_steps) and chunks(steps) give a
file's steps a few at a time, to the bits and failures of dunvel.read;
growing=True, for a file that a run is still writing: the complete steps so
far, each once, and PlotFileError kind "changed" where the file is no longer
the one that was read; dunvel.follow, which yields the new steps as a writer
appends them."""

import io
import os
import random
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import dunvel
from conftest import plot_text, run_python
from stream_support import arrays, bounded, corpus, line_ends, overwrite, sample


def step_ends(data, n):
    """(where the header ends, where each step's last line feed ends)."""
    ends = line_ends(data)
    per_step = 1 + (n + 9) // 10
    return ends[n], ends[n + per_step :: per_step]


def first_steps(plot, steps):
    return plot.values[:steps].tobytes(), plot.times[:steps].tobytes(), plot.steps[:steps].tobytes()


def failure(error):
    """A failure's type, and a PlotFileError's kind, line, column and text."""
    return (type(error), *(getattr(error, name, None) for name in ("kind", "line", "column", "text")))


# --- chunks and read(max_steps) against dunvel.read -----------------------------

def with_bad_field(data, n, step):
    """data with an X for the E of the second field of step's second data line."""
    lines = data.split(b"\n")
    at = 1 + n + step * (1 + (n + 9) // 10) + 2
    lines[at] = lines[at][:20] + b"X" + lines[at][21:]
    return b"\n".join(lines)


FILES = {
    "one-step": b"1\na\nt=0\n 1.00000E+00\n",
    "12-parameters": sample(12, 40),
    "10-parameters": sample(10, 9, seed=1),
    "11-parameters-crlf": sample(11, 9, seed=2, newline="\r\n"),
    "23-parameters-width-15": sample(23, 17, 15, seed=3),
    "header-only": b"3\na\nb\nc\n",
    "no-parameters": b"0\nt=0\nt=1\nt=2\n",
    "no-times": plot_text(["a", "b"], [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], block_start="step {i}").encode(),
    "cut-in-a-step": sample(12, 9, seed=4)[:-30],
    "cut-after-a-block-start": sample(12, 5, seed=5) + b"  TIME = 9.0\n",
    "blank-line-at-the-end": sample(3, 5, seed=6) + b"\n",
    "bad-field-in-step-5": with_bad_field(sample(13, 9, seed=7), 13, 5),
    "short-line-in-step-3": b"2\na\nb\n" + b"t\n 1.00000E+00 2.00000E+00\n" * 3 + b"t\n 1.00000E+00\n" + b"t\n",
    "width-of-neither": b"2\na\nb\nt\n 1.00000E+00 2.0\n",
    "empty": b"",
    "header-cut": b"3\na\n",
    "count-wrong": b"x\n",
}
CHUNK_SIZES = [1, 2, 7, 10**9]


def variants(data):
    """data, and data with its last line feed taken off or one put on."""
    return [data, data[:-1] if data.endswith(b"\n") else data + b"\n"]


def by_chunks(path, steps, incomplete):
    """The chunks of path, or how they failed: (chunks, None) or (chunks so far, failure)."""
    got = []
    try:
        with dunvel.open(path, incomplete=incomplete) as reader:
            got.extend(reader.chunks(steps))
    except Exception as error:  # noqa: BLE001 - compared with what dunvel.read raises
        return got, failure(error)
    return got, None


def check_chunks(path, steps, incomplete="raise"):
    try:
        want = dunvel.read(path, incomplete=incomplete)
    except Exception as error:  # noqa: BLE001 - the chunks must fail alike
        want = error
    got, failed = by_chunks(path, steps, incomplete)
    before = [p.n_steps for p in got]
    assert all(0 < n <= steps for n in before[:-1]) and all(n <= steps for n in before[-1:]), before
    if isinstance(want, Exception):
        assert failed == failure(want)
        assert arrays(got)[2] == np.arange(sum(before), dtype=np.int64).tobytes()
        return
    assert failed is None
    assert arrays(got) == arrays([want])
    assert all(p.names == want.names for p in got)
    assert all(p.width == want.width for p in got if p.n_steps)


@pytest.mark.parametrize("steps", CHUNK_SIZES)
@pytest.mark.parametrize("final", [0, 1], ids=["as-written", "final-line-feed-changed"])
@pytest.mark.parametrize("content", FILES)
def test_chunks_equal_read(write_file, content, final, steps):
    path = write_file(variants(FILES[content])[final])
    for incomplete in ("raise", "keep"):
        check_chunks(path, steps, incomplete)


@pytest.mark.parametrize("sizes", [[3, None], [1, 2, 4, 8, None], [5, 5, 5, 5, 5, 5, 5, 5, 5]])
def test_read_goes_on_where_the_last_read_stopped(write_file, sizes):
    path = write_file(sample(12, 40))
    want = dunvel.read(path)
    got = []
    with dunvel.open(path) as reader:
        assert (reader.path, reader.names, reader.width) == (path, want.names, None)
        for size in sizes:
            plot = reader.read(size)
            assert plot.n_steps == min(40 - sum(p.n_steps for p in got), 10**9 if size is None else size)
            got.append(plot)
            assert reader.width == 12
        rest = reader.read()
        assert (rest.n_steps, rest.values.shape, rest.names) == (0, (0, 12), want.names)
    assert arrays(got) == arrays([want])


@pytest.mark.parametrize("growing", [False, True])
def test_chunks_go_on_where_read_stopped_and_read_where_chunks_stopped(write_file, growing):
    path = write_file(sample(12, 40))
    with dunvel.open(path, growing=growing) as reader:
        first = reader.read(3)
        chunks = reader.chunks(4)
        middle = [next(chunks), next(chunks)]
        after = reader.read(5)
        rest = list(chunks)
    assert [p.steps.tolist() for p in [first, *middle, after]] == [
        [0, 1, 2], [3, 4, 5, 6], [7, 8, 9, 10], [11, 12, 13, 14, 15]]
    assert arrays([first, *middle, after, *rest]) == arrays([dunvel.read(path)])


def test_width_is_none_until_a_data_line_is_read(write_file):
    with dunvel.open(write_file(FILES["header-only"])) as empty:
        assert (empty.read().n_steps, empty.width) == (0, None)
    with dunvel.open(write_file(FILES["23-parameters-width-15"])) as wide:
        assert (wide.width, wide.read(1).n_steps, wide.width) == (None, 1, 15)


@pytest.mark.parametrize("bad", [0, -1, -(2**70)])
def test_max_steps_must_be_positive(write_file, bad):
    with dunvel.open(write_file(sample(3, 4))) as reader:
        with pytest.raises(ValueError):
            reader.read(bad)
        with pytest.raises(ValueError):
            list(reader.chunks(bad))
        # A refused call reads nothing.
        assert reader.read().steps.tolist() == [0, 1, 2, 3]


@pytest.mark.parametrize("growing", [False, True])
def test_closed_reader_refuses_to_read(write_file, growing):
    with dunvel.open(write_file(sample(3, 4)), growing=growing) as reader:
        reader.read(1)
    for call in (reader.read, lambda: next(iter(reader.chunks(1)))):
        with pytest.raises(ValueError):
            call()


def test_reader_closes_its_file(write_file):
    # Counted in a child: the test process's other descriptors come and go.
    done = run_python(
        """
        import os, sys, dunvel
        def count():
            return len(os.listdir("/proc/self/fd"))
        before = count()
        for path in sys.argv[1:]:
            for growing in (False, True):
                try:
                    with dunvel.open(path, growing=growing) as reader:
                        reader.read(1)
                        reader.read()
                except ValueError:
                    pass
                with open(path, "rb") as file:
                    with dunvel.open(file) as reader:
                        reader.read(2)
                    assert not file.closed
        print(count() - before)
        """,
        write_file(sample(3, 4)), write_file(FILES["bad-field-in-step-5"]),
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"0\n", b"")


@pytest.mark.after_corpus
def test_chunks_of_every_corpus_file(tmp_path):
    path = tmp_path / "plot.dat"
    for data in corpus():
        for variant in variants(data):
            overwrite(path, variant)
            # A step a chunk, but over the large files (a few hundred steps or more) seven.
            for steps in (1 if len(variant) < 1 << 16 else 7, 10**9):
                check_chunks(path, steps)


# --- growing files ------------------------------------------------------------


def append(path, data):
    with open(path, "ab") as file:
        file.write(data)


@pytest.mark.parametrize(
    "data",
    [sample(12, 5, seed=8), sample(23, 3, 15, seed=9, newline="\r\n"), sample(3, 6, seed=10)[:-1]],
    ids=["two-lines-a-step", "width-15-crlf", "no-final-line-feed"],
)
@pytest.mark.parametrize("pieces, max_steps", [("bytes", None), ("random", None), ("random", 1), ("random", 2)])
def test_growing_reader_gives_each_step_once_when_its_last_line_ends(tmp_path, data, pieces, max_steps):
    n = int(data.split(b"\n", 1)[0].split()[-1])
    header, ends = step_ends(data, n)
    (tmp_path / "finished.plt").write_bytes(data)
    finished = dunvel.read(tmp_path / "finished.plt")
    path = tmp_path / "run.plt"
    path.write_bytes(data[:header])
    rng = random.Random(len(data))
    got = []
    with dunvel.open(path, growing=True) as reader:
        assert reader.names == tuple(f"P{j}" for j in range(n))
        at = header
        while at < len(data):
            step = 1 if pieces == "bytes" else rng.randint(1, 400)
            append(path, data[at : at + step])
            at = min(len(data), at + step)
            while True:  # as many calls as it takes to read what is there
                got.append(reader.read(max_steps))
                assert got[-1].n_steps <= (max_steps or 10**9)
                if max_steps is None or got[-1].n_steps < max_steps:
                    break
            # Every step whose last line feed is in, and no other.
            assert sum(p.n_steps for p in got) == sum(end <= at for end in ends), at
            if at >= ends[0]:
                assert reader.width == finished.width
    assert arrays(got) == first_steps(finished, len(ends))  # a last line without its line feed may be cut: not read


def test_growing_reader_fails_on_a_bad_line_once_it_ends(tmp_path):
    path = tmp_path / "run.plt"
    path.write_bytes(b"1\na\nt\n 1.00000E+00\nt\n 2.0000")
    with dunvel.open(path, growing=True) as reader:
        assert reader.read().values.tolist() == [[1.0]]
        append(path, b"xE+00")  # a field that may still grow into a number, or not
        assert reader.read().n_steps == 0
        append(path, b"\n")
        with pytest.raises(dunvel.PlotFileError) as caught:
            reader.read()
    assert (caught.value.kind, caught.value.line, caught.value.column) == ("field", 6, 1)


def test_chunks_of_a_growing_file_stop_at_its_end(tmp_path):
    data = sample(3, 9, seed=11)
    _, ends = step_ends(data, 3)
    path = tmp_path / "run.plt"
    path.write_bytes(data[: ends[4] + 7])  # five steps, and the sixth begun
    with dunvel.open(path, growing=True) as reader:
        first = list(reader.chunks(2))
        append(path, data[ends[4] + 7 : ends[7]])
        second = list(reader.chunks(2))
        assert reader.read().n_steps == 0
    assert [p.steps.tolist() for p in first if p.n_steps] == [[0, 1], [2, 3], [4]]
    assert [p.steps.tolist() for p in second if p.n_steps] == [[5, 6], [7]]
    assert arrays(first + second) == arrays([dunvel.read(path)])


@pytest.mark.parametrize("make", [lambda path: open(path, "rb"), lambda path: io.BytesIO(b"1\na\n")],  # noqa: SIM115
                         ids=["file", "BytesIO"])
def test_growing_needs_a_path(write_file, make):
    with make(write_file(b"1\na\n")) as stream:
        with pytest.raises((TypeError, ValueError)):
            dunvel.open(stream, growing=True)
        assert not stream.closed


def rename_over(path, data):
    new = path.with_name("new.plt")
    new.write_bytes(data)
    os.replace(new, path)


def in_place(path, at, data):
    with open(path, "r+b") as file:
        file.seek(at)
        file.write(data)


def truncate(path, size, then=b""):
    with open(path, "r+b") as file:
        file.truncate(size)
        file.seek(size)
        file.write(then)


FIRST = sample(12, 7, seed=12)
HEADER, ENDS = step_ends(FIRST, 12)
NEXT_STEP = sample(12, 8, seed=12)[ENDS[-1] :]  # the eighth of another run
CHANGES = {
    "deleted": lambda path: path.unlink(),
    "renamed-over-by-the-same-bytes": lambda path: rename_over(path, FIRST),
    "renamed-over-by-a-longer-run": lambda path: rename_over(path, sample(12, 12, seed=13)),
    "truncated-into-the-last-step": lambda path: truncate(path, ENDS[-1] - 5),
    "truncated-to-the-header": lambda path: truncate(path, HEADER),
    "truncated-to-nothing": lambda path: truncate(path, 0),
    "truncated-and-grown-back-by-a-new-run": lambda path: truncate(path, 0, sample(12, 9, seed=14)),
    "a-name-changed": lambda path: (in_place(path, HEADER - 3, b"Q"), append(path, NEXT_STEP)),
    "the-last-step-changed": lambda path: (in_place(path, ENDS[-2] + 25, b"5" if FIRST[ENDS[-2] + 25] != 53 else b"6"),
                                           append(path, NEXT_STEP)),
    "the-last-steps-line-feed-changed": lambda path: in_place(path, ENDS[-1] - 1, b" "),
}
SAME = {
    "appended": lambda path: append(path, NEXT_STEP),
    "touched": lambda path: (os.utime(path, (1, 1)), append(path, NEXT_STEP)),
    "rewritten-with-the-same-bytes": lambda path: (in_place(path, 0, FIRST), append(path, NEXT_STEP)),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_changed_file_is_changed(tmp_path, change):
    path = tmp_path / "run.plt"
    path.write_bytes(FIRST)
    with dunvel.open(path, growing=True) as reader:
        assert reader.read().n_steps == 7
        CHANGES[change](path)
        with pytest.raises(dunvel.PlotFileError) as caught:
            reader.read()
    error = caught.value
    assert (error.kind, error.path) == ("changed", str(path))
    assert re.search(r"\bstep 6\b", error.message), error.message  # the last step read, counting from 0


def test_a_file_cut_back_to_its_last_whole_step_is_changed(tmp_path):
    # What went is only the part of a step that the reader had seen but
    # left for later: header and last step stand as they were.
    path = tmp_path / "run.plt"
    path.write_bytes(FIRST + NEXT_STEP[: len(NEXT_STEP) // 2])
    with dunvel.open(path, growing=True) as reader:
        assert reader.read().n_steps == 7
        truncate(path, ENDS[-1])
        with pytest.raises(dunvel.PlotFileError) as caught:
            reader.read()
    assert caught.value.kind == "changed" and "shorter than" in caught.value.message


@pytest.mark.parametrize("change", SAME)
def test_a_file_that_only_grew_is_not_changed(tmp_path, change):
    path = tmp_path / "run.plt"
    path.write_bytes(FIRST)
    with dunvel.open(path, growing=True) as reader:
        assert reader.read().n_steps == 7
        SAME[change](path)
        plot = reader.read()
    assert plot.steps.tolist() == [7]
    assert plot.values.tobytes() == dunvel.read(path).values[7:].tobytes()


# --- follow, and a growing reader, while a child process writes ---------------------

WRITER = """
import os, sys, time
source, target, pause = sys.argv[1], sys.argv[2], float(sys.argv[3])
cuts = [int(c) for c in sys.argv[4].split(",")]
with open(source, "rb") as file:
    data = file.read()
out = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
for begin, end in zip(cuts, cuts[1:]):
    os.write(out, data[begin:end])
    time.sleep(pause)
os.close(out)
print(time.time())
"""
IDLE = 2.0


def follow_into(target, got, errors):
    """follow's plots, each with the (wall clock) time it came, into got; its failure into errors."""
    try:
        for plot in dunvel.follow(target, interval=0.02, idle_timeout=IDLE):
            got.append((time.time(), plot))
    except BaseException as error:  # noqa: BLE001 - the test reports it
        errors.append(("follow", error))


def pieces_of(data, kind):
    if kind == "8KiB":
        return list(range(0, len(data), 8192)) + [len(data)]
    if kind == "1-byte":
        return list(range(len(data) + 1))
    n = int(data.split(b"\n", 1)[0].split()[-1])
    header, ends = step_ends(data, n)
    return [0, header, *ends] + ([len(data)] if len(data) not in ends else [])


WRITES = {
    # (the file, its pieces, the pause after each)
    "8KiB": (sample(40, 400, seed=15), "8KiB", 0.02),
    "1-byte": (sample(3, 8, seed=16), "1-byte", 0.002),
    "a-step": (sample(12, 40, seed=17), "a-step", 0.03),
    "a-step-no-final-line-feed": (sample(12, 30, seed=18)[:-1], "a-step", 0.03),
}


@pytest.mark.parametrize("write", WRITES)
def test_follow_and_growing_reader_while_a_child_writes(tmp_path, write):
    data, kind, pause = WRITES[write]
    source, target = tmp_path / "source.plt", tmp_path / "run.plt"
    source.write_bytes(data)
    n = int(data.split(b"\n", 1)[0].split()[-1])
    header, ends = step_ends(data, n)
    followed, polled, errors = [], [], []

    def poll():
        try:
            while not (target.exists() and target.stat().st_size >= header):
                if writer.poll() is not None:
                    return
                time.sleep(0.002)
            with dunvel.open(target, growing=True) as reader:
                while True:
                    finished = writer.poll() is not None
                    polled.append(reader.read())
                    if finished:
                        return
                    time.sleep(0.005)
        except BaseException as error:  # noqa: BLE001 - the test reports it
            errors.append(("growing reader", error))

    threads = [threading.Thread(target=follow_into, args=(target, followed, errors), daemon=True)]
    with subprocess.Popen([sys.executable, "-c", WRITER, str(source), str(target), str(pause),
                           ",".join(map(str, pieces_of(data, kind)))], stdout=subprocess.PIPE) as writer:
        try:
            threads[0].start()
            threads.append(threading.Thread(target=poll, daemon=True))
            threads[1].start()
            finished_at = float(writer.communicate(timeout=60)[0])
            for thread in threads:
                thread.join(IDLE + 30)
        finally:
            writer.kill()
    assert not any(thread.is_alive() for thread in threads), "follow or the growing reader did not stop"
    assert errors == []
    want = dunvel.read(target)
    assert want.n_steps == len(ends) + (not data.endswith(b"\n"))
    plots = [plot for _, plot in followed]
    assert all(plot.n_steps > 0 and plot.names == want.names for plot in plots)
    assert len(plots) > 1  # the steps came as they were written, not all at the end
    assert arrays(plots) == arrays([want])
    assert arrays(polled) == first_steps(want, len(ends))
    if not data.endswith(b"\n"):
        # The last step, whose last line lacks its line feed, once nothing more came.
        assert plots[-1].steps.tolist() == [want.n_steps - 1]
        assert followed[-1][0] >= finished_at + IDLE - 3 * pause - 0.2


def test_follow_waits_for_the_file(tmp_path):
    target = tmp_path / "run.plt"
    started = time.time()
    got, errors = [], []
    follower = threading.Thread(target=follow_into, args=(target, got, errors), daemon=True)
    follower.start()
    time.sleep(0.5)
    created = time.time()  # what came, came after this
    rename_over(target, sample(3, 5, seed=19))
    follower.join(IDLE + 30)
    assert not follower.is_alive() and errors == []
    assert got and got[0][0] >= created
    assert arrays([plot for _, plot in got]) == arrays([dunvel.read(target)])
    assert got[-1][0] - started < IDLE + 10


@pytest.mark.parametrize("end", ["cut-in-its-last-step", "no-last-line-feed"])
def test_follow_takes_the_end_as_final_when_it_stops(tmp_path, end):
    # A run that crashed: follow ends without a failure, with the complete
    # steps, and with a last step that lacks only its line feed.
    data = sample(12, 4, seed=23)
    target = tmp_path / "run.plt"
    target.write_bytes(data[:-30] if end == "cut-in-its-last-step" else data[:-1])
    got = bounded(lambda: list(dunvel.follow(target, interval=0.02, idle_timeout=0.3)))
    want = dunvel.read(target, incomplete="keep")
    assert len(want) == (3 if end == "cut-in-its-last-step" else 4)
    assert arrays(got) == arrays([want])


def test_follow_gives_up_on_a_file_that_never_comes(tmp_path):
    started = time.monotonic()
    try:
        got = bounded(lambda: list(dunvel.follow(tmp_path / "never.plt", interval=0.02, idle_timeout=0.5)))
    except FileNotFoundError:
        got = []
    assert got == [] and 0.4 <= time.monotonic() - started < 10
