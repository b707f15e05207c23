"""Number grammar and correct rounding to binary32, checked through whole plot
files against an exact rational oracle (never through float(), which would
round to double first and hide double-rounding faults)."""

import math
import random
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import olvane
from conftest import bits_f32, f32_bits, format_field

INF, NAN = 0x7F800000, 0x7FC00000
SIGN = 0x80000000
OVERFLOW = Fraction(2**128 - 2**103)  # midpoint between the largest finite value and 2**128


def round_to_f32_bits(x: Fraction) -> int:
    """Bits of the non-negative x rounded to binary32, ties to even."""
    if x >= OVERFLOW:
        return INF
    if x == 0:
        return 0
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    q = max(e, -126) - 23  # exponent of one unit in the last place; subnormals share -149
    scaled = x / Fraction(2) ** q
    n, r = divmod(scaled.numerator, scaled.denominator)
    if 2 * r > scaled.denominator or (2 * r == scaled.denominator and n & 1):
        n += 1
    # Adding the significand to the biased exponent field carries into the next
    # binade when rounding reaches 2**24, as the format intends.
    return ((q + 149) << 23) + n


def oracle(text: str) -> int:
    sign = SIGN if text.startswith("-") else 0
    body = text[1:] if text[:1] in "+-" else text
    if body.lower() in ("inf", "infinity"):
        return sign | INF
    if body.lower() == "nan":
        return sign | NAN
    mantissa, _, exp_digits = body.lower().partition("e")
    exp_sign = -1 if exp_digits.startswith("-") else 1
    exponent = 0
    for digit in exp_digits.lstrip("+-"):
        if exponent < 65536:  # the reader stops growing the exponent here
            exponent = exponent * 10 + int(digit)
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    scale = exp_sign * exponent - len(fraction)
    stripped = digits.rstrip("0")
    scale += len(digits) - len(stripped)
    if not stripped:
        return sign
    # Settle far-out magnitudes before building a huge power of ten.
    if len(stripped) - 1 + scale > 39:
        return sign | INF
    if len(stripped) + scale < -46:
        return sign
    return sign | round_to_f32_bits(int(stripped) * Fraction(10) ** scale)


def result_bits(value):
    """Bits of a returned float; a value that is not exactly a binary32 value
    (a double that skipped the narrowing) is reported as such."""
    bits = f32_bits(value)
    if not math.isnan(value) and bits_f32(bits) != value:
        return f"not binary32: {value!r}"
    return bits


def short(text, size=36):
    return text if len(text) <= size else f"{text[:16]}...[{len(text)}]...{text[-12:]}"


def read_texts(write_file, texts, min_width=40):
    """One parameter, one block per text, each text right-justified in its field."""
    fields = [t.encode() for t in texts]
    width = max(min_width, max(map(len, fields)) + 1)
    body = b"".join(b"t\n" + f.rjust(width) + b"\n" for f in fields)
    (column,) = olvane.rust_read_dunvel(write_file(b"  NPAR = 1\n  value\n" + body), width)
    return [result_bits(v) for v in column]


def assert_bits(got, texts, expected):
    assert len(got) == len(texts)
    wrong = [
        (short(t), hex(e), g if isinstance(g, str) else hex(g))
        for t, e, g in zip(texts, expected, got)
        if e != g
    ]
    assert wrong == [], f"{len(wrong)} of {len(texts)} wrong"


