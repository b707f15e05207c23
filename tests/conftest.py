"""Shared helpers: sample plot files written by the tests themselves, binary32
bit patterns, and a child interpreter for anything that touches fd 1, fd 2 or
process-wide state."""

import importlib.util
import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import olvane

# One file for each way the content of a plot file can be wrong.
MALFORMED_FILES = {
    "bad-count": "3 parameters\na\n",
    "missing-name-line": "2\na\n",
    "short-block": "1\na\nt\n",
    "bad-field": "1\na\nt\n 1.00000Q+00\n",
    "field-out-of-range": "2\na\nb\nt\n 1.00000E+00\n",
    "invalid-utf8": b"1\na\nt\n\xff\n",
}


def format_field(value: float, width: int = 12) -> str:
    """One field as the simulation code writes it: 1PE12.5 or 1PE15.8 style,
    right-justified, so that a negative value fills the whole field."""
    digits = width - 7
    return f"{value:.{digits}E}".rjust(width)


def plot_text(names, blocks, width=12, newline="\n", count_line=None, block_start="t={i}"):
    """The text of a plot file: count line, one name line per parameter, then
    per block a block-start line and the values ten to a line."""
    lines = [count_line if count_line is not None else f"  NPAR = {len(names)}"]
    lines += [f"  {name}" for name in names]
    for i, values in enumerate(blocks):
        lines.append(block_start.format(i=i))
        for start in range(0, len(values), 10):
            lines.append("".join(format_field(v, width) for v in values[start : start + 10]))
    return newline.join(lines) + newline



# A plot file of two steps and what `dunvel info` prints of it: the command's
# tests take both.
SMALL_PLOT = (
    "  NPAR = 2\n  PRES-CORE\n  T\n"
    "TIME 0.5\n 1.10000E+00-2.50000E+05\n"
    "TIME 1.5\n 3.00000E-01 1.00000E+05\n"
)
SMALL_SUMMARY = (
    "{path}: 2 parameters, 2 time steps\n"
    "parameter    count         minimum         maximum            last\n"
    "PRES-CORE        2           3E-01         1.1E+00           3E-01\n"
    "T                2        -2.5E+05           1E+05           1E+05\n"
)

# The content of every file that a test writes through write_file (up to a
# size), in order: test_dunvel_differential reads them all again with olvane
# and dunvel once the other tests have run.
WRITTEN_FILES: list[bytes] = []
_CORPUS_LIMIT = 1 << 20


@pytest.fixture
def write_file(tmp_path):
    """write_file(content, name="plot.dat") -> path as str; content is str or bytes."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"plot{next(counter)}.dat")
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        if len(data) <= _CORPUS_LIMIT:
            WRITTEN_FILES.append(data)
        return str(path)

    return write


@pytest.fixture
def write_plot(write_file):
    """write_plot(names, blocks, width=12, **plot_text options) -> path."""

    def write(names, blocks, width=12, **options):
        return write_file(plot_text(names, blocks, width, **options))

    return write


def f32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


def bits_f32(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def run_python(code: str, *args, env=None, stdin=None, **kwargs) -> subprocess.CompletedProcess:
    """Run code in a fresh interpreter; returns the completed process with
    stdout and stderr as bytes. env entries are added to (or, with None,
    removed from) a copy of this environment."""
    full_env = dict(os.environ)
    full_env.pop("RUST_BACKTRACE", None)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=full_env,
        stdin=stdin if stdin is not None else subprocess.DEVNULL,
        capture_output=True,
        timeout=kwargs.pop("timeout", 120),
        check=kwargs.pop("check", False),
        **kwargs,
    )


def dunvel_script() -> str:
    """The dunvel command that this interpreter's installation put in its
    scripts folder (which is not beside the interpreter everywhere)."""
    for folder in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        script = os.path.join(folder, "dunvel")
        if os.access(script, os.X_OK):
            return script
    found = shutil.which("dunvel")
    assert found is not None, "the dunvel command is not installed"
    return found


def traced(code, *args, calls, tmp_path):
    """Run code in a fresh interpreter under strace, tracing the system
    calls named in calls (e.g. "openat,read,close"); returns the completed
    process and strace's lines. Where strace is missing or cannot trace,
    the test skips, but not in CI (CI=true), where it must run: there it
    fails."""
    where = "strace is not installed" if shutil.which("strace") is None else None
    log = tmp_path / "trace.txt"
    if where is None:
        proc = subprocess.run(
            ["strace", "-f", "-qq", "-e", f"trace={calls}", "-e", "signal=none", "-s", "0", "-o", str(log),
             sys.executable, "-c", textwrap.dedent(code), *args],
            capture_output=True, timeout=120, env={k: v for k, v in os.environ.items() if k != "RUST_BACKTRACE"},
            check=False,
        )
        if proc.returncode != 0 and b"ptrace" in proc.stderr:
            where = "strace cannot trace here: " + proc.stderr.decode(errors="replace")
    if where is not None:
        if os.environ.get("CI") == "true":
            pytest.fail(where)
        pytest.skip(where)
    return proc, log.read_text().splitlines()


def reads_of(lines, path):
    """(asked, got) of each read() on the file descriptor that opened path,
    from its openat to its close, out of strace's lines."""
    (opened,) = [line for line in lines if f'"{path}"' in line and "openat(" in line]
    fd = opened.rsplit("= ", 1)[1]
    start = lines.index(opened)
    end = next(i for i in range(start, len(lines)) if re.search(rf"close\({fd}\)", lines[i]))
    return [tuple(map(int, re.search(r"read\(\d+, .*, (\d+)\) += (\d+)", line).groups()))
            for line in lines[start:end] if re.search(rf"\bread\({fd},", line)]


