"""python -m dunvel: the summary of each file, the CSV, and what a bad file
or a bad command line gives (stdout and stderr compared whole)."""

import csv
import os
import struct
import subprocess
import sys

import pytest

import dunvel
from conftest import SMALL_PLOT as PLOT
from conftest import SMALL_SUMMARY as SUMMARY
from conftest import plot_text


def dunvel_main(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "dunvel", *args], capture_output=True, text=True, cwd=cwd, timeout=120,
        check=False,
    )


def test_summary(write_file):
    path = write_file(PLOT)
    done = dunvel_main(path)
    assert (done.returncode, done.stdout, done.stderr) == (0, SUMMARY.format(path=path), "")


# (arguments, whether the reader takes a line before it goes); the outputs
# that it leaves half read are far larger than a pipe holds, so that the
# writes after it has gone fail whatever the timing.
GONE_READER = {
    "summary-unread": (["{small}"], False),
    "summary-after-a-line": (["{small}"] * 2000, True),
    "csv-unread": (["{small}", "--csv", "/dev/stdout"], False),
    "csv-after-a-line": (["{big}", "--csv", "/dev/stdout"], True),
    "csv-through-fd-1-after-a-line": (["{big}", "--csv", "/proc/self/fd/1"], True),
}


@pytest.mark.parametrize("buffering", ["buffered", "unbuffered"])
@pytest.mark.parametrize("case", GONE_READER)
def test_reader_that_goes_away_is_no_error(write_file, case, buffering):
    # `python -m dunvel ... | head -1`: exit status 1, and nothing on stderr.
    files = {"small": write_file(PLOT), "big": write_file(plot_text(["a", "b"], [[i * 0.5, -i] for i in range(20000)]))}
    arguments, takes_a_line = GONE_READER[case]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if buffering == "unbuffered":
        env["PYTHONUNBUFFERED"] = "1"
    child = subprocess.Popen([sys.executable, "-m", "dunvel", *(a.format(**files) for a in arguments)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        if takes_a_line:
            assert child.stdout.readline().endswith(b"\n")
        child.stdout.close()
        assert (child.wait(timeout=120), child.stderr.read()) == (1, b"")
    finally:
        child.kill()
        child.wait()
        child.stderr.close()


def test_summary_of_several_files_and_an_empty_one(write_file):
    first, empty = write_file(PLOT), write_file("1\nONLY\n")
    done = dunvel_main(first, empty, "--width", "12")
    expected = (
        SUMMARY.format(path=first) + "\n"
        f"{empty}: 1 parameters, 0 time steps\n"
        "parameter    count         minimum         maximum            last\n"
        "ONLY             0               -               -               -\n"
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, "")


def test_csv(write_file, tmp_path):
    path, out = write_file(PLOT), tmp_path / "out.csv"
    done = dunvel_main(path, "--csv", str(out))
    assert (done.returncode, done.stdout) == (0, SUMMARY.format(path=path))
    assert out.read_text() == "time,PRES-CORE,T\n0.5,1.1,-250000.0\n1.5,0.3,100000.0\n"


def test_csv_reads_back_to_the_same_bits(write_file, tmp_path):
    # Names that need quoting, times missing, and more rows than one chunk.
    values = [[(i * 7919 % 1000) / 3.0, -i * 1e-7, 1e30 / (i + 1)] for i in range(5000)]
    path = write_file(plot_text(["a,b", 'q"', "c"], values, block_start="t={i}"))
    out = tmp_path / "out.csv"
    assert dunvel_main(path, "--csv", str(out)).returncode == 0
    plot = dunvel.read(path)
    with open(out, newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["time", "a,b", 'q"', "c"]
    assert [row[0] for row in rows[1:]] == ["nan"] * plot.n_steps
    bits = [[struct.pack("<f", float(text)) for text in row[1:]] for row in rows[1:]]
    assert bits == [[struct.pack("<f", v) for v in row] for row in plot.values.tolist()]


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "dunvel: [Errno 2] No such file or directory: '{path}'\n"),
        ("1\na\nt\n", ("dunvel: {path}, line 3: the file ends inside step 0 (counting from 0), after its block-start"
                      ' line; no step before it is complete (incomplete="keep" reads the file as 0 steps)\n')),
    ],
    ids=["missing", "bad"],
)
def test_bad_file_is_reported_and_the_rest_read(write_file, tmp_path, content, message):
    bad = str(tmp_path / "missing.dat") if content is None else write_file(content)
    good = write_file(PLOT)
    done = dunvel_main(bad, good)
    assert (done.returncode, done.stdout, done.stderr) == (
        2, SUMMARY.format(path=good), message.format(path=bad)
    )


@pytest.mark.parametrize(
    "args, error",
    [
        (["a.dat", "b.dat", "--csv", "out.csv"], "--csv takes one FILE only"),
        (["a.dat", "--width", "0"], "--width must be positive, not 0"),
    ],
)
def test_bad_command_line(tmp_path, args, error):
    done = dunvel_main(*args, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"dunvel: {error} (see python -m dunvel info --help)\n"
