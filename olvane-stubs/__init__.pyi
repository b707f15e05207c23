"""Reader for DUNVEL plot files."""

from typing import SupportsIndex

__all__ = ["rust_read_dunvel"]

def rust_read_dunvel(file_path: str, n_digits: SupportsIndex) -> list[list[float]]:
    """Read a DUNVEL plot file and return one list of values per parameter.

    file_path: the path, as str (not bytes, not a Path object: pass str(path)).
    n_digits: the width of one value's field, 12 or 15 (as the file was written).

    The columns come in the header's order, one value per time step; each value
    is the file's number rounded to a 32-bit float and widened exactly to a
    Python float. A parameter-less file gives [].

    A file that cannot be read or parsed raises pyo3_runtime.PanicException,
    whose only argument is the message; it derives from BaseException, not from
    Exception, so catch it with `except BaseException` and check
    `type(error).__name__ == "PanicException"`. The module also writes a failure
    report to standard error. Bad arguments raise TypeError or OverflowError.
    """
