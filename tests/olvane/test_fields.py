"""Fixed-width fields: cutting at k * width, the out-of-bounds and
char-boundary messages, trimming with Unicode whitespace, and offsets that
do not fit in 32 bits."""

import pytest

import olvane
from conftest import f32_bits, panic_message, plot_text

VALUES = [1.0, 2.5, -3.0]
WHITESPACE = [chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                               0x2028, 0x2029, 0x202F, 0x205F, 0x3000]]



def data_file(write_file, n, lines):
    """n parameters and one block made of the given data lines."""
    return write_file(f"{n}\n" + "a\n" * n + "t\n" + "".join(line + "\n" for line in lines))


def bits(result):
    return [[f32_bits(v) for v in col] for col in result]


@pytest.mark.parametrize("width", [10, 12, 15, 400])
def test_fields_of_each_width(write_plot, width):
    blocks = [[VALUES[(i + j) % 3] for j in range(12)] for i in range(2)]
    result = olvane.rust_read_dunvel(write_plot([f"p{j}" for j in range(12)], blocks, width), width)
    assert bits(result) == [[f32_bits(b[j]) for b in blocks] for j in range(12)]


def test_width_one(write_file):
    result = olvane.rust_read_dunvel(data_file(write_file, 12, ["1234567890xyz", "12"]), 1)
    assert bits(result) == [[f32_bits(float(d))] for d in "123456789012"]


def test_width_zero(write_file):
    assert olvane.rust_read_dunvel(write_file("2\na\nb\n"), 0) == [[], []]
    message = panic_message(data_file(write_file, 2, ["1.0"]), 0)
    assert message == "Could not parse line: ParseFloatError { kind: Empty }"


# <s> is the line cut to the largest character boundary not above 256 bytes.
@pytest.mark.parametrize(
    "width, n, lines, index, shown, more",
    [
        (10, 2, ["       1.0  2.5"], 20, "       1.0  2.5", ""),
        (10, 1, [""], 10, "", ""),
        (10, 12, ["       1.0" * 10, "       2.5   "], 20, "       2.5   ", ""),
        (400, 1, ["x" * 300], 400, "x" * 256, "[...]"),
        (400, 1, ["x" * 256], 400, "x" * 256, ""),
        (400, 1, ["x" * 257], 400, "x" * 256, "[...]"),
        (400, 1, ["x" * 255 + "\u00e9x"], 400, "x" * 255, "[...]"),
        (400, 1, ["x" * 254 + "\u00e9x"], 400, "x" * 254 + "\u00e9", "[...]"),
        (400, 1, ["x" * 254 + "\u20acx"], 400, "x" * 254, "[...]"),
        (400, 1, ["x" * 255 + "\u20ac"], 400, "x" * 255, "[...]"),
        (400, 1, ["x" * 253 + "\U0001f600x"], 400, "x" * 253, "[...]"),
    ],
    ids=["15-bytes", "empty", "second-data-line", "300-bytes", "256-bytes", "257-bytes",
         "2-byte-across-256", "2-byte-ends-at-256", "3-byte-at-254", "3-byte-at-255",
         "4-byte-at-253"],
)
def test_out_of_bounds(write_file, width, n, lines, index, shown, more):
    message = panic_message(data_file(write_file, n, lines), width)
    assert message == f"byte index {index} is out of bounds of `{shown}`{more}"


# Combining marks and characters that are not printable appear escaped.
CHARACTERS = [
    ("\u00e9", "\u00e9"), ("\u20ac", "\u20ac"), ("\U0001f600", "\U0001f600"),
    ("\u0301", "\\u{301}"), ("\u00a0", "\\u{a0}"), ("\u2028", "\\u{2028}"), ("\u2029", "\\u{2029}"),
    ("\u0085", "\\u{85}"), ("\u200b", "\\u{200b}"), ("\ufeff", "\\u{feff}"),
    ("\ue000", "\\u{e000}"), ("\u3000", "\\u{3000}"),
]


@pytest.mark.parametrize("ch, shown", CHARACTERS, ids=[f"U+{ord(c):04X}" for c, _ in CHARACTERS])
def test_field_end_inside_a_character(write_file, ch, shown):
    line = "1.0".rjust(9) + ch + "  "
    message = panic_message(data_file(write_file, 1, [line]), 10)
    end = 9 + len(ch.encode())
    assert message == (
        f"byte index 10 is not a char boundary; it is inside '{shown}' (bytes 9..{end}) of `{line}`"
    )


LONG = "1.0".rjust(299) + "\u00e9  "


