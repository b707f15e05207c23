"""Each path of the number parser at its own limits: the common path (at most
19 mantissa digits, at most four exponent digits), the exact binary32 and
binary64 scalings (2^24 and 2^53, powers of ten to 10 and 22), the general
path past them, and the fixed-slot reading of Fortran exponent fields with
every slot wrong in turn. Results are compared bit for bit with the exact
oracle; a path that takes a text it should have declined shows as wrong
bits, not as a failure."""

import re

import pytest

import olvane
from conftest import f32_bits, panic_message
from test_values import EMPTY, INVALID, assert_bits, oracle, read_texts, result_bits

# Mantissas at the digit counts where the paths change: 7 and 8 (below and
# at the first eight-digit word), 9, 16 and 17 (around 2^53), 19 (the most
# that fit 64 bits), 20 and 21 (past them; 2^64 + 1 wraps to 1).
MANTISSAS = [
    "9999999", "16777216", "16777217", "99999999", "100000001", "123456789",
    "9007199254740992", "9007199254740993", "99999999999999999",
    "1000000000000000001", "9999999999999999999", "1844674407370955161",
    "18446744073709551617", "18446744073709551616", "18446744073709551615",
    "36893488147419103233", "99999999999999999999", "100000000000000000001",
    "000000000000000000001", "00000000000000000000000000016777217",
]


def shapes(digits):
    """The same digits as an integer, with one integer digit, as a pure
    fraction, and with a trailing point."""
    return [digits, digits[0] + "." + digits[1:], "." + digits, digits + "."]


EXPONENTS = [
    "", "e0", "E+00", "e-1", "e10", "e-10", "e11", "e-11", "e17", "e22", "e-22", "e23", "e-23",
    "E+0038", "e-0045", "e1234", "e-1234", "e00010", "e+00005", "E-46", "e65535", "e65536",
    "e99999999999",
]


def test_digit_counts_and_exponent_forms(write_file):
    texts = [sign + m + e for m in MANTISSAS for m in shapes(m) for e in EXPONENTS for sign in ("", "-")[: 1 + (e == "")]]
    assert_bits(read_texts(write_file, texts), texts, [oracle(t) for t in texts])


@pytest.mark.parametrize(
    "text, expected",
    [
        ("18446744073709551617", 1.8446744073709552e19),
        ("-18446744073709551616", -1.8446744073709552e19),
        ("1844674407370955161.7e1", 1.8446744073709552e19),
        ("16777217", 16777216.0),
        ("16777219", 16777220.0),
        ("9007199254740993e-22", 9.007199254740993e-07),
    ],
)
def test_values_at_the_wrap_of_64_bits(write_file, text, expected):
    # Twenty digits wrap to 1 (or 0) in 64-bit arithmetic.
    assert read_texts(write_file, [text]) == [f32_bits(expected)]


# Fortran 1PEw.d fields, read by the fixed-slot path when a line holds all
# its fields in ASCII. Slots: 0 sign, 1 leading digit, 2 point, the fraction
# digits, then E, the exponent's sign and its two digits.
FIELDS = {12: [" 1.00000E+01", "-9.99999E-39", " 3.40282E+38", " 1.40130E-45", "-0.00000E+00"],
          15: [" 1.00000000E+01", "-9.99999999E-39", " 3.40282347E+38", " 1.40129846E-45", " 0.00000000E+00"]}
SLOT_BYTES = {
    "sign": " -+0x.",
    "lead": "09 .x/:",
    "point": ".0, E",
    "fraction": "09 /:e.",
    "letter": "EeDd +",
    "exponent-sign": "+- 0E",
    "exponent-digit": "09 /:-+",
}
NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
WORD = re.compile(r"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)


def slot_kinds(width):
    fraction = width - 7
    return ["sign", "lead", "point"] + ["fraction"] * fraction + ["letter", "exponent-sign", "exponent-digit", "exponent-digit"]


def expected_outcome(field):
    """What the whole grammar makes of a field: the value's bits or the message."""
    text = field.strip(" ")
    if not text:
        return EMPTY
    if NUMBER.fullmatch(text) or WORD.fullmatch(text):
        return oracle(text)
    return INVALID


def mutations(width):
    for base in FIELDS[width]:
        for slot, kind in enumerate(slot_kinds(width)):
            for byte in SLOT_BYTES[kind]:
                yield base[:slot] + byte + base[slot + 1 :]
    yield " 1.00000E+1 "[:width] if width == 12 else " 1.00000000E+1 "  # one exponent digit, a blank after


@pytest.mark.parametrize("width", [12, 15])
def test_fixed_slot_fields_with_each_slot_wrong(write_file, width):
    fields = sorted(set(mutations(width)))
    got, expected = [], []
    for field in fields:
        assert len(field) == width
        path = write_file(f"1\nv\nt\n{field}\n")
        try:
            (column,) = olvane.rust_read_dunvel(path, width)
            got.append(result_bits(column[0]))
        except BaseException:  # noqa: BLE001 - PanicException derives from BaseException
            got.append(panic_message(path, width))
        expected.append(expected_outcome(field))
    wrong = [(f, e, g) for f, e, g in zip(fields, expected, got) if e != g]
    assert wrong == [], f"{len(wrong)} of {len(fields)} wrong"


@pytest.mark.parametrize("width", [12, 15])
def test_fixed_slot_fields_in_every_position_of_a_full_line(write_file, width):
    # Ten fields to a line, the odd one out in each position in turn; the
    # line holds exactly its fields, and then one byte more.
    odd = {12: " 1.00000E+1 ", 15: " 1.00000000E+1 "}[width]
    plain = FIELDS[width][0]
    for extra in ("", "x"):
        for k in range(10):
            line = "".join(odd if j == k else plain for j in range(10)) + extra
            path = write_file("10\n" + "".join(f"p{j}\n" for j in range(10)) + "t\n" + line + "\n")
            columns = olvane.rust_read_dunvel(path, width)
            assert [c[0] for c in columns] == [10.0] * 10, (k, extra)
