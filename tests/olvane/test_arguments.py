"""Binding and conversion of the two arguments: exact exceptions and messages."""

import ctypes
import operator
import pathlib

import pytest

import olvane
from conftest import run_python

read = olvane.rust_read_dunvel
NAME = "rust_read_dunvel()"


def interpreter_error(call, *args):
    """The exception text the interpreter itself produces for a conversion."""
    with pytest.raises(Exception) as info:
        call(*args)
    return str(info.value)


def as_u64(value):
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.restype, convert.argtypes = ctypes.c_ulonglong, [ctypes.py_object]
    return convert(value)


class Index:
    def __init__(self, produce):
        self.produce = produce

    def __index__(self):
        return self.produce()


class IntNoIndex(int):
    # An int subclass is converted as an int; its __index__ must not be consulted.
    def __index__(self):
        raise AssertionError("__index__ called on an int subclass")


BINDING = [
    ("no-arguments", (), {}, "missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    ("path-only", ("p",), {}, "missing 1 required positional argument: 'n_digits'"),
    ("path-keyword-only", (), {"file_path": "p"}, "missing 1 required positional argument: 'n_digits'"),
    ("n_digits-keyword-only", (), {"n_digits": 12}, "missing 1 required positional argument: 'file_path'"),
    ("three-positional", ("p", 12, 3), {}, "takes 2 positional arguments but 3 were given"),
    ("four-positional-bad-keywords", ("p", 12, 3, 4), {"x": 1, "file_path": "q"},
     "takes 2 positional arguments but 4 were given"),
    ("unexpected", ("p", 12), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ("unexpected-before-missing", (), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ("case-sensitive", (), {"File_path": "p", "n_digits": 12},
     "got an unexpected keyword argument 'File_path'"),
    ("non-ascii-name", ("p", 12), {"é": 1}, "got an unexpected keyword argument 'é'"),
    ("lone-surrogate-name", ("p", 12), {"\udcff": 1},
     "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("multiple-file_path", ("p", 12), {"file_path": "q"}, "got multiple values for argument 'file_path'"),
    ("multiple-n_digits", ("p", 12), {"n_digits": 12}, "got multiple values for argument 'n_digits'"),
    ("unexpected-first-wins", ("p",), {"x": 1, "file_path": "q"},
     "got an unexpected keyword argument 'x'"),
    ("multiple-first-wins", ("p",), {"file_path": "q", "x": 1},
     "got multiple values for argument 'file_path'"),
    ("binding-before-conversion", (b"p",), {"y": 2, "n_digits": 1.5},
     "got an unexpected keyword argument 'y'"),
]


@pytest.mark.parametrize("args, kwargs, message", [c[1:] for c in BINDING], ids=[c[0] for c in BINDING])
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        read(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"{NAME} {message}",)


CONVERSION = [
    ("bytes", (b"p", 12), TypeError, "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    ("PosixPath", (pathlib.PosixPath("p"), 12), TypeError,
     "argument 'file_path': 'PosixPath' object is not an instance of 'str'"),
    ("None", (None, 12), TypeError, "argument 'file_path': 'None' is not an instance of 'str'"),
    ("int-path-first", (1, 12.0), TypeError, "argument 'file_path': 'int' object is not an instance of 'str'"),
    ("float", ("p", 12.0), TypeError, "argument 'n_digits': " + interpreter_error(operator.index, 12.0)),
    ("str-width", ("p", "12"), TypeError, "argument 'n_digits': " + interpreter_error(operator.index, "12")),
    ("negative", ("p", -1), OverflowError, interpreter_error(as_u64, -1)),
    ("above-u64", ("p", 2**64), OverflowError, interpreter_error(as_u64, 2**64)),
    ("index-negative", ("p", Index(lambda: -1)), OverflowError, interpreter_error(as_u64, -1)),
    ("2**32", ("p", 2**32), OverflowError, "out of range integral type conversion attempted"),
    ("u64-max", ("p", 2**64 - 1), OverflowError, "out of range integral type conversion attempted"),
    ("index-2**32", ("p", Index(lambda: 2**32)), OverflowError,
     "out of range integral type conversion attempted"),
    ("index-not-int", ("p", Index(lambda: "12")), TypeError,
     "argument 'n_digits': " + interpreter_error(operator.index, Index(lambda: "12"))),
    ("surrogate-path", ("a\udcffb", 12), UnicodeEncodeError,
     interpreter_error(str.encode, "a\udcffb", "utf-8")),
]


@pytest.mark.parametrize("args, kind, message", [c[1:] for c in CONVERSION], ids=[c[0] for c in CONVERSION])
def test_conversion_errors(args, kind, message):
    with pytest.raises(kind) as info:
        read(*args)
    assert type(info.value) is kind
    assert str(info.value) == message


class OtherTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("bad index"), OtherTypeError("sub")], ids=["ValueError", "subclass"])
def test_index_errors_other_than_type_error_pass_unchanged(error):
    def produce():
        raise error

    with pytest.raises(BaseException) as info:
        read("p", Index(produce))
    assert info.value is error


@pytest.mark.parametrize("cause", [None, KeyError("inner")], ids=["no-cause", "with-cause"])
def test_index_type_error_is_prefixed_and_keeps_cause(cause):
    def produce():
        raise TypeError("no index here") from cause

    with pytest.raises(TypeError) as info:
        read("p", Index(produce))
    error = info.value
    assert type(error) is TypeError
    assert error.args == ("argument 'n_digits': no index here",)
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True


@pytest.fixture
def two_fields(write_file):
    """A two-parameter file with the fields '1' and '2' right-justified in width w."""
    return lambda width: write_file(f"2\na\nb\nt\n{'1'.rjust(width)}{'2'.rjust(width)}\n")


class PathStr(str):
    pass


@pytest.mark.parametrize(
    "n_digits, width",
    [(12, 12), (True, 1), (Index(lambda: 12), 12), (IntNoIndex(15), 15)],
    ids=["int", "True", "index-object", "int-subclass"],
)
def test_accepted_widths(two_fields, n_digits, width):
    assert read(two_fields(width), n_digits) == [[1.0], [2.0]]


def test_str_subclass_and_keyword_orders(two_fields):
    path = two_fields(12)
    calls = [
        read(path, 12),
        read(PathStr(path), 12),
        read(path, n_digits=12),
        read(file_path=path, n_digits=12),
        read(n_digits=12, file_path=path),
    ]
    assert calls == [[[1.0], [2.0]]] * 5


def test_largest_width_reaches_the_reader(write_file):
    with pytest.raises(BaseException) as info:
        read(write_file("1\na\nt\n1.0\n"), 2**32 - 1)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("byte index 4294967295 is out of bounds of `1.0`",)


def test_bad_calls_write_nothing():
    proc = run_python(
        r"""
        import olvane
        class Index:
            def __index__(self):
                raise TypeError("nope")
        calls = [((), {}), (("p", 1, 2), {"x": 1}), (("p",), {"\udcff": 1}), ((b"p", 12), {}),
                 (("\udcff", 12), {}), (("p", -1), {}), (("p", 2**32), {}), (("p", 12.0), {}),
                 (("p", Index()), {})]
        for args, kwargs in calls:
            try:
                olvane.rust_read_dunvel(*args, **kwargs)
            except (TypeError, OverflowError, UnicodeEncodeError):
                pass
            else:
                raise SystemExit(f"accepted {args} {kwargs}")
        print("done")
        """
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"done\n", b"")
