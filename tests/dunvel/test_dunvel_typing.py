"""dunvel as a user's type checker sees it once installed: mypy --strict,
run from a folder outside the project without MYPYPATH, finds the package
through its py.typed, passes correct code and catches wrong code; and the
stub of the native module agrees with the built module."""

import os
import subprocess
import sys
import venv
from pathlib import Path

import pytest

import dunvel

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]
PACKAGE_FILES = ("__init__.py", "__main__.py", "_command.py", "_compare.py", "_dask.py", "_formats.py", "_native.pyi",
                 "_plots.py", "_selection.py", "_sources.py", "py.typed")

SNIPPET = """\
from pathlib import Path

import numpy as np
import numpy.typing as npt

import dunvel

plot: dunvel.Plot = dunvel.read("run.plt")
plot = dunvel.read(b"run.plt", 15)
plot = dunvel.read(Path("run.plt"), width=None)
values: npt.NDArray[np.float32] = plot.values
times: npt.NDArray[np.float64] = plot.times
names: tuple[str, ...] = plot.names
column: npt.NDArray[np.float32] = plot["PRES"]
count: int = plot.n_steps + plot.n_parameters + plot.width
present: bool = "PRES" in plot
selected: dunvel.Plot = plot[["PRES", "TEMP"]]
steps: npt.NDArray[np.int64] = selected.steps
whole: bool = selected.complete is not False and len(selected) == plot.n_steps and list(plot) == list(names)
plots: list[dunvel.Plot] = dunvel.read_many(["a.plt", Path("b.plt")], threads=2)
mixed: list[dunvel.Plot | Exception] = dunvel.read_many(["a.plt"], errors="return")
try:
    dunvel.read("run.plt")
except dunvel.PlotFileError as error:
    where: tuple[str, int, str] = (error.path, error.line, error.message)
wrong: npt.NDArray[np.float64] = plot.values
dunvel.read(12)
dunvel.read("run.plt", width="12")
unchecked: list[dunvel.Plot] = dunvel.read_many(["a.plt"], errors="return")
with dunvel.open("run.plt", growing=True) as reader:
    chunk: dunvel.Plot = reader.read(10)
    known: int | None = reader.width
    for part in reader.chunks(100):
        part_steps: npt.NDArray[np.int64] = part.steps
for new in dunvel.follow("run.plt", interval=0.5, idle_timeout=60):
    fresh: dunvel.Plot = new
with open("run.plt.gz", "rb") as file:
    streamed: dunvel.Plot = dunvel.read(file, compression="gzip")
dunvel.read("run.plt", compression="zip")
part_of: dunvel.Plot = dunvel.read("run.plt", names=["PRES", "TEMP*"], steps=slice(0, None, 10), time=(0.0, 5.0))
looked: bool | None = dunvel.read("run.plt", names="PRES", steps=range(5)).complete
dunvel.read("run.plt", names=3)
compared: dunvel.Comparison = dunvel.compare("a.plt", Path("b.plt"), rtol=1e-6, names=["PRES"], restarts="keep")
agree: bool = compared.ok and not compared.names_only_in_base and compared.steps_only_in_new.size == 0
restarted: dunvel.Plot = plot.drop_restarts()
dunvel.compare("a.plt", "b.plt", restarts="all")
dataset = plot.to_xarray()
sizes: dict[str, int] = {str(name): size for name, size in dataset.sizes.items()}
columns: list[str] = plot.to_polars().columns
rows: int = plot.to_arrow().num_rows
lazy = dunvel.to_dask(["a.plt", Path("b.plt")], names=["PRES", "TEMP*"], width=12, threads=1)
partitions: int = lazy.npartitions
dunvel.to_dask(["a.plt"], incomplete="drop")
dunvel.plot(["a.plt", Path("b.plt"), plot], ["PRES", "TEMP*"], x="TIME", out=Path("runs.html"), restarts="keep")
dunvel.plot(plot, "PRES", backend="svg")
"""
SNIPPET_ERRORS = [
    ('snippet.py:26: error: Incompatible types in assignment (expression has type "ndarray[tuple[Any, ...],'
    ' dtype[floating[_32Bit]]]", variable has type "ndarray[tuple[Any, ...], dtype[float64]]")  [assignment]'),
    ('snippet.py:27: error: Argument 1 to "read" has incompatible type "int"; expected'
    ' "str | bytes | PathLike[str] | PathLike[bytes] | BinaryReadable | BinaryReadableInto"  [arg-type]'),
    ('snippet.py:28: error: Argument "width" to "read" has incompatible type "str"; expected "int | None"'
    "  [arg-type]"),
    ('snippet.py:29: error: Incompatible types in assignment (expression has type "list[Plot | Exception]",'
    ' variable has type "list[Plot]")  [assignment]'),
    ('snippet.py:39: error: Argument "compression" to "read" has incompatible type "Literal[\'zip\']"; expected'
    ' "Literal[\'infer\', \'gzip\', \'bz2\', \'xz\', \'zstd\'] | None"  [arg-type]'),
    ('snippet.py:42: error: Argument "names" to "read" has incompatible type "int"; expected'
    ' "str | Iterable[str] | None"  [arg-type]'),
    ('snippet.py:46: error: Argument "restarts" to "compare" has incompatible type "Literal[\'all\']"; expected'
    ' "Literal[\'drop\', \'keep\']"  [arg-type]'),
    ('snippet.py:53: error: Argument "incomplete" to "to_dask" has incompatible type "Literal[\'drop\']"; expected'
    ' "Literal[\'raise\', \'keep\']"  [arg-type]'),
    ('snippet.py:55: error: Argument "backend" to "plot" has incompatible type "Literal[\'svg\']"; expected'
    ' "Literal[\'matplotlib\', \'plotly\'] | None"  [arg-type]'),
]


