"""Times olvane against the readers a user would pick instead, and against the
floor (reading the bytes and creating the same float objects and lists).

    python bench/run.py                 # every large preset, 5 rounds
    python bench/run.py --quick         # small presets, one round, < 30 s
    python bench/run.py --presets medium,wide --rounds 3 --crlf

Every reader is first checked bit for bit against olvane on each file; a
reader that disagrees is reported and not timed. Rounds interleave all readers
on all presets, in a new order each round, so that a slow phase of the
machine hits every reader alike.
Peak memory is measured once per reader and preset in a fresh process.
Prints a markdown table on standard output, progress on standard error.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
from array import array
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate
import readers

FULL_PRESETS = ("medium", "medium-w15", "wide", "narrow-long", "varied", "varied-w15")
QUICK_PRESETS = ("tiny", "small", "small-w15")
FLOOR = "floor"
# A timed sample repeats a fast call until it lasts about this long.
MIN_SAMPLE_SECONDS = 0.02


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# --- peak memory, in a child process -----------------------------------------


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def _array_root(array: readers.np.ndarray) -> readers.np.ndarray:
    while isinstance(array.base, readers.np.ndarray):
        array = array.base
    return array


def result_kib(result: object) -> float | None:
    """What a result holds, in KiB: a dunvel plot's values and times; the
    distinct arrays under a list of array columns; or a list of lists and
    its distinct float objects (olvane shares one float between equal
    neighbours)."""
    plot = getattr(result, "plot", None)
    if plot is not None:
        return (plot.values.nbytes + plot.times.nbytes) / 1024
    if isinstance(result, list) and all(isinstance(c, readers.np.ndarray) for c in result):
        roots = {id(root): root.nbytes for root in map(_array_root, result)}
        return sum(roots.values()) / 1024
    if not isinstance(result, list) or not all(isinstance(column, list) for column in result):
        return None
    size = sys.getsizeof(result)
    seen: set[int] = set()
    for column in result:
        size += sys.getsizeof(column)
        for value in column:
            if id(value) not in seen:
                seen.add(id(value))
                size += sys.getsizeof(value)
    return size / 1024


def child_peak(reader: str, path: str, width: int, floor_values: str | None) -> None:
    """Runs one call and prints how far the resident set rose above where it
    stood just before the call (KiB), the result still alive at the peak."""
    import olvane  # noqa: F401  (imports are baseline, not the call's cost)

    for module in readers.MODULES.get(reader, ()):
        importlib.import_module(module)

    if reader == FLOOR:
        n = int(floor_values.rsplit(":", 1)[1])
        flat = array("f")
        with open(floor_values.rsplit(":", 1)[0], "rb") as file:
            flat.frombytes(file.read())
        blocks = len(flat) // n if n else 0
        read = readers.make_floor([flat[j * blocks : (j + 1) * blocks] for j in range(n)])
        del flat
    else:
        read = readers.READERS[reader]
    gc.collect()
    # ru_maxrss cannot serve here: in a child it starts at the parent's peak,
    # inherited through fork and exec. The kernel's own high-water mark of
    # this address space, reset right before the call, can.
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        method = "VmHWM"
    except OSError:
        import resource

        method = "ru_maxrss"
    before = _status_kib("VmRSS")
    result = read(path, width)
    if method == "VmHWM":
        peak = _status_kib("VmHWM")
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    held = result_kib(result)
    del result
    print(json.dumps({"peak_kib": peak - before, "result_kib": held, "method": method}))


def measure_peak(
    reader: str, path: str, width: int, floor_values: str | None
) -> tuple[float, float | None] | None:
    """Peak MiB added by one call, and MiB of the result it returned."""
    command = [sys.executable, __file__, "--child", reader, path, str(width)]
    if floor_values:
        command += ["--floor-values", floor_values]
    done = subprocess.run(command, check=False, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        progress(f"  peak memory of {reader} failed:\n{done.stderr}")
        return None
    report = json.loads(done.stdout)
    held = report["result_kib"]
    return report["peak_kib"] / 1024, None if held is None else held / 1024


# --- timing ------------------------------------------------------------------


def timed(read, path: str, width: int, loops: int) -> float:
    """Seconds per call, cyclic GC off as timeit does; the result is freed
    outside the timed part."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(loops):
            result = read(path, width)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result
    return elapsed / loops


