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
    lines = []
    for at in range(0, len(requests), 1000):  # within the system's limit on arguments
        batch = requests[at : at + 1000]
        out = subprocess.run([dump_columns, *(str(a) for r in batch for a in r)], capture_output=True, check=True,
                             timeout=300).stdout.decode("utf-8", "replace")
        # Each file's output follows its own "file" line (and the notice that
        # olvane's reader prints for a bad count); a message may hold lines of
        # the file, so only the expected ones split it.
        at = 0
        for path, _ in batch:
            at = out.index(f"file {path}\n", at) + len(f"file {path}\n")
            found = re.match(r"(?:Error: .* is not a valid number of parameters!\n)?failure line (\d+): ", out[at:])
            lines.append(int(found[1]) if found else None)
    return lines


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
        # olvane takes the bytes as they are.
        return dunvel.read(path, width, compression=None)
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
    answer, read = olvane_answer(oracle, path, width)
    (line,) = failure_lines(dump_columns, [(read, width)])
    check_against(answer, path, width, outcome(path, width), line)


# --- Fortran's own forms --------------------------------------------------------
# The one difference allowed: fields in Fortran's own forms, which dunvel
# reads and olvane refuses. Where olvane refuses a file that holds some, the
# answer is olvane's for the file's twin, where each such field is a zero of
# the same bytes, with olvane's value for the field's E form put in its place.

READER_WHITESPACE = "".join(chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                             0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
FORTRAN_FORM = re.compile(r"(?P<m>[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))[dD](?P<x>[+-]?[0-9]+)"
                          r"|(?P<p>[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+))(?P<y>[+-][0-9]{3})|\*+", re.ASCII)


def e_form(field):
    """The E form of a field in one of Fortran's forms ("nan" for asterisks), else None."""
    found = FORTRAN_FORM.fullmatch(field.strip(READER_WHITESPACE))
    if found is None:
        return None
    return "nan" if found[0][0] == "*" else f"{found['m'] or found['p']}E{found['x'] or found['y']}"


def fortran_twin(data, width):
    """(the twin's bytes, (step, parameter, E form) of each field in Fortran's
    forms), or None where dunvel reads no such field. The walk stops where
    dunvel must fail on a line or on a field's bytes."""
    raw = data.split(b"\n")
    ended = data.endswith(b"\n")
    if ended:
        raw.pop()

    def line(i):
        if i >= len(raw):
            return None
        text = raw[i][:-1] if raw[i].endswith(b"\r") and (ended or i < len(raw) - 1) else raw[i]
        try:
            text.decode()
        except UnicodeDecodeError:
            return None
        return text

    header = line(0)
    tokens = re.findall(f"[^{READER_WHITESPACE}]+", header.decode()) if header is not None else None
    if tokens is None or (tokens and not re.fullmatch(r"\+?[0-9]+", tokens[-1], re.ASCII)):
        return None
    count = int(tokens[-1]) if tokens else 0
    if count == 0 or count > 178956970 or any(line(i) is None for i in range(1, min(1 + count, len(raw)))):
        return None
    twin, forms = list(raw), []

    def walk():
        i, step = 1 + count, 0
        while line(i) is not None:
            i += 1
            for first in range(0, count, 10):
                text = line(i)
                if text is None:
                    return
                fields = bytearray(raw[i])
                for k in range(min(10, count - first)):
                    begin, end = k * width, (k + 1) * width
                    if end > len(text) or any(at < len(text) and text[at] & 0xC0 == 0x80 for at in (begin, end)):
                        twin[i] = bytes(fields)
                        return
                    e = e_form(text[begin:end].decode())
                    if e is not None:
                        forms.append((step, first + k, e))
                        fields[begin:end] = b"0".rjust(width)
                twin[i] = bytes(fields)
                i += 1
            step += 1

    walk()
    return (b"\n".join(twin) + b"\n" * ended, forms) if forms else None


def olvane_answer(oracle, path, width):
    """(olvane's answer, the file it is about): for the file, or where olvane
    refuses fields in Fortran's forms, for its twin (fortran_twin), with the
    fields' values put back."""
    answer = oracle(path, width)
    found = None
    if "message" in answer and not OS_FAILURE.match(answer["message"]):
        found = fortran_twin(Path(path).read_bytes(), width)
    if found is None:
        return answer, path
    data, forms = found
    twin = path + ".twin"
    Path(twin).write_bytes(data)
    answer = oracle(twin, width)
    if "message" in answer:
        return answer, twin
    texts = list(dict.fromkeys(e for _, _, e in forms))
    wide = max(map(len, texts)) + 1
    rows = ["".join(e.rjust(wide) for e in texts[i : i + 10]) for i in range(0, len(texts), 10)]
    Path(path + ".forms").write_text(f"{len(texts)}\n" + "f\n" * len(texts) + "t\n" + "\n".join(rows) + "\n")
    read = oracle(path + ".forms", wide)
    assert "values" in read, (texts, read)
    bits = {e: bytes.fromhex(read["values"][8 * j : 8 * j + 8]) for j, e in enumerate(texts)}
    values, count = bytearray.fromhex(answer["values"]), answer["shape"][1]
    for step, parameter, e in forms:
        at = 4 * (step * count + parameter)
        values[at : at + 4] = bits[e]
    answer["values"] = values.hex()
    return answer, twin


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
    twins = 0
    for (path, width), line in zip(requests, failure_lines(dump_columns, requests)):
        answer, read = olvane_answer(oracle, path, width)
        if read != path:
            twins += 1
            (line,) = failure_lines(dump_columns, [(read, width)])
        check_against(answer, path, width, outcome(path, width), line)
    print(f"{len(corpus)} files x {len(WIDTHS)} widths; {twins} of these reads hold fields in Fortran's forms")


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
        for w in (12, 15):
            answer, read = olvane_answer(oracle, path, w)
            (line,) = failure_lines(dump_columns, [(read, w)])
            try:
                check_against(answer, path, w, got, line)
            except AssertionError as failure:
                failures.append(failure)
        assert len(failures) < 2, failures
