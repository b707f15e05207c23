"""Shape, values and object identity of the returned lists."""

import math
import struct
import sys

import pytest

import olvane
from conftest import bits_f32, f32_bits

read = olvane.rust_read_dunvel


@pytest.mark.parametrize("n, b", [(1, 1), (3, 4), (10, 2), (12, 3), (25, 2)], ids=lambda v: str(v))
def test_n_lists_of_b_values(write_plot, n, b):
    # Negative values fill a whole field, so neighbouring fields touch.
    blocks = [[(-1) ** j * (j * 8 + i * 0.25) for j in range(n)] for i in range(b)]
    result = read(write_plot([f"p{j}" for j in range(n)], blocks), 12)
    assert [[f32_bits(v) for v in column] for column in result] == [
        [f32_bits(blocks[i][j]) for i in range(b)] for j in range(n)
    ]


WIDENED = [
    ("0.1", 12, 0x3DCCCCCD, 0.10000000149011612),
    ("1.23456789E+05", 15, 0x47F12065, 123456.7890625),
    ("-0", 12, 0x80000000, -0.0),
    ("1.4e-45", 12, 0x00000001, 1.401298464324817e-45),
    ("3.4028235e38", 12, 0x7F7FFFFF, 3.4028234663852886e38),
    ("-inf", 12, 0xFF800000, -math.inf),
    ("-nan", 12, 0xFFC00000, -math.nan),
]


@pytest.mark.parametrize("text, width, bits, widened", WIDENED, ids=[w[0] for w in WIDENED])
def test_values_are_widened_exactly(write_file, text, width, bits, widened):
    [[value]] = read(write_file(f"1\nx\nt\n{text.rjust(width)}\n"), width)
    assert f32_bits(value) == bits
    assert struct.pack("<d", value) == struct.pack("<d", widened) == struct.pack("<d", bits_f32(bits))


@pytest.mark.parametrize("content", ["0\nt0\nt1\n", "   \n1\nx\nt\n1.0\n"], ids=["zero", "blank-count"])
def test_no_parameters_gives_empty_list(write_file, content):
    assert read(write_file(content), 12) == []


def test_fresh_real_lists_every_call(write_file, write_plot):
    path = write_plot(["a", "b"], [[1.0, 2.0], [3.0, 4.0]])
    first, second = read(path, 12), read(path, 12)
    assert first == second == [[1.0, 3.0], [2.0, 4.0]]
    assert first is not second and first[0] is not second[0] and first[1] is not second[1]
    first[0].append(9.0)
    first.append([])
    assert read(path, 12) == [[1.0, 3.0], [2.0, 4.0]]

    assert type(second) is list and all(type(column) is list for column in second)
    assert all(type(value) is float for column in second for value in column)
    # The caller must hold the only references: anything more is a leak.
    # (Counted outside the assert, whose rewriting keeps temporaries alive.)
    counts = sys.getrefcount(second), sys.getrefcount(second[1]), sys.getrefcount(second[1][0])
    assert counts == (2, 2, 2)

    empty = read(write_file("2\na\nb\n"), 12)
    assert empty == [[], []] and empty[0] is not empty[1]