def two_files_seconds(path: str, copy: str, width: int, rounds: int) -> tuple[float, float]:
    """dunvel reading two files, each on one thread: the minimum seconds one
    after the other, and on two threads at once."""
    from concurrent.futures import ThreadPoolExecutor

    import dunvel

    sequential, parallel = [], []
    with ThreadPoolExecutor(max_workers=2) as pool:
        for _ in range(max(rounds, 3)):
            gc.collect()
            start = time.perf_counter()
            dunvel.read(path, width, threads=1)
            dunvel.read(copy, width, threads=1)
            sequential.append(time.perf_counter() - start)
            start = time.perf_counter()
            list(pool.map(lambda p: dunvel.read(p, width, threads=1), (path, copy)))
            parallel.append(time.perf_counter() - start)
    return min(sequential), min(parallel)


def versions() -> str:
    parts = [f"Python {platform.python_version()}", f"NumPy {readers.np.__version__}"]
    for name in ("pandas", "polars", "pyarrow"):
        try:
            parts.append(f"{name} {importlib.import_module(name).__version__}")
        except ImportError:
            parts.append(f"{name} not installed")
    try:
        parts.append(f"olvane {metadata.version('olvane')}")
    except metadata.PackageNotFoundError:
        parts.append("olvane (no package metadata)")
    parts.append(f"{platform.system()} {platform.machine()}, {os.cpu_count()} CPUs")
    return ", ".join(parts)