@pytest.fixture(scope="module")
def python_with_dunvel(tmp_path_factory):
    """An interpreter whose site-packages hold dunvel as installed: this one
    when dunvel is installed, else a new environment with a copy of the
    package's files (an editable install is an import hook, which mypy does
    not follow)."""
    package = Path(dunvel.__file__).resolve().parent
    if ROOT not in package.parents:
        return sys.executable
    env = tmp_path_factory.mktemp("env")
    venv.create(env, system_site_packages=True, with_pip=False)
    python = str(env / "bin" / "python")
    site = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True,
    ).stdout.strip()
    target = Path(site) / "dunvel"
    target.mkdir()
    for name in PACKAGE_FILES:
        (target / name).write_bytes((package / name).read_bytes())
    return python


def mypy(request, python, *args, cwd):
    config = request.config
    cache = config.cache.mkdir("mypy-dunvel") if hasattr(config, "cache") else cwd / ".mypy_cache"
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["MYPY_CACHE_DIR"] = str(cache)
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
               "--python-executable", python, *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, check=False)


def test_user_code(request, python_with_dunvel, tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET, encoding="utf-8")
    done = mypy(request, python_with_dunvel, "snippet.py", cwd=tmp_path)
    assert done.stdout.splitlines() == SNIPPET_ERRORS, done.stdout + done.stderr


def test_package_itself(request, python_with_dunvel, tmp_path):
    done = mypy(request, python_with_dunvel, "-p", "dunvel", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, ""), done.stdout + done.stderr


def test_native_stub_agrees_with_the_built_module(python_with_dunvel, tmp_path):
    if python_with_dunvel != sys.executable:
        pytest.skip("stubtest needs dunvel installed, not editable")
    # Before 3.12 the runtime shows no __buffer__, which the stub declares.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("dunvel._native.Pages.__buffer__\n" if sys.version_info < (3, 12) else "")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "dunvel._native"],
        cwd=tmp_path, capture_output=True, text=True, check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_ships_its_typing_files():
    package = Path(dunvel.__file__).resolve().parent
    assert [name for name in PACKAGE_FILES if not (package / name).is_file()] == []
