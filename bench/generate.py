"""Seeded generator of realistic DUNVEL plot files for the benchmark, the
examples and the tests.

A file has a count line, one name line per parameter, then per time step a
block-start line (time stamp and solver step, so no two are alike) and the
values ten to a line, each in a fixed field the way Fortran's 1PE12.5 or
1PE15.8 edit descriptor writes it: ' 1.23456E+05', and '-1.23456E+05' filling
the whole field, with nothing between fields.

The values are smooth random walks spread over many decades, with constant
columns, all-zero columns, held stretches and stretches clipped to zero, since
those are what a simulation's plot file is made of and they exercise both the
fast and the slow paths of a number parser.

As a script:

    python bench/generate.py PRESET OUT [--seed N] [--crlf]
"""

from __future__ import annotations

import argparse
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# Bump when the generated text changes, so that cached files are remade.
GENERATOR_VERSION = 1


@dataclass(frozen=True)
class Preset:
    n_params: int
    n_blocks: int
    width: int = 12
    # "smooth": walks with held and zero stretches; "varied": see make_varied_values.
    kind: str = "smooth"

    @property
    def n_values(self) -> int:
        return self.n_params * self.n_blocks


PRESETS = {
    "tiny": Preset(12, 400),
    "small": Preset(150, 2_000),
    "small-w15": Preset(150, 2_000, 15),
    "medium": Preset(150, 20_000),
    "medium-w15": Preset(150, 20_000, 15),
    "wide": Preset(1_000, 2_000),
    "narrow-long": Preset(3, 1_000_000),
    "varied": Preset(150, 20_000, kind="varied"),
    "varied-w15": Preset(150, 20_000, 15, kind="varied"),
}

_QUANTITIES = ("PRES", "TEMP", "FLOW", "VOID", "POWR", "LEVL", "VELO", "DENS", "ENTH", "QWAL")
_PLACES = ("CORE", "UPLN", "LPLN", "DCMR", "PUMP", "SGEN", "PRZR", "HLEG", "CLEG", "BYPS")

# Fortran switches to a three-digit exponent (and drops the 'E') beyond 1E+99;
# the walks stay well inside binary32's normal range and two-digit exponents.
_LOG10_LIMIT = 30.0