def ratio(value: float, base: float | None) -> str:
    return f"{value / base:.2f}" if base else "-"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small presets, one round")
    parser.add_argument("--presets", help="comma-separated, from: " + ", ".join(generate.PRESETS))
    parser.add_argument(
        "--readers", help="comma-separated subset of: " + ", ".join([*readers.READERS, FLOOR])
    )
    parser.add_argument("--rounds", type=int, help="default 5, or 1 with --quick")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--crlf", action="store_true", help="files with CR LF line ends")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    parser.add_argument(
        "--child", nargs=3, metavar=("READER", "PATH", "WIDTH"), help=argparse.SUPPRESS
    )
    parser.add_argument("--floor-values", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        reader, path, width = args.child
        child_peak(reader, path, int(width), args.floor_values)
        return 0

    presets = (
        args.presets.split(",") if args.presets else QUICK_PRESETS if args.quick else FULL_PRESETS
    )
    unknown = [p for p in presets if p not in generate.PRESETS]
    if unknown:
        parser.error(f"unknown preset(s): {', '.join(unknown)}")
    rounds = args.rounds or (1 if args.quick else 5)
    names = [*readers.READERS, FLOOR]
    if args.readers:
        names = ["olvane", *[r for r in args.readers.split(",") if r != "olvane"]]
        bad = [r for r in names if r not in readers.READERS and r != FLOOR]
        if bad:
            parser.error(f"unknown reader(s): {', '.join(bad)}")
    missing = [r for r in names if r != FLOOR and not readers.available(r)]
    for name in missing:
        progress(f"{name}: not installed, skipped")
    names = [r for r in names if r not in missing]

    started = time.perf_counter()
    scratch = tempfile.TemporaryDirectory(prefix="olvane-bench-")
    runs = {}  # preset -> {path, width, values, size, read: {reader: fn}}
    for preset in presets:
        shape = generate.PRESETS[preset]
        path = str(generate.cached(preset, args.seed, args.crlf))
        progress(f"{preset}: {path}")
        expected = readers.read_olvane(path, shape.width)
        # The floor and its child get binary32 arrays, not the big lists.
        floor_file = Path(scratch.name) / f"{preset}.f32"
        with open(floor_file, "wb") as out:
            for column in expected:
                array("f", column).tofile(out)
        run = {
            "path": path,
            "width": shape.width,
            "values": shape.n_values,
            "size": os.path.getsize(path),
            "read": {},
            "loops": {},
            "times": {},
            "floor_values": f"{floor_file}:{shape.n_params}",
            "failed": {},
        }
        for name in names:
            read = readers.make_floor(expected) if name == FLOOR else readers.READERS[name]
            start = time.perf_counter()
            problem = readers.mismatch(read(path, shape.width), expected)
            elapsed = time.perf_counter() - start
            if problem:
                progress(f"  {name}: DIFFERS from olvane, not timed: {problem}")
                run["failed"][name] = problem
                continue
            run["read"][name] = read
            run["loops"][name] = max(1, min(1000, int(MIN_SAMPLE_SECONDS / max(elapsed, 1e-6))))
            run["times"][name] = []
        del expected
        runs[preset] = run

    for round_index in range(rounds):
        progress(f"round {round_index + 1} of {rounds}")
        for preset, run in runs.items():
            order = list(run["read"])
            # A call runs faster or slower depending on what the previous one
            # left in the allocator, so the order is shuffled every round.
            random.Random(round_index).shuffle(order)
            for name in order:
                run["times"][name].append(
                    timed(run["read"][name], run["path"], run["width"], run["loops"][name])
                )

    pairs = {}
    for preset, run in runs.items():
        if "dunvel" in run["read"]:
            progress(f"{preset}: dunvel on two files, one after the other and on two threads")
            copy = Path(scratch.name) / f"{preset}-copy.dat"
            copy.write_bytes(Path(run["path"]).read_bytes())
            pairs[preset] = two_files_seconds(run["path"], str(copy), run["width"], rounds)
            copy.unlink()

    peaks = {}
    if not args.no_memory:
        progress("peak memory, one fresh process per reader and preset")
        for preset, run in runs.items():
            for name in run["read"]:
                peaks[preset, name] = measure_peak(
                    name, run["path"], run["width"], run["floor_values"] if name == FLOOR else None
                )

    print(
        f"# olvane benchmark\n\n{versions()}; {rounds} round(s); "
        f"{'CR LF' if args.crlf else 'LF'} line ends; seed {args.seed}.\n"
    )
    print(
        "Times are per call. ns/value and MB/s use the minimum; the ratios divide "
        "minimum times: `/ olvane` below 1 would be faster than olvane, `/ floor` "
        "is how far a reader is from reading the bytes and creating the float "
        "objects and lists alone. Peak MiB: resident memory added by one call in a "
        "fresh process, its result included; result MiB: the lists and distinct "
        "float objects that the call returned.\n"
    )
    print(
        "| preset | reader | min s | median s | ns/value | MB/s | peak MiB | result MiB "
        "| / olvane | / floor |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for preset, run in runs.items():
        shape = generate.PRESETS[preset]
        label = (
            f"{preset} ({shape.n_params:,} x {shape.n_blocks:,}, w{shape.width}, "
            f"{run['size'] / 1e6:.1f} MB)"
        )
        best = {name: min(times) for name, times in run["times"].items()}
        for name, times in run["times"].items():
            low = best[name]
            peak, held = peaks.get((preset, name)) or (None, None)
            print(
                f"| {label} | {name} | {low:.4f} | {statistics.median(times):.4f} "
                f"| {low / run['values'] * 1e9:.1f} | {run['size'] / low / 1e6:.0f} "
                f"| {'-' if peak is None else f'{peak:.1f}'} "
                f"| {'-' if held is None else f'{held:.1f}'} "
                f"| {ratio(low, best.get('olvane'))} | {ratio(low, best.get(FLOOR))} |"
            )
            label = ""
        for name, problem in run["failed"].items():
            print(f"| {label} | {name} | differs from olvane: {problem} | | | | | | | |")
            label = ""
    if any("dunvel" in run["times"] for run in runs.values()):
        print(
            "\n## dunvel\n\nEnd to end (`dunvel.read`, arrays out) against `olvane` followed by "
            "`np.array(columns, dtype=np.float32)`; peak memory of a call above its result "
            "(values and times); two files read on two threads against one after the other.\n"
        )
        print(
            "| preset | dunvel MB/s | olvane+np.array / dunvel | peak - result MiB "
            "| two threads / sequential |"
        )
        print("|---|---:|---:|---:|---:|")
        for preset, run in runs.items():
            best = {name: min(times) for name, times in run["times"].items()}
            if "dunvel" not in best:
                continue
            mb_s = run["size"] / best["dunvel"] / 1e6
            other = best.get("olvane+np.array")
            speedup = "-" if other is None else f"{other / best['dunvel']:.2f}"
            peak, held = peaks.get((preset, "dunvel")) or (None, None)
            above = "-" if peak is None or held is None else f"{peak - held:.1f}"
            pair = pairs.get(preset)
            threads = "-" if pair is None else f"{pair[1] / pair[0]:.2f}"
            print(f"| {preset} | {mb_s:.0f} | {speedup} | {above} | {threads} |")
    progress(f"done in {time.perf_counter() - started:.0f} s")
    scratch.cleanup()
    return 1 if any(run["failed"] for run in runs.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
