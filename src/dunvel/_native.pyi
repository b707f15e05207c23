from typing import Any, Callable, final

class ReaderError(Exception):
    # kind ("content", "open", "read"), errno, line, problem (a PlotFileError
    # kind, or "content"), column or None, text or None, message.
    args: tuple[str, int, int, str, int | None, str | None, str]

@final
class Pages:
    # Python names the buffer protocol __buffer__ from 3.12 on; the stub
    # names it for every version, so that type checkers see a buffer.
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(
    path: bytes, width: int, keep_incomplete: bool, threads: int = 1, /
) -> tuple[tuple[str, ...], Pages, Pages, int, int, bool]: ...

@final
class Reader:
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def width(self) -> int: ...
    @property
    def next_step(self) -> int: ...
    def read(self, max_steps: int, /) -> tuple[Pages, Pages, Pages | None, int, bool | None]: ...
    def read_all(self, threads: int, /) -> tuple[Pages, Pages, Pages | None, int, bool | None]: ...
    def select(
        self,
        parameters: tuple[int, ...] | None,
        first_step: int,
        stop_step: int | None,
        stride: int,
        earliest: float | None,
        latest: float | None,
        /,
    ) -> None: ...
    def take_end_as_final(self) -> None: ...
    def close(self) -> None: ...

def open(
    source: bytes | Callable[..., Any],
    into: bool,
    prefix: bytes,
    width: int,
    keep_incomplete: bool,
    growing: bool,
    /,
) -> Reader: ...
