from typing import final

class ReaderError(Exception):
    args: tuple[str, int, int, str]  # kind ("content", "open", "read"), errno, line, message

@final
class Pages:
    # Python names the buffer protocol __buffer__ from 3.12 on; the stub
    # names it for every version, so that type checkers see a buffer.
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(path: bytes, width: int, /) -> tuple[tuple[str, ...], Pages, Pages, int, int]: ...
