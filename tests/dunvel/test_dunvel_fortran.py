"""The number forms that Fortran writes and the grammar lacks, which dunvel
reads and olvane refuses: a three-digit exponent without its letter, D or d
as the letter, and asterisks (the quiet NaN 0x7FC00000). Each form reads to
the bits that olvane gives for its E form (olvane's rounding is checked
against exact rationals in tests/olvane/test_values.py); look-alikes stay
refused."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import dunvel
import olvane
from conftest import f32_bits, format_field, panic_message

INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
NAN = 0x7FC00000


def one_step(texts, width, time="t", tail=""):
    """One step: texts right-justified at width, between two ordinary fields."""
    cells = [format_field(1.5, width), *(text.rjust(width) for text in texts), format_field(-2.25, width)]
    lines = ["".join(cells[i : i + 10]) + tail for i in range(0, len(cells), 10)]
    return f"{len(cells)}\n" + "p\n" * len(cells) + time + "\n" + "\n".join(lines) + "\n"


# (form, its E form; None for asterisks)
FORMS = [
    ("1.00000-100", "1.00000E-100"),
    ("-9.99999+120", "-9.99999E+120"),
    ("9.99999999-101", "9.99999999E-101"),
    ("1.5-040", "1.5E-040"),
    ("-7.00649-046", "-7.00649E-046"),  # just below half the smallest subnormal
    ("7.00650-046", "7.00650E-046"),
    ("+3.40283+038", "+3.40283E+038"),
    ("-0.00000+000", "-0.00000E+000"),
    ("1.0+999", "1.0E+999"),
    ("-1.0-999", "-1.0E-999"),
    (".5-001", ".5E-001"),
    ("5.+002", "5.E+002"),
    ("1.0D+05", "1.0E+05"),
    ("-2.5d-3", "-2.5E-3"),
    ("1D5", "1E5"),
    ("+1.17549d-38", "+1.17549E-38"),
    ("-7.5D-44", "-7.5E-44"),
    ("-1.0d+999", "-1.0E+999"),
    ("-0d0", "-0E0"),
    (".1D1", ".1E1"),
    ("1." + "0" * 80 + "1-040", "1." + "0" * 80 + "1E-040"),
    ("-" + "3" * 70 + ".D-100", "-" + "3" * 70 + ".E-100"),
    *((stars, None) for stars in ["*", "***", "*" * 12, "*" * 15]),
]
CASES = [(form, e, width) for form, e in FORMS for width in [w for w in (12, 15, 20) if len(form) <= w]
         or [len(form) + 3]]


@pytest.mark.parametrize("tail", ["", "\u3000"], ids=["ascii", "not-ascii"])
@pytest.mark.parametrize("form, e, width", CASES)
def test_form_reads_as_its_e_form(write_file, form, e, width, tail):
    if e is None:
        bits = NAN
    else:
        columns = olvane.rust_read_dunvel(write_file(one_step([e], width + 1)), width + 1)
        bits = f32_bits(columns[1][0])
    path = write_file(one_step([form], width, tail=tail))
    for asked in {width, None} if width in (12, 15) else {width}:
        plot = dunvel.read(path, asked)
        assert (plot.width, plot.values.view(np.uint32).tolist()) == (width, [[f32_bits(1.5), bits, f32_bits(-2.25)]])
    assert panic_message(path, width) == INVALID


@pytest.mark.parametrize(
    "text",
    ["1.0-10", "1.0-1000", "1-100", "-1+100", "1.0+-100", "1.0-+100", "1..0-100", ".-100", "1.0-10a", "1.0 -100",
     "1.0D", "1.0D+", "D5", "d-5", ".D5", "1.0D5.0", "1.0D5D5", "1.0E+05D", "1.0 D5", "0x1D5", "nanD5", "inf-100",
     "**1", "* *", "*.*", ""],
)
def test_look_alikes_are_refused(write_file, text):
    with pytest.raises(dunvel.PlotFileError) as caught:
        dunvel.read(write_file(one_step([text], 12)), 12)
    error = caught.value
    assert (error.kind, error.line, error.column, error.text) == ("field", 6, 13, text)


@st.composite
def fortran_numbers(draw):
    """(a number in one of Fortran's forms, the same number in the E form)."""
    kind = draw(st.sampled_from(["dropped", "D", "d", "*"]))
    if kind == "*":
        return "*" * draw(st.integers(1, 15)), "nan"
    sign, whole = draw(st.sampled_from(["", "-", "+"])), draw(st.text("0123456789", max_size=4))
    mantissa = f"{sign}{whole}.{draw(st.text('0123456789', min_size=0 if whole else 1, max_size=9))}"
    if kind == "dropped":
        power = draw(st.one_of(st.integers(-50, 40), st.integers(-999, 999)))
        exponent = f"{'-' if power < 0 else '+'}{abs(power):03d}"
        return mantissa + exponent, f"{mantissa}E{exponent}"
    if whole and draw(st.booleans()):
        mantissa = sign + whole
    exponent = draw(st.from_regex(r"[+-]?(0{0,2}[0-9]{1,2}|[0-9]{3})", fullmatch=True))
    return f"{mantissa}{kind}{exponent}", f"{mantissa}E{exponent}"


@settings(max_examples=200, deadline=None)
@given(st.lists(fortran_numbers(), min_size=1, max_size=25), st.integers(0, 3))
def test_a_file_of_forms_reads_as_its_e_form_file(tmp_path_factory, numbers, pad):
    forms, es = zip(*numbers)
    width = max(12, *map(len, forms + es)) + pad
    time = next((i for i, form in enumerate(forms) if form[0] != "*"), None)
    plots = []
    for texts in (forms, es):
        path = tmp_path_factory.mktemp("forms") / "plot.dat"
        path.write_text(one_step(texts, width, time="t" if time is None else f"TIME = {texts[time]} S"))
        plots.append(dunvel.read(path, width))
    assert plots[0].values.view(np.uint32).tolist() == plots[1].values.view(np.uint32).tolist()
    assert plots[0].times.view(np.uint64).tolist() == plots[1].times.view(np.uint64).tolist()
