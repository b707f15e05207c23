"""Every python block of the README runs as a script from the project's root;
a text block right after it is what it must print."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pandas")

ROOT = Path(__file__).resolve().parent.parent
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
