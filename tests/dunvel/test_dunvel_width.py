"""The width that dunvel.read(path) finds: 12 or 15 only where the first data
line, trailing whitespace aside, holds exactly min(n, 10) fields of that
many bytes, and the width error for every other length. Every line length
from 1 to 200 characters, for 1, 7, 10 and 13 parameters, against an oracle
that works out the answer from the bytes of the line alone."""

import re

import numpy as np
import pytest

import dunvel
from conftest import format_field

# Unicode's White_Space: what the reader trims from a line's end.
WHITESPACE = "".join(chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                      0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
# Trailing padding, ASCII and not (a pad of three bytes must not count).
PADDING = " \t\u3000 \u00a0\x0b \x0c\u2003\r"
FIELD = re.compile(r"[+-]?[0-9]+\.[0-9]+E[+-][0-9]+")
LENGTHS = range(1, 201)


def value(step, k):
    # Signs alternate, so that some fields fill their width without a leading space.
    return (-1) ** k * (k + 1) * 1.25 + step * 100


def fields(step, first, count, width):
    return "".join(format_field(value(step, k), width) for k in range(first, first + count))


def content(length, f):
    """length characters that end in a non-blank: f whole fields where the
    length is theirs, else a near miss cut from or padded before them."""
    if length == 0:
        return ""
    if length in (12 * f, 15 * f):
        return fields(0, 0, f, length // f)
    base = fields(0, 0, f, 12 if length < 13.5 * f else 15)
    return base[-length:] if length <= len(base) else " " * (length - len(base)) + base


def first_lines(length, f):
    """Lines of `length` characters each: filled to the end; ended by
    padding after 1, 2 or 7 characters less, or after exactly f fields of
    12 or of 15; and with a two-byte character in front."""
    lines = []
    for kept in sorted({length, length - 1, length - 2, length - 7, 12 * f, 15 * f}):
        if 0 <= kept <= length:
            padding = (PADDING * (length // len(PADDING) + 1))[: length - kept]
            lines.append(content(kept, f) + padding)
    lines.append("\u00e9" + content(length - 1, f))
    return lines


def oracle(n, data_lines):
    """("width", T) for the width error, ("other",) for a width found but a
    field that is no number, or ("plot", width, first row) from the lines'
    bytes cut at that width."""
    f = min(n, 10)
    held = len(data_lines[0].rstrip(WHITESPACE).encode())
    if held not in (12 * f, 15 * f):
        return ("width", held)
    width = held // f
    row = []
    for index, line in enumerate(data_lines):
        raw = line.encode()
        for k in range(min(10, n - 10 * index)):
            text = raw[k * width : (k + 1) * width].decode("utf-8", errors="replace").strip(WHITESPACE)
            if not FIELD.fullmatch(text):
                return ("other",)
            row.append(float(np.float32(float(text))))
    return ("plot", width, row)


def width_message(held, f):
    return (f"the first data line is {held} bytes long (trailing blanks aside), but its {f}"
            f" field{' needs' if f == 1 else 's need'} {12 * f} at width 12 or {15 * f} at width 15; give width= for"
            " another width. A count on the first line that does not match the names that follow it causes this"
            " too")


@pytest.mark.parametrize("n", [1, 7, 10, 13])
def test_width_found_only_where_the_fields_fill_the_first_line(tmp_path, n):
    f = min(n, 10)
    names = "".join(f"p{j}\n" for j in range(n))
    cases = []
    for length in LENGTHS:
        for line in first_lines(length, f):
            # The rest at the width the first line was made for, 12 where it
            # was made for neither: a found width must hold for them too.
            made = 15 if len(line.rstrip(WHITESPACE)) == 15 * f else 12
            block_one = [line] + [fields(0, 10, n - 10, made)] * (n > 10)
            block_two = [fields(1, first, min(10, n - first), made) for first in range(0, n, 10)]
            path = tmp_path / f"{len(cases)}.dat"
            text = f"NPAR = {n}\n{names}TIME 0.5\n" + "".join(l + "\n" for l in block_one)
            path.write_bytes((text + "TIME 1.5\n" + "".join(l + "\n" for l in block_two)).encode())
            cases.append((length, line, path, oracle(n, block_one), [value(1, k) for k in range(n)]))
    assert {case[3][0] for case in cases} == {"width", "other", "plot"}

    wrong = []
    for length, line, path, want, second_row in cases:
        try:
            plot = dunvel.read(path)
        except dunvel.PlotFileError as error:
            got = ("error", error.line, error.kind, error.message)
        else:
            got = ("plot", plot.width, plot.values.tolist(), plot.times.tolist())
        if want[0] == "width":
            right = got == ("error", n + 3, "width", width_message(want[1], f))
        elif want[0] == "other":
            # The width was found: the first field that is no number fails.
            right = got[:3] == ("error", n + 3, "field")
        else:
            right = got == ("plot", want[1], [want[2], second_row], [0.5, 1.5])
        if not right:
            wrong.append((length, line, got, want))
    assert wrong == []
    assert {want[1] for _, _, _, want, _ in cases if want[0] == "plot"} == {12, 15}
