"""One file on several threads against two files side by side, and against
the dataframe engines on their own threads.

    python bench/threads.py                    # every large preset, 7 rounds
    python bench/threads.py --presets medium --rounds 3

For each preset, interleaved round by round, minimum times:
- S2: two different files of the preset read at once on two threads (each
  read on one), against one after the other: how far this machine lets two
  threads run side by side at all;
- ``dunvel.read(path, threads=1)``, twice (the A/A pair), and with
  ``threads=2``: the speedup of one file, set against S2;
- the part of a threaded read that is not parallel: its header and first
  step, and the guess of where the parts begin (no pass over the file);
- ``dunvel.read`` with its defaults against polars' and pyarrow's readers
  (bench/readers.py, each checked bit for bit first) on their threads.
"""

from __future__ import annotations

import argparse
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import generate
import readers

LARGE = ["medium", "medium-w15", "wide", "narrow-long", "varied", "varied-w15"]


def seconds(call, *args: object) -> float:
    start = time.perf_counter()
    call(*args)
    return time.perf_counter() - start


def engine_reader(name: str):
    return lambda a, b, w: readers.READERS[name](a, w)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--presets", default=",".join(LARGE))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--engines", default="polars,pyarrow", help="'' for none")
    args = parser.parse_args(argv)
    import dunvel
    from dunvel import _native

    presets = args.presets.split(",")
    engines = [name for name in args.engines.split(",") if name and readers.available(name)]
    files = {p: (str(generate.cached(p)), str(generate.cached(p, seed=1))) for p in presets}
    widths = {p: generate.PRESETS[p].width for p in presets}
    for preset in presets:
        path, width = files[preset][0], widths[preset]
        expected = readers.read_dunvel(path, width)
        for engine in engines:
            problem = readers.mismatch(readers.READERS[engine](path, width), expected)
            if problem:
                print(f"{engine} differs from dunvel on {preset}: {problem}", file=sys.stderr)
                return 1

    def first_step_alone(path: str) -> None:
        reader = _native.open(path.encode(), False, b"", 0, False, False)
        reader.read(1)
        reader.close()

    pool = ThreadPoolExecutor(2)
    rows = {
        "two files, one after the other": lambda a, b, w: (dunvel.read(a, threads=1), dunvel.read(b, threads=1)),
        "two files side by side": lambda a, b, w: list(
            pool.map(lambda p: dunvel.read(p, threads=1), (a, b))),
        "threads=1": lambda a, b, w: dunvel.read(a, threads=1),
        "threads=1 again (A/A)": lambda a, b, w: dunvel.read(a, threads=1),
        "threads=2": lambda a, b, w: dunvel.read(a, threads=2),
        "header and first step alone": lambda a, b, w: first_step_alone(a),
        "defaults": lambda a, b, w: dunvel.read(a),
        **{name: engine_reader(name) for name in engines},
    }
    best = {(p, r): float("inf") for p in presets for r in rows}
    for round_ in range(args.rounds):
        for preset in presets:
            order = list(rows) if round_ % 2 == 0 else list(rows)[::-1]
            for name in order:
                a, b = files[preset]
                # Each row once untimed first: the row before it may leave a
                # pool of threads spinning (polars') or the caches cold.
                rows[name](a, b, widths[preset])
                best[preset, name] = min(best[preset, name], seconds(rows[name], a, b, widths[preset]))
        print(f"round {round_ + 1} of {args.rounds}", file=sys.stderr)
    pool.shutdown()

    print("| preset | S2 | threads=1 ms | threads=2 ms | speedup | / S2 | A/A | first step ms | defaults ms |"
          + "".join(f" {e} ms | {e} / defaults |" for e in engines))
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|" + "---:|---:|" * len(engines))
    for p in presets:
        s2 = best[p, "two files, one after the other"] / best[p, "two files side by side"]
        speedup = best[p, "threads=1"] / best[p, "threads=2"]
        aa = best[p, "threads=1 again (A/A)"] / best[p, "threads=1"]
        line = (f"| {p} | {s2:.2f} | {best[p, 'threads=1'] * 1e3:.1f} | {best[p, 'threads=2'] * 1e3:.1f} | {speedup:.2f} | {speedup / s2:.2f} | {aa:.3f} |"
                f" {best[p, 'header and first step alone'] * 1e3:.2f} | {best[p, 'defaults'] * 1e3:.1f} |")
        for e in engines:
            line += f" {best[p, e] * 1e3:.0f} | {best[p, e] / best[p, 'defaults']:.1f} |"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
