"""Reading part of a plot file against finding its lines with nothing parsed.

    python bench/selection.py                  # 7 rounds
    python bench/selection.py --rounds 3

The limit for a selection is the pass that finds and checks every line and
parses nothing (``reader_bench.sh FILE lines``). Beside it, interleaved round
by round, minimum over the rounds, each on one thread:
- the lines pass twice (an A/A pair: the spread of the VM);
- the selection in the reader alone (reader_bench, no Python) and through
  ``dunvel.read``: five parameters spread over five data lines of ``wide``
  (places 0, 250, 500, 750, 999), every tenth step of ``medium``, and a time
  window of a tenth of ``medium``'s span;
- the full read of each file, for scale;
and, in a fresh process, how far the resident set of ``dunvel.read`` with
the five names rises above its plot's arrays.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import generate

HERE = Path(__file__).resolve().parent
PLACES = [0, 250, 500, 750, 999]

# The high-water mark is reset after the imports (Linux's clear_refs), so
# that it is the read's own.
PEAK = """
import json, sys
import dunvel

def kib(key):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(key + ":"))

path, names = sys.argv[1], json.loads(sys.argv[2])
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")
before = kib("VmRSS")
plot = dunvel.read(path, names=names)
print(json.dumps({"peak_kib": kib("VmHWM") - before, "result_kib": (plot.values.nbytes + plot.times.nbytes) / 1024}))
"""


def bench_ms(build: str, path: Path, mode: str) -> float:
    """One timing of reader_bench, in its own process, as it reports it."""
    out = subprocess.run(
        ["bash", str(HERE / "reader_bench.sh"), str(path), mode, "1"],
        env={**os.environ, "READER_BENCH_BUILD": build},
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return float(re.search(r"best ([0-9.]+) ms", out).group(1))


def read_ms(path: Path, **selection: object) -> float:
    import dunvel

    start = time.perf_counter()
    dunvel.read(path, **selection)
    return (time.perf_counter() - start) * 1e3


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args(argv)
    import dunvel

    wide, medium = generate.cached("wide"), generate.cached("medium")
    names = [dunvel.open(wide).names[place] for place in PLACES]
    times = dunvel.read(medium).times
    span = times[-1] - times[0]
    window = (float(times[0] + 0.45 * span), float(times[0] + 0.55 * span))
    build = tempfile.mkdtemp(prefix="reader-bench-")
    bench_ms(build, wide, "lines")  # builds it, untimed
    rows = {
        # name: (file, limit, target ratio, timing)
        "wide: lines pass": (wide, None, None, lambda: bench_ms(build, wide, "lines")),
        "wide: lines pass again (A/A)": (wide, "wide: lines pass", None, lambda: bench_ms(build, wide, "lines")),
        "wide: 5 names, reader": (wide, "wide: lines pass", 1.3, lambda: bench_ms(build, wide, "names=0,250,500,750,999")),
        "wide: 5 names, dunvel.read": (wide, "wide: lines pass", 1.3, lambda: read_ms(wide, names=names)),
        "wide: full read, dunvel.read": (wide, "wide: lines pass", None, lambda: read_ms(wide)),
        "medium: lines pass": (medium, None, None, lambda: bench_ms(build, medium, "lines")),
        "medium: lines pass again (A/A)": (medium, "medium: lines pass", None, lambda: bench_ms(build, medium, "lines")),
        "medium: every 10th step, reader": (medium, "medium: lines pass", 1.4, lambda: bench_ms(build, medium, "steps=10")),
        "medium: every 10th step, dunvel.read": (
            medium,
            "medium: lines pass",
            1.4,
            lambda: read_ms(medium, steps=slice(None, None, 10)),
        ),
        "medium: a tenth of the time, reader": (
            medium,
            "medium: lines pass",
            1.4,
            lambda: bench_ms(build, medium, f"time={window[0]!r}:{window[1]!r}"),
        ),
        "medium: a tenth of the time, dunvel.read": (
            medium,
            "medium: lines pass",
            1.4,
            lambda: read_ms(medium, time=window),
        ),
        "medium: full read, dunvel.read": (medium, "medium: lines pass", None, lambda: read_ms(medium)),
    }
    best = dict.fromkeys(rows, float("inf"))
    for round_ in range(args.rounds):
        order = list(rows) if round_ % 2 == 0 else list(rows)[::-1]
        for name in order:
            best[name] = min(best[name], rows[name][3]())
        print(f"round {round_ + 1} of {args.rounds}", file=sys.stderr)
    print("| what | min ms | / lines pass | target |\n|---|---:|---:|---:|")
    for name, (_, limit, target, _) in rows.items():
        ratio = f"{best[name] / best[limit]:.2f}" if limit else ""
        print(f"| {name} | {best[name]:.1f} | {ratio} | {f'<= {target}' if target else ''} |")
    peak = json.loads(
        subprocess.run(
            [sys.executable, "-c", PEAK, str(wide), json.dumps(names)], capture_output=True, text=True, check=True
        ).stdout
    )
    print(
        f"\nwide, 5 names: peak {peak['peak_kib'] / 1024:.1f} MiB above the process before the read, "
        f"for a result of {peak['result_kib'] / 1024:.2f} MiB (target: result + 16 MiB)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
