"""One large file on several threads: the same bits and the same failures as
one thread, whatever the file's parts hold and wherever a problem lies; no
more threads than asked for; Ctrl-C ends a threaded read at once."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import dunvel
from conftest import run_python
from stream_support import big_plot


def outcome(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except (dunvel.PlotFileError, KeyError) as error:
        return (type(error), getattr(error, "kind", None), getattr(error, "line", None),
                getattr(error, "column", None), getattr(error, "text", None), str(error))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("threaded")
    made = {
        "plain": big_plot(),
        "width-15-crlf": big_plot(width=15, newline="\r\n", seed=1),
        "one-line-a-step": big_plot(n=3, seed=2),
        # Block-start lines of other lengths: the steps' sizes differ, and a
        # part's guessed start does not hold.
        "steps-of-other-sizes": big_plot(stamp=lambda i: "t " + "x" * (i % 7) + f" {i}", seed=3),
        "no-final-line-feed": big_plot(seed=4)[:-1],
    }
    made["cut-in-a-step"] = made["plain"][: len(made["plain"]) * 2 // 3 + 30]
    paths = {}
    for name, data in made.items():
        paths[name] = str(folder / f"{name}.plt")
        with open(paths[name], "wb") as out:
            out.write(data)
    return paths, made


SELECTIONS = [{}, {"names": ["P1", "P2*"]}, {"steps": slice(5, None, 3)}, {"steps": range(100, 20000, 7)},
              {"time": (1000.0, 2000.0)}, {"names": "P0", "steps": slice(1, 30000, 2), "time": (10.0, 1e9)}]


@pytest.mark.parametrize("selection", SELECTIONS, ids=repr)
@pytest.mark.parametrize("name", ["plain", "width-15-crlf", "one-line-a-step", "steps-of-other-sizes",
                                  "no-final-line-feed", "cut-in-a-step"])
def test_threads_give_the_bits_of_one_thread(files, name, selection):
    paths, _ = files
    one = dunvel.read(paths[name], threads=1, incomplete="keep", **selection)
    for threads in (2, 3, 8):
        assert dunvel.read(paths[name], threads=threads, incomplete="keep", **selection) == one, threads
    assert outcome(dunvel.read, paths[name], threads=3, **selection) == outcome(
        dunvel.read, paths[name], threads=1, **selection)


def damaged(data, at, change):
    """data with change(field) made to the field that begins at the data line after byte at."""
    start = data.index(b"\n", at) + 1
    while data[start:start + 3] == b"  T":  # a block-start line: the next line
        start = data.index(b"\n", start) + 1
    return data[:start] + change(data[start:start + 12]) + data[start + 12:]


DAMAGES = {
    "bad-field-late": [(0.8, lambda f: f[:-4] + b"Q+00")],
    "bad-fields-early-and-late": [(0.8, lambda f: f[:-4] + b"Q+00"), (0.3, lambda f: b"        junk")],
    "bad-field-in-the-first-part": [(0.05, lambda f: f[:-4] + b"Q+00"), (0.6, lambda f: b"\xff" * 12)],
    "invalid-utf8-late": [(0.9, lambda f: f[:5] + b"\xc3" + f[6:])],
    "short-line-midway": [(0.5, lambda f: b"\n")],
}


@pytest.mark.parametrize("damage", DAMAGES)
def test_threads_report_the_failure_of_one_thread(files, tmp_path, damage):
    _, made = files
    data = made["plain"]
    for where, change in DAMAGES[damage]:
        data = damaged(data, int(len(data) * where), change)
    path = tmp_path / "damaged.plt"
    path.write_bytes(data)
    one = outcome(dunvel.read, path, threads=1)
    assert isinstance(one, tuple)  # the damage is real
    for threads in (2, 3):
        assert outcome(dunvel.read, path, threads=threads) == one
        assert outcome(dunvel.read, path, threads=threads, names="P2") == outcome(
            dunvel.read, path, threads=1, names="P2")


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError), (2.0, TypeError), (True, TypeError),
                                            ("2", TypeError)])
def test_a_bad_thread_count_is_refused(files, threads, error):
    paths, _ = files
    with pytest.raises(error):
        dunvel.read(paths["plain"], threads=threads)
    with pytest.raises(error):
        dunvel.read_many([paths["plain"]], threads=threads)


# In an interpreter of its own, which starts no thread but the watcher:
# another test's library (Dask's client, a follower) may start one at any
# time in this process.
COUNTED = textwrap.dedent(
    """
    import json, os, sys, threading, time
    import dunvel

    def most_threads_during(call):
        # The most threads that the process had while call ran, above those before it.
        def count():
            return len(os.listdir("/proc/self/task"))

        seen, done = [0], threading.Event()

        def watch():
            while not done.is_set():
                seen[0] = max(seen[0], count())
                time.sleep(0.0005)

        watcher = threading.Thread(target=watch)
        watcher.start()
        before = count()
        try:
            call()
        finally:
            done.set()
            watcher.join(10)
        return seen[0] - before

    threads, path, other = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    one = max(most_threads_during(lambda: dunvel.read(path, threads=threads)) for _ in range(5))
    many = max(most_threads_during(lambda: dunvel.read_many([path, other], threads=threads)) for _ in range(3))
    print(json.dumps([one, many]))
    """
)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_no_more_threads_than_asked_for(files, threads):
    paths, _ = files
    done = run_python(COUNTED, str(threads), paths["plain"], paths["one-line-a-step"])
    assert done.returncode == 0, done.stderr
    most, many = json.loads(done.stdout)
    # A read parses on the calling thread and threads - 1 of its own; read_many's
    # pool threads are among its threads.
    assert most <= threads - 1
    assert many <= threads
    if threads > 1:
        assert most >= 1  # the reads did run on threads of their own


INTERRUPTED = textwrap.dedent(
    """
    import os, sys, time
    import dunvel

    def bytes_read():
        with open("/proc/self/io") as io:
            return int(io.readline().split()[1])

    before = len(os.listdir("/proc/self/task"))
    print("ready", flush=True)
    start = bytes_read()
    try:
        dunvel.read(sys.argv[1], threads=2)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    stopped, read = time.monotonic(), bytes_read() - start
    time.sleep(0.05)
    print(outcome, stopped, read, len(os.listdir("/proc/self/task")) - before, flush=True)
    """
)


def bytes_read_by(pid):
    with open(f"/proc/{pid}/io") as io:
        return int(io.readline().split()[1])  # rchar: what read and pread returned


@pytest.mark.skipif(not os.path.isfile("/proc/self/io"), reason="counts the bytes read in /proc")
def test_ctrl_c_ends_a_threaded_read_at_once(tmp_path):
    # Long enough that a read which looks at signals only at its end would
    # read the whole file before it stopped.
    part = big_plot()
    body = part[part.index(b"\n  TIME") + 1:]
    path = tmp_path / "long.dat"
    with open(path, "wb") as out:
        out.write(part)
        out.writelines(body for _ in range(27))
    size = path.stat().st_size
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        ready, deadline = bytes_read_by(child.pid), time.monotonic() + 30
        while bytes_read_by(child.pid) - ready < 32 << 20 and time.monotonic() < deadline:
            time.sleep(0.0005)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 0, out
    outcome, stopped, read, left = out.split()
    assert outcome == "interrupted"
    assert int(read) < size // 2, (read, size)  # it stopped where it was, not at the end
    assert float(stopped) - sent < 0.5
    assert int(left) == 0  # every thread of the read is gone
