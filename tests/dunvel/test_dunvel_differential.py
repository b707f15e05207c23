"""dunvel against olvane on the same files: dunvel.read succeeds exactly when
olvane.rust_read_dunvel does, to the same bits; where olvane fails, dunvel
raises the exception that its failure maps to: a PlotFileError of the kind
that olvane's message tells, at the line where olvane's reader failed (which
olvane does not show: the native dump_columns, on the reader that olvane
calls, prints it).

olvane runs in a child process of its own: its failures write reports on
fd 2 and notices on fd 1, which the child keeps apart per call."""

import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import dunvel
from conftest import MALFORMED_FILES, WRITTEN_FILES, format_field

ORACLE = textwrap.dedent(
    """
    import json, os, sys, tempfile
    import numpy as np
    import olvane

    answers = os.fdopen(os.dup(1), "w")
    notices = tempfile.TemporaryFile()
    os.dup2(notices.fileno(), 1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    for request in sys.stdin:
        path, width = json.loads(request)
        notices.seek(0)
        notices.truncate()
        try:
            columns = olvane.rust_read_dunvel(path, width)
        except BaseException as error:
            answer = {"message": error.args[0]}
        else:
            steps = len(columns[0]) if columns else 0
            rows = np.array(columns, dtype=np.float32).reshape(len(columns), steps).T
            answer = {"shape": [steps, len(columns)], "values": rows.tobytes().hex()}
        notices.seek(0)
        answer["stdout"] = notices.read().decode()
        answers.write(json.dumps(answer) + "\\n")
        answers.flush()
    """
)

# The two widths of the format, and others around them and far from them.
WIDTHS = [1, 5, 10, 11, 12, 13, 15, 16, 24, 400]
OS_FAILURE = re.compile(r"(?:Plot file not found|Failed to read line)!: Os \{ code: (\d+), ")

# olvane's messages, and the kinds of dunvel's failure on the same file: a
# failure in a step that the end of the file cut is "incomplete", and bytes
# that are not UTF-8 may be compressed data.
KINDS = [
    (r"Failed ot read line!$|Failed to read line!$", {"header"}),
    (r"Failed to read line!: Error \{ kind: InvalidData", {"encoding", "incomplete", "compressed"}),
    (r"The first line should end with the number of parameters", {"count"}),
    (r"Error reading line$", {"incomplete"}),
    (r"Could not parse line: ParseFloatError", {"field", "incomplete"}),
    (r"byte index \d+ is out of bounds", {"short-line", "incomplete"}),
    (r"byte index \d+ is not a char boundary", {"field", "incomplete"}),
    (r"Could not tell the field width", {"width", "incomplete"}),
    (r"capacity overflow$", {"too-large"}),
]


def kinds_for(message):
    (kinds,) = [kinds for pattern, kinds in KINDS if re.match(pattern, message)]
    return kinds


def failure_lines(dump_columns, requests):
    """The line at which olvane's reader fails on each (path, width), or None
    where it reads the file."""
    if not requests:
        return []
    out = subprocess.run([dump_columns, *(str(a) for r in requests for a in r)], capture_output=True, check=True,
                         timeout=300).stdout.decode("utf-8", "replace")
    chunks = re.split(r"^file .*\n", out, flags=re.M)[1:]
    assert len(chunks) == len(requests)
    return [int(m[1]) if (m := re.match(r"failure line (\d+): ", chunk)) else None for chunk in chunks]


@pytest.fixture(scope="module")
def dump_columns(native_tools):
    return native_tools("dump_columns")


