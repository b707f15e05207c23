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

The shipped sample (examples/sample.dat) is not a preset: it is one
transient that our users would recognise, a boiling-water reactor's large
break with its scram, blowdown and emergency core cooling, so that the
examples show names, times and values that read as physics.

As a script:

    python bench/generate.py PRESET OUT [--seed N] [--crlf]
    python bench/generate.py sample OUT [--seed N] [--crlf]
    python bench/generate.py late-scram OUT [--seed N] [--crlf]

'late-scram' (examples/late_scram.dat) is the sample's transient run again
as a second build of the code would: its scram trips later, it writes a plot
edit every LATE_INTERVAL seconds rather than every SAMPLE_INTERVAL, and it
was restarted once, from its dump at LATE_RESTART[1] seconds after it had
reached LATE_RESTART[0], so that its times go back once: the two runs for
dunvel.compare.
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


# The shipped sample. A break opens in a recirculation line at BREAK_TIME;
# the rising drywell pressure trips the scram, the vessel blows down through
# the break, the core flow coasts down and reverses, the cladding dries out
# and heats up on the fuel's stored heat, and emergency cooling, once the
# vessel pressure has fallen below its shut-off head, brings the void down
# and quenches the heat-up. The figures are those of a large BWR, rounded;
# the seed only moves the noise and the solver's step counts.
SAMPLE_NAMES = (
    "PRES_CORE_0001",  # Pa, vessel dome
    "TEMP_CORE_0002",  # K, hottest cladding
    "FLOW_CORE_0003",  # kg/s, negative when the core flow reverses
    "VOID_CORE_0004",  # core average void fraction
    "POWR_CORE_0005",  # W, thermal: fission, then decay heat
    "TRIP_SCRM_0006",  # 0, then 1 from the scram on
    "LEVL_DCMR_0007",  # m above the vessel bottom
    "FLOW_BREK_0008",  # kg/s out of the break
    "TEMP_FUEL_0009",  # K, hottest fuel centreline
    "PRES_DRWL_0010",  # Pa, containment drywell
    "FLOW_ECCS_0011",  # kg/s injected by emergency core cooling
    "TEMP_LPLN_0012",  # K, lower-plenum coolant
)
SAMPLE_BLOCKS = 400
SAMPLE_INTERVAL = 0.01  # s between two plot edits
SAMPLE_WIDTH = 12
BREAK_TIME = 0.3  # s

# The second run: a trip that comes later, longer plot edits, one restart.
LATE_SCRAM_DELAY = 0.35  # s after the sample's trip
LATE_INTERVAL = 0.02  # s
LATE_RESTART = (2.4, 2.0)  # s: stopped after, restarted from

_DOME_PRESSURE = 7.07e6  # Pa
_FINAL_PRESSURE = 5.5e5  # Pa, where the blowdown would level off
_BLOWDOWN_TIME = 1.15  # s
_SCRAM_SETPOINT = 1.30e5  # Pa, high drywell pressure
_ECCS_SHUTOFF = 2.07e6  # Pa, low-pressure injection starts below this
_ECCS_DELAY = 0.25  # s, pump start
_RATED_POWER = 3.293e9  # W
_RATED_FLOW = 1.31e4  # kg/s
_INITIAL_VOID = 0.42


def _saturation(pressure: np.ndarray) -> np.ndarray:
    """Water's boiling point, K, by Clausius-Clapeyron from 1 atm: within a
    few kelvin of the steam tables up to 7 MPa, which is all a sample needs."""
    return 1.0 / (1.0 / 373.15 - 8.314 / 40_700.0 * np.log(pressure / 101_325.0))


def _ramp(x: np.ndarray) -> np.ndarray:
    """0 below 0, 1 above 1, smooth in between."""
    x = np.clip(x, 0.0, 1.0)
    return x * x * (3.0 - 2.0 * x)


def _pulse(s: np.ndarray, peak: float) -> np.ndarray:
    """0 at s = 0, rising to 1 at s = peak and decaying after."""
    return (s / peak) * np.exp(1.0 - s / peak)


def _lag(signal: np.ndarray, tau: float, dt: float) -> np.ndarray:
    """The signal followed with a first-order delay: a plenum's water mixes
    in over tau seconds, it does not jump to the new saturation."""
    out = np.empty_like(signal)
    out[0] = signal[0]
    for i in range(1, signal.size):
        out[i] = out[i - 1] + (signal[i] - out[i - 1]) * (1.0 - np.exp(-dt / tau))
    return out


def _noise(rng: np.random.Generator, n: int) -> np.ndarray:
    """Smoothed white noise of unit standard deviation: the jitter of a
    solver's iterations, not the steps of a random walk."""
    white = rng.standard_normal(n + 8)
    return np.convolve(white, np.ones(9) / 3.0, mode="valid")


