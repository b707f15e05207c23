"""The calls that ci/valgrind.sh runs under memcheck, in one process: reads
that take several buffer fills, long and CR LF lines, and every kind of
failure. Results and messages are checked exactly here too, so that a value
made from memory never written shows as a wrong result even where memcheck
keeps quiet about it (see ci/valgrind-python.supp).

    python ci/valgrind_calls.py FOLDER      (FOLDER: an empty, writable folder)
"""

import os
import sys

import olvane

folder = sys.argv[1]
read = olvane.rust_read_dunvel


def write(name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as file:
        file.write(data.encode() if isinstance(data, str) else data)
    return path


def plot(n, blocks, width=12, newline="\n", block_start="t={i}"):
    """Quarters of small integers: exact in binary32 and in the field's digits."""
    lines = [f"  NPAR = {n}"] + [f"  p{j}" for j in range(n)]
    columns = [[(j + 1) * (i + 1) * 0.25 for i in range(blocks)] for j in range(n)]
    for i in range(blocks):
        fields = [f"{columns[j][i]:{width}.{width - 7}E}" for j in range(n)]
        lines.append(block_start.format(i=i))
        lines += ["".join(fields[k : k + 10]) for k in range(0, n, 10)]
    return newline.join(lines) + newline, columns


def check(got, expected, what):
    if got != expected:
        sys.exit(f"{what}: expected {expected!r}, got {got!r}")


GOOD = [
    ("w12.dat", {"n": 12, "blocks": 300}),
    ("w15-crlf.dat", {"n": 23, "blocks": 40, "width": 15, "newline": "\r\n"}),
    ("long-lines.dat", {"n": 3, "blocks": 4, "block_start": "{i}" + "x" * 20000}),
]
for name, options in GOOD:
    text, columns = plot(**options)
    check(read(write(name, text), options.get("width", 12)), columns, name)
check(read(write("none.dat", "\n\n\n"), 12), [], "no parameters")

missing = os.path.join(folder, "missing.dat")
FAILURES = [  # path or content, width, exception, message (None: the interpreter's own)
    (missing, 12, "PanicException",
     f'Plot file not found!: Os {{ code: 2, kind: NotFound, message: "{os.strerror(2)}" }}'),
    (folder, 12, "PanicException",
     f'Failed to read line!: Os {{ code: 21, kind: IsADirectory, message: "{os.strerror(21)}" }}'),
    ("nul\0.dat", 12, "PanicException",
     'Plot file not found!: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
    ("", 12, "PanicException", "Failed ot read line!"),
    ("3 parameters\na\n", 12, "PanicException",
     "The first line should end with the number of parameters:\n'3 parameters'"),
    ("x" * 600 + " -3\n", 12, "PanicException",
     "The first line should end with the number of parameters:\n'" + "x" * 600 + " -3'"),
    ("2\na\n", 12, "PanicException", "Failed to read line!"),
    ("1\na\nt\n", 12, "PanicException", "Error reading line"),
    ("1\na\nt\n 1.00000D+00\n", 12, "PanicException", "Could not parse line: ParseFloatError { kind: Invalid }"),
    ("1\na\nt\n" + " " * 12 + "\n", 12, "PanicException", "Could not parse line: ParseFloatError { kind: Empty }"),
    ("2\na\nb\nt\n 1.00000E+00\n", 12, "PanicException", "byte index 24 is out of bounds of ` 1.00000E+00`"),
    ("1\na\nt\n" + "7" * 300 + "\n", 400, "PanicException",
     "byte index 400 is out of bounds of `" + "7" * 256 + "`[...]"),
    ("1\na\nt\n        1\u00e9\n", 10, "PanicException",
     "byte index 10 is not a char boundary; it is inside '\u00e9' (bytes 9..11) of `        1\u00e9`"),
    (b"1\na\nt\n\xed\xa0\x80\n", 12, "PanicException",
     'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    (b"1\na\nt\n1.0\xc3", 12, "PanicException",
     'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
]
for k, (source, width, kind, message) in enumerate(FAILURES):
    named = source in (missing, folder, "nul\0.dat")
    path = source if named else write(f"bad{k}.dat", source)
    try:
        read(path, width)
    except BaseException as error:  # noqa: BLE001 (PanicException derives from BaseException)
        check([type(error).__name__, *error.args], [kind, message], f"failure {k}")
    else:
        sys.exit(f"failure {k}: the call returned")

good = os.path.join(folder, "w12.dat")
ARGUMENTS = [  # args, kwargs, exception, message (None: the interpreter's own)
    ((good, 12, 1), {}, "TypeError", "rust_read_dunvel() takes 2 positional arguments but 3 were given"),
    ((good,), {"width": 12}, "TypeError", "rust_read_dunvel() got an unexpected keyword argument 'width'"),
    ((good, 12), {"file_path": good}, "TypeError", "rust_read_dunvel() got multiple values for argument 'file_path'"),
    ((), {}, "TypeError",
     "rust_read_dunvel() missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    ((b"p", 12), {}, "TypeError", "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    ((None, 12), {}, "TypeError", "argument 'file_path': 'None' is not an instance of 'str'"),
    (("p\udc80", 12), {}, "UnicodeEncodeError", None),
    ((good, 12.5), {}, "TypeError", None),
    ((good, -(2**70)), {}, "OverflowError", None),
    ((good, 2**32), {}, "OverflowError", "out of range integral type conversion attempted"),
]
for k, (args, kwargs, kind, message) in enumerate(ARGUMENTS):
    try:
        read(*args, **kwargs)
    except (TypeError, OverflowError, UnicodeEncodeError) as error:
        check([type(error).__name__, message and str(error)], [kind, message], f"arguments {k}")
    else:
        sys.exit(f"arguments {k}: the call returned")
print(f"{len(GOOD) + 1} reads, {len(FAILURES)} failures, {len(ARGUMENTS)} bad calls: as expected")
