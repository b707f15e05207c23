"""What test_dunvel_streams.py and test_dunvel_growing.py share: sample
files, a read's outcome in bits, calls that must return in time, streams of
short reads, and the compressed formats."""

import bz2
import gzip
import itertools
import lzma
import os
import random
import threading
import zlib

import numpy as np
import pytest

import dunvel
from conftest import MALFORMED_FILES, WRITTEN_FILES, format_field, plot_text


def sample(n=12, steps=6, width=12, seed=0, **options) -> bytes:
    """A plot file of values of many magnitudes and signs, times in the
    block-start lines, where each byte counts: a line that lost its first
    would have another time."""
    rng = random.Random(seed)
    blocks = [[rng.uniform(-9.9, 9.9) * 10.0 ** rng.randint(-30, 30) for _ in range(n)] for _ in range(steps)]
    return plot_text([f"P{j}" for j in range(n)], blocks, width, block_start="9{i}.25E-02 S", **options).encode()


def line_ends(data):
    return [i + 1 for i, byte in enumerate(data) if byte == 10]


def signature(result):
    """What a read gave, path aside: a plot's names, width, completeness and
    the bits of its arrays, or a failure's type, kind, line, column, text and
    message."""
    if isinstance(result, dunvel.Plot):
        return ("plot", result.names, result.width, result.complete, result.values.shape,
                result.values.tobytes(), result.times.tobytes(), result.steps.tobytes())
    return (type(result), *(getattr(result, name, None) for name in ("kind", "line", "column", "text", "message")))


def arrays(plots):
    """The bits of the values, times and steps of plots, one after the other."""
    if not plots:
        return b"", b"", b""
    return tuple(np.concatenate([getattr(p, name) for p in plots]).tobytes() for name in ("values", "times", "steps"))


def outcome(call, *args, **kwargs):
    """call(*args, **kwargs)'s plot, or the PlotFileError it raised (anything
    else propagates)."""
    try:
        return call(*args, **kwargs)
    except dunvel.PlotFileError as error:
        return error


def bounded(call, *args, timeout=60.0, **kwargs):
    """call(*args, **kwargs) on a thread of its own: its result, or its
    exception raised here; the test fails where it has not returned within
    timeout seconds."""
    done = {}

    def run():
        try:
            done["result"] = call(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - raised again in the caller
            done["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        pytest.fail(f"the call did not return within {timeout} s")
    if "error" in done:
        raise done["error"]
    return done["result"]


class Stream:
    """A binary stream over data, of which each call gives at most the next
    of sizes bytes (cycling), and nothing from end on; close() is counted."""

    def __init__(self, data, sizes=(1 << 30,), end=None, name=None):
        self.data, self.at, self.sizes = data, 0, itertools.cycle(sizes)
        self.end = len(data) if end is None else end
        self.calls_at_end = self.closes = 0
        if name is not None:
            self.name = name

    def take(self, size):
        n = max(0, min(size, next(self.sizes), self.end - self.at))
        if n == 0:
            self.calls_at_end += 1
            if self.calls_at_end > 100:  # a reader that reads on past the end must not hang the test
                raise RuntimeError("read on 100 times after the stream said it ended")
        chunk = self.data[self.at : self.at + n]
        self.at += n
        return chunk

    def close(self):
        self.closes += 1


class ReadInto(Stream):
    def readinto(self, buffer):
        chunk = self.take(len(buffer))
        memoryview(buffer).cast("B")[: len(chunk)] = chunk
        return len(chunk)


class ReadOnly(Stream):
    def read(self, size=-1):
        return self.take(1 << 30 if size is None or size < 0 else size)


def random_sizes(seed, top):
    rng = random.Random(seed)
    return [rng.randint(1, top) for _ in range(997)]


def corpus():
    """Every file that the other tests wrote (run alone, only those of this
    one's module), and conftest's malformed ones."""
    return list(dict.fromkeys([*WRITTEN_FILES, *(c if isinstance(c, bytes) else c.encode()
                                                 for c in MALFORMED_FILES.values())]))


def overwrite(path, data):
    """path's content made data, in place: truncating a file to nothing
    first costs a flush on some file systems, a thousand times over."""
    with open(path, "r+b" if path.exists() else "wb") as file:
        file.write(data)
        file.truncate()


def zstandard():
    """The zstandard module; where it is missing the test skips, but not in
    CI (CI=true), where it must run: there it fails."""
    try:
        import zstandard as module
    except ImportError:
        if os.environ.get("CI") == "true":
            pytest.fail("zstandard is not installed, and CI must run this test (pip install '.[test]')")
        pytest.skip("needs zstandard (pip install zstandard)")
    return module


# Fast levels: the corpus is large.
COMPRESS = {
    "gzip": lambda data: gzip.compress(data, 1, mtime=0),
    "bz2": lambda data: bz2.compress(data, 1),
    "xz": lambda data: lzma.compress(data, preset=0),
    "zstd": lambda data: zstandard().ZstdCompressor(level=1).compress(data),
}
# What a decompressor gives for the first bytes of a compressed file.
OUTPUT_OF_CUT = {
    "gzip": lambda cut: zlib.decompressobj(wbits=31).decompress(cut),
    "bz2": lambda cut: bz2.BZ2Decompressor().decompress(cut),
    "xz": lambda cut: lzma.LZMADecompressor().decompress(cut),
    "zstd": lambda cut: zstandard().ZstdDecompressor().decompressobj().decompress(cut),
}
FORMATS = list(COMPRESS)


# Files below it are read on one thread.
MIN_THREADED_BYTES = 8 << 20


def big_plot(n=23, width=12, newline="\n", stamp=lambda i: f"  TIME = {i * 0.5:.8E} S   STEP = {i:8d}",
             min_bytes=MIN_THREADED_BYTES + (1 << 20), seed=0):
    """The bytes of a plot file just large enough to be read on threads."""
    rng = random.Random(seed)
    pool = [format_field(rng.uniform(-1e6, 1e6) * 10.0 ** rng.randint(-30, 30), width) for _ in range(997)]
    lines = [f"  NPAR = {n}", *(f"  P{j}" for j in range(n))]
    size, i, k = 0, 0, 0
    while size < min_bytes:
        step = [stamp(i)]
        for first in range(0, n, 10):
            fields = min(10, n - first)
            step.append("".join(pool[(k + f) % 997] for f in range(fields)))
            k += fields + 1
        size += sum(len(line) + len(newline) for line in step)
        lines += step
        i += 1
    return (newline.join(lines) + newline).encode()
