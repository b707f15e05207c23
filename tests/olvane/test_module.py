"""What the module object and its function look like to Python."""

import gc
import importlib.util
import inspect
import sys
import weakref

import pytest

import olvane

DOC = (
    "# Reads in the dunvel file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## DUNVEL plot file shape\n"
    "The DUNVEL data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the DUNVEL plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n"
)


def test_module_attributes():
    assert olvane.__all__ == ["rust_read_dunvel"] and type(olvane.__all__) is list
    assert olvane.__doc__ == ""
    namespace = {}
    exec("from olvane import *", namespace)  # noqa: S102 - what a star import binds
    assert sorted(namespace) == ["__builtins__", "rust_read_dunvel"]
    assert namespace["rust_read_dunvel"] is olvane.rust_read_dunvel


def test_function_attributes():
    function = olvane.rust_read_dunvel
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__module__, function.__name__, function.__qualname__) == ("olvane",) + ("rust_read_dunvel",) * 2
    assert function.__self__ is None
    assert repr(function) == "<built-in function rust_read_dunvel>"
    assert function.__text_signature__ == "(file_path, n_digits)"
    assert function.__doc__ == DOC
    parameters = inspect.signature(function).parameters
    assert [(p.name, p.kind, p.default) for p in parameters.values()] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
        for name in ("file_path", "n_digits")
    ]


def fresh_module(preset=None):
    """A second module object from the installed library, optionally with __all__ set before exec."""
    spec = importlib.util.find_spec("olvane")
    module = importlib.util.module_from_spec(spec)
    if preset is not None:
        module.__all__ = preset
    spec.loader.exec_module(module)
    return module


class ListSubclass(list):
    pass


@pytest.mark.parametrize("preset", [["x"], ListSubclass(["x"])], ids=["list", "list-subclass"])
def test_existing_all_list_is_extended(preset):
    module = fresh_module(preset)
    assert module.__all__ is preset and preset == ["x", "rust_read_dunvel"]


def test_existing_all_tuple_fails():
    with pytest.raises(TypeError) as info:
        fresh_module(())
    assert info.value.args == ("'tuple' object is not an instance of 'list'",)


def test_each_module_object_has_its_own_function(write_plot):
    first, second = fresh_module(), fresh_module()
    functions = {id(m.rust_read_dunvel) for m in (first, second, olvane)}
    assert len(functions) == 3 and first.__all__ is not olvane.__all__
    path = write_plot(["a", "b"], [[1.0, 2.0]])
    assert first.rust_read_dunvel(path, 12) == second.rust_read_dunvel(path, 12) == [[1.0], [2.0]]
    assert first.rust_read_dunvel.__module__ == "olvane"


def test_library_cannot_load_under_another_name():
    spec = importlib.util.spec_from_file_location("other_name", olvane.__file__)
    with pytest.raises(ImportError) as info:
        importlib.util.module_from_spec(spec)
    assert "PyInit_other_name" in str(info.value)


def test_exec_keeps_no_reference_of_its_own():
    # Modules made, run and dropped again and again: the name they share
    # ends with the references it had, and each module dies with its last
    # reference (its function refers back to it).
    spec = importlib.util.find_spec("olvane")
    spec.name = "".join(["olv", "ane"])  # noqa: FLY002 - a str of its own, not the interned one
    counts = []
    for _ in range(10):
        counts.append(sys.getrefcount(spec.name))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ is spec.name and module.rust_read_dunvel.__module__ == "olvane"
        alive = weakref.ref(module)
        del module
        gc.collect()
        assert alive() is None
    # The first run may leave a reference in the import machinery's caches.
    assert counts[1:] == [sys.getrefcount(spec.name)] * 9


def test_refused_all_keeps_no_reference():
    preset = (object(),)
    before = sys.getrefcount(preset)
    try:
        fresh_module(preset)
    except TypeError as error:
        assert error.args == ("'tuple' object is not an instance of 'list'",)
    gc.collect()
    assert sys.getrefcount(preset) == before


def test_all_lookup_error_fails_the_exec():
    # A module __getattr__ that raises anything but AttributeError: exec
    # stops with that error rather than making an __all__ of its own.
    spec = importlib.util.find_spec("olvane")
    module = importlib.util.module_from_spec(spec)

    def refuse(name):
        raise RuntimeError(f"no {name} here")

    module.__getattr__ = refuse
    with pytest.raises(RuntimeError) as info:
        spec.loader.exec_module(module)
    assert info.value.args == ("no __all__ here",) and "__all__" not in vars(module)
