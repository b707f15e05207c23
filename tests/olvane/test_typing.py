"""The installed stub package olvane-stubs agrees with the built module,
types the call tightly enough to catch a caller's mistakes, and the examples
pass mypy --strict. mypy runs as a user runs it: from a folder outside the
project, with no MYPYPATH, finding the stub where pip installed it."""

import ast
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import olvane

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]
SITE = {Path(sysconfig.get_path(kind)).resolve() for kind in ("platlib", "purelib")}

# An editable install or a build folder on PYTHONPATH leaves no stub where
# mypy looks; a module installed into site-packages without its stub fails below.
if not any((folder / "olvane-stubs" / "__init__.pyi").is_file() for folder in SITE) and not any(
    folder in Path(olvane.__file__).resolve().parents for folder in SITE
):
    pytest.skip("olvane is not installed into site-packages", allow_module_level=True)

SNIPPET = """\
import olvane

class Width:
    def __index__(self) -> int:
        return 15

columns: list[list[float]] = olvane.rust_read_dunvel("plot.dat", 12)
columns = olvane.rust_read_dunvel(n_digits=Width(), file_path="plot.dat")
wrong: list[list[int]] = olvane.rust_read_dunvel("plot.dat", 12)
olvane.rust_read_dunvel(b"plot.dat", 12)
olvane.rust_read_dunvel("plot.dat", 12.0)
olvane.PanicException
"""
SNIPPET_ERRORS = [
    'snippet.py:9: error: Incompatible types in assignment (expression has type "list[list[float]]",'
    + ' variable has type "list[list[int]]")  [assignment]',
    'snippet.py:10: error: Argument 1 to "rust_read_dunvel" has incompatible type "bytes";'
    + ' expected "str"  [arg-type]',
    'snippet.py:11: error: Argument 2 to "rust_read_dunvel" has incompatible type "float";'
    + ' expected "SupportsIndex"  [arg-type]',
    'snippet.py:12: error: Module has no attribute "PanicException"  [attr-defined]',
]


def run(request, module, *args, cwd):
    # A cache that outlives the run where pytest keeps one: a cold check of
    # the examples takes ~20 s.
    config = request.config
    cache = config.cache.mkdir("mypy") if hasattr(config, "cache") else ROOT / ".mypy_cache"
    env = {**os.environ, "MYPY_CACHE_DIR": str(cache)}
    env.pop("MYPYPATH", None)
    command = [sys.executable, "-m", module, *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, check=False)


@pytest.mark.parametrize("example", sorted(ROOT.glob("examples/*.py")), ids=lambda p: p.name)
def test_example_passes_mypy_strict(request, tmp_path, example):
    tree = ast.parse(example.read_text(encoding="utf-8"))
    modules = {a.name for n in ast.walk(tree) if isinstance(n, ast.Import) for a in n.names}
    modules |= {n.module for n in ast.walk(tree) if isinstance(n, ast.ImportFrom) and n.module}
    tops = {m.split(".")[0] for m in modules}
    missing = sorted(m for m in tops if importlib.util.find_spec(m) is None)
    if missing:
        pytest.skip(f"not installed: {', '.join(missing)}")
    done = run(request, "mypy", "--strict", "--no-error-summary", str(example), cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, ""), done.stdout + done.stderr


def test_stub_types_the_call(request, tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET, encoding="utf-8")
    done = run(request, "mypy", "--strict", "--no-error-summary", "snippet.py", cwd=tmp_path)
    assert done.stdout.splitlines() == SNIPPET_ERRORS, done.stderr


def test_stub_agrees_with_the_built_module(request, tmp_path):
    # stubtest imports the installed module and compares names, parameters and __all__.
    done = run(request, "mypy.stubtest", "olvane", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
