"""Calls from several threads at once, and a read that signals interrupt:
results stay exact, failure reports stay whole, and Python's signal handlers
wait for the call to return."""

import json
import os
import re

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
result = olvane.rust_read_dunvel(fifo, 12)
signal.setitimer(signal.ITIMER_REAL, 0)
written = float(writer.communicate()[0])
print(result == expected, len(handled) > 0, min(handled) > written)
"""


def test_signals_wait_for_the_read(tmp_path):
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    text = plot_text(["a", "b", "c"], blocks(3, 40))
    expected = [list(column) for column in zip(*blocks(3, 40))]
    proc = run_python(SIGNALS, str(fifo), text, repr(expected))
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, b"", b"True True True\n")
