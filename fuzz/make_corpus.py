"""Seed corpora for the fuzz targets, written into OUT/reader, OUT/number
and OUT/stream.

reader: small plot files of our own making (byte 0 picks the field width and
the padding, as reader_fuzz.cpp reads it), and a few files from
bench/generate.py when numpy is there to run it.
number: number texts: Fortran-formatted fields of 12 and 15 bytes, exact
binary32 midpoints and their nearest neighbours above and below, ties short
enough for a Fortran field, the ends of the range, and texts the grammar must
refuse.

    python3 fuzz/make_corpus.py OUT
"""

from __future__ import annotations

import hashlib
import random
import struct
import sys
from fractions import Fraction
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The width table of reader_fuzz.cpp, in the same order.
WIDTHS = [12, 15, 0, 1, 2, 3, 7, 9, 11, 13, 16, 24, 40, 255, 0x80000000, 0xFFFFFFFF]


def f32(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def fortran(value: float, width: int) -> str:
    """As 1PEw.d writes it (d = width - 7), right-justified in the field."""
    return f"{value:.{width - 7}E}".rjust(width)


def exact_decimal(value: Fraction) -> tuple[int, int]:
    """(digits, exponent) with value = digits * 10^exponent, for a dyadic value."""
    k = 0
    while (value * 10**k).denominator != 1:
        k += 1
    return int(value * 10**k), -k


def scientific(digits: int, exponent: int) -> str:
    text = str(digits)
    return f"{text[0]}.{text[1:] or '0'}e{exponent + len(text) - 1}"


# ---------------------------------------------------------------- plot files


def plot_file(rng: random.Random, n: int, blocks: int, width: int, newline: str = "\n") -> str:
    lines = [f"  NUMBER OF PARAMETERS = {n}"]
    lines += [f"  {j + 1:4d}  P{j:03d}" for j in range(n)]
    for i in range(blocks):
        lines.append(f"  TIME = {i * 0.01:15.8E}")
        values = [f32(rng.randrange(0, 0x7F800000)) * rng.choice((1, -1)) for _ in range(n)]
        for first in range(0, n, 10):
            lines.append("".join(fortran(v, width) for v in values[first : first + 10]))
    return newline.join(lines) + newline


def reader_seeds(rng: random.Random) -> list[bytes]:
    texts: list[tuple[int, str | bytes]] = []
    for width in (12, 15):
        for n, blocks in ((0, 0), (1, 1), (2, 3), (3, 2), (10, 2), (11, 2), (12, 1), (21, 1)):
            texts.append((width, plot_file(rng, n, blocks, width)))
        texts.append((width, plot_file(rng, 3, 2, width, "\r\n")))
        texts.append((width, plot_file(rng, 2, 2, width).rstrip("\n")))
    for width in (0, 1, 3, 7, 9, 13, 16, 24, 40):
        values = " ".join("1.5" for _ in range(12))
        texts.append((width, f"3\na\nb\nc\nt\n{values}\n"))
    texts += [
        (12, ""),
        (12, "\n\n\n"),
        (12, "   \nanything\n\xff\n"),
        (12, "  NPAR = 3 parameters\n"),
        (12, "-3\n"),
        (12, "4294967296\n"),
        (12, "4294967295\na\n"),
        (12, "2\na\nb\nt=0\n 1.00000E+00 2.00000E+00\n\n"),
        (12, "2\na\n\nt=0\n 1.00000E+00\n"),
        (12, "1\n\u00e9\nt\n         \u00e9.5\n"),
        (12, "1\nname\nt\n  \u3000 2\u00a0  \n"),
        (12, "1\nname\nt\n 1.00000D+00\n"),
        (12, "1\nname\nt\n            \n"),
        (12, b"1\nname\nt\n\xed\xa0\x80\n"),
        (12, b"1\nname\nt\n 1.0\xe2\x82"),
        (0x80000000, "1\nname\nt\n1\n"),
        (0xFFFFFFFF, "2\na\nb\nt\n1 2\n"),
        (255, "1\nx\nt\n" + "9" * 300 + "\n"),
    ]
    seeds = []
    for width, text in texts:
        data = text.encode("utf-8") if isinstance(text, str) else text
        index = WIDTHS.index(width)
        seeds.append(bytes([index]) + data)
        # The same file with its first lines reaching past the buffer's edge.
        seeds.append(bytes([index | rng.randrange(1, 16) << 4]) + data)
    return seeds + generated_plot_files()


def generated_plot_files() -> list[bytes]:
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import generate
    except ImportError:  # numpy missing: our own files are enough
        return []
    import tempfile

    seeds = []
    with tempfile.TemporaryDirectory() as folder:
        for n, width, seed in ((12, 12, 0), (23, 15, 1)):
            path = generate.write_plot(Path(folder) / "plot.dat", n, 3, width, seed)
            seeds.append(bytes([WIDTHS.index(width)]) + path.read_bytes())
    return seeds


# -------------------------------------------------------------- number texts


def midpoint_texts(rng: random.Random, count: int) -> list[str]:
    """Exact midpoints between neighbouring binary32 values, and the texts
    just above and just below them."""
    texts = []
    bits = [rng.randrange(0, 0x7F7FFFFF) for _ in range(count)]
    # Zero and the subnormal edge, the top of the range, around 1.0 and 2^24.
    bits += [0, 1, 0x007FFFFF, 0x00800000, 0x7F7FFFFE, 0x7F7FFFFF]
    bits += [0x3F800000, 0x4B7FFFFF, 0x4B800000]
    for b in bits:
        low = Fraction(f32(b))
        high = Fraction(2) ** 128 if b == 0x7F7FFFFF else Fraction(f32(b + 1))
        digits, exponent = exact_decimal((low + high) / 2)
        texts.append(scientific(digits, exponent))
        texts.append(scientific(digits * 10 + 1, exponent - 1))
        texts.append(scientific(digits - 1, exponent))
        # Cut to 19, 16 and 9 significant digits: the fast paths' territory.
        for keep in (19, 16, 9):
            cut = str(digits)[:keep]
            texts.append(scientific(int(cut), exponent + len(str(digits)) - len(cut)))
            texts.append(scientific(int(cut) + 1, exponent + len(str(digits)) - len(cut)))
    return texts


def short_ties(rng: random.Random) -> list[str]:
    """Midpoints that a 1PE12.5 or 1PE15.8 field writes exactly (6 or 9
    significant digits), and their neighbours in the last digit."""
    odd = [rng.randrange(1 << 23, 1 << 24) * 2 + 1 for _ in range(25)]
    for power in range(6, 11):  # odd 25-bit multiples of 5^power have short decimals
        odd += [
            m * 5**power for m in range(1, (1 << 25) // 5**power, 2) if m * 5**power >= 1 << 24
        ][:8]
    fields = []
    for m in odd:
        for shift in range(-4, 70):
            value = Fraction(m) * Fraction(2) ** shift
            digits, exponent = exact_decimal(value)
            text = str(digits).rstrip("0")
            exponent += len(str(digits)) - len(text)
            for width, significant in ((12, 6), (15, 9)):
                if len(text) > significant or abs(exponent + len(text) - 1) > 99:
                    continue
                mantissa = int(text.ljust(significant, "0"))
                power = exponent + len(text) - significant
                for step in (0, 1, -1):
                    field = fortran(float(Fraction(mantissa + step) * Fraction(10) ** power), width)
                    fields += [field, "-" + field[1:]]
    # Plenty to start from; the fuzzer finds its own way between them.
    return rng.sample(fields, min(len(fields), 1500))


def number_seeds(rng: random.Random) -> list[bytes]:
    refused = "+ - . +. e5 .e5 1e 1e+ 1e- ++1 +-1 1.0D+03 1.0-100 0x10 1_0 1,5 nan1 nan(1) infin"
    words = "inf INF Infinity -infinity +inF nan NaN -nan +nAn infinityy in"
    zeros = "0 -0 +0 0.0 -0.0e-999 .0 0. 0e99999 -0e-99999"
    values = (
        "1 +.5 5. 0.1 16777217 16777216.5 33554434 1.23456789E+05 3.4028235e38 3.4028236e38 "
        "340282356779733661637539395458142568448 340282356779733661637539395458142568447 "
        "1.4e-45 1e-46 7.006492321624085e-46 7.0064923216240854e-46 1.1754942e-38 "
        "1.17549435e-38 1e99999999999999999999 1e-99999999999 1e65535 1e65536 1e655359 "
        "1e6553599 1e0000000000000000000000001 1e-0000000000 12345678901234567890123e-30 "
        "1e22 1e23 1e-22 1e-23 9007199254740993 9007199254740993e-22 1.00000E+00 "
        "1.00000000E+00 1.0e0000 1.0e00000"
    )
    texts = ["", " 1", "1 ", "9" * 19, "9" * 20, "1" + "0" * 18, "1" + "0" * 19]
    texts += ["0" * 30, "0" * 30 + "1e-5", "1." + "0" * 40 + "1"]
    texts += f"{refused} {words} {zeros} {values}".split()
    for _ in range(400):
        bits = rng.randrange(0, 0x7F800000)
        value = f32(bits) * rng.choice((1, -1))
        for width in (12, 15):
            field = fortran(value, width)
            texts += [field, field.strip()]
        texts.append(repr(value))
    texts += midpoint_texts(rng, 200)
    texts += short_ties(rng)
    return [text.encode("ascii") for text in texts]


def write_all(folder: Path, seeds: list[bytes]) -> int:
    folder.mkdir(parents=True, exist_ok=True)
    unique = {hashlib.sha1(seed).hexdigest(): seed for seed in seeds}
    for name, seed in unique.items():
        (folder / name).write_bytes(seed)
    return len(unique)


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = Path(sys.argv[1])
    rng = random.Random(2024)
    plots = reader_seeds(rng)
    readers = write_all(out / "reader", plots)
    numbers = write_all(out / "number", number_seeds(rng))
    # stream: the same files behind two more bytes (the piece sizes' seed and
    # the steps a run takes), small enough for the pieces to stay many.
    streams = write_all(
        out / "stream",
        [plot[:1] + bytes([rng.randrange(256), rng.randrange(8)]) + plot[1:] for plot in plots if len(plot) < 2048],
    )
    print(f"seed corpus: {readers} plot files, {numbers} number texts, {streams} streams in {out}")


if __name__ == "__main__":
    main()
