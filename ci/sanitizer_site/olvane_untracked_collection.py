"""A pytest plugin that ci/sanitize.sh loads (PYTEST_PLUGINS): leak tracking
is paused while pytest collects. The interpreter leaks a float there (while
only collecting the suite, with olvane imported but never called), and since
floats are recycled through a free list, LeakSanitizer names whatever first
allocated that memory, so no suppression or narrower pause can single it out.
olvane is called only when tests run, where tracking is back on."""

import ctypes

import pytest

_process = ctypes.CDLL(None)


@pytest.hookimpl(hookwrapper=True)
def pytest_collection(session):
    _process["__lsan_disable"]()
    try:
        yield
    finally:
        _process["__lsan_enable"]()
