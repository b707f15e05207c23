class ReaderError(Exception):
    args: tuple[str, int, int, str]  # kind ("content", "open", "read"), errno, line, message

class Pages:
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(path: bytes, width: int, /) -> tuple[tuple[str, ...], Pages, Pages, int, int]: ...
