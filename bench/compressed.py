"""dunvel.read of a gzip-compressed plot file against decompressing it alone.

    python bench/compressed.py                 # medium preset, gzip -6, 7 rounds
    python bench/compressed.py --preset small --rounds 3

Times, interleaved round by round, minimum over the rounds:
- ``gzip.open(path).read()``, twice (an A/A pair: the spread of the VM);
- the decompression that ``dunvel.read`` does, alone: the content taken in
  1 MiB pieces and dropped, nothing parsed;
- ``dunvel.read(path)`` of the .gz (decompression on the calling thread,
  parsing on the reader's own, side by side);
- ``dunvel.read`` of the plain file, for scale;
and, each in a fresh process, how far the resident set rises above the
plot's arrays: for ``dunvel.read`` of the .gz, and for a PlotReader's
``chunks`` reducing it a chunk at a time (one chunk alive at once).
"""

from __future__ import annotations

import argparse
import gc
import gzip
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import generate


def compressed_copy(plain: Path) -> Path:
    """The file as ``gzip -6`` writes it, made once beside the plain one."""
    packed = plain.with_name(plain.name + ".gz")
    if not packed.exists():
        if shutil.which("gzip"):
            with packed.open("wb") as out:
                subprocess.run(["gzip", "-6", "-c", str(plain)], stdout=out, check=True)
        else:
            packed.write_bytes(gzip.compress(plain.read_bytes(), compresslevel=6))
    return packed


def decompressed(packed: Path) -> bytes:
    with gzip.open(packed) as file:
        return file.read()


def pieces_alone(packed: Path) -> int:
    from dunvel import _sources

    total = 0
    piece = bytearray(1 << 20)
    with packed.open("rb") as file:
        content = _sources.Decompressing(file.read, "gzip", str(packed))
        while count := content.readinto(piece):
            total += count
    return total


def seconds(call) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result
    return elapsed


def child(kind: str, path: str) -> None:
    """Prints the rise of the resident set over one call, less what the
    result holds (KiB)."""
    import dunvel
    from run import _status_kib as status_kib

    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status_kib("VmRSS")
    if kind == "read":
        plot = dunvel.read(path)
        held = plot.values.nbytes + plot.times.nbytes
    else:
        held = 0
        total = 0.0
        with dunvel.open(path) as reader:
            for chunk in reader.chunks(1000):
                held = max(held, chunk.values.nbytes + chunk.times.nbytes)
                total += float(chunk.values.sum(dtype="float64"))
    peak = status_kib("VmHWM")
    print(json.dumps({"above_result_kib": peak - before - held // 1024, "result_kib": held // 1024}))


def peak(kind: str, path: Path) -> dict[str, int]:
    done = subprocess.run(
        [sys.executable, __file__, "--child", kind, str(path)],
        check=True,
        capture_output=True,
        text=True,
        timeout=600,
    )
    return json.loads(done.stdout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--preset", default="medium", choices=sorted(generate.PRESETS))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0

    import dunvel

    plain = generate.cached(args.preset)
    packed = compressed_copy(plain)
    reference = dunvel.read(plain)
    if dunvel.read(packed).values.tobytes() != reference.values.tobytes():
        raise SystemExit("the compressed file does not read to the plain file's values")
    calls = {
        "gzip.open().read() A": lambda: decompressed(packed),
        "gzip.open().read() A'": lambda: decompressed(packed),
        "decompression in pieces alone": lambda: pieces_alone(packed),
        "dunvel.read(.gz)": lambda: dunvel.read(packed),
        "dunvel.read(plain)": lambda: dunvel.read(plain),
    }
    best = {name: float("inf") for name in calls}
    for _ in range(args.rounds):
        for name, call in calls.items():
            best[name] = min(best[name], seconds(call))
    base = best["gzip.open().read() A"]
    print(f"{args.preset}: {plain.stat().st_size / 1e6:.1f} MB, gzip -6 {packed.stat().st_size / 1e6:.1f} MB, "
          f"{args.rounds} rounds, minimum seconds\n")
    print("| call | s | / gzip.open().read() |")
    print("|---|---:|---:|")
    for name, value in best.items():
        print(f"| {name} | {value:.3f} | {value / base:.3f} |")
    print("\n| peak above the result, fresh process | result MiB | above MiB |")
    print("|---|---:|---:|")
    for kind, label in (("read", "dunvel.read(.gz)"), ("chunks", "reader.chunks(1000) of the .gz")):
        report = peak(kind, packed)
        print(f"| {label} | {report['result_kib'] / 1024:.1f} | {report['above_result_kib'] / 1024:.1f} |")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    raise SystemExit(main())
