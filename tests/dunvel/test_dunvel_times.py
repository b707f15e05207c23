"""dunvel's times: one per step, from its block-start line by the README's
rule (the first token that begins like a number, or is a word or a run of
asterisks, decides, and nothing after it), bit for bit as Python's float()
reads that token (Fortran's own exponent forms as their E forms); alike whether a line is searched afresh or read in place
because it is laid out like the line before it."""

import math
import re
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import dunvel

WHITESPACE = [chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                               0x2028, 0x2029, 0x202F, 0x205F, 0x3000]]


def as_bits(times):
    """Each time as the bytes of its double, every NaN as one marker."""
    return ["nan" if math.isnan(t) else struct.pack("<d", t) for t in times]


def read_times(path_of, lines):
    """The times of a file without parameters, where every line is a step."""
    return dunvel.read(path_of(("0\n" + "".join(line + "\n" for line in lines)).encode())).times.tolist()


@pytest.mark.parametrize("lead", ["", "\u00e9 "], ids=["ascii", "non-ascii"])
@pytest.mark.parametrize(
    "line, time",
    [
        # Numbers, as Fortran and others print them.
        ("  TIME =  4.61046558E-04 S   STEP =        3", 4.61046558e-04),
        ("  TIME =  2.00000000E-01 S   STEP =       20", 0.2),
        ("  TIME =  1.23456789E+100 S", 1.23456789e100),
        ("STEP 3 TIME 1.5", 3.0),
        ("+.5", 0.5),
        ("-.5 1", -0.5),
        ("5.", 5.0),
        ("-0 1", -0.0),
        ("0.1", 0.1),
        ("1e99999999999999999999", math.inf),
        ("-1e-99999999999", -0.0),
        ("2.2250738585072011e-308", 2.2250738585072011e-308),
        ("4.9e-324", 5e-324),
        ("1.7976931348623158e308", 1.7976931348623157e308),
        ("1.7976931348623159e308", math.inf),
        ("3.14159265358979323846264338327950288419716939937510", math.pi),
        ("\u3000 7\u00a0", 7.0),
        ("1.5\u00a02", 1.5),
        # Fortran's exponents without a letter (three digits) or with D.
        ("  TIME = 1.00000-100 S", 1e-100),
        ("  TIME =  9.99999999+123 S", 9.99999999e123),
        ("-.5-001 2", -0.05),
        ("5.+300", 5e300),
        ("1.0D+05 2", 1e5),
        ("-2.5d-3 2", -2.5e-3),
        ("1D5", 1e5),
        ("1.0D+999 2", math.inf),
        ("-1.0d-400 2", -0.0),
        # The grammar's words, whole, in any case, with a sign.
        ("x -Infinity", -math.inf),
        ("+INF 1", math.inf),
        ("iNfInItY 1", math.inf),
        ("nAn 1", math.nan),
        ("-nan 1", math.nan),
        # Tokens that do not begin like a number are passed over.
        ("t=0.0", math.nan),
        ("", math.nan),
        ("TIME=1.5 2", 2.0),
        ("- + 2", 2.0),
        ("+-1 -x 2", 2.0),
        ("infinit nano in Infinity5 naN. 2", 2.0),
        ("e5 E 2", 2.0),
        ("**.5 x* 2", 2.0),
        ("\u200b7 8", 8.0),
        # A token that begins like a number and is none, or asterisks, gives
        # NaN: a later number is not the time.
        ("  TIME =  2.0000000XE-01 S   STEP =       20", math.nan),
        ("  TIME = ************** S   STEP =       20", math.nan),
        ("* 2", math.nan),
        ("1.0Q+00 2", math.nan),
        ("1.0-10 2", math.nan),
        ("1.0-1000 2", math.nan),
        ("1-100 2", math.nan),
        ("1.0D 2", math.nan),
        ("1.0D+ 2", math.nan),
        ("1.0+-100 2", math.nan),
        ("1.0E+05D 2", math.nan),
        ("1,5 2", math.nan),
        ("1_0 2", math.nan),
        ("0x10 2", math.nan),
        (".e5 2", math.nan),
        (". 2", math.nan),
        ("-. 2", math.nan),
        ("1e 2", math.nan),
        ("1e+ 2", math.nan),
        ("2.5x 3", math.nan),
        ("1.5\u00e9 2", math.nan),
        ("1.5\u200b 2", math.nan),
    ],
)
def test_time_of_a_block_start_line(write_file, lead, line, time):
    assert as_bits(read_times(write_file, [lead + line])) == as_bits([time])


def test_time_beside_data_lines(write_file):
    path = write_file("1\na\n  TIME =  2.0000000XE-01 S   STEP =       20\n 1.00000E+00\nT 2 3\n 2.00000E+00\n")
    plot = dunvel.read(path)
    assert (as_bits(plot.times.tolist()), plot.values.tolist()) == (as_bits([math.nan, 2.0]), [[1.0], [2.0]])


FORTRAN = "  TIME =  {} S   STEP = {:8d}"