HALF_ABOVE_ONE = "1.000000059604644775390625"
LARGEST = "340282346638528859811704183484516925440"  # 2**128 - 2**104
ACCEPTED = [
    ("1.00000E+00", 0x3F800000), ("+.5", 0x3F000000), ("5.", 0x40A00000),
    ("-0", 0x80000000), ("0", 0), (".0", 0), ("-0.0e-5", 0x80000000), ("0.e0", 0),
    ("7.e-1", 0x3F333333), ("0.1", 0x3DCCCCCD), ("-2.5E+0", 0xC0200000),
    ("16777217", 0x4B800000), ("16777219", 0x4B800002), ("123456789", 0x4CEB79A3),
    ("1.23456789E+05", 0x47F12065), ("1E+0038", 0x7E967699),
    ("00000000000000000000001", 0x3F800000),
    (HALF_ABOVE_ONE, 0x3F800000), (HALF_ABOVE_ONE + "00000001", 0x3F800001),
    (HALF_ABOVE_ONE + "0" * 300, 0x3F800000), (HALF_ABOVE_ONE + "0" * 300 + "1", 0x3F800001),
    (HALF_ABOVE_ONE[:-1] + "4" + "9" * 300, 0x3F800000),
    ("0." + "0" * 300 + "1e301", 0x3F800000), ("9" * 400, INF), ("0" * 400, 0),
    ("3.4028235e38", 0x7F7FFFFF), ("3.4028236e38", INF), ("-3.4028236e38", SIGN | INF),
    (LARGEST, 0x7F7FFFFF), ("340282356779733661637539395458142568447", 0x7F7FFFFF),
    ("340282356779733661637539395458142568448", INF),
    ("1.17549435e-38", 0x00800000), ("1.1754942e-38", 0x007FFFFF),
    ("1.4e-45", 0x00000001), ("1e-45", 0x00000001), ("7.1e-46", 0x00000001),
    ("7e-46", 0), ("1e-46", 0), ("-1e-46", SIGN),
    ("0.000000000000000000000000000000000000000000001", 0x00000001),
    ("1e99999999999999999999", INF), ("-1e99999999999999999999", SIGN | INF),
    ("1e-99999999999", 0), ("INF", INF), ("+inf", INF), ("-Infinity", SIGN | INF),
    ("iNfInItY", INF), ("nAn", NAN), ("+NaN", NAN), ("-nan", SIGN | NAN),
]


def test_oracle_matches_known_roundings():
    wrong = [(t, hex(b), hex(oracle(t))) for t, b in ACCEPTED if oracle(t) != b]
    assert wrong == []


def test_accepted_texts(write_file):
    texts = [t for t, _ in ACCEPTED]
    assert_bits(read_texts(write_file, texts), texts, [b for _, b in ACCEPTED])


def test_whitespace_around_a_number_is_trimmed(write_file):
    texts = ["\u30002\u00a0", "\t-1.5\u2003", "\u205f1e1\u0085"]
    assert_bits(read_texts(write_file, texts), texts, [0x40000000, 0xBFC00000, 0x41200000])


EXPONENTS = [
    ("1e0000000000000000000000001", 0x41200000),  # leading zeros: 1e1
    ("1e-0000000000000000000000001", 0x3DCCCCCD),
    ("1e65536", INF), ("1e-65536", 0), ("1E+99999", INF),
    ("0." + "0" * 69999 + "1e70000", 0x3F800000),  # exactly 1, exponent still exact
    ("0." + "0" * 65535 + "1e655360", 0x3F800000),  # exponent stops at 65536
    ("0." + "0" * 69999 + "1e700009", 0x3F800000),  # stops at 70000, later digits ignored
    ("1" + "0" * 65536 + "e-655369", 0x3F800000),
]


def test_exponent_value_stops_growing_at_65536(write_file):
    texts = [t for t, _ in EXPONENTS]
    expected = [b for _, b in EXPONENTS]
    assert [oracle(t) for t in texts] == expected
    assert_bits(read_texts(write_file, texts), texts, expected)


INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"
REFUSED = [("", EMPTY), ("\u3000\u00a0\t", EMPTY)] + [
    (text, INVALID)
    for text in [
        "+", "-", "1.0D+00", "1.0d0", "1.0q0", "1.0-100", "0x10", "0x1p3", "1_0", "1,5",
        ".", "-.", ".e5", "e5", "E5", "1e", "1e+", "1.0E-", "1e+-5", "1e5e5", "1.5e5.0",
        "1..5", "++1", "+-1", "--1", "infin", "infinityy", "inf inity", "nan(1)", "nan1",
        "nana", "1 2", "+ 1", "\uff11\uff12", "\u0661", "1\u200b", "\ufeff1", "\u00bd",
    ]
]