def panic_message(path, width=12) -> str:
    """The message of the PanicException that reading path raises."""
    try:
        olvane.rust_read_dunvel(path, width)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(e).__name__ == "PanicException" and len(e.args) == 1
        return e.args[0]
    pytest.fail("the call did not fail")


# The one definition of the core tests: every file but these, which check
# what lies beyond the reader and the modules (the examples, the typing stub,
# Dask, the README's recipes, the conversions to other libraries) and need
# more than pytest, Hypothesis and zstandard (for zstd files), and every test
# but those named here: four go over the whole corpus again with code that
# is the same on every interpreter (the native reader), and one needs pandas. The core runs on every supported
# interpreter and against every wheel (ci/interpreters.sh, ci/wheels.sh:
# pytest -m "not extras").
EXTRAS = {
    "test_examples.py",
    "olvane/test_typing.py",
    "test_many_files.py",
    "test_readme.py",
    "dunvel/test_dunvel_formats.py",
    "dunvel/test_dunvel_dask.py",
    "dunvel/test_dunvel_figures.py",
    "test_command.py::test_plot",
    "test_command.py::test_plot_of_standard_input_compressed",
    "dunvel/test_dunvel_differential.py::test_every_file_the_tests_wrote",
    "dunvel/test_dunvel_streams.py::test_every_corpus_file_compressed",
    "dunvel/test_dunvel_growing.py::test_chunks_of_every_corpus_file",
    "dunvel/test_dunvel_selection.py::test_selections_of_every_corpus_file",
    "dunvel/test_dunvel_compare.py::test_to_pandas_has_a_row_per_parameter",
}
# Tests whose outcome is the compiler's and not the interpreter's: those that
# build native helpers from the tree (the native_tools fixture), and one that
# feeds the reader a line of 2 GiB. ci/interpreters.sh runs them once per
# compiler (-m "not extras" with clang; the whole suite runs them too), not
# again on every interpreter (-m "not extras and not compiler").
COMPILER = {"olvane/test_fields.py::test_field_offsets_do_not_wrap_at_2_32"}
TESTS = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = Path(TESTS).parent


def meson_command():
    if importlib.util.find_spec("mesonbuild") is not None:
        return [sys.executable, "-m", "mesonbuild.mesonmain"]
    found = shutil.which("meson")
    return [found] if found else None


@pytest.fixture(scope="session")
def native_tools(tmp_path_factory):
    """native_tools(target) -> the path of a native test helper, built once
    per session by meson from the tree with -Dnative_tools=true: -O2,
    asserts on, warnings as errors."""
    meson = meson_command()
    if meson is None:
        # CI installs meson (the test extra); anywhere else a missing one only skips.
        if os.environ.get("CI") == "true":
            pytest.fail("meson is not installed, and CI must run this test")
        pytest.skip("needs meson (pip install meson ninja)")
    build = tmp_path_factory.mktemp("native") / "build"
    # ninja beside this interpreter (a virtual environment that is not
    # activated); and none of ci/sanitize.sh's preloading, which is for the
    # interpreters that import the modules, not for meson and the compilers.
    preloading = ("LD_PRELOAD", "OLVANE_SANITIZER_PRELOAD")
    env = {key: value for key, value in os.environ.items() if key not in preloading}
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    setup = ["setup", build, SOURCE_ROOT, "-Dnative_tools=true", "-Dextension_modules=false",
             "-Doptimization=2", "-Db_ndebug=false", "-Dwerror=true"]
    done = subprocess.run([*meson, *setup], capture_output=True, text=True, env=env, check=False)
    assert done.returncode == 0, done.stdout + done.stderr

    def target(name):
        done = subprocess.run([*meson, "compile", "-C", build, name], capture_output=True, text=True, env=env,
                              check=False)
        assert done.returncode == 0, done.stdout + done.stderr
        return build / "tests" / "native" / name

    return target


def pytest_configure(config):
    config.addinivalue_line("markers", "extras: beyond the core tests; not run on every interpreter")
    config.addinivalue_line("markers", "compiler: the same on every interpreter; run once per compiler")
    config.addinivalue_line(
        "markers", "after_corpus: runs after every other test, over the files they wrote"
    )


def pytest_collection_modifyitems(items):
    for item in items:
        where = os.path.relpath(item.path, TESTS)
        if where in EXTRAS or f"{where}::{item.originalname}" in EXTRAS:
            item.add_marker(pytest.mark.extras)
        if f"{where}::{item.originalname}" in COMPILER or "native_tools" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.compiler)
    items.sort(key=lambda item: item.get_closest_marker("after_corpus") is not None)


# Argument types of a child's calls: an int subclass, and an object whose
# __index__ gives make()'s int or raises the exception make() returns.
INT_LIKE_ARGUMENTS = """
class Width(int):
    pass

class Index:
    def __init__(self, make):
        self.make = make
    def __index__(self):
        value = self.make()
        if isinstance(value, int):
            return value
        raise value
"""
