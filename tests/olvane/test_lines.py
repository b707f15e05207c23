"""Cutting the file into lines: terminators, lines around and across the
8192-byte read buffer, and UTF-8 validation of every line."""

import pytest

import olvane
from conftest import f32_bits, panic_message

INVALID = ('Failed to read line!: Error { kind: InvalidData, '
           'message: "stream did not contain valid UTF-8" }')



def first_data_line(write_file, tail: bytes, start=6):
    """The first data line, beginning at byte `start`, as the reader delivered it:
    a field that cannot fit makes the failure quote it (lines up to 256 bytes)."""
    content = b"1\n" + b"a" * (start - 5) + b"\nt\n" + tail
    message = panic_message(write_file(content), 1000)
    prefix, quote = "byte index 1000 is out of bounds of `", "`"
    assert message.startswith(prefix) and message.endswith(quote), message
    return message[len(prefix) : -len(quote)]


TERMINATORS = {
    "lf": (b"ab\ncd\n", "ab"),
    "crlf": (b"ab\r\ncd\n", "ab"),
    "lone-cr": (b"a\rb\n", "a\rb"),
    "cr-cr-lf": (b"\ra\r\r\n", "\ra\r"),
    "cr-at-eof": (b"a\r", "a\r"),
    "no-lf-at-eof": (b"abc", "abc"),
    "empty-crlf": (b"\r\n", ""),
    "empty-lf": (b"\n\n", ""),
    "nul": (b"a\x00b\x00\n", "a\x00b\x00"),
    "nul-at-eof": (b"\x00", "\x00"),
}


@pytest.mark.parametrize("tail, line", TERMINATORS.values(), ids=TERMINATORS.keys())
def test_terminators(write_file, tail, line):
    assert first_data_line(write_file, tail) == line


# Starts from 8182 to 8193 move the CR LF pair and every byte of the two-,
# three- and four-byte characters across the end of the first buffer fill.
@pytest.mark.parametrize("start", range(8182, 8194))
@pytest.mark.parametrize("line", ["ab\r", "a\u00e9\u20ac\U0001f600z"], ids=["crlf", "multibyte"])
def test_lines_across_the_buffer_edge(write_file, start, line):
    tail = line.encode() + b"\ncd\n"
    assert first_data_line(write_file, tail, start) == line.removesuffix("\r")


def test_utf8_boundary_scalars_are_valid(write_file):
    line = "\u0080\u07ff\u0800\ud7ff\ue000\ufffd\uffff\U00010000\U0010ffff"
    assert first_data_line(write_file, line.encode() + b"\n") == line


# Lines of 8191 to 8193 bytes, 20000 bytes, and lengths that put the terminator
# on either side of the first buffer edge (the data lines begin at byte 6).
@pytest.mark.parametrize("length", [8185, 8186, 8191, 8192, 8193, 20000])
@pytest.mark.parametrize("newline", ["\n", "\r\n"], ids=["lf", "crlf"])
@pytest.mark.parametrize("last", ["terminated", "unterminated"])
def test_long_lines_come_back_whole(write_file, length, newline, last):
    values = [1.0, 2.5, -3.0]
    blocks = ["t" + newline + f"{v}".rjust(length) for v in values]
    text = "1" + newline + "a" + newline + newline.join(blocks)
    path = write_file(text + (newline if last == "terminated" else ""))
    result = olvane.rust_read_dunvel(path, length)
    assert [[f32_bits(v) for v in col] for col in result] == [[f32_bits(v) for v in values]]
    spaces = " " * 256
    assert panic_message(path, length + 1) == (
        f"byte index {length + 1} is out of bounds of `{spaces}`[...]"
    )


BAD_SEQUENCES = {
    "continuation-80": b"\x80", "continuation-bf": b"\xbf", "lead-then-ascii": b"\xc3(",
    "overlong-c0": b"\xc0\x80", "overlong-c1": b"\xc1\xbf", "overlong-e0": b"\xe0\x9f\xbf",
    "overlong-f0": b"\xf0\x8f\xbf\xbf", "surrogate-d800": b"\xed\xa0\x80",
    "surrogate-dfff": b"\xed\xbf\xbf", "above-10ffff": b"\xf4\x90\x80\x80",
    "lead-f5": b"\xf5\x80\x80\x80", "byte-fe": b"\xfe", "byte-ff": b"\xff",
    "cut-by-lf": b"\xe2\x82\n", "cut-by-crlf": b"\xf0\x9f\x98\r\n",
    "cut-by-eof-2": b"\xc3", "cut-by-eof-4": b"\xf0\x9f\x98",
}


@pytest.mark.parametrize("start", [6, 8191], ids=["start", "buffer-edge"])
@pytest.mark.parametrize("bad", BAD_SEQUENCES.values(), ids=BAD_SEQUENCES.keys())
def test_invalid_utf8_in_a_data_line(write_file, bad, start):
    content = b"1\n" + b"a" * (start - 5) + b"\nt\n" + bad
    assert panic_message(write_file(content), 1000) == INVALID


ANY_LINE = {
    "count-line": b"\xff 1\na\nt\n2.5\n",
    "name-line": b"1\na\xff\nt\n2.5\n",
    "block-start": b"1\na\nt\xff\n2.5\n",
    "after-last-field": b"1\na\nt\n2.5 \xff\n",
    "after-last-block": b"1\na\nt\n2.5\n\xff\n",
    "no-parameters": b"0\nx\n\n\xed\xa0\x80\n",
}


@pytest.mark.parametrize("content", ANY_LINE.values(), ids=ANY_LINE.keys())
def test_invalid_utf8_on_any_line(write_file, content):
    assert panic_message(write_file(content), 3) == INVALID
