"""Start-up of every interpreter in a ci/sanitize.sh run (this folder is on
PYTHONPATH there; without OLVANE_SANITIZER_PRELOAD it does nothing).

The sanitizer runtime must be preloaded into each interpreter that may import
the sanitized olvane, and into nothing else: compilers, binutils and git that
tests start are not built for it (cc1plus crashes under it, the others report
their own leaks). So LD_PRELOAD never leaves an interpreter: it is dropped
here at start-up, and an interpreter started without it re-executes itself
with it.

Leak tracking is paused where others keep memory without a root that
LeakSanitizer can see: while modules other than olvane are imported (numpy,
pandas and their kind keep objects made by their initialisation; polars'
bridge to NumPy, made on first use, is made then too; a NumPy array shared
with pyarrow.array outlives finalisation, and is not counted), in the
compiler (source text and .pyc files made into code, by any route: a module
loaded by its path or a test module that pytest rewrites never passes through
__import__), and in sys._current_frames(), whose frame objects for other threads the interpreter
drops unreleased when a process exits with those threads still running (Dask's
workers sample their threads so). A suppression could not tell those from
ours: the interpreter has no frame pointers, so the recorded allocation stacks
end inside the interpreter for both.

The UBSan runtime beside ASan's ignores log_path in UBSAN_OPTIONS and writes
to fd 2, which tests capture: it is pointed at OLVANE_UBSAN_REPORTS here.
"""

import __future__

import builtins
import ctypes
import importlib
import marshal
import os
import sys

_runtime = os.environ.get("OLVANE_SANITIZER_PRELOAD")


def _runtime_loaded():
    first = _runtime.split(":")[0]
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith(first) for line in maps)


def _pause_leak_tracking():
    process = ctypes.CDLL(None)
    disable, enable = process["__lsan_disable"], process["__lsan_enable"]
    ignore = process["__lsan_ignore_object"]
    ignore.argtypes = [ctypes.c_void_p]

    def untracked(function):
        def call(*args, **kwargs):
            disable()
            try:
                return function(*args, **kwargs)
            finally:
                enable()

        return call

    plain_import, untracked_import = builtins.__import__, untracked(builtins.__import__)
    bridged = set()

    def whole(name):
        module = sys.modules.get(name)
        return module is not None and not getattr(getattr(module, "__spec__", None), "_initializing", True)

    def bridge():
        # polars makes its bridge to NumPy on the first array it is given,
        # not on import, and keeps an object of it in memory of its own
        # allocator, which LeakSanitizer does not scan: made here, untracked,
        # once polars is whole, before anything gives it an array.
        if "polars" not in bridged and whole("polars"):
            bridged.add("polars")
            disable()
            try:
                import numpy

                sys.modules["polars"].Series("", numpy.zeros(1))
            finally:
                enable()
        # pyarrow.array shares a NumPy array that it is given, and an Arrow
        # array that lives until the interpreter exits never gives it back:
        # pyarrow touches no Python object once finalisation has begun.
        if "pyarrow" not in bridged and whole("pyarrow"):
            bridged.add("pyarrow")
            pyarrow, plain_array = sys.modules["pyarrow"], sys.modules["pyarrow"].array

            def array(obj, *args, **kwargs):
                if type(obj).__name__ == "ndarray":
                    ignore(id(obj))
                return plain_array(obj, *args, **kwargs)

            pyarrow.array = array

    def import_(name, globals=None, locals=None, fromlist=(), level=0):
        ours = level == 0 and name.partition(".")[0] == "olvane"
        module = (plain_import if ours else untracked_import)(name, globals, locals, fromlist, level)
        bridge()
        return module

    plain_import_module = importlib.import_module

    def import_module(name, package=None):
        module = (plain_import_module if name.partition(".")[0] == "olvane" else untracked(plain_import_module))(
            name, package
        )
        bridge()
        return module

    importlib.import_module = import_module

    builtins.__import__ = import_
    sys._current_frames = untracked(sys._current_frames)

    # The compiler, wherever it is reached from: import statements, importlib
    # loading a file by its path (spec_from_file_location, exec_module),
    # pytest rewriting a test module's asserts, ast.parse; olvane never runs
    # inside it. The interpreter leaks two floats while pytest collects
    # tests/olvane/test_arguments.py beside tests/test_examples.py (olvane imported
    # or not), and LeakSanitizer names the allocation of their memory's first
    # owner, floats being recycled through a free list: float literals that
    # the parser made while pytest rewrote tests/olvane/test_arguments.py.
    plain_compile, future_flags = builtins.compile, 0
    for feature in __future__.all_feature_names:
        future_flags |= getattr(__future__, feature).compiler_flag

    def compile_(source, filename, mode, flags=0, dont_inherit=False, optimize=-1, **options):
        # The builtin inherits the calling frame's __future__ flags: this
        # frame's would be none, so the caller's are passed on.
        if not dont_inherit:
            flags |= sys._getframe(1).f_code.co_flags & future_flags
        disable()
        try:
            return plain_compile(source, filename, mode, flags, True, optimize, **options)
        finally:
            enable()

    builtins.compile = compile_
    # Code read back from .pyc files: the same constants, unmarshalled.
    marshal.load, marshal.loads = untracked(marshal.load), untracked(marshal.loads)


if _runtime:
    if not _runtime_loaded():
        if os.environ.get("LD_PRELOAD") == _runtime:
            sys.exit(f"sanitize: {_runtime} was preloaded but is not mapped")
        os.environ["LD_PRELOAD"] = _runtime
        os.execv(sys.executable, sys.orig_argv)
    os.environ.pop("LD_PRELOAD", None)
    for _library in _runtime.split(":"):
        if "libubsan" in _library and os.environ.get("OLVANE_UBSAN_REPORTS"):
            ctypes.CDLL(_library)["__sanitizer_set_report_path"](os.environ["OLVANE_UBSAN_REPORTS"].encode())
    _pause_leak_tracking()