def parameter_names(n_params: int) -> list[str]:
    names = []
    for j in range(n_params):
        quantity = _QUANTITIES[j % len(_QUANTITIES)]
        place = _PLACES[(j // len(_QUANTITIES)) % len(_PLACES)]
        names.append(f"{quantity}_{place}_{j + 1:04d}")
    return names


def _smooth_walk(rng: np.random.Generator, n: int) -> np.ndarray:
    """A twice-integrated Gaussian walk scaled to [-1, 1]: smooth like a
    physical signal, with no jumps."""
    walk = np.cumsum(np.cumsum(rng.standard_normal(n)))
    walk -= np.linspace(walk[0], walk[-1], n) * rng.uniform(0.0, 1.0)
    peak = np.max(np.abs(walk))
    return walk / peak if peak > 0 else walk


def _hold_stretches(rng: np.random.Generator, column: np.ndarray) -> None:
    """Freeze a few random stretches, as a controller or a valve holds a value."""
    n = column.size
    for _ in range(rng.integers(0, 4)):
        start = int(rng.integers(0, n))
        stop = min(n, start + int(rng.integers(1, max(2, n // 10))))
        column[start:stop] = column[start]


def make_values(n_params: int, n_blocks: int, seed: int = 0) -> np.ndarray:
    """The values as doubles, shape (n_blocks, n_params)."""
    rng = np.random.default_rng(seed)
    values = np.empty((n_blocks, n_params))
    if n_blocks == 0:
        return values
    for j in range(n_params):
        kind = rng.random()
        if kind < 0.04:
            column = np.zeros(n_blocks)
        elif kind < 0.10:
            column = np.full(n_blocks, 10.0 ** rng.uniform(-8, 8) * rng.choice((-1.0, 1.0)))
        elif kind < 0.55:
            # Positive quantity drifting over several decades.
            exponent = rng.uniform(-12, 12) + rng.uniform(0.5, 6) * _smooth_walk(rng, n_blocks)
            column = 10.0 ** np.clip(exponent, -_LOG10_LIMIT, _LOG10_LIMIT)
            if rng.random() < 0.3:
                column = -column
        else:
            # Signed quantity around an offset; crosses zero, sometimes clipped to it.
            scale = 10.0 ** rng.uniform(-6, 9)
            column = scale * (_smooth_walk(rng, n_blocks) + rng.uniform(-0.5, 0.5))
            if rng.random() < 0.3:
                column = np.maximum(column, 0.0)
            column[np.abs(column) < 10.0**-_LOG10_LIMIT] = 0.0
        _hold_stretches(rng, column)
        values[:, j] = column
    # No negative zeros: the simulation writes 0.0 as ' 0.00000E+00'.
    return values + 0.0


def make_varied_values(n_params: int, n_blocks: int, seed: int = 0) -> np.ndarray:
    """Values that change at nearly every step, the hard case for a reader:
    each column jitters around a power of ten drawn evenly from the whole
    binary32 range, with mixed signs, and about 1% of all values are
    subnormal, underflow to zero or overflow to infinity in binary32."""
    rng = np.random.default_rng([seed, 2])
    centres = rng.uniform(-37.0, 38.0, n_params)
    exponent = centres + 0.3 * rng.standard_normal((n_blocks, n_params))
    values = 10.0 ** np.clip(exponent, -37.9, 38.4)
    values *= np.where(rng.random((n_blocks, n_params)) < 0.5, -1.0, 1.0)
    rare = rng.random((n_blocks, n_params)) < 0.01
    # Subnormal in binary32, below its smallest subnormal, above its largest float.
    ranges = np.array([(-44.8, -38.0), (-60.0, -45.5), (38.6, 45.0)])
    low, high = ranges[rng.integers(0, len(ranges), int(rare.sum()))].T
    values[rare] = np.copysign(10.0 ** rng.uniform(low, high), values[rare])
    return values


def _block_format(n_params: int, width: int, newline: str) -> str:
    """One %-format for a whole block: time, step, then the values."""
    field = f"%{width}.{width - 7}E"
    lines = ["  TIME = %15.8E S   STEP = %8d"]
    lines += [field * min(10, n_params - start) for start in range(0, n_params, 10)]
    return newline.join(lines) + newline


def write_plot(
    path: str | os.PathLike,
    n_params: int,
    n_blocks: int,
    width: int = 12,
    seed: int = 0,
    newline: str = "\n",
    kind: str = "smooth",
) -> Path:
    """Write a plot file and return its path. Same arguments, same bytes."""
    if width < 9:
        raise ValueError("a field needs at least 9 characters for d.dE+dd and a sign")
    values = (make_varied_values if kind == "varied" else make_values)(n_params, n_blocks, seed)
    rng = np.random.default_rng([seed, 1])
    times = np.cumsum(10.0 ** rng.uniform(-4, -2, n_blocks)).tolist()
    steps = np.cumsum(rng.integers(1, 6, n_blocks)).tolist()
    names = parameter_names(n_params)

    header = [f"  DUNVEL PLOT FILE    NUMBER OF PARAMETERS = {n_params:6d}"]
    header += [f"  {j + 1:6d}  {name}" for j, name in enumerate(names)]
    block = _block_format(n_params, width, newline)
    rows = values.tolist()

    path = Path(path)
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(newline.join(header) + newline)
        chunk = 2_000
        for first in range(0, n_blocks, chunk):
            last = min(n_blocks, first + chunk)
            out.write("".join(block % (times[i], steps[i], *rows[i]) for i in range(first, last)))
    return path


def cache_dir() -> Path:
    return Path(tempfile.gettempdir()) / "olvane-bench"


def cached(preset: str, seed: int = 0, crlf: bool = False) -> Path:
    """The path of a preset's file, generated once and kept in a temporary
    folder keyed by preset, seed, line ending and generator version."""
    shape = PRESETS[preset]
    folder = cache_dir()
    folder.mkdir(parents=True, exist_ok=True)
    ending = "crlf" if crlf else "lf"
    path = folder / f"{preset}-seed{seed}-{ending}-v{GENERATOR_VERSION}.dat"
    if not path.exists():
        # Written aside and renamed, so that an interrupted run never leaves a
        # truncated file that a later run would take for a complete one.
        partial = path.with_name(f"{path.name}.{os.getpid()}.partial")
        write_plot(
            partial,
            shape.n_params,
            shape.n_blocks,
            shape.width,
            seed,
            "\r\n" if crlf else "\n",
            shape.kind,
        )
        os.replace(partial, path)
    return path


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("preset", choices=sorted(PRESETS))
    parser.add_argument("out", type=Path)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF")
    args = parser.parse_args(argv)
    shape = PRESETS[args.preset]
    write_plot(
        args.out,
        shape.n_params,
        shape.n_blocks,
        shape.width,
        args.seed,
        "\r\n" if args.crlf else "\n",
        shape.kind,
    )
    print(
        f"{args.out}: {shape.n_params} parameters x {shape.n_blocks} blocks, "
        f"width {shape.width}, {args.out.stat().st_size:,} bytes"
    )


if __name__ == "__main__":
    main()
