"""Where a plot's bytes come from, as the native reader takes them: a path,
or a binary stream's method that fills a buffer (readinto) or returns bytes
(read), and for compressed content a decompressing stream made with
Python's own modules (zstd with the optional zstandard package), so that
no native library has to ship with the wheels."""

from __future__ import annotations

import bz2
import io
import lzma
import zlib
from typing import Any, Callable, Literal, Optional

Compression = Optional[Literal["infer", "gzip", "bz2", "xz", "zstd"]]
FORMATS = ("gzip", "bz2", "xz", "zstd")

# Enough of the content to tell every format (bzip2 needs its block magic too).
HEAD_BYTES = 10

# Compressed input taken per call: its output (several times larger for
# text) is what a readinto hands on, so the bytes in flight stay small.
_INPUT_PIECE = 1 << 16


def format_of(head: bytes) -> str | None:
    """The compressed format whose magic number the content begins with."""
    if head.startswith(b"\x1f\x8b"):
        return "gzip"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    # "BZh", the block size, then a block's magic or the end-of-stream one:
    # a text line may well begin with "BZh9".
    if (
        len(head) >= 10
        and head.startswith(b"BZh")
        and head[3:4] in b"123456789"
        and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90")
    ):
        return "bz2"
    return None


def check_compression(compression: object) -> None:
    if compression is not None and compression != "infer" and compression not in FORMATS:
        raise ValueError(
            "compression must be 'infer', None, 'gzip', 'bz2', 'xz' or 'zstd', "
            f"not {compression!r}"
        )


def _zstandard() -> Any:
    try:
        import zstandard  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError as missing:
        raise ImportError(
            "zstd-compressed plot files need the zstandard package: "
            "pip install 'olvane[zstd]'"
        ) from missing
    return zstandard


# Each format's decompressor, and what it raises for data that it cannot take.
_DECOMPRESSORS: dict[str, Callable[[], tuple[Callable[[], Any], tuple[type[Exception], ...]]]] = {
    "gzip": lambda: (lambda: zlib.decompressobj(wbits=31), (zlib.error,)),
    "bz2": lambda: (bz2.BZ2Decompressor, (OSError, ValueError)),
    "xz": lambda: (lzma.LZMADecompressor, (lzma.LZMAError,)),
    "zstd": lambda: (lambda: _zstandard().ZstdDecompressor().decompressobj(), (_zstandard().ZstdError,)),
}


def stream_name(stream: object) -> str:
    """What a plot read from a stream calls its path."""
    name = getattr(stream, "name", None)
    return name if isinstance(name, str) else "<stream>"


def binary_reader(stream: object) -> tuple[Callable[..., Any], bool]:
    """The stream's method that the reader calls, and whether it fills a
    buffer (readinto) rather than returning bytes (read)."""
    if isinstance(stream, io.TextIOBase):
        raise TypeError(
            f"{stream_name(stream)!r} is open in text mode; dunvel reads bytes: "
            "open it in binary mode ('rb')"
        )
    readinto = getattr(stream, "readinto", None)
    if callable(readinto):
        return readinto, True
    read = getattr(stream, "read", None)
    if callable(read):
        return read, False
    raise TypeError(
        "path must be a path or a binary file object (with readinto or read), "
        f"not {type(stream).__name__}"
    )


def read_bytes(method: Callable[..., Any], into: bool) -> Callable[[int], bytes]:
    """A read(size) -> bytes of the stream's method."""
    if not into:
        return lambda size: _checked_read(method, size)

    def read(size: int) -> bytes:
        buffer = bytearray(size)
        count = method(buffer)
        if count is None:
            raise BlockingIOError(
                "the stream has no bytes ready (its readinto() returned None); dunvel reads blocking streams"
            )
        if not isinstance(count, int):
            raise TypeError(f"the stream's readinto() returned {type(count).__name__}, not an int")
        if not 0 <= count <= size:
            raise OSError(f"the stream's readinto() returned {count} for a buffer of {size} bytes")
        return bytes(buffer[:count])

    return read


def _checked_read(method: Callable[..., Any], size: int) -> bytes:
    piece = method(size)
    if isinstance(piece, str):
        raise TypeError("the stream's read() returned str: dunvel reads bytes; open the file in binary mode (\"rb\")")
    piece = bytes(piece)
    if len(piece) > size:
        raise OSError(f"the stream's read({size}) returned {len(piece)} bytes")
    return piece


def read_head(read: Callable[[int], bytes]) -> bytes:
    """The first HEAD_BYTES of the content (fewer only where it ends)."""
    head = b""
    while len(head) < HEAD_BYTES:
        piece = read(HEAD_BYTES - len(head))
        if not piece:
            break
        head += piece
    return head


class Decompressing:
    """The content of a compressed stream (one member, frame or stream
    after another), for the reader to readinto. Where the input ends inside
    a member, the content simply ends there: the reader then treats a step
    that it cut as any file cut while written. What follows the last member
    is taken as Python's own modules take it: zero bytes after a gzip member
    are left out, and so is anything after a bzip2, xz or zstd stream that
    does not begin another; data that the decompressor refuses otherwise
    raise OSError, as gzip.open's BadGzipFile is one."""

    def __init__(self, read: Callable[[int], bytes], format: str, name: str, head: bytes = b"") -> None:
        self._read = read
        self._format = format
        self._name = name
        self._new, self._errors = _DECOMPRESSORS[format]()
        self._decompressor = self._new()
        self._input = head
        self._output = b""
        self._taken = 0
        self._input_ended = False
        self._next_member = False
        self._ended = False

    def readinto(self, buffer: bytearray | memoryview) -> int:
        view = memoryview(buffer).cast("B")
        while self._taken == len(self._output):
            if not self._more():
                return 0
        count = min(len(view), len(self._output) - self._taken)
        view[:count] = self._output[self._taken : self._taken + count]
        self._taken += count
        return count

    def _more(self) -> bool:
        """Decompresses the next input: false at the end of the content."""
        if self._ended:
            return False
        if self._decompressor.eof and not self._begin_next_member():
            return False
        if not self._input and not self._fill_input():
            # Cut short: the decompressor would call it EOFError.
            return False
        data, self._input = self._input, b""
        try:
            self._output = self._decompressor.decompress(data)
        except self._errors as error:
            if self._next_member and self._format != "gzip":
                self._ended = True
                return False
            raise OSError(
                f"{self._name}: the {self._format}-compressed data are broken, or not {self._format} at all: {error}"
            ) from error
        self._next_member = False
        self._taken = 0
        return True

    def _begin_next_member(self) -> bool:
        """After a member's end: false where no other follows."""
        self._input = self._decompressor.unused_data + self._input
        while True:
            if self._format == "gzip":
                self._input = self._input.lstrip(b"\0")
            if self._input:
                break
            if not self._fill_input():
                return False
        # The next member (gzip), stream (bzip2, xz) or frame (zstd).
        self._decompressor = self._new()
        self._next_member = True
        return True

    def _fill_input(self) -> bool:
        if self._input_ended:
            return False
        self._input = self._read(_INPUT_PIECE)
        self._input_ended = not self._input
        return not self._input_ended
