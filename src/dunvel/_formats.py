"""A Plot in other libraries' forms (pyarrow, polars, xarray, pandas) and
in the files that ``dunvel convert`` writes (CSV, Parquet, Feather, netCDF,
HDF5). Each optional library is imported where a conversion needs it, so
that importing dunvel imports none of them."""

from __future__ import annotations

import contextlib
import csv
import errno
import importlib
import json
import os
import tempfile
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Callable, TextIO

import numpy as np

if TYPE_CHECKING:
    # All optional; pandas is typed only with pandas-stubs, pyarrow only with
    # its own stubs.
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import polars  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import xarray  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from dunvel import Plot

# The extra of pyproject.toml that installs each optional library.
_EXTRAS = {
    "pandas": "pandas",
    "pyarrow": "arrow",
    "polars": "polars",
    "xarray": "xarray",
    "netCDF4": "xarray",
    "h5py": "hdf5",
    "dask.dataframe": "dask",
    "matplotlib": "matplotlib",
    "plotly": "plotly",
    "plotly.graph_objects": "plotly",
    "plotly.subplots": "plotly",
}

# Rows converted to text at a time, so that a large file's text is never
# held whole.
_CSV_CHUNK = 4096


def need(module: str, what: str) -> Any:
    """The module, or an ImportError that names the extra installing it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{what} needs {module}: pip install 'olvane[{_EXTRAS[module]}]'", name=module) from error


def unique_names(names: Iterable[str], reserved: Iterable[str] = ()) -> list[str]:
    """The names, each once, for a format whose columns are keys: the first
    of a name keeps it, each later one gets ".1", ".2", ... as pandas gives
    them, skipping a suffixed name that the header (or ``reserved``, the
    format's own columns, such as "time") already holds, so that no name is
    ever taken from the column that has it."""
    names = list(names)
    seen = set(reserved)
    taken = seen | set(names)
    last: dict[str, int] = {}
    unique = []
    for name in names:
        given = name
        if name in seen:
            number = last.get(name, 0)
            while given in taken:
                number += 1
                given = f"{name}.{number}"
            last[name] = number
            taken.add(given)
        seen.add(given)
        unique.append(given)
    return unique


def netcdf_name(name: str) -> str:
    """The name as netCDF allows it: "%", "/" and control characters as
    %XX (each UTF-8 byte, as in a URL), and a "_" in front of a name that
    does not start with a letter, a digit or a non-ASCII character. Dropping
    a leading "_" and then urllib.parse.unquote gives the name back."""
    escaped = "".join(
        "".join(f"%{byte:02X}" for byte in char.encode()) if char in "%/" or char < " " or char == "\x7f" else char
        for char in name
    )
    if not escaped or (escaped[0].isascii() and not escaped[0].isalnum()):
        escaped = "_" + escaped
    return escaped


def _metadata(plot: Plot) -> dict[str, str]:
    return {"width": str(plot.width), "source": plot.path}


def to_pandas(plot: Plot) -> pandas.DataFrame:
    pd = need("pandas", "Plot.to_pandas")
    if np.isnan(plot.times).any():
        if plot._steps is None or np.array_equal(plot._steps, np.arange(plot.n_steps)):
            # Every step of the file: a RangeIndex, which holds no array.
            index = pd.RangeIndex(plot.n_steps, name="step")
        else:
            index = pd.Index(plot.steps, name="step")
    else:
        index = pd.Index(plot.times, name="time")
    frame: pandas.DataFrame = pd.DataFrame(plot.values, columns=list(plot.names), index=index, copy=False)
    return frame


def to_arrow(plot: Plot, what: str = "Plot.to_arrow") -> pyarrow.Table:
    pa = need("pyarrow", what)
    # A column of values is strided, which Arrow cannot hold: each is copied;
    # the times are shared.
    columns = [pa.array(plot.times), *(pa.array(plot.values[:, j]) for j in range(plot.n_parameters))]
    table: pyarrow.Table = pa.Table.from_arrays(columns, names=["time", *plot.names], metadata=_metadata(plot))
    return table


def to_polars(plot: Plot) -> polars.DataFrame:
    pl = need("polars", "Plot.to_polars")
    columns: dict[str, Any] = {"time": plot.times}
    for j, name in enumerate(unique_names(plot.names, ["time"])):
        columns[name] = plot.values[:, j]
    frame: polars.DataFrame = pl.DataFrame(columns)
    return frame


def to_xarray(plot: Plot, what: str = "Plot.to_xarray") -> xarray.Dataset:
    xr = need("xarray", what)
    coords: dict[str, Any]
    if np.isnan(plot.times).any():
        dimension = "step"
        coords = {"step": plot.steps, "time": ("step", plot.times)}
    else:
        dimension = "time"
        coords = {"time": plot.times}
    # Both reserved whichever is the dimension, so that a variable's name
    # does not hang on whether a time is missing.
    names = unique_names(plot.names, ["time", "step"])
    data = {
        name: (dimension, plot.values[:, j], {"long_name": header})
        for j, (name, header) in enumerate(zip(names, plot.names))
    }
    dataset: xarray.Dataset = xr.Dataset(data, coords=coords, attrs={"width": plot.width, "source": plot.path})
    return dataset


def write_csv(plot: Plot, out: TextIO) -> None:
    """Every number as the shortest text that reads back as the same value
    (binary32 for values, binary64 for times)."""
    csv.writer(out, lineterminator="\n").writerow(["time", *unique_names(plot.names, ["time"])])
    for start in range(0, plot.n_steps, _CSV_CHUNK):
        times = plot.times[start : start + _CSV_CHUNK].astype(str)
        values = plot.values[start : start + _CSV_CHUNK].astype(str)
        out.writelines(",".join((time, *row)) + "\n" for time, row in zip(times.tolist(), values.tolist()))


def _file_table(plot: Plot, what: str) -> pyarrow.Table:
    table = to_arrow(plot, what)
    # The header's names as they are, for a reader that wants them back.
    metadata = {**table.schema.metadata, b"names": json.dumps(list(plot.names)).encode()}
    renamed: pyarrow.Table = table.rename_columns(["time", *unique_names(plot.names, ["time"])])
    return renamed.replace_schema_metadata(metadata)


def _csv_writer(what: str) -> Callable[[Plot, str], None]:
    def write(plot: Plot, path: str) -> None:
        with open(path, "w", encoding="utf-8", newline="") as out:
            write_csv(plot, out)

    return write


def _parquet_writer(what: str) -> Callable[[Plot, str], None]:
    need("pyarrow", what)
    parquet = importlib.import_module("pyarrow.parquet")
    return lambda plot, path: parquet.write_table(_file_table(plot, what), path)


def _feather_writer(what: str) -> Callable[[Plot, str], None]:
    need("pyarrow", what)
    feather = importlib.import_module("pyarrow.feather")
    return lambda plot, path: feather.write_feather(_file_table(plot, what), path)


def _netcdf_writer(what: str) -> Callable[[Plot, str], None]:
    need("xarray", what)
    need("netCDF4", what)

    def write(plot: Plot, path: str) -> None:
        dataset = to_xarray(plot, what)
        dataset = dataset.rename({name: netcdf_name(str(name)) for name in dataset.data_vars})
        # No fill value: it would make a NaN of any value equal to it, and
        # NaNs of one sign and payload.
        encoding = {name: {"_FillValue": None} for name in dataset.variables}
        dataset.to_netcdf(path, engine="netcdf4", encoding=encoding)

    return write


def _hdf5_writer(what: str) -> Callable[[Plot, str], None]:
    h5py = need("h5py", what)

    def write(plot: Plot, path: str) -> None:
        with h5py.File(path, "w") as out:
            out.create_dataset("values", data=plot.values)
            out.create_dataset("times", data=plot.times)
            # Names are data here, not keys: each as the header has it.
            out.create_dataset("names", data=np.array(plot.names, dtype=object), dtype=h5py.string_dtype())
            out.attrs["width"] = plot.width
            out.attrs["source"] = plot.path

    return write


WRITERS: dict[str, Callable[[str], Callable[[Plot, str], None]]] = {
    ".csv": _csv_writer,
    ".parquet": _parquet_writer,
    ".feather": _feather_writer,
    ".nc": _netcdf_writer,
    ".h5": _hdf5_writer,
}


def writer(out: str) -> Callable[[Plot], None] | None:
    """What writes a plot to the file out, told by its suffix (None for a
    suffix of no known format); the libraries that it needs are imported
    now, so that a missing one fails before any file is read."""
    suffix = os.path.splitext(out)[1].lower()
    make = WRITERS.get(suffix)
    if make is None:
        return None
    write = make(f"writing {suffix}")
    return lambda plot: replace(out, lambda path: write(plot, path))


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def replace(out: str, write: Callable[[str], None]) -> None:
    """Writes out through a temporary file beside it, renamed into place
    once whole: a failed write leaves out as it was. Where out is there
    and not a regular file (/dev/stdout, a pipe), it is written as it is:
    renaming would replace the device, not write to it."""
    if os.path.isdir(out):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), out)
    if os.path.exists(out) and not os.path.isfile(out):
        write(out)
        return
    try:
        handle, temporary = tempfile.mkstemp(
            prefix=f".{os.path.basename(out)}.", suffix=".tmp", dir=os.path.dirname(out) or "."
        )
    except OSError as error:
        # The error of out, not of the name that nobody asked for.
        raise type(error)(error.errno, error.strerror, out) from None
    os.close(handle)
    try:
        write(temporary)
        # As any new file gets, not mkstemp's owner-only mode.
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
