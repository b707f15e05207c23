"""Calls from several threads at once, and reads that signals interrupt:
results stay exact, failure reports stay whole; Python's signal handlers run
while a read waits, and one that raises ends the call with its exception."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import plot_text, run_python

NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
HEADER = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at [^\n]+:\d+:\d+:\n")
FAILING = {  # content (None: no such file), message
    "missing-file": (None, f'Plot file not found!: Os {{ code: 2, kind: NotFound, message: "{os.strerror(2)}" }}'),
    "bad-count": ("3 parameters\na\n", "The first line should end with the number of parameters:\n'3 parameters'"),
    "short-block": ("1\na\nt\n", "Error reading line"),
    "bad-field": ("1\na\nt\n 1.00000D+00\n", "Could not parse line: ParseFloatError { kind: Invalid }"),
    "out-of-range": ("2\na\nb\nt\n 1.00000E+00\n", "byte index 24 is out of bounds of ` 1.00000E+00`"),
}


def blocks(n, b):
    # Quarters of small integers: exact in binary32 and in six significant digits.
    return [[(j + 1) * (i + 1) * 0.25 for j in range(n)] for i in range(b)]


THREADS = """
import json, sys, threading, olvane
cases = json.loads(sys.argv[1])
sys.setswitchinterval(1e-6)
start = threading.Barrier(6)
records, types = [], set()

def work(offset):
    start.wait()
    for i in range(60):
        name, path, expected = cases[(offset + i) % len(cases)]
        try:
            outcome = olvane.rust_read_dunvel(path, 12) == expected
        except BaseException as error:
            types.add(type(error))
            outcome = error.args
        records.append([threading.get_native_id(), name, outcome])

threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps([records, len(types), [t.__qualname__ for t in types]]))
"""


def test_threads_get_exact_results_and_whole_reports(tmp_path, write_file):
    cases = [[f"good-{n}", write_file(plot_text([f"p{j}" for j in range(n)], blocks(n, b))),
              [list(column) for column in zip(*blocks(n, b))]] for n, b in [(3, 7), (12, 5), (0, 4)]]
    cases += [[name, str(tmp_path / "missing.dat") if text is None else write_file(text), None]
              for name, (text, _) in FAILING.items()]
    proc = run_python(THREADS, json.dumps(cases))
    assert proc.returncode == 0, proc.stderr
    *count_lines, last = proc.stdout.decode().splitlines()
    records, type_count, type_names = json.loads(last)
    assert (type_count, type_names) == (1, ["PanicException"])
    assert len(records) == 360 and len({tid for tid, _, _ in records}) == 6
    assert [r for r in records if r[1].startswith("good") and r[2] is not True] == []
    failures = [(tid, name, outcome) for tid, name, outcome in records if name in FAILING]
    assert [(name, outcome) for _, name, outcome in failures if outcome != [FAILING[name][1]]] == []
    assert count_lines == ["Error: 'parameters' is not a valid number of parameters!"] * sum(
        name == "bad-count" for _, name, _ in failures)

    # Cut fd 2 at each report's header: every piece is exactly one message,
    # and each thread's pieces come in the order of its failures.
    pieces = HEADER.split(proc.stderr.decode())
    assert pieces[0] == "" and pieces[2].endswith(NOTE)
    pieces[2] = pieces[2][: -len(NOTE)]
    reports = list(zip(map(int, pieces[1::2]), pieces[2::2]))
    assert len(reports) == len(failures)
    by_thread = {tid: [text for t, text in reports if t == tid] for tid, _, _ in records}
    assert by_thread == {tid: [f"{outcome[0]}\n" for t, _, outcome in failures if t == tid] for tid, _, _ in records}


SIGNALS = """
import os, signal, subprocess, sys, time, olvane
fifo, text, expected = sys.argv[1], sys.argv[2], eval(sys.argv[3])
writer = subprocess.Popen([sys.executable, "-c", '''
import os, sys, time
fifo, text = sys.argv[1], sys.argv[2].encode()
time.sleep(0.05)  # the reader's open() waits, and gets interrupted, meanwhile
fd = os.open(fifo, os.O_WRONLY)
for i in range(0, len(text), 97):  # lines split across reads
    os.write(fd, text[i : i + 97])
    time.sleep(0.01)
print(time.monotonic(), flush=True)
os.close(fd)
''', fifo, text], stdout=subprocess.PIPE)
handled = []
signal.signal(signal.SIGALRM, lambda signum, frame: handled.append(time.monotonic()))
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
try:
    result = olvane.rust_read_dunvel(fifo, 12)
