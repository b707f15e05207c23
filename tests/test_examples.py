"""The quick-look example and the benchmark's alternative readers, checked
against olvane itself: the example must print exactly the values olvane
returns, and the readers must return them bit for bit, or the benchmark
would compare unlike things."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import olvane
import pytest
from conftest import f32_bits

pytest.importorskip("numpy")

ROOT = Path(__file__).resolve().parent.parent
QUICKLOOK = ROOT / "examples" / "quicklook.py"


def load(name):
    spec = importlib.util.spec_from_file_location(f"bench_{name}", ROOT / "bench" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


generate = load("generate")
readers = load("readers")


def summary(names, columns):
    return [
        (name, len(c), f32_bits(min(c)), f32_bits(max(c)), f32_bits(c[-1]))
        for name, c in zip(names, columns)
    ]


@pytest.mark.parametrize("case", ["shipped-sample", "generated-w15-crlf"])
def test_quicklook_prints_the_values_olvane_returns(case, tmp_path):
    if case == "shipped-sample":
        path, width, args = ROOT / "examples" / "sample.dat", 12, []
        names = generate.parameter_names(12)
    else:
        path, width = tmp_path / "run.plt", 15
        generate.write_plot(path, 23, 60, width, seed=3, newline="\r\n")
        args, names = [str(path), "--width", "15"], generate.parameter_names(23)
    columns = olvane.rust_read_dunvel(str(path), width)

    done = subprocess.run(
        [sys.executable, str(QUICKLOOK), *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    title, heading, *rows = done.stdout.splitlines()
    assert title == f"{path}: {len(names)} parameters, {len(columns[0])} time steps"
    assert heading.split() == ["parameter", "count", "minimum", "maximum", "last"]
    printed = [row.split() for row in rows]
    assert [
        (name, int(count), *(f32_bits(float(v)) for v in values))
        for name, count, *values in printed
    ] == summary(names, columns)


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
