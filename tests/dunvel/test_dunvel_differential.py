"""dunvel against olvane on the same files: dunvel.read succeeds exactly when
olvane.rust_read_dunvel does, to the same bits; where olvane fails, dunvel
raises the exception that its failure maps to, and a PlotFileError carries
olvane's message (after the notice that olvane prints for a bad count).

olvane runs in a child process of its own: its failures write reports on
fd 2 and notices on fd 1, which the child keeps apart per call."""

import json
import re
import subprocess
import sys
import textwrap

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


def check_against(answer, path, width, got):
    """Asserts that dunvel's outcome got is what olvane's answer maps to."""
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
    assert (got.path, got.message) == (path, answer["stdout"] + message)
    assert got.line >= 1


def check(oracle, path, width):
    check_against(oracle(path, width), path, width, outcome(path, width))


@pytest.mark.after_corpus
def test_every_file_the_tests_wrote(oracle, tmp_path):
    # Run alone, the corpus holds only what this file writes; with the whole
    # suite, every file of every other test.
    corpus = list(dict.fromkeys([*WRITTEN_FILES, *(c if isinstance(c, bytes) else c.encode()
                                                   for c in MALFORMED_FILES.values())]))
    for index, content in enumerate(corpus):
        path = tmp_path / f"{index}.dat"
        path.write_bytes(content)
        for width in WIDTHS:
            check(oracle, str(path), width)
    print(f"{len(corpus)} files x {len(WIDTHS)} widths")


def test_files_that_fail_to_open_or_read(oracle, tmp_path):
    for path in (tmp_path / "missing.dat", tmp_path, tmp_path / "missing" / "plot.dat"):
        check(oracle, str(path), 12)


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
def test_generated_files(oracle, tmp_path, data, width):
    path = tmp_path / "generated.dat"
    path.write_bytes(data)
    got = outcome(str(path), width)
    if width is not None:
        check(oracle, str(path), width)
        return
    # A width found reads as that width given; a file whose first data line
    # fits neither is refused before any value.
    if isinstance(got, dunvel.Plot):
        check_against(oracle(str(path), got.width), str(path), got.width, got)
    elif isinstance(got, dunvel.PlotFileError) and got.message.startswith("Could not tell the field width"):
        pass
    else:
        answers = [oracle(str(path), w) for w in (12, 15)]
        assert any("message" in a and a["stdout"] + a["message"] == getattr(got, "message", None)
                   for a in answers), (got, answers)
