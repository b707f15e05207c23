"""The readers a user would reach for instead of olvane, and the floor that no
reader of these files can beat from Python.

Each reader takes (path, width) and returns one column per parameter, in
header order, holding the same binary32 values as olvane: Python floats
widened from binary32 for the list readers, float32 arrays for the array
readers. The numpy, polars and pyarrow readers round each field once,
correctly, to binary32, as olvane does. The pure-Python, numpy-astype and
pandas readers do what their users do: parse the nearest double, then round
that to binary32; the second rounding could
differ from olvane's only for a double that lands exactly on a binary32
midpoint, and `mismatch` checks every file the benchmark times, so such a
difference would be reported, never timed.

They are written for valid files: a damaged file makes them raise, but with
their own library's message, not olvane's.
"""

from __future__ import annotations

from array import array
from fractions import Fraction
from typing import Callable

import numpy as np

Columns = list  # of list[float] or of np.ndarray (float32)


def read_olvane(path: str, width: int) -> Columns:
    import olvane

    return olvane.rust_read_dunvel(path, width)


class PlotColumns(list):
    """dunvel's columns: views into the plot's one array of rows, with the
    plot itself (values and times) kept alive beside them."""

    plot: object


def read_dunvel(path: str, width: int) -> Columns:
    """On one thread; bench/threads.py times dunvel's threads against
    polars' and pyarrow's."""
    import dunvel

    plot = dunvel.read(path, width, threads=1)
    columns = PlotColumns(plot.values.T)
    columns.plot = plot
    return columns


def read_olvane_array(path: str, width: int) -> Columns:
    """What a user of olvane does for an array: the lists, then np.array."""
    import olvane

    return list(np.array(olvane.rust_read_dunvel(path, width), dtype=np.float32))


def _parameter_count(first_line: str) -> int:
    tokens = first_line.split()
    return int(tokens[-1]) if tokens else 0


# --- pure Python -------------------------------------------------------------


def read_pure_python(path: str, width: int) -> Columns:
    """What one writes with nothing but the standard library: slice, float(),
    append, then round each column to binary32 through array('f')."""
    with open(path, encoding="utf-8") as file:
        lines = file.read().split("\n")
    n = _parameter_count(lines[0])
    columns = [[] for _ in range(n)]
    groups = [columns[start : start + 10] for start in range(0, n, 10)]
    slices = [slice(k * width, (k + 1) * width) for k in range(10)]
    block_lines = 1 + len(groups)
    # A file ending in a newline leaves one empty string after the last line.
    end = len(lines) - 1 if lines[-1] == "" else len(lines)
    for start in range(n + 1, end, block_lines):
        if n and start + block_lines > end:
            raise ValueError(f"plot file ends inside a block at line {end + 1}")
        for line, group in zip(lines[start + 1 : start + block_lines], groups):
            for column, field in zip(group, slices):
                column.append(float(line[field]))
    return [array("f", column).tolist() for column in columns]


# --- NumPy -------------------------------------------------------------------


def _field_matrix(path: str, width: int) -> np.ndarray:
    """The fields as a (blocks, n) array of fixed-width byte strings: the lines
    are split in C, stacked as one fixed-width string per line, and each line
    viewed as ten fields."""
    with open(path, "rb") as file:
        data = file.read()
    first_end = data.find(b"\n")
    n = _parameter_count(data[:first_end].decode("utf-8"))
    lines = data.split(b"\n")
    block_lines = 1 + (n + 9) // 10
    body = lines[n + 1 : len(lines) - 1 if lines[-1] == b"" else len(lines)]
    if n == 0:
        return np.empty((0, 0), dtype=f"S{max(width, 1)}")
    if len(body) % block_lines:
        raise ValueError("plot file ends inside a block")
    # A CR before the LF, or bytes past the tenth field, fall outside the
    # 10 * width bytes kept per line, exactly as they are ignored by the format.
    stacked = np.array(body, dtype=f"S{10 * width}").reshape(-1, block_lines)[:, 1:]
    blocks = stacked.shape[0]
    fields = stacked.view(f"S{width}").reshape(blocks, -1)[:, :n]
    # A line too short for its fields leaves NUL padding at the field's end.
    if width and (fields.view(np.uint8).reshape(blocks, n, width)[:, :, -1] == 0).any():
        raise ValueError("a data line is shorter than the fields it must hold")
    return fields