except BaseException:
    writer.kill()  # it would wait for a reader for ever
    raise
signal.setitimer(signal.ITIMER_REAL, 0)
written = float(writer.communicate()[0])
print(result == expected, len(handled) > 0, min(handled) < written)
"""


def test_handlers_that_do_not_raise_run_during_the_read(tmp_path):
    # The open waits for the writer and each read for its next piece; the
    # handlers run there, and the read goes on to the exact result.
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    text = plot_text(["a", "b", "c"], blocks(3, 40))
    expected = [list(column) for column in zip(*blocks(3, 40))]
    proc = run_python(SIGNALS, str(fifo), text, repr(expected))
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, b"", b"True True True\n")


# Both modules over the same reader, called the same way from a child.
READ_CALLS = {
    "olvane": "import olvane; read = lambda path: olvane.rust_read_dunvel(path, 12)",
    "dunvel": "import dunvel; read = lambda path: dunvel.read(path, 12)",
}

BLOCKED_OPEN = """
import os, signal, sys
# Python's own handler, even where SIGINT came in ignored (a background job).
signal.signal(signal.SIGINT, signal.default_int_handler)
os.write(1, b"calling\\n")
read(sys.argv[1])
"""


def blocked_in(pid, wait=10.0):
    """Waits until the child's thread sleeps in a system call; the open or
    read of a FIFO is the only one it makes after saying so."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                state = stat.read().rsplit(")", 1)[1].split()[0]
            with open(f"/proc/{pid}/wchan") as wchan:
                channel = wchan.read()
        except OSError:
            channel, state = "", ""
        if state == "S" and channel in ("wait_for_partner", "fifo_open", "pipe_read", "pipe_wait"):
            return True
        time.sleep(0.01)
    time.sleep(0.5)  # no way to look (wchan hidden): give it time instead
    return False


@pytest.mark.parametrize("module", READ_CALLS)
def test_ctrl_c_ends_an_open_that_waits_for_a_writer(tmp_path, module):
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", READ_CALLS[module] + BLOCKED_OPEN, str(fifo)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"calling\n"
    blocked_in(child.pid)
    child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()  # a child that outlived the signal would wait for ever
    # Exactly Python's own report of an uncaught KeyboardInterrupt: no
    # failure report, no PanicException, and the exit of a SIGINT.
    lines = err.decode().splitlines()
    assert (child.returncode, out, lines[:1], lines[-1:]) == (
        -signal.SIGINT, b"", ["Traceback (most recent call last):"], ["KeyboardInterrupt"]), err
    assert "panicked" not in err.decode() and "PanicException" not in err.decode()


BLOCKED_READ = """
import os, signal, sys
fifo = sys.argv[1]
writer = os.open(fifo, os.O_RDWR)  # a writer that never finishes the file

def stop(signum, frame):
    raise ValueError("stopped by the handler")

signal.signal(signal.SIGALRM, stop)
fds = len(os.listdir("/proc/self/fd"))
outcomes = []
for _ in range(3):
    os.write(writer, b"2\\na\\nb\\nt\\n 1.00000E+00 2.00000E+00\\nt\\n")
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        read(fifo)
    except BaseException as error:
        outcomes.append(repr(error))
print(outcomes == ["ValueError('stopped by the handler')"] * 3, len(os.listdir("/proc/self/fd")) == fds)
"""


@pytest.mark.parametrize("module", READ_CALLS)
def test_handler_that_raises_ends_a_waiting_read(tmp_path, module):
    # The read waits for the rest of the second block; the handler's
    # exception ends the call, with nothing written and the FIFO closed.
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    proc = run_python(READ_CALLS[module] + BLOCKED_READ, str(fifo), timeout=60)
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, b"", b"True True\n")
