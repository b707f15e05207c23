"""Every python block of the README runs as a script from the project's root;
a text block right after it is what it must print. In a console block, each
line "$ dunvel ..." (or "$ python examples/...", with this interpreter) runs
that command from a folder that holds the root's examples and an empty
docs/ (so that what a command writes stays out of the source tree), and the
lines up to the next "$" are what it prints (standard output and error as a
terminal shows them)."""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import dunvel_script

pytest.importorskip("numpy")
pytest.importorskip("pandas")

ROOT = Path(__file__).resolve().parent.parent
CONSOLE = re.compile(r"^```console\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
BLOCK = re.compile(r"^```python\n(.*?)^```\n(?:\n```text\n(.*?)^```\n)?", re.MULTILINE | re.DOTALL)


def cases():
    for name in ("README.md",):
        path = ROOT / name
        found = BLOCK.findall(path.read_text(encoding="utf-8")) if path.exists() else []
        if not found:
            yield pytest.param("", "", id=name, marks=pytest.mark.skip(reason="no python block"))
        for i, (code, output) in enumerate(found, 1):
            yield pytest.param(code, output, id=f"{name}-{i}")


@pytest.mark.parametrize("code, output", list(cases()))
def test_python_block_runs(code, output, tmp_path):
    script = tmp_path / "recipe.py"  # a file, not -c: process pools re-import __main__
    script.write_text(code, encoding="utf-8")
    command = [sys.executable, str(script)]
    done = subprocess.run(
        command, cwd=ROOT, capture_output=True, text=True, timeout=120, check=False
    )
    assert done.returncode == 0, done.stderr
    if output:  # editors strip trailing blanks from Markdown, pandas pads with them
        assert [line.rstrip() for line in done.stdout.splitlines()] == output.splitlines()


def commands():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    found = [part for block in CONSOLE.findall(text) for part in re.split(r"^(?=\$ )", block, flags=re.MULTILINE) if part]
    if not found:
        yield pytest.param("", "", id="README.md", marks=pytest.mark.skip(reason="no console block"))
    for i, part in enumerate(found, 1):
        line, _, output = part.partition("\n")
        yield pytest.param(line, output, id=f"README.md-console-{i}")


@pytest.mark.parametrize("line, output", list(commands()))
def test_console_block_runs(line, output, tmp_path):
    words = shlex.split(line.removeprefix("$ "))
    example = words[0] == "python" and words[1].startswith("examples/")
    assert line.startswith("$ ") and (words[0] == "dunvel" or example), line
    program = sys.executable if example else dunvel_script()
    # Unbuffered, so that both streams come in the order they were written.
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    (tmp_path / "examples").symlink_to(ROOT / "examples", target_is_directory=True)
    (tmp_path / "docs").mkdir()
    done = subprocess.run(
        [program, *words[1:]], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        timeout=120, env=env, check=False,
    )
    assert [text.rstrip() for text in done.stdout.splitlines()] == output.splitlines()
