"""The header: the parameter count as the last token of the first line, the
refusal of bad counts (with its line on fd 1), and the name lines."""

import os

import pytest

import olvane
from conftest import f32_bits, format_field, panic_message, plot_text, run_python

WHITESPACE = [chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                               0x2028, 0x2029, 0x202F, 0x205F, 0x3000]]
VALUES = [1.0, 2.5, -3.0]



def bad_count(line):
    return f"The first line should end with the number of parameters:\n'{line}'"


# A line feed cannot occur inside a line, so it only ever ends the count line.
@pytest.mark.parametrize("ws", [w for w in WHITESPACE if w != "\n"],
                         ids=lambda w: f"U+{ord(w):04X}")
def test_whitespace_separates_tokens(write_file, ws):
    path = write_file(f"{ws}NPAR{ws}={ws}{ws}2{ws}\na\nb\n")
    assert olvane.rust_read_dunvel(path, 12) == [[], []]


@pytest.mark.parametrize("line", ["NPAR = 2\u200b", "\ufeff2", "NPAR =\u180e2", "NPAR = \u200b2"])
def test_format_characters_are_not_whitespace(write_file, line):
    assert panic_message(write_file(f"{line}\na\nb\n")) == bad_count(line)


@pytest.mark.parametrize(
    "token, n",
    [("3", 3), ("+3", 3), ("0003", 3), ("+0002", 2), ("1", 1), ("0", 0), ("+0", 0), ("000", 0)],
)
def test_accepted_counts(write_file, token, n):
    text = plot_text([f"p{j}" for j in range(n)], [VALUES[:n]], count_line=f"  NPAR =\t{token}  ")
    result = olvane.rust_read_dunvel(write_file(text), 12)
    assert [[f32_bits(v) for v in col] for col in result] == [[f32_bits(v)] for v in VALUES[:n]]


# The largest counts are accepted too: the call then runs out of name lines.
@pytest.mark.parametrize("token", ["4294967295", "000004294967295", "+4294967295"])
def test_largest_counts_are_accepted(write_file, token):
    assert panic_message(write_file(f"NPAR = {token}\na\nb\n")) == "Failed to read line!"


# 4294967298 and 10000000000 would wrap to 2 and 1410065408 in 32 bits; the
# file has two name lines so that a wrapped 2 would be read as a success.
REFUSED = ["-3", "-0", "+", "-", "++3", "+-3", "4294967296", "4294967298", "10000000000",
           "99999999999999999999999", "3.0", "1e3", "3a", "0x3", "\u0663", "\uff13", "parameters"]


@pytest.mark.parametrize("token", REFUSED)
def test_refused_counts_quote_the_whole_line(write_file, token):
    line = f" \tNPAR = {token}  "
    assert panic_message(write_file(f"{line}\na\nb\n")) == bad_count(line)


# The count line goes to fd 1 itself, past any replacement of sys.stdout.
CHILD = """
import io, os, sys, olvane
saved = os.dup(1)
if sys.argv[2] == "full":
    os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
elif sys.argv[2] == "closed":
    os.close(1)
sys.stdout = io.StringIO()
try:
    olvane.rust_read_dunvel(sys.argv[1], 12)
except BaseException as e:
    message = e.args[0]
os.dup2(saved, 1)
sys.stdout = sys.__stdout__
print(ascii(message))
"""


@pytest.mark.parametrize("line, token",
                         [("3 parameters", "parameters"), ("NPAR = \uff13\t", "\uff13")])
def test_bad_count_line_on_stdout(write_file, line, token):
    child = run_python(CHILD, write_file(f"{line}\na\n"), "open")
    assert child.returncode == 0, child.stderr
    expected = f"Error: '{token}' is not a valid number of parameters!\n{bad_count(line)!a}\n"
    assert child.stdout == expected.encode()


@pytest.mark.parametrize("fd1, message", [
    ("full", f"failed printing to stdout: {os.strerror(28)} (os error 28)"),  # ENOSPC
    ("closed", bad_count("3 parameters")),  # the line is dropped without a word
], ids=["dev-full", "closed"])
def test_bad_count_line_write_errors(write_file, fd1, message):
    child = run_python(CHILD, write_file("3 parameters\na\n"), fd1)
    assert child.returncode == 0, child.stderr
    assert child.stdout == f"{message!a}\n".encode()


def test_name_lines_may_hold_anything(write_file):
    names = ["", " \t ", "a b c", "x" * 9000, "\u540d\u524d \u3000", "\u00a0", "1.0 2.0", "\x00"]
    values = [VALUES[j % 3] for j in range(len(names))]
    fields = "".join(format_field(v) for v in values)
    path = write_file(f"NPAR = {len(names)}\n" + "\n".join(names) + f"\nt\n{fields}\n")
    result = olvane.rust_read_dunvel(path, 12)
    assert [[f32_bits(v) for v in col] for col in result] == [[f32_bits(v)] for v in values]


# Every ASCII byte that is not a digit, alone and beside digits: the bytes
# just below '0' and just above '9' are where a digit test by subtraction
# goes wrong. Whitespace separates tokens and so never reaches the count.
NOT_DIGITS = [chr(c) for c in range(0x21, 0x7F) if not chr(c).isdigit() and chr(c) != "+"]


def test_every_ascii_non_digit_is_refused(write_file):
    wrong = []
    for c in NOT_DIGITS:
        for token in (c, f"1{c}", f"{c}1", f"+{c}"):
            line = f"NPAR = {token}"
            message = panic_message(write_file(f"{line}\na\nb\n"))
            if message != bad_count(line):
                wrong.append((token, message))
    assert wrong == []
