"""dunvel reads its file 64 KiB at a time: every read() asks for 65536
bytes, whatever the width and however the file's size falls on the
buffers, and the file ends at the first read that returns 0 (strace)."""

import os

import pytest

from conftest import reads_of, traced

BUFFER = 64 * 1024

# (file size, the reads as (asked, got))
SIZES = [
    (5 * BUFFER // 2, [(BUFFER, BUFFER)] * 2 + [(BUFFER, BUFFER // 2), (BUFFER, 0)]),
    (3 * BUFFER, [(BUFFER, BUFFER)] * 3 + [(BUFFER, 0)]),
    (3 * BUFFER + 1, [(BUFFER, BUFFER)] * 3 + [(BUFFER, 1), (BUFFER, 0)]),
    (BUFFER - 1, [(BUFFER, BUFFER - 1), (BUFFER, 0)]),
]

pytestmark = pytest.mark.skipif(os.environ.get("OLVANE_SANITIZED") == "1",
                                reason="LeakSanitizer cannot run under ptrace")


def plot_of_size(size, width):
    """Two parameters, blocks of one data line, the first block-start line
    lengthened so that the file holds exactly size bytes; and its steps."""
    block = "t\n" + "".join(f"{v:.{width - 7}E}".rjust(width) for v in (1.0, 2.0)) + "\n"
    head = "2\na\nb\n"
    blocks, extra = divmod(size - len(head), len(block))
    return head + "t" * extra + block * blocks, blocks


# (width given, width written): found, or given as it was written.
@pytest.mark.parametrize("given, written", [(None, 12), (None, 15), (12, 12), (15, 15)])
@pytest.mark.parametrize("size, reads", SIZES)
def test_every_read_asks_for_64_kib(tmp_path, write_file, size, reads, given, written):
    text, steps = plot_of_size(size, written)
    path = write_file(text)
    assert os.path.getsize(path) == size
    proc, lines = traced("""
        import sys, dunvel
        plot = dunvel.read(sys.argv[1], None if sys.argv[2] == "None" else int(sys.argv[2]))
        print(plot.width, plot.n_steps, plot.values[-1].tolist())
        """, path, str(given), calls="openat,read,close", tmp_path=tmp_path)
    assert (proc.returncode, proc.stderr, proc.stdout.decode()) == (0, b"", f"{written} {steps} [1.0, 2.0]\n")
    assert reads_of(lines, path) == reads
