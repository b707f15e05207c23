"""The failure report on fd 2 and the PanicException type, each in a fresh
interpreter because the backtrace mode, the first-report note and the type
object are process-wide."""

import json
import os
import pathlib
import re
import textwrap

import pytest

from conftest import run_python

REPO = pathlib.Path(__file__).resolve().parents[2]
MISSING = f'Plot file not found!: Os {{ code: 2, kind: NotFound, message: "{os.strerror(2)}" }}'
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
SHORT_NOTE = "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n"
POSITION = re.compile(r"panicked at (\S+):(\d+):(\d+):\n")

PRELUDE = """\
import json, os, sys, threading, traceback, olvane
path = sys.argv[1]
def fail():
    print(threading.get_native_id(), flush=True)
    try:
        olvane.rust_read_dunvel(path, 12)
    except BaseException as error:
        return error
    raise SystemExit("the call did not fail")
"""


def child(body, path, env_value=None, **kwargs):
    return run_python(PRELUDE + textwrap.dedent(body), str(path), env={"RUST_BACKTRACE": env_value}, **kwargs)


def mask_positions(text):
    """Check every source position and replace it by <pos>."""

    def check(match):
        file, line, column = match.groups()
        ours = re.search(r"(?:^|/)(src/\S+\.[ch]pp)$", file)
        assert ours and (REPO / ours.group(1)).is_file(), file
        # The line of the call that raised; the column lies within the call
        # (clang names its first character, a qualifier's included, GCC a
        # later one).
        text = (REPO / ours.group(1)).read_text(encoding="utf-8").splitlines()[int(line) - 1]
        call = re.search(
            r"\b(?:\w+::)*(?:ReaderFailure|fail_at|failure_at|fail_in_header|fail_open|fail_read|parse_field|raise_failure|raise_null_object_failure)\(",
            text,
        )
        assert call and call.start() < int(column) <= len(text), (file, line, column, text)
        return "panicked at <pos>:\n"

    return POSITION.sub(check, text)


def header(tid):
    return f"\nthread '<unnamed>' ({tid}) panicked at <pos>:\n"


def reports(proc):
    """The tids printed by the child and its fd 2 cut into reports after their headers."""
    tids = proc.stdout.decode().split()
    parts = re.split(r"\nthread '<unnamed>' \(\d+\) panicked at <pos>:\n", mask_positions(proc.stderr.decode()))
    assert parts[0] == ""
    return tids, parts[1:]


@pytest.mark.parametrize("value", [None, "0"], ids=["unset", "zero"])
def test_off_mode_notes_only_first_report(tmp_path, value):
    proc = child("fail()\nworker = threading.Thread(target=fail)\nworker.start()\nworker.join()\n",
                 tmp_path / "missing.dat", value)
    first, second = proc.stdout.decode().split()
    assert first != second
    expected = header(first) + MISSING + "\n" + NOTE + header(second) + MISSING + "\n"
    assert (proc.returncode, mask_positions(proc.stderr.decode())) == (0, expected)


@pytest.mark.parametrize("value", ["", "1", "short", "yes", "full"])
def test_backtrace_modes(tmp_path, value):
    tids, texts = reports(child("fail()\nfail()\n", tmp_path / "missing.dat", value))
    assert len(tids) == 2 and len(texts) == 2
    for text in texts:
        lines = text.splitlines(keepends=True)
        assert lines[:2] == [MISSING + "\n", "stack backtrace:\n"]
        frames = lines[2:-1] if value != "full" else lines[2:]
        if value != "full":
            assert lines[-1] == SHORT_NOTE
        assert frames and not any("note:" in line or not line.strip() for line in frames)


@pytest.mark.parametrize(
    "start, body, with_backtrace",
    [
        (None, "fail()\nos.environ['RUST_BACKTRACE'] = 'full'\nfail()\n", [False, False]),
        ("1", "fail()\ndel os.environ['RUST_BACKTRACE']\nfail()\n", [True, True]),
        ("full", "fail()\nos.environ['RUST_BACKTRACE'] = '0'\nfail()\n", [True, True]),
        (None, "os.environ['RUST_BACKTRACE'] = '1'\nfail()\n", [True]),
    ],
    ids=["unset-then-full", "short-then-unset", "full-then-zero", "set-after-import"],
)
def test_mode_is_read_once_at_first_report(tmp_path, start, body, with_backtrace):
    _, texts = reports(child(body, tmp_path / "missing.dat", start))
    assert ["stack backtrace:\n" in text for text in texts] == with_backtrace
    # Off stays off: the later report is the bare message, not a backtrace or a second note.
    assert with_backtrace[-1] or texts == [MISSING + "\n" + NOTE, MISSING + "\n"]


def test_panic_exception_type(tmp_path):
    body = """
    first, second = fail(), fail()
    try:
        try:
            olvane.rust_read_dunvel(path, 12)
        except Exception:
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    T = type(first)
    print(json.dumps([T.__name__, T.__qualname__, T.__module__, T.__bases__ == (BaseException,),
                      type(second) is T, caught, first.args, str(first),
                      any(v is T for v in vars(olvane).values()), hasattr(olvane, "PanicException"),
                      T.__doc__.startswith("\\n") and "BaseException" in T.__doc__,
                      traceback.format_exception_only(T, first)[-1]]))
    """
    proc = child(body, tmp_path / "missing.dat")
    assert json.loads(proc.stdout.decode().splitlines()[-1]) == [
        "PanicException", "PanicException", "pyo3_runtime", True, True, "BaseException",
        [MISSING], MISSING, False, False, True, f"pyo3_runtime.PanicException: {MISSING}\n",
    ]


@pytest.mark.parametrize("line, token", [("3 parameters", "parameters"), ("x" * 600 + " -3", "-3")],
                         ids=["word", "long-line"])
def test_bad_count_spans_lines_after_stdout_line(write_file, line, token):
    # Both descriptors share one pipe so that the order of the two writes shows.
    body = "os.dup2(1, 2)\nprint(json.dumps(fail().args))\n"
    proc = child(body, write_file(f"{line}\na\nb\nc\n"))
    tid = proc.stdout.decode().split("\n", 1)[0]
    message = f"The first line should end with the number of parameters:\n'{line}'"
    assert mask_positions(proc.stdout.decode()) == (
        f"{tid}\nError: '{token}' is not a valid number of parameters!\n"
        + header(tid) + message + "\n" + NOTE + json.dumps([message]) + "\n"
    )