@pytest.mark.parametrize(
    "lines, times",
    [
        ([FORTRAN.format(t, i) for i, t in enumerate(["1.00000000E-03", "2.50000000E+01", "-3.00000000E+00"])],
         [1e-3, 25.0, -3.0]),
        ([FORTRAN.format(t, i) for i, t in enumerate(["1.00000000E-03", "2.00000000E-03", "2.0000000XE-01",
                                                      "4.00000000E-03"])],
         [1e-3, 2e-3, math.nan, 4e-3]),
        ([FORTRAN.format(t, i) for i, t in enumerate(["1.00000000E-03", "**************", "**************",
                                                      "4.00000000E-03"])],
         [1e-3, math.nan, math.nan, 4e-3]),
        (["T ***", "T ***", "T 2.5", "T x 3", "T *"], [math.nan, math.nan, 2.5, 3.0, math.nan]),
        (["T 1.5 2", "T x 2", "T nan 2", "T inf 2", "T -Infinity 2", "T infinit 2"],
         [1.5, 2.0, math.nan, math.inf, -math.inf, 2.0]),
        (["TIME 1.5", "TIMEx2.5", "TIME 3.5"], [1.5, math.nan, 3.5]),
        (["TIME 1.5", "TIME 2.5x 3", "TIME 4.5e", "TIME 1.0D+00 2"], [1.5, math.nan, math.nan, 1.0]),
        (["TIME 1.5", "TIME\t2.5", "TIME  3.5", "TIME 4.5"], [1.5, 2.5, 3.5, 4.5]),
        (["T 1.5", "T 2.5\u00e9 3", "T \u00e9 4", "T 5.5", "\u00e9 6", "\u00e9 7", "\u00e9 7x 8"],
         [1.5, math.nan, 4.0, 5.5, 6.0, 7.0, math.nan]),
        # Sixteen bytes before the time: the most that is compared in place.
        (["fifteen_letters 1.5", "fifteen_letters 2.5", "fifteen_letters 2.5x 9", "fifteen_letters x 9",
          "fifteen_letterx 3.5", "fifteen_letters_4.5"],
         [1.5, 2.5, math.nan, 9.0, 3.5, math.nan]),
        (["sixteen__letters 1.5", "sixteen__letters 2.5", "sixteen__letters x 9", "sixteen__letters 2.5x 9",
          "sixteen__letterx 3.5", "sixteen__letters 4.5", "sixteen__letters2.5 9"],
         [1.5, 2.5, 9.0, math.nan, 3.5, 4.5, 9.0]),
        (["T 1.5", "T 2.5", "T", "T ", "T 4"], [1.5, 2.5, math.nan, math.nan, 4.0]),
        # The line ends where the search in place would find nothing; the
        # next line's number is not this line's time.
        (["T 1.5", "T x", "7"], [1.5, math.nan, 7.0]),
        (["T 1.5", "T -", "5 6"], [1.5, math.nan, 5.0]),
        (["TIME = 1.5", "TIME = ab", "TIME 2"], [1.5, math.nan, 2.0]),
        (["TIME = 1.5\r", "TIME = x\r", "7\r"], [1.5, math.nan, 7.0]),
    ],
    ids=["fortran", "misprint-in-layout", "asterisks-in-layout", "asterisks-first", "words-in-place", "glued",
         "trailing", "spacing", "non-ascii", "prefix-16", "prefix-17", "ends-at-prefix", "past-the-line",
         "past-the-line-sign", "past-the-line-word", "past-the-line-crlf"],
)
def test_times_of_lines_that_share_their_layout(write_file, lines, times):
    assert as_bits(read_times(write_file, lines)) == as_bits(times)


_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-]?(?:inf|infinity|nan)",
                     re.ASCII | re.IGNORECASE)
_D_FORM = re.compile(r"([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))[dD]([+-]?[0-9]+)", re.ASCII)
_DROPPED_LETTER = re.compile(r"([+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+))([+-][0-9]{3})", re.ASCII)
_DECIDES = re.compile(r"[+-]?[0-9.]|[+-]?(?:inf|infinity|nan)\Z|\*+\Z", re.ASCII | re.IGNORECASE)


def reference_time(line):
    """The README's rule, with Python's own correctly rounded float()."""
    token = ""
    for char in line + " ":
        if char in WHITESPACE:
            if token and _DECIDES.match(token):
                fortran = _D_FORM.fullmatch(token) or _DROPPED_LETTER.fullmatch(token)
                token = f"{fortran[1]}E{fortran[2]}" if fortran else token
                return float(token) if _NUMBER.fullmatch(token) else math.nan
            token = ""
        else:
            token += char
    return math.nan


_TOKENS = st.one_of(
    st.from_regex(r"[+-]?[0-9]{0,25}\.?[0-9]{0,25}([eE][+-]?[0-9]{1,4})?", fullmatch=True),
    st.from_regex(r"[+-]?[0-9]{0,3}\.?[0-9]{0,3}([dD][+-]?[0-9]{0,4}|[+-][0-9]{2,4})", fullmatch=True),
    st.sampled_from(["TIME", "=", "S", "STEP", "inf", "-NaN", "nano", "1.0D+00", "0x1", "1e", "\u00e9", "*",
                     "**************", "2.0000000XE-01", "-", "+."]),
    st.text(alphabet="0123456789.eE+-_,xa*\u00e9", max_size=8),
)


@settings(max_examples=300, deadline=None)
@given(
    st.lists(_TOKENS, max_size=6),
    st.lists(st.sampled_from([w for w in WHITESPACE if w not in "\r\n"]), min_size=1, max_size=6),
    _TOKENS,
)
def test_times_match_python_float(tmp_path_factory, tokens, spaces, other):
    """Each line a step of its own (no parameters): the line, then the line
    with one token replaced, then with two tokens run together, so that
    lines share their starts to every length, as block-start lines do."""

    def line(words, glued=None):
        return "".join(word + ("x" if i == glued else spaces[i % len(spaces)]) for i, word in enumerate(words))

    lines = [line(tokens)]
    for k in range(len(tokens)):
        lines += [line(tokens[:k] + [other] + tokens[k + 1:]), lines[0], line(tokens, glued=k), lines[0]]
    path = tmp_path_factory.mktemp("times") / "plot.dat"
    path.write_bytes(("0\n" + "".join(text + "\n" for text in lines)).encode())
    assert as_bits(dunvel.read(path).times.tolist()) == as_bits([reference_time(text) for text in lines])