class Oracle:
    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-c", ORACLE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )

    def __call__(self, path, width):
        self.process.stdin.write(json.dumps([path, width]) + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        assert self.process.wait(timeout=60) == 0


@pytest.fixture(scope="module")
def oracle():
    running = Oracle()
    yield running
    running.close()


def outcome(path, width):
    try:
        return dunvel.read(path, width)
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return error


def check_against(answer, path, width, got, line):
    """Asserts that dunvel's outcome got is what olvane's answer (and the line
    where olvane's reader failed) maps to."""
    if "values" in answer:
        assert isinstance(got, dunvel.Plot), f"olvane read it, dunvel raised {got!r}"
        steps, count = answer["shape"]
        if count == 0:
            # No columns tell olvane's steps; dunvel has one for each line.
            steps = got.values.shape[0]
        assert (got.values.shape, got.width) == ((steps, count), width)
        assert got.values.tobytes().hex() == answer["values"]
        assert got.times.shape == (got.values.shape[0],)
        return
    message = answer["message"]
    os_failure = OS_FAILURE.match(message)
    if os_failure:
        code = int(os_failure[1])
        assert type(got) is type(OSError(code, "")) and (got.errno, got.filename) == (code, path)
        return
    assert type(got) is dunvel.PlotFileError, f"olvane: {message!r}, dunvel: {got!r}"
    assert got.path == path and got.kind in kinds_for(message), (message, got)
    # Compressed data is refused before any line.
    assert got.line == (1 if got.kind == "compressed" else line), (message, got)


def check(oracle, dump_columns, path, width):
    (line,) = failure_lines(dump_columns, [(path, width)])
    check_against(oracle(path, width), path, width, outcome(path, width), line)


@pytest.mark.after_corpus
def test_every_file_the_tests_wrote(oracle, dump_columns, tmp_path):
    # Run alone, the corpus holds only what this file writes; with the whole
    # suite, every file of every other test.
    corpus = list(dict.fromkeys([*WRITTEN_FILES, *(c if isinstance(c, bytes) else c.encode()
                                                   for c in MALFORMED_FILES.values())]))
    requests = []
    for index, content in enumerate(corpus):
        path = tmp_path / f"{index}.dat"
        path.write_bytes(content)
        requests += [(str(path), width) for width in WIDTHS]
    for (path, width), line in zip(requests, failure_lines(dump_columns, requests)):
        check_against(oracle(path, width), path, width, outcome(path, width), line)
    print(f"{len(corpus)} files x {len(WIDTHS)} widths")


def test_files_that_fail_to_open_or_read(oracle, dump_columns, tmp_path):
    for path in (tmp_path / "missing.dat", tmp_path, tmp_path / "missing" / "plot.dat"):
        check(oracle, dump_columns, str(path), 12)


# --- generated files ----------------------------------------------------------

FIELD_JUNK = " 0123456789.eE+-Dnaif\u00e9\u3000\t"


@st.composite
def plot_files(draw):
    """Mostly well-formed files with a few things wrong: a count line, name
    lines, blocks of fields at 12 or 15 (or junk of any width), LF or CR LF,
    and now and then a cut, an invalid byte or a blank line."""
    n = draw(st.integers(0, 13))
    width = draw(st.sampled_from([12, 15, 12, 15, 7]))
    count = draw(st.sampled_from([f"  NPAR = {n}", f"{n}", f"+{n}", f"{n} parameters", "", f"{n + 1}"]))
    lines = [count]
    lines += [draw(st.sampled_from(["  PRES", "a b", "", "\u3000TEMP", "\u00e9"])) for _ in range(n)]
    for step in range(draw(st.integers(0, 4))):
        lines.append(draw(st.sampled_from([f"  TIME = {step}.5E-01 S  STEP = {step}", "", "t", "\u00e9 1"])))
        for first in range(0, n, 10):
            fields = []
            for _ in range(min(10, n - first)):
                fields.append(
                    draw(
                        st.one_of(
                            st.floats(width=32, allow_nan=False).map(lambda v: format_field(v, width)),
                            st.text(alphabet=FIELD_JUNK, min_size=0, max_size=16),
                        )
                    )
                )
            lines.append("".join(fields) + draw(st.sampled_from(["", "", "  ", "x"])))
    newline = draw(st.sampled_from(["\n", "\r\n"]))
    data = (newline.join(lines) + newline).encode()
    damage = draw(st.sampled_from(["none", "none", "none", "cut", "byte", "blank"]))
    if damage == "cut" and data:
        data = data[: draw(st.integers(0, len(data) - 1))]
    elif damage == "byte" and data:
        at = draw(st.integers(0, len(data) - 1))
        data = data[:at] + draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\x00"])) + data[at:]
    elif damage == "blank":
        data += newline.encode()
    return data


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(plot_files(), st.sampled_from([None, 12, 15, 12, 15, 1, 7, 13, 14, 16]))
def test_generated_files(oracle, dump_columns, tmp_path, data, width):
    path = str(tmp_path / "generated.dat")
    Path(path).write_bytes(data)
    got = outcome(path, width)
    if width is not None:
        check(oracle, dump_columns, path, width)
        return
    # A width found reads as that width given; a file whose first data line
    # fits neither is refused before any value.
    if isinstance(got, dunvel.Plot):
        check(oracle, dump_columns, path, got.width)
    elif not (isinstance(got, dunvel.PlotFileError) and got.kind == "width"):
        # Any other failure comes before the width matters, or at a width found.
        failures = []
        for w, line in zip((12, 15), failure_lines(dump_columns, [(path, 12), (path, 15)])):
            try:
                check_against(oracle(path, w), path, w, got, line)
            except AssertionError as failure:
                failures.append(failure)
        assert len(failures) < 2, failures