@pytest.mark.parametrize("text, message", REFUSED, ids=[repr(t) for t, _ in REFUSED])
def test_refused_texts(write_file, text, message):
    with pytest.raises(BaseException) as info:
        read_texts(write_file, [text], min_width=12)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)


def f32_value(bits):
    """Exact value of a positive pattern; INF stands for 2**128, the next step
    above the largest finite value."""
    exp, frac = bits >> 23, bits & 0x7FFFFF
    if exp == 0:
        return Fraction(frac, 2**149)
    return Fraction(0x800000 | frac) * Fraction(2) ** (exp - 150)


def decimal_text(x, places, scientific):
    n = x * 10**places
    assert n.denominator == 1
    if scientific or places == 0:
        return f"{n.numerator}e-{places}"
    digits = str(n.numerator).rjust(places + 1, "0")
    return f"{digits[:-places]}.{digits[-places:]}"


REGIONS = {
    "subnormal": [0, 1, 2, 3, 0x3FFFFF, 0x7FFFFE, 0x7FFFFF] + [(0, 0x7FFFFE)] * 33,
    "normal": [0x3F7FFFFF, 0x3F800000, 0x3F800001, 0x00800000, 0x4B7FFFFF, 0x4B800000]
    + [(0x00800000, 0x7F7FFFFE)] * 60,
    "top binade": [0x7F7FFFFF, 0x7F7FFFFE, 0x7F000000, 0x7EFFFFFF]
    + [(0x7F000000, 0x7F7FFFFE)] * 20,
}


@pytest.mark.parametrize("region", REGIONS)
def test_halfway_and_near_halfway(write_file, region):
    rng = random.Random(region)
    texts, expected = [], []
    for spec in REGIONS[region]:
        below = rng.randint(*spec) if isinstance(spec, tuple) else spec
        mid = (f32_value(below) + f32_value(below + 1)) / 2
        places = mid.denominator.bit_length() - 1
        tiny = Fraction(1, 10 ** (places + 20))
        for value, bits in [
            (mid, below + (below & 1)),
            (mid + tiny, below + 1),
            (mid - tiny, below),
        ]:
            sign = rng.choice(["", "+", "-"])
            digits = places if value == mid else places + 20
            texts.append(sign + decimal_text(value, digits, scientific=rng.random() < 0.5))
            expected.append((SIGN if sign == "-" else 0) | bits)
    assert [oracle(t) for t in texts] == expected
    assert_bits(read_texts(write_file, texts), texts, expected)


@st.composite
def decimal_texts(draw):
    digits = draw(st.text("0123456789", min_size=1, max_size=30))
    if draw(st.booleans()):
        point = draw(st.integers(0, len(digits)))
        digits = digits[:point] + "." + digits[point:]
    exponent = draw(st.integers(-60, 60))
    form = draw(st.sampled_from(["", "e{}", "E{}", "e{:+d}", "E{:+03d}"]))
    return draw(st.sampled_from(["", "+", "-"])) + digits + form.format(exponent)


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(texts=st.lists(decimal_texts(), min_size=1, max_size=40))
def test_random_decimal_texts(write_file, texts):
    assert_bits(read_texts(write_file, texts), texts, [oracle(t) for t in texts])


@pytest.mark.parametrize("width", [12, 15], ids=["1PE12.5", "1PE15.8"])
def test_values_as_the_simulation_writes_them(write_plot, width):
    rng = random.Random(width)
    blocks = [
        [rng.choice([-1, 1]) * rng.uniform(1, 10) * 10.0 ** rng.randint(-47, 38) for _ in range(10)]
        for _ in range(40)
    ]
    blocks[0][:4] = [3.4028234e38, 3.40282357e38, 1.17549435e-38, 7.00649232e-46]
    path = write_plot([f"P{j}" for j in range(10)], blocks, width)
    columns = olvane.rust_read_dunvel(path, width)
    assert len(columns) == 10
    for j, column in enumerate(columns):
        texts = [format_field(block[j], width).strip() for block in blocks]
        assert_bits([result_bits(v) for v in column], texts, [oracle(t) for t in texts])