@pytest.mark.parametrize("width, n, line, message", [
    (11, 1, "      1.0\u20ac ", ("byte index 11 is not a char boundary; "
     "it is inside '\u20ac' (bytes 9..12) of `      1.0\u20ac `")),
    (10, 2, "       1.0      2.5\u00e9", ("byte index 20 is not a char boundary; "
     "it is inside '\u00e9' (bytes 19..21) of `       1.0      2.5\u00e9`")),
    (300, 1, LONG, ("byte index 300 is not a char boundary; "
     f"it is inside '\u00e9' (bytes 299..301) of `{' ' * 256}`[...]")),
], ids=["third-byte", "second-field", "long-line"])
def test_char_boundary_positions(write_file, width, n, line, message):
    assert panic_message(data_file(write_file, n, [line]), width) == message


@pytest.mark.parametrize("ws", [w for w in WHITESPACE if w != "\n"],
                         ids=lambda w: f"U+{ord(w):04X}")
def test_trimming_unicode_whitespace(write_file, ws):
    field = f"{ws}{ws}2.5{ws}"
    width = len(field.encode())
    result = olvane.rust_read_dunvel(data_file(write_file, 2, [field + "-3.0".rjust(width)]), width)
    assert bits(result) == [[f32_bits(2.5)], [f32_bits(-3.0)]]


@pytest.mark.parametrize(
    "field, kind",
    [("\u200b2.5", "Invalid"), ("2.5\ufeff", "Invalid"), ("\u180e2.5", "Invalid"),
     (" 1 2 ", "Invalid"), ("2.5\u00a0\u00a01", "Invalid"), ("\u3000 \u00a0\t", "Empty"),
     ("\r\r", "Empty")],
)
def test_trimmed_field_is_parsed_whole(write_file, field, kind):
    message = panic_message(data_file(write_file, 1, [field + "x"]), len(field.encode()))
    assert message == f"Could not parse line: ParseFloatError {{ kind: {kind} }}"


def test_bytes_after_the_last_field_are_ignored(write_file):
    values = [VALUES[j % 3] for j in range(12)]
    text = plot_text([f"p{j}" for j in range(12)], [values])
    lines = text.splitlines()
    lines[-2] += " 9.9 \u00e9\u20ac\U0001f600 \u3000 junk"
    lines[-1] += "3.5e"
    result = olvane.rust_read_dunvel(write_file("\n".join(lines) + "\n"), 12)
    assert bits(result) == [[f32_bits(v)] for v in values]


@pytest.mark.parametrize("width", [2**31, 2**32 - 1, 429496730])
def test_large_widths_are_not_negative(write_file, width):
    message = panic_message(data_file(write_file, 1, ["2.5"]), width)
    assert message == f"byte index {width} is out of bounds of `2.5`"


def test_field_offsets_do_not_wrap_at_2_32(tmp_path):
    """A line of 2**31 + 3 bytes: field 0 is [0, 2**31) and holds 2.5; field 1
    ends at 2**32, which wraps to 0 in 32 bits."""
    path = tmp_path / "long-line.dat"
    chunk = b" " * (1 << 24)
    try:
        with open(path, "wb") as f:
            f.write(b"2\na\nb\nt\n")
            f.writelines(chunk for _ in range(127))
            f.write(chunk[3:] + b"2.5xyz\n")
        message = panic_message(str(path), 2**31)
    finally:
        path.unlink()
    assert message == f"byte index {2**32} is out of bounds of `{' ' * 256}`[...]"


# Each kind of character that the messages escape, one or two of each (all
# assigned so long ago that any Unicode version agrees), and printable ones
# beside them that stay as they are.
MORE_CHARACTERS = [
    ("\u00ad", "\\u{ad}"), ("\u0600", "\\u{600}"), ("\u200e", "\\u{200e}"), ("\u2060", "\\u{2060}"),
    ("\U000e0001", "\\u{e0001}"), ("\u009f", "\\u{9f}"), ("\u0378", "\\u{378}"), ("\U000f0000", "\\u{f0000}"),
    ("\u1680", "\\u{1680}"), ("\u2000", "\\u{2000}"), ("\u205f", "\\u{205f}"), ("\u0300", "\\u{300}"),
    ("\u20dd", "\\u{20dd}"), ("\uff9e", "\\u{ff9e}"), ("\u200c", "\\u{200c}"), ("\ud7ff", "\\u{d7ff}"),
    ("\u00a1", "\u00a1"), ("\u00ae", "\u00ae"), ("\u4e00", "\u4e00"), ("\U00010000", "\U00010000"),
    ("\u00ff", "\u00ff"), ("\uffe8", "\uffe8"),
]


def test_escaped_characters_of_every_kind(write_file):
    wrong = []
    for ch, shown in MORE_CHARACTERS:
        line = "1.0".rjust(9) + ch + "  "
        message = panic_message(data_file(write_file, 1, [line]), 10)
        expected = f"byte index 10 is not a char boundary; it is inside '{shown}' (bytes 9..{9 + len(ch.encode())}) of `{line}`"
        if message != expected:
            wrong.append((f"U+{ord(ch):04X}", message))
    assert wrong == []