def _fuel_and_cladding(
    times: np.ndarray, power: np.ndarray, coolant: np.ndarray, cooling: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Hottest fuel and cladding temperatures, K, from a two-node heat
    balance per unit cladding heat capacity: the fuel (four times the
    cladding's capacity) makes the power and passes it to the cladding, the
    cladding to the coolant through `cooling` (1/s). Stepped a thousand times
    per plot edit, as the balance is stiff while the rod is wet."""
    gap = 1.14  # 1/s, fuel to cladding
    fuel_capacity = 4.0
    rated_source = gap * 835.0  # K/s: the fuel 835 K above the cladding at rated power
    clad = coolant[0] + rated_source / cooling[0]  # steady before the transient
    fuel = clad + rated_source / gap
    substeps = 1000
    dt = (times[1] - times[0]) / substeps if times.size > 1 else 0.0
    fuel_out, clad_out = np.empty_like(times), np.empty_like(times)
    for i in range(times.size):
        fuel_out[i], clad_out[i] = fuel, clad
        source = rated_source * power[i] / _RATED_POWER
        for _ in range(substeps):
            to_clad = gap * (fuel - clad)
            fuel += dt * (source - to_clad) / fuel_capacity
            clad += dt * (to_clad - cooling[i] * (clad - coolant[i]))
    return fuel_out, clad_out


def make_sample(
    seed: int = 1, interval: float = SAMPLE_INTERVAL, scram_delay: float = 0.0
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Times (s), solver step numbers and values, shape (steps, parameters),
    of the shipped sample, or of the same transient written every
    ``interval`` seconds (over the same span) with the scram ``scram_delay``
    seconds later."""
    rng = np.random.default_rng([seed, 2])
    n = round(SAMPLE_BLOCKS * SAMPLE_INTERVAL / interval)
    t = np.arange(n) * interval
    s = np.maximum(t - BREAK_TIME, 0.0)  # time since the break
    broken = t >= BREAK_TIME

    drywell = 101_325.0 + 1.85e5 * (1.0 - np.exp(-s / 1.2))
    # Latched, and from the noiseless pressure: a trip does not reset itself.
    trip = np.maximum.accumulate(drywell >= _SCRAM_SETPOINT).astype(float)
    scram_time = t[np.argmax(trip)] if trip.any() else np.inf
    if scram_delay:
        scram_time += scram_delay
        trip = (t >= scram_time).astype(float)
    since_scram = np.maximum(t - scram_time, 0.0)

    pressure = _FINAL_PRESSURE + (_DOME_PRESSURE - _FINAL_PRESSURE) * np.exp(-s / _BLOWDOWN_TIME)
    below = np.flatnonzero(pressure < _ECCS_SHUTOFF)
    eccs_time = (t[below[0]] if below.size else np.inf) + _ECCS_DELAY
    since_eccs = np.maximum(t - eccs_time, 0.0)
    eccs = 900.0 * _ramp(since_eccs / 0.3) * np.sqrt(np.clip(1.0 - pressure / 2.4e6, 0.0, 1.0))

    void = _INITIAL_VOID + (0.93 - _INITIAL_VOID) * (1.0 - np.exp(-s / 0.5))
    void -= 0.3 * (1.0 - np.exp(-since_eccs / 0.6)) * (t >= eccs_time)

    decay = 0.065 * (1.0 + since_scram) ** -0.2
    rods = np.where(t >= scram_time, decay + (1.0 - decay) * np.exp(-since_scram / 0.25), 1.0)
    power = _RATED_POWER * rods * (1.0 - 0.15 * (void - _INITIAL_VOID))

    # Pumps coast down, the break pulls the core flow backwards, natural
    # circulation and the injection restore it.
    flow = (
        _RATED_FLOW * np.exp(-s / 0.35)
        - 4.0e3 * _pulse(s, 0.7)
        + 900.0 * (1.0 - np.exp(-s / 1.0))
        + 0.8 * eccs
    )
    level = 13.6 + 0.5 * _pulse(s, 0.15) - 7.5 * (1.0 - np.exp(-s / 1.4))
    level += 2.0 * (1.0 - np.exp(-since_eccs / 0.8)) * (t >= eccs_time)
    break_flow = 8.6e3 * _ramp(s / 0.05) * (pressure / _DOME_PRESSURE) ** 0.85 * broken

    lower_plenum = _lag(_saturation(pressure) - 4.0, 0.3, interval)
    # Nucleate boiling until the flow reverses and the rod dries out, film
    # boiling after, then spray and reflood once the injection is in.
    wet = 1.0 - _ramp((s - 0.45) / 0.25)
    cooling = 68.0 * wet + 0.15 + 3.0 * _ramp(since_eccs / 0.5)
    fuel, clad = _fuel_and_cladding(t, power, lower_plenum, cooling)

    values = np.column_stack(
        [
            pressure * (1.0 + 2e-4 * _noise(rng, n)),
            clad + 0.4 * _noise(rng, n),
            flow + 15.0 * _noise(rng, n),
            np.clip(void + 0.003 * _noise(rng, n), 0.0, 1.0),
            power * (1.0 + 1e-3 * _noise(rng, n)),
            trip,
            level + 0.01 * _noise(rng, n),
            break_flow * (1.0 + 2e-3 * _noise(rng, n)),
            fuel + 0.4 * _noise(rng, n),
            drywell * (1.0 + 1e-4 * _noise(rng, n)),
            eccs * (1.0 + 2e-3 * _noise(rng, n)),
            lower_plenum + 0.2 * _noise(rng, n),
        ]
    )
    # The solver takes short steps while the blowdown is fastest.
    fast = (t > BREAK_TIME) & (t < BREAK_TIME + 1.5)
    steps = np.cumsum(np.where(fast, rng.integers(8, 20, n), rng.integers(2, 5, n)))
    steps -= steps[0]  # the initial state is step 0
    # No negative zeros: the simulation writes 0.0 as ' 0.00000E+00'.
    return t, steps, values + 0.0


def write_sample(path: str | os.PathLike, seed: int = 1, newline: str = "\n") -> Path:
    """Write the shipped sample and return its path. Same seed, same bytes."""
    return _write_run(path, *make_sample(seed), newline)


def write_late_scram(path: str | os.PathLike, seed: int = 1, newline: str = "\n") -> Path:
    """Write the second run (see 'late-scram' above) and return its path.
    Same seed, same bytes."""
    return _write_run(path, *make_late_scram(seed), newline)


def make_late_scram(seed: int = 1) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Times, step numbers and values of the second run, as written: the
    restart's steps after the steps that it supersedes."""
    times, steps, values = make_sample(seed, LATE_INTERVAL, LATE_SCRAM_DELAY)
    stopped, restarted = LATE_RESTART
    # The steps up to the stop, then again those from the dump on: the
    # restart repeats what it had written after the dump, as it was.
    first = np.flatnonzero(times <= stopped + 1e-9)
    again = np.flatnonzero(times >= restarted - 1e-9)
    rows = np.concatenate([first, again])
    return times[rows], steps[rows], values[rows]


def _write_run(
    path: str | os.PathLike, times: np.ndarray, steps: np.ndarray, values: np.ndarray, newline: str
) -> Path:
    n_params = len(SAMPLE_NAMES)
    header = [f"  NPAR = {n_params:3d}"]
    header += [f"  {j + 1:6d}  {name}" for j, name in enumerate(SAMPLE_NAMES)]
    block = _block_format(n_params, SAMPLE_WIDTH, newline)
    path = Path(path)
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(newline.join(header) + newline)
        out.writelines(
            block % (time, step, *row)
            for time, step, row in zip(times.tolist(), steps.tolist(), values.tolist())
        )
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
    parser.add_argument(
        "preset",
        choices=[*sorted(PRESETS), "sample", "late-scram"],
        help="'sample': the shipped sample; 'late-scram': a second run of it",
    )
    parser.add_argument("out", type=Path)
    parser.add_argument("--seed", type=int, help="default: 0, or 1 for the sample")
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF")
    args = parser.parse_args(argv)
    newline = "\r\n" if args.crlf else "\n"
    if args.preset == "sample":
        write_sample(args.out, 1 if args.seed is None else args.seed, newline)
        n_params, n_blocks, width = len(SAMPLE_NAMES), SAMPLE_BLOCKS, SAMPLE_WIDTH
    elif args.preset == "late-scram":
        seed = 1 if args.seed is None else args.seed
        write_late_scram(args.out, seed, newline)
        n_params, n_blocks, width = len(SAMPLE_NAMES), len(make_late_scram(seed)[0]), SAMPLE_WIDTH
    else:
        shape = PRESETS[args.preset]
        n_params, n_blocks, width = shape.n_params, shape.n_blocks, shape.width
        write_plot(args.out, n_params, n_blocks, width, args.seed or 0, newline, shape.kind)
    print(
        f"{args.out}: {n_params} parameters x {n_blocks} blocks, "
        f"width {width}, {args.out.stat().st_size:,} bytes"
    )


if __name__ == "__main__":
    main()
