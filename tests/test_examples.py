"""The examples, the shipped sample and the benchmark's alternative readers,
checked against olvane itself: the examples must print exactly the values
olvane returns (and draw what the dunvel command draws), the sample must read as the transient it claims to be,
and the readers must return olvane's values bit for bit, or the benchmark
would compare unlike things."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import olvane
from conftest import f32_bits

np = pytest.importorskip("numpy")

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
SAMPLE = EXAMPLES / "sample.dat"


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


generate = load(ROOT / "bench" / "generate.py", "bench_generate")
readers = load(ROOT / "bench" / "readers.py", "bench_readers")


def block_times(path, n_params):
    """The number after 'TIME =' on each block-start line, read here as text
    rather than by the package under test."""
    lines = Path(path).read_bytes().split(b"\n")[1 + n_params :]
    starts = lines[:: 1 + -(-n_params // 10)]
    found = [
        re.match(rb"\s*TIME =\s*(\S+) S\s+STEP =\s*(\d+)\s*$", line) for line in starts if line
    ]
    assert all(found)
    return [float(m[1]) for m in found], [int(m[2]) for m in found]


def summary(names, columns):
    return [
        (name, len(c), f32_bits(min(c)), f32_bits(max(c)), f32_bits(c[-1]))
        for name, c in zip(names, columns)
    ]


@pytest.mark.parametrize("case", ["shipped-sample", "generated-w15-crlf"])
def test_quicklook_prints_the_values_olvane_returns(case, tmp_path):
    pytest.importorskip("dunvel")
    if case == "shipped-sample":
        path, width, args = SAMPLE, 12, []
        names = list(generate.SAMPLE_NAMES)
    else:
        # No --width: the example leaves the width to be found.
        path, width = tmp_path / "run.plt", 15
        generate.write_plot(path, 23, 60, width, seed=3, newline="\r\n")
        args, names = [str(path)], generate.parameter_names(23)
    columns = olvane.rust_read_dunvel(str(path), width)
    times, _ = block_times(path, len(names))

    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "quicklook.py"), *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    title, heading, *rows = done.stdout.splitlines()
    assert title == (
        f"{path}: {len(names)} parameters x {len(columns[0])} steps,"
        f" time {times[0]:g} .. {times[-1]:g} s"
    )
    assert heading.split() == ["parameter", "count", "minimum", "maximum", "last"]
    printed = [row.split() for row in rows]
    assert [
        (name, int(count), *(f32_bits(float(v)) for v in values))
        for name, count, *values in printed
    ] == summary(names, columns)


@pytest.mark.parametrize(
    "run, shipped, summary",
    [("sample", "sample.dat", "400 blocks, width 12, 76,713 bytes"),
     ("late-scram", "late_scram.dat", "221 blocks, width 12, 42,524 bytes")],
)
def test_shipped_sample_is_what_the_generator_writes(run, shipped, summary, tmp_path):
    # The command that bench/README.md gives for it.
    out = tmp_path / shipped
    command = [sys.executable, str(ROOT / "bench" / "generate.py"), run, str(out)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"{out}: 12 parameters x {summary}\n"
    assert out.read_bytes() == (EXAMPLES / shipped).read_bytes()


# Quantity (the first part of a name): the range of its values in the file's
# units. Every parameter of the sample must have one.
PHYSICAL_RANGES = {
    "PRES": (1e5, 1e7),  # Pa
    "TEMP": (300.0, 1500.0),  # K
    "VOID": (0.0, 1.0),  # fraction
    "FLOW": (-2e4, 2e4),  # kg/s
    "POWR": (0.0, 4e9),  # W
    "LEVL": (0.0, 25.0),  # m
    "TRIP": (0.0, 1.0),  # flag
}


def test_shipped_sample_reads_as_a_transient():
    names = list(generate.SAMPLE_NAMES)
    header = SAMPLE.read_text().splitlines()[: 1 + len(names)]
    assert header[0].split()[-1] == str(len(names))
    assert [line.split()[-1] for line in header[1:]] == names
    values = dict(zip(names, np.array(olvane.rust_read_dunvel(str(SAMPLE), 12))))
    times, steps = block_times(SAMPLE, len(names))

    for name, column in values.items():
        low, high = PHYSICAL_RANGES[name[:4]]
        assert low <= column.min() <= column.max() <= high, name
    assert times[0] == 0.0 and 3.9 <= times[-1] <= 4.1
    assert np.all(np.diff(times) > 0) and np.all(np.diff(steps) > 0)

    # A trip that stays tripped, then what follows it.
    trip = values["TRIP_SCRM_0006"]
    assert set(trip.tolist()) == {0.0, 1.0} and np.all(np.diff(trip) >= 0)
    tripped = int(np.argmax(trip))
    pressure, clad = values["PRES_CORE_0001"], values["TEMP_CORE_0002"]
    assert pressure[-1] < 0.2 * pressure[0]
    peak = int(np.argmax(clad))
    assert tripped < peak < len(times) - 1
    assert clad[peak] > clad[0] + 300 and clad[-1] < clad[peak] - 200
    assert values["FLOW_CORE_0003"][0] > 0 and values["FLOW_CORE_0003"].min() < 0
    assert values["FLOW_ECCS_0011"][tripped] == 0 and values["FLOW_ECCS_0011"][-1] > 0
    assert values["POWR_CORE_0005"][-1] < 0.1 * values["POWR_CORE_0005"][0]


def test_plot_draws_what_the_command_draws(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("dunvel")
    done = subprocess.run([sys.executable, str(EXAMPLES / "plot.py"), str(tmp_path / "script.png")],
                          capture_output=True, text=True, timeout=120, check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    command = [sys.executable, "-m", "dunvel", "plot", str(SAMPLE), str(EXAMPLES / "late_scram.dat"),
               "-n", "PRES_CORE_0001,TEMP_CORE_0002,POWR_CORE_0005,TRIP_SCRM_0006", "--out", str(tmp_path / "command.png")]
    subprocess.run(command, timeout=120, check=True)
    drawn = (tmp_path / "script.png").read_bytes()
    assert drawn.startswith(b"\x89PNG\r\n\x1a\n") and drawn == (tmp_path / "command.png").read_bytes()


@pytest.mark.parametrize("reader", ["pure-python", "numpy", "numpy-lists"])
@pytest.mark.parametrize("width, newline", [(12, "\n"), (15, "\r\n")], ids=["w12-lf", "w15-crlf"])
def test_alternative_reader_returns_olvanes_values(reader, width, newline, tmp_path):
    # 23 parameters: every block ends with a short data line.
    path = str(generate.write_plot(tmp_path / "plot.dat", 23, 400, width, seed=11, newline=newline))
    expected = olvane.rust_read_dunvel(path, width)
    got = [list(column) for column in readers.READERS[reader](path, width)]
    assert [[f32_bits(v) for v in c] for c in got] == [[f32_bits(v) for v in c] for c in expected]
    # Same doubles too: a reader that skipped the rounding to binary32 fails here.
    assert got == expected


def test_reader_bench_finds_every_line(tmp_path):
    """The benchmark's floor for the reader is the time to find the lines; a
    loop that stopped early or skipped a line would report a floor too low."""
    path = generate.write_plot(tmp_path / "p.dat", 23, 300, 15, seed=5, newline="\r\n")
    with open(path, "ab") as f:
        f.write(b"a last line without its line feed")
    expected = path.read_bytes().count(b"\n") + 1
    out = subprocess.run(
        ["bash", str(ROOT / "bench" / "reader_bench.sh"), str(path), "lines", "1"],
        capture_output=True, text=True, check=True,
    ).stdout
    assert f", {expected} lines;" in out, out