_FLOAT32_MAX = float(np.finfo(np.float32).max)
_FLOAT32_OVERFLOW = Fraction(2**128 - 2**103)  # halfway from the largest float32 to 2**128
_LOW29 = np.uint64(0x1FFFFFFF)  # the bits a double has below a binary32's last one
_MIDPOINT = 0x10000000  # those bits when the double is halfway between two binary32


def _nearest_float32(text: bytes) -> np.float32:
    """The binary32 value nearest to the field's exact decimal value, ties to
    even, by exact rational arithmetic: slow, for the rare fields that the
    vectorised paths cannot settle."""
    text = text.decode("ascii").strip()
    if text.lower().lstrip("+-") in ("inf", "infinity", "nan"):
        return np.float32(float(text))
    exact = Fraction(text)
    if abs(exact) >= _FLOAT32_OVERFLOW:
        return np.float32(np.copysign(np.inf, float(exact)))
    with np.errstate(over="ignore"):
        guess = np.float32(float(exact))
        candidates = [
            np.nextafter(guess, np.float32(-np.inf)),
            guess,
            np.nextafter(guess, np.float32(np.inf)),
        ]
    best = min(
        (c for c in candidates if np.isfinite(c)),
        key=lambda c: (abs(Fraction(float(c)) - exact), int(np.array(c).view(np.uint32)) & 1),
    )
    return np.float32(-0.0) if best == 0 and text.startswith("-") else best


