"""Every construct of a plot file at every offset around the edge of the
8192-byte read buffer: line feeds, CR LF, multi-byte characters, invalid
UTF-8, fields, block-start lines and the end of the file. A line that crosses
the edge is put together from pieces of two fills; whatever a piece decides
(where the line ends, whether it is ASCII, whether it is valid) must be
decided for the whole line."""

import pytest

import olvane
from conftest import panic_message

EDGE = 8192
INVALID = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
PAD = 0.5  # the value of the padding block


def field(value, width):
    return f"{value:.{width - 7}E}".rjust(width)


def data_lines(values, width, end=b"\n"):
    return b"".join(
        "".join(field(v, width) for v in values[i : i + 10]).encode() + end for i in range(0, len(values), 10)
    )


def placed(n, tail, mark, at, width=12):
    """A plot file of n parameters: the header, one padding block whose
    block-start line is as long as it takes, then tail, so that byte `mark`
    of tail lands at file offset `at`."""
    head = f"{n}\n".encode() + b"".join(f"p{j}\n".encode() for j in range(n))
    padding = data_lines([PAD] * n, width)
    length = at - mark - len(head) - len(padding) - 1
    assert length >= 1, "the edge lies too close to the header"
    return head + b"t" + b"x" * (length - 1) + b"\n" + padding + tail


def outcome(path, width=12):
    """The result of reading path, or the message of its failure."""
    try:
        return olvane.rust_read_dunvel(path, width)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(error).__name__ == "PanicException" and len(error.args) == 1
        return error.args[0]


def test_reported_invalid_utf8_before_the_edge_ascii_after_it(write_file):
    # The invalid byte ends the first fill; the rest of its line, in the
    # second fill, is plain ASCII.
    content = b"1\n" + b"a" * 8186 + b"\nt\n\xff" + b"x" * 10 + b"\n"
    assert content.index(b"\xff") == EDGE - 1
    assert panic_message(write_file(content), 3) == INVALID


VALUES = [1.25, -2.5, 300000.0]


@pytest.mark.parametrize("width", [12, 15, 13])
@pytest.mark.parametrize("end", [b"\n", b"\r\n", b""], ids=["lf", "crlf", "end-of-file"])
def test_data_line_with_the_edge_at_every_offset(write_file, width, end):
    # The edge falls before each byte of the block-start line and the data
    # line in turn, terminators and the file's last byte included.
    tail = b"s" + (end or b"\n") + data_lines(VALUES, width, end=end)
    wrong = {}
    for mark in range(len(tail) + 1):
        got = outcome(write_file(placed(3, tail, mark, EDGE, width)), width)
        if got != [[PAD, v] for v in VALUES]:
            wrong[mark] = got
    assert wrong == {}


# A field that starts with a three-byte whitespace (U+3000), so that its line
# is not ASCII and every field is cut with the boundary checks.
WIDE_SPACE = "\u30001.250E+00-2.50000E+00 3.00000E+05".encode()


@pytest.mark.parametrize("end", [b"\n", b"\r\n", b""], ids=["lf", "crlf", "end-of-file"])
def test_multibyte_field_with_the_edge_at_every_offset(write_file, end):
    tail = b"s\n" + WIDE_SPACE + end
    wrong = {}
    for mark in range(len(tail) + 1):
        got = outcome(write_file(placed(3, tail, mark, EDGE)))
        if got != [[PAD, v] for v in VALUES]:
            wrong[mark] = got
    assert wrong == {}


@pytest.mark.parametrize("char", ["\u00e9", "\u20ac", "\U0001f600", "\u0085"])
@pytest.mark.parametrize("line", ["block-start", "data"])
def test_multibyte_character_split_by_the_edge(write_file, char, line):
    # Each byte of the character in turn is the first of the second fill.
    encoded = char.encode()
    if line == "block-start":
        tail = b"s" + encoded + b"zz\n" + data_lines([2.0], 12)
        mark = 1
    else:  # after the fields, where it is ignored
        tail = b"s\n" + data_lines([2.0], 12)[:-1] + encoded + b"zz\n"
        mark = 2 + 12
    results = {k: outcome(write_file(placed(1, tail, mark, EDGE - k))) for k in range(-1, len(encoded) + 1)}
    assert results == {k: [[PAD, 2.0]] for k in results}


# Ill-formed sequences: a byte that never occurs, an encoded surrogate, an
# overlong form, a sequence cut short by ASCII, one above U+10FFFF.
BAD = {
    "ff": b"\xff",
    "surrogate": b"\xed\xa0\x80",
    "overlong": b"\xc0\xaf",
    "truncated": b"\xe2\x82",
    "above-max": b"\xf4\x90\x80\x80",
    "lone-continuation": b"\x80",
}


