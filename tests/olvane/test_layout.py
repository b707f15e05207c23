"""Layout of the file: blocks of 1 + ceil(n / 10) lines, where the end of the
file may fall, and failures to open or read the file at all."""

import os

import pytest

import olvane
from conftest import f32_bits, plot_text

VALUES = [1.0, 2.5, -3.0]


def outcome(path):
    """The columns as bit patterns, or the failure message."""
    try:
        return [[f32_bits(v) for v in col] for col in olvane.rust_read_dunvel(path, 12)]
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(e).__name__ == "PanicException" and len(e.args) == 1
        return e.args[0]


def sample(n, b, **options):
    blocks = [[VALUES[(i + j) % 3] for j in range(n)] for i in range(b)]
    expected = [[f32_bits(block[j]) for block in blocks] for j in range(n)]
    return plot_text([f"p{j}" for j in range(n)], blocks, **options), expected


@pytest.mark.parametrize("b", [0, 1, 3])
@pytest.mark.parametrize("n", [0, 1, 2, 10, 11, 12, 25])
def test_blocks(write_file, n, b):
    text, expected = sample(n, b)
    assert outcome(write_file(text)) == expected


@pytest.mark.parametrize("block_start", ["", "   ", "1.0 2.0 3.0", "t=\u00e9\u20ac", "x" * 9000])
def test_block_start_line_is_not_examined(write_file, block_start):
    text, expected = sample(2, 2, block_start=block_start)
    assert outcome(write_file(text)) == expected


@pytest.mark.parametrize("n", [1, 10, 11, 12])
def test_end_of_file_after_each_line(write_file, n):
    text, expected = sample(n, 2)
    lines = text.splitlines(keepends=True)
    per_block = 1 + (n + 9) // 10
    seen, wanted = [], []
    for cut in range(len(lines) + 1):
        seen.append(outcome(write_file("".join(lines[:cut]))))
        if cut == 0:
            wanted.append("Failed ot read line!")
        elif cut <= n:
            wanted.append("Failed to read line!")
        elif (cut - n - 1) % per_block:
            wanted.append("Error reading line")
        else:
            blocks = (cut - n - 1) // per_block
            wanted.append([col[:blocks] for col in expected])
    assert seen == wanted


@pytest.mark.parametrize("newline", ["\n", "\r\n"], ids=["lf", "crlf"])
@pytest.mark.parametrize("n", [0, 1, 12])
def test_trailing_blank_line_starts_a_block(write_file, n, newline):
    text, expected = sample(n, 1, newline=newline)
    assert outcome(write_file(text + newline)) == (expected if n == 0 else "Error reading line")


@pytest.mark.parametrize(
    "content",
    ["\n", " \t \u3000\n", "NPAR = 0\n", "NPAR = 0\nname\n\n1.0 2.0\n\n", "   \nx\n\n\u00e9"],
    ids=["blank", "whitespace", "zero", "zero-with-lines", "blank-with-lines"],
)
def test_no_parameters_reads_to_the_end(write_file, content):
    assert outcome(write_file(content)) == []


def os_error(code, kind):
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


NOT_FOUND = "Plot file not found!: "


@pytest.mark.parametrize(
    "make_path, message",
    [
        (lambda d: str(d / "missing.dat"), NOT_FOUND + os_error(2, "NotFound")),
        (lambda d: "", NOT_FOUND + os_error(2, "NotFound")),
        (lambda d: str(d / "plot.dat") + "\0", NOT_FOUND
         + 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
        (lambda d: str(d / "plot.dat" / "x"), NOT_FOUND + os_error(20, "NotADirectory")),
        (lambda d: str(d / ("x" * 300)), NOT_FOUND + os_error(36, "InvalidFilename")),
        (lambda d: str(d / "loop"), NOT_FOUND + os_error(40, "FilesystemLoop")),
        (lambda d: str(d), "Failed to read line!: " + os_error(21, "IsADirectory")),
    ],
    ids=["missing", "empty-path", "nul-in-path", "not-a-directory", "name-too-long", "symlink-loop",
         "directory"],
)
def test_open_and_read_errors(tmp_path, make_path, message):
    (tmp_path / "plot.dat").write_text("0\n")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    assert outcome(make_path(tmp_path)) == message


@pytest.mark.skipif(os.geteuid() == 0, reason="root opens files whatever their mode")
def test_permission_denied(write_file):
    path = write_file("0\n")
    os.chmod(path, 0)
    assert outcome(path) == NOT_FOUND + os_error(13, "PermissionDenied")


def test_capacity_overflow(write_file):
    """The first count whose columns cannot be sized in 32 bits; all its (blank)
    name lines are present, so the columns are the first thing that fails."""
    n = 178956971
    path = write_file(b"%d\n" % n + b"\n" * n)
    try:
        message = outcome(path)
    finally:
        os.unlink(path)
    assert message == "capacity overflow"
