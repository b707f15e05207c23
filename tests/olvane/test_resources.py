"""Every failure releases what the call held, and the next call works."""

import os

import pytest

import olvane
from conftest import MALFORMED_FILES, run_python

read = olvane.rust_read_dunvel

MISSING, DIRECTORY = "<missing>", "<directory>"
FAILURES = {
    "missing-file": MISSING,
    "directory": DIRECTORY,
    **MALFORMED_FILES,
}


# AddressSanitizer reserves terabytes of address space, so an address-space
# limit cannot model memory running out under it.
needs_plain_build = pytest.mark.skipif(
    os.environ.get("OLVANE_SANITIZED") == "1", reason="RLIMIT_AS cannot limit a sanitized build"
)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("content", FAILURES.values(), ids=FAILURES.keys())
def test_failure_releases_file(tmp_path, write_file, write_plot, content):
    good = write_plot(["a"], [[1.0]])
    special = {MISSING: str(tmp_path / "missing.dat"), DIRECTORY: str(tmp_path)}
    path = special[content] if content in special else write_file(content)
    before = open_fds()
    with pytest.raises(BaseException) as info:
        read(path, 12)
    assert type(info.value).__name__ == "PanicException"
    assert open_fds() == before
    assert read(good, 12) == [[1.0]]


@pytest.mark.parametrize("args", [(b"p", 12), ("p", -1), ("p",)], ids=["bytes", "negative", "missing"])
def test_bad_arguments_release_nothing(write_plot, args):
    good = write_plot(["a"], [[1.0]])
    before = open_fds()
    with pytest.raises((TypeError, OverflowError)):
        read(*args)
    assert open_fds() == before
    assert read(good, 12) == [[1.0]]


@needs_plain_build
def test_memory_exhaustion_raises_memory_error(tmp_path, write_plot):
    # A sparse file of 4 GiB is one line of NUL bytes: valid UTF-8 that no
    # address space limited to a few hundred MB above current use can hold.
    code = """
    import os, resource, sys, olvane
    big, small = sys.argv[1], sys.argv[2]
    open(big, "wb").close()
    os.truncate(big, 4 << 30)
    def mapped():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    start = mapped()
    resource.setrlimit(resource.RLIMIT_AS, (start + (384 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
    for attempt in range(2):
        try:
            olvane.rust_read_dunvel(big, 12)
        except MemoryError:
            print("MemoryError", mapped() - start < (64 << 20), flush=True)
    print(olvane.rust_read_dunvel(small, 12))
    """
    proc = run_python(code, str(tmp_path / "big.dat"), write_plot(["a", "b"], [[1.0, 2.0]]))
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout.decode() == "MemoryError True\n" * 2 + "[[1.0], [2.0]]\n"


@needs_plain_build
def test_python_objects_running_out_is_a_panic(tmp_path):
    # Room for the reader's binary32 columns (4 bytes a value) but not for
    # the floats and lists made from them (over 30 bytes a value). Blocks
    # alternate between two rows so that no float can stand for its neighbour.
    # The columns that had become lists of floats by then, the outer list and
    # the floats go with the failure.
    code = """
    import gc, resource, sys, olvane
    path = sys.argv[1]
    rows = ["t\\n" + "".join(f"{v:12.5E}" for v in range(start, start + 10)) + "\\n" for start in (1, 11)]
    with open(path, "w") as f:
        f.write("10\\n" + "p\\n" * 10 + "".join(rows) * 150_000)
    def mapped():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = resource.getrlimit(resource.RLIMIT_AS)
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + (48 << 20), limit[1]))
        try:
            olvane.rust_read_dunvel(path, 12)
        except BaseException as error:
            print(type(error).__name__, error.args, flush=True)
        resource.setrlimit(resource.RLIMIT_AS, limit)
        gc.collect()
        print(sys.getallocatedblocks() - before < 1000)
    print(len(olvane.rust_read_dunvel(path, 12)[9]))
    """
    proc = run_python(code, str(tmp_path / "many.dat"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode() == "PanicException ('PyObject pointer is null',)\nTrue\n" * 2 + "300000\n"
    report = proc.stderr.decode()
    assert "MemoryError" in report
    assert "\nPyObject pointer is null\n" in report