def _two_product(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(p, e) with p = fl(a * b) and a * b = p + e exactly (Dekker's product
    with Veltkamp's split), for operands well inside the double range."""

    def split(x):
        scaled = 134217729.0 * x  # 2**27 + 1
        high = scaled - (scaled - x)
        return high, x - high

    product = a * b
    a_high, a_low = split(a)
    b_high, b_low = split(b)
    error = ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low
    return product, error


class _ELayout:
    """Decodes fields laid out exactly as Fortran's 1PEw.d writes them,
    '[ -]d.ddddE[+-]dd', with NumPy arithmetic instead of a string parse, and
    rounds them once, correctly, to binary32.

    The mantissa digits form one exact integer m below 2**53. With a decimal
    exponent e of at most 22 in size, 10**e is exact, so m * 10**e or m / 10**e
    is the correctly rounded double (Clinger's fast path), and casting it to
    binary32 is right unless the double is exactly a binary32 midpoint, where
    the sign of the product's or quotient's exact remainder tells the way.
    Beyond that, and for fields in any other layout, the few fields whose
    double lies near a midpoint or outside the normal binary32 range go to
    `_nearest_float32`."""

    def __init__(self, width: int):
        self.width = width
        self.digits = width - 6  # one before the point, the rest after
        self.usable = 3 <= self.digits <= 15
        if not self.usable:
            return
        low = np.full(width, ord("0"), dtype=np.uint8)
        span = np.full(width, 9, dtype=np.uint8)
        for position, char in ((0, " "), (2, "."), (width - 4, "E"), (width - 3, "+")):
            low[position], span[position] = ord(char), 0
        # Ranges ' '..'-' and '+'..'-', narrowed to the two signs in decode.
        span[0] = ord("-") - ord(" ")
        span[width - 3] = ord("-") - ord("+")
        self.low, self.span = low, span
        weights = np.zeros(width)
        weights[1] = 10.0 ** (self.digits - 1)
        weights[3 : width - 4] = 10.0 ** np.arange(self.digits - 2, -1, -1)
        self.weights = weights
        # Each weighted byte carries an ord("0") to take off.
        self.zero_offset = ord("0") * weights.sum()

    def decode(self, fields: np.ndarray) -> np.ndarray:
        """float32 values of a 1-D array of S<width> fields."""
        if not self.usable:
            return _round_to_float32(fields.astype(np.float64), fields)
        out = np.empty(fields.shape[0], dtype=np.float32)
        chunk = 1 << 15  # keeps the temporaries in cache
        for start in range(0, fields.shape[0], chunk):
            out[start : start + chunk] = self._decode_chunk(fields[start : start + chunk])
        return out

    def _decode_chunk(self, fields: np.ndarray) -> np.ndarray:
        w = self.width
        c = np.ascontiguousarray(fields).view(np.uint8).reshape(-1, w)
        sign, exp_sign = c[:, 0], c[:, w - 3]
        ok = ((c - self.low) <= self.span).all(axis=1)
        ok &= (sign == ord(" ")) | (sign == ord("-"))
        ok &= (exp_sign == ord("+")) | (exp_sign == ord("-"))
        # Fields in another layout give garbage here (even inf or nan); they
        # are all replaced below.
        mantissa = c @ self.weights - self.zero_offset
        exponent = c[:, w - 2].astype(np.int16) * 10 + c[:, w - 1] - 11 * ord("0")
        exponent = np.where(exp_sign == ord("-"), -exponent, exponent) - (self.digits - 1)
        with np.errstate(all="ignore"):
            power = 10.0 ** np.abs(exponent)
            magnitude = np.where(exponent >= 0, mantissa * power, mantissa / power)
            rounded = magnitude.astype(np.float32)

        low_bits = magnitude.view(np.uint64) & _LOW29
        in_range = (magnitude >= 2.0**-126) & (magnitude < _FLOAT32_MAX)
        exact_power = np.abs(exponent) <= 22
        tie = np.flatnonzero(ok & exact_power & in_range & (low_bits == _MIDPOINT))
        if tie.size:
            # The exact value's side of the midpoint: the remainder of m * p,
            # or of m - q * p for a quotient q.
            m, p, q = mantissa[tie], power[tie], magnitude[tie]
            _, product_error = _two_product(m, p)
            high, low = _two_product(q, p)
            side = np.where(exponent[tie] >= 0, product_error, (m - high) - low)
            below = (q.view(np.uint64) & ~_LOW29).view(np.float64).astype(np.float32)
            above = np.nextafter(below, np.float32(np.inf))
            rounded[tie] = np.where(side > 0, above, np.where(side < 0, below, rounded[tie]))

        # Signs on binary32, so that '-0.00000E+00' gives -0.0.
        np.negative(rounded, out=rounded, where=sign == ord("-"))
        # Within a few units of a midpoint, an inexact power of ten may have
        # pushed the double across it.
        near = np.abs(low_bits.astype(np.int64) - _MIDPOINT) <= 8
        slow = ~ok | (~exact_power & near) | (~in_range & (magnitude > 0))
        for i in np.flatnonzero(slow):
            rounded[i] = _nearest_float32(fields[i])
        return rounded


def _round_to_float32(values: np.ndarray, fields: np.ndarray) -> np.ndarray:
    """Correctly rounded doubles to binary32: a cast is right unless the
    double is exactly a binary32 midpoint or outside the normal range."""
    with np.errstate(over="ignore"):
        rounded = values.astype(np.float32)
    magnitude = np.abs(values)
    hard = (values.view(np.uint64) & _LOW29) == _MIDPOINT
    hard |= (magnitude < 2.0**-126) & (magnitude > 0) | (magnitude >= _FLOAT32_MAX)
    hard &= np.isfinite(values)
    for i in np.flatnonzero(hard):
        rounded[i] = _nearest_float32(fields[i])
    return rounded


def read_numpy(path: str, width: int) -> Columns:
    """The best NumPy approach we know: fields cut by views, decoded with
    vectorised arithmetic where the layout allows, rounded once, correctly,
    to binary32; float32 column arrays out."""
    fields = _field_matrix(path, width)
    blocks, n = fields.shape
    values = _ELayout(width).decode(fields.reshape(-1))
    return list(values.reshape(blocks, n).T.copy())


def read_numpy_lists(path: str, width: int) -> Columns:
    """read_numpy, then lists of Python floats, as olvane returns them."""
    return [column.tolist() for column in read_numpy(path, width)]


def read_numpy_astype(path: str, width: int) -> Columns:
    """The plain NumPy way: the same field views, then NumPy's own
    string-to-float conversion."""
    fields = _field_matrix(path, width)
    return list(fields.astype(np.float64).astype(np.float32).T.copy())


# --- pandas ------------------------------------------------------------------


def read_pandas(path: str, width: int) -> Columns:
    """pandas.read_fwf, the pandas reader for fixed-width fields, with the
    block-start lines skipped; the data lines of a block are joined back into
    one row and float32 column arrays are returned."""
    import pandas as pd

    with open(path, encoding="utf-8") as file:
        n = _parameter_count(file.readline())
    block_lines = 1 + (n + 9) // 10
    frame = pd.read_fwf(
        path,
        widths=[width] * 10,
        header=None,
        skiprows=lambda i: i <= n or (i - n - 1) % block_lines == 0,
        dtype=np.float64,
        # The short last line of a block leaves its missing fields empty.
        keep_default_na=False,
        na_values=[""],
    )
    values = frame.to_numpy().reshape(-1, (block_lines - 1) * 10)[:, :n]
    if np.isnan(values).any():
        raise ValueError("a data line is shorter than the fields it must hold")
    return list(values.astype(np.float32).T.copy())


# --- polars and pyarrow -------------------------------------------------------
#
# Both read the body as one column of whole lines with their own multi-threaded
# CSV readers (a separator that a plot file never holds, no quoting), then cut
# and convert the fields with their own vectorised string kernels. Each casts
# the text straight to binary32: both parse the digits to the nearest float32
# in one step, ties to even, as olvane does. Going through Float64 first would
# round twice, and a field whose nearest double is exactly a binary32 midpoint
# would then land on the wrong side of it.

# The unit separator: a plot file is text and never holds it, so every line
# stays one field.
_NO_SEPARATOR = "\x1f"


def _block_shape(path: str) -> tuple[int, int]:
    """The parameter count and the data lines per block."""
    with open(path, encoding="utf-8") as file:
        n = _parameter_count(file.readline())
    return n, (n + 9) // 10


def _columns_from_lines(values: np.ndarray, n: int, data_lines: int) -> Columns:
    """(lines, 10) float32 values, one row per data line, to header-ordered
    columns; the fields past the last parameter of a block are dropped."""
    return list(values.reshape(-1, data_lines * 10)[:, :n].T.copy())


def read_polars(path: str, width: int) -> Columns:
    """polars.read_csv for the lines, then polars expressions for the fields,
    on polars' thread pool; float32 column arrays out."""
    import polars as pl

    n, data_lines = _block_shape(path)
    if n == 0:
        return []
    block_lines = 1 + data_lines
    frame = pl.read_csv(
        path,
        has_header=False,
        separator=_NO_SEPARATOR,
        quote_char=None,
        comment_prefix=None,
        # The names are skipped as raw lines, whatever they hold.
        skip_lines=n + 1,
        new_columns=["line"],
        schema_overrides={"line": pl.String},
        infer_schema=False,
        # A blank block-start line must stay a row, or the blocks would slip.
        empty_string_is_null=False,
        raise_if_empty=False,
    )
    if frame.height % block_lines:
        raise ValueError("plot file ends inside a block")
    if frame.height == 0:
        # Without a single line polars gives a frame without the column.
        return _columns_from_lines(np.empty((0, 10), dtype=np.float32), n, data_lines)
    line = pl.col("line")
    row = pl.int_range(pl.len())
    # Fields the last data line of a block does not hold; those rows are nulled
    # before the strict cast, so that an empty field anywhere else still fails.
    short = n - 10 * (data_lines - 1)
    fields = []
    for k in range(10):
        field = line.str.slice(k * width, width).str.strip_chars()
        if k >= short:
            field = pl.when(row % data_lines == data_lines - 1).then(None).otherwise(field)
        fields.append(field.cast(pl.Float32).alias(f"f{k}"))
    values = frame.filter(row % block_lines != 0).select(fields).to_numpy()
    return _columns_from_lines(values, n, data_lines)


def read_pyarrow(path: str, width: int) -> Columns:
    """pyarrow.csv.read_csv for the lines, on pyarrow's threads, then
    pyarrow.compute for the fields; float32 column arrays out."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pv

    n, data_lines = _block_shape(path)
    if n == 0:
        return []
    block_lines = 1 + data_lines
    table = pv.read_csv(
        path,
        read_options=pv.ReadOptions(use_threads=True, skip_rows=n + 1, column_names=["line"]),
        parse_options=pv.ParseOptions(
            delimiter=_NO_SEPARATOR,
            quote_char=False,
            double_quote=False,
            escape_char=False,
            # A blank block-start line must stay a row, or the blocks would slip.
            ignore_empty_lines=False,
        ),
        convert_options=pv.ConvertOptions(
            column_types={"line": pa.string()}, strings_can_be_null=False
        ),
    )
    lines = table.column("line")
    if len(lines) % block_lines:
        raise ValueError("plot file ends inside a block")
    data = pc.filter(lines, pa.array(np.arange(len(lines)) % block_lines != 0))
    # As in read_polars: the fields that the short last line lacks are nulled.
    short = n - 10 * (data_lines - 1)
    last_line = pa.array(np.arange(len(data)) % data_lines == data_lines - 1)
    missing = pa.scalar(None, pa.string())
    values = np.empty((len(data), 10), dtype=np.float32)
    for k in range(10):
        field = pc.utf8_trim_whitespace(pc.utf8_slice_codeunits(data, k * width, (k + 1) * width))
        if k >= short:
            field = pc.if_else(last_line, missing, field)
        values[:, k] = pc.cast(field, pa.float32()).to_numpy()
    return _columns_from_lines(values, n, data_lines)


# --- the floor ---------------------------------------------------------------


def make_floor(columns: Columns) -> Callable[[str, int], Columns]:
    """Reading the file's bytes and creating the same float objects and lists
    in C, with the values already in binary32 arrays (prepared here, outside
    the timed call): what any reader must at least do."""
    arrays = [array("f", column) for column in columns]

    def read_floor(path: str, width: int) -> Columns:
        with open(path, "rb") as file:
            file.read()
        return [values.tolist() for values in arrays]

    return read_floor


READERS: dict[str, Callable[[str, int], Columns]] = {
    "olvane": read_olvane,
    "dunvel": read_dunvel,
    "olvane+np.array": read_olvane_array,
    "pure-python": read_pure_python,
    "numpy": read_numpy,
    "numpy-lists": read_numpy_lists,
    "numpy-astype": read_numpy_astype,
    "pandas-read_fwf": read_pandas,
    "polars": read_polars,
    "pyarrow": read_pyarrow,
}

# The modules a reader imports beyond NumPy and olvane.
MODULES = {
    "pandas-read_fwf": ("pandas",),
    "dunvel": ("dunvel",),
    "polars": ("polars",),
    "pyarrow": ("pyarrow.csv", "pyarrow.compute"),
}


def available(name: str) -> bool:
    try:
        for module in MODULES.get(name, ()):
            __import__(module)
    except ImportError:
        return False
    return True


def mismatch(result: Columns, expected: Columns) -> str | None:
    """None when result holds exactly the expected values (same bits, as
    doubles widened from binary32), else where the first difference is."""
    if len(result) != len(expected):
        return f"{len(result)} columns, expected {len(expected)}"
    for j, (got, want) in enumerate(zip(result, expected)):
        got_bits = np.asarray(got, dtype=np.float64).view(np.uint64)
        want_bits = np.asarray(want, dtype=np.float64).view(np.uint64)
        if got_bits.shape != want_bits.shape:
            return f"column {j}: {got_bits.size} values, expected {want_bits.size}"
        differ = np.flatnonzero(got_bits != want_bits)
        if differ.size:
            i = differ[0]
            return (
                f"column {j}, block {i}: {float(np.asarray(got)[i])!r}, "
                f"expected {float(np.asarray(want)[i])!r} ({differ.size} differ)"
            )
    return None