@pytest.mark.parametrize("bad", BAD.values(), ids=BAD.keys())
@pytest.mark.parametrize("line", ["block-start", "data", "name"])
def test_invalid_utf8_at_every_offset_around_the_edge(write_file, bad, line):
    # The bad bytes start anywhere from 12 bytes before the edge to 3 after
    # it, on a line that starts before the edge and ends well after it,
    # with plain ASCII on either side.
    wrong = {}
    for shift in range(-12, 4):
        if line == "name":
            head = b"2\np0\n"
            name = b"p" + b"n" * (EDGE + shift - len(head) - 1) + bad + b"x" * 20 + b"\n"
            content = head + name + b"p1\n"
        else:
            if line == "block-start":
                tail = b"s" * 14 + bad + b"s" * 20 + b"\n" + data_lines([1.0], 12)
            else:
                tail = b"s\n" + b" " * 12 + bad + b"z" * 20 + b"\n"
            content = placed(1, tail, tail.index(bad), EDGE + shift)
        got = outcome(write_file(content))
        if got != INVALID:
            wrong[shift] = got
    assert wrong == {}


def test_invalid_utf8_in_the_middle_fill_of_a_long_line(write_file):
    tail = b"s" * 20 + b"x" * EDGE + b"\xff" + b"x" * (EDGE + 50) + b"\n" + data_lines([1.0], 12)
    for at in (EDGE - 10, EDGE + 1):
        assert outcome(write_file(placed(1, tail, 0, at))) == INVALID


@pytest.mark.parametrize("at", range(EDGE - 3, EDGE + 4))
def test_file_ending_in_a_lead_byte(write_file, at):
    content = placed(1, b"s\xe2", 1, at)
    assert outcome(write_file(content)) == INVALID


# A field whose end falls inside a two-byte character: only the boundary
# check finds it, and that check is skipped for lines taken as ASCII.
BOUNDARY = "byte index 12 is not a char boundary; it is inside '\u00e9' (bytes 11..13) of ` 1.0000E+00\u00e9zzzz`"


@pytest.mark.parametrize("end", [b"\n", b"\r\n", b""], ids=["lf", "crlf", "end-of-file"])
def test_char_boundary_failure_with_the_edge_at_every_offset(write_file, end):
    line = " 1.0000E+00\u00e9zzzz".encode()
    tail = b"s\n" + line + end
    wrong = {}
    for mark in range(2, len(tail) + 1):
        got = outcome(write_file(placed(1, tail, mark, EDGE)))
        if got != BOUNDARY:
            wrong[mark] = got
    assert wrong == {}


@pytest.mark.parametrize("shift", range(-3, 4))
@pytest.mark.parametrize(
    "tail, expected",
    [
        (b"", [[PAD]]),  # the file ends where a block-start line would begin
        (b"s\n", "Error reading line"),  # a block-start line and nothing after it
        (b"s", "Error reading line"),
        (b"s\r\n", "Error reading line"),
        (b"s\n" + data_lines([2.0], 12)[:-1], [[PAD, 2.0]]),  # a last data line without LF
        # A CR that ends the file stays in the line, past the field.
        (b"s\n" + data_lines([2.0], 12)[:-1] + b"\r", [[PAD, 2.0]]),
        (b"\n", "Error reading line"),  # a blank line after the last block starts another
    ],
    ids=["end", "block-start", "block-start-no-lf", "block-start-crlf", "data-no-lf", "data-cr", "blank"],
)
def test_end_of_file_around_the_edge(write_file, tail, expected, shift):
    # The file's end (and so its last byte) at each offset around the edge.
    assert outcome(write_file(placed(1, tail, len(tail), EDGE + shift))) == expected


def test_twelve_parameters_with_the_edge_between_and_inside_their_lines(write_file):
    values = [float(j) + 0.25 for j in range(12)]
    tail = b"s\n" + data_lines(values, 12)
    wrong = {}
    for mark in range(len(tail) + 1):
        got = outcome(write_file(placed(12, tail, mark, EDGE)))
        if got != [[PAD, v] for v in values]:
            wrong[mark] = got
    assert wrong == {}


# Within one fill the line feed and the ASCII test go 32 bytes a step, then
# 16: a bad byte in any step of the line, and whatever follows the line in
# the fill, must not change the verdict.
LENGTHS = [1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 100]
AFTER = {"nothing": b"", "data-line": b" 1.00000E+00\n", "long-tail": b" 1.00000E+00\n" + b"s\n 1.00000E+00\n" * 8}


@pytest.mark.parametrize("after", AFTER.values(), ids=AFTER.keys())
@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x82"], ids=["ff", "truncated"])
def test_invalid_utf8_in_every_step_of_the_scan(write_file, bad, after):
    wrong = {}
    for length in LENGTHS:
        for at in range(length):
            line = (b"s" * at + bad + b"s" * length)[:length + len(bad) - 1]
            content = b"1\np\n" + line + b"\n" + after
            got = outcome(write_file(content))
            if got != INVALID:
                wrong[length, at] = got
    assert wrong == {}


@pytest.mark.parametrize("after", AFTER.values(), ids=AFTER.keys())
def test_valid_multibyte_in_every_step_of_the_scan(write_file, after):
    wrong = {}
    for length in LENGTHS:
        for at in range(length):
            line = "s" * at + "\u20ac" + "s" * (length - at)
            blocks = 1 + after.count(b"s\n")
            got = outcome(write_file(b"1\np\n" + line.encode() + b"\n" + (after or b" 1.00000E+00\n")))
            if got != [[1.0] * blocks]:
                wrong[length, at] = got
    assert wrong == {}
