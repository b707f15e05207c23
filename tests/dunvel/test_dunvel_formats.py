"""A plot in other libraries: Plot.to_arrow, to_polars, to_xarray, and the
files that dunvel convert writes, each read back with its own library to
the same float32 bits, float64 times, names and metadata; the extra named
where a library is missing; a failed conversion leaving its file as it was."""

import subprocess
import sys
import urllib.parse

import numpy as np
import pytest

import dunvel
from conftest import plot_text, run_python

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
xr = pytest.importorskip("xarray")
h5py = pytest.importorskip("h5py")
pytest.importorskip("netCDF4")
parquet = pytest.importorskip("pyarrow.parquet")
feather = pytest.importorskip("pyarrow.feather")

# A name twice (and a literal "A.1"), a parameter named "time", a name with
# "/", and the values that a conversion most easily changes: NaNs of both
# signs, infinities, -0.0, the smallest subnormal.
NAMES = ["A", "A/B", "A", "time", "A.1", "_x", "%"]
ROWS = [
    [float("nan"), float("inf"), float("-inf"), -0.0, 1e-45, 0.1, 3.4028235e38],
    ["-nan", -1.5, 0.0, 2.5, -1e-45, 7.0, -3.4028235e38],
    [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0],
]
# The header's names where a format's columns are keys, "time" among them.
KEYS = ["A", "A/B", "A.2", "time.1", "A.1", "_x", "%"]
# And as netCDF variables, where "step" is reserved too and "/" is escaped.
NETCDF = ["A", "A%2FB", "A.2", "time.1", "A.1", "__x", "_%25"]


def plot_file(write_file, timed):
    text = plot_text(NAMES, [[v if isinstance(v, float) else 0.0 for v in row] for row in ROWS],
                     block_start="TIME {i}.25")
    text = text.replace(f"{0.0:.5E}".rjust(12), "-nan".rjust(12), 1)
    if not timed:
        text = text.replace("TIME 1.25", "no time")
    return write_file(text)


def same_bits(got, plot):
    return (got[0].dtype == np.float64 and np.array_equal(np.asarray(got[0]).view(np.uint64), plot.times.view(np.uint64))
            and np.asarray(got[1]).dtype == np.float32
            and np.array_equal(np.asarray(got[1]).view(np.uint32), plot.values.view(np.uint32)))


@pytest.fixture(params=["timed", "a-time-missing"])
def plot(request, write_file):
    path = plot_file(write_file, request.param == "timed")
    read = dunvel.read(path)
    assert np.signbit(read.values[1, 0]) and np.isnan(read.values[1, 0])
    return read


def test_to_arrow_keeps_the_header_names(plot):
    table = plot.to_arrow()
    assert table.column_names == ["time", *NAMES]
    assert [str(t) for t in table.schema.types] == ["double"] + ["float"] * len(NAMES)
    assert table.schema.metadata == {b"width": b"12", b"source": plot.path.encode()}
    columns = [table.column(j).to_numpy() for j in range(table.num_columns)]
    assert same_bits([columns[0], np.stack(columns[1:], axis=1)], plot)


def test_to_polars(plot):
    frame = plot.to_polars()
    assert frame.columns == ["time", *KEYS]
    assert frame.dtypes == [pl.Float64] + [pl.Float32] * len(NAMES)
    assert same_bits([frame["time"].to_numpy(), frame.drop("time").to_numpy()], plot)


def test_to_xarray(plot):
    dataset = plot.to_xarray()
    timed = not np.isnan(plot.times).any()
    dimension = "time" if timed else "step"
    assert list(dataset.data_vars) == ["A", "A/B", "A.2", "time.1", "A.1", "_x", "%"]
    assert [dataset[name].attrs["long_name"] for name in dataset.data_vars] == NAMES
    assert {name: dataset[name].dims for name in dataset.data_vars} == {name: (dimension,) for name in KEYS}
    assert dataset.attrs == {"width": 12, "source": plot.path}
    if not timed:
        assert np.array_equal(dataset["step"].values, [0, 1, 2])
    values = np.stack([dataset[name].values for name in dataset.data_vars], axis=1)
    assert same_bits([dataset["time"].values, values], plot)


def read_parquet(path):
    table = parquet.read_table(path)
    return table, table.schema.metadata


def read_feather(path):
    table = feather.read_table(path)
    return table, table.schema.metadata


def test_every_file_reads_back(plot, tmp_path):
    for suffix in (".parquet", ".feather"):
        out = tmp_path / f"out{suffix}"
        done = subprocess.run([sys.executable, "-m", "dunvel", "convert", plot.path, str(out)],
                              capture_output=True, text=True, check=False)
        assert (done.returncode, done.stderr) == (0, "")
        table, metadata = (read_parquet if suffix == ".parquet" else read_feather)(out)
        assert table.column_names == ["time", *KEYS]
        assert metadata[b"width"] == b"12" and metadata[b"source"] == plot.path.encode()
        columns = [table.column(j).to_numpy() for j in range(table.num_columns)]
        assert same_bits([columns[0], np.stack(columns[1:], axis=1)], plot)

    out = tmp_path / "out.nc"
    assert subprocess.run([sys.executable, "-m", "dunvel", "convert", plot.path, str(out)], check=False).returncode == 0
    with xr.open_dataset(out) as dataset:
        assert list(dataset.data_vars) == NETCDF
        # The escape undone gives the name back.
        assert [urllib.parse.unquote(name.removeprefix("_")) for name in NETCDF] == KEYS
        assert [dataset[name].attrs["long_name"] for name in NETCDF] == NAMES
        assert (dataset.attrs["width"], dataset.attrs["source"]) == (12, plot.path)
        values = np.stack([dataset[name].values for name in NETCDF], axis=1)
        assert same_bits([dataset["time"].values, values], plot)

    out = tmp_path / "out.h5"
    assert subprocess.run([sys.executable, "-m", "dunvel", "convert", plot.path, str(out)], check=False).returncode == 0
    with h5py.File(out, "r") as file:
        assert list(file["names"].asstr()[()]) == NAMES
        assert (file.attrs["width"], file.attrs["source"]) == (12, plot.path)
        assert same_bits([file["times"][()], file["values"][()]], plot)


def test_selected_and_empty_plots(write_file, tmp_path):
    path = write_file(plot_text(["a", "b"], []))
    for suffix in (".parquet", ".nc", ".h5", ".feather"):
        out = tmp_path / f"out{suffix}"
        done = subprocess.run([sys.executable, "-m", "dunvel", "convert", "-n", "b", path, str(out)],
                              capture_output=True, text=True, check=False)
        assert (done.returncode, done.stderr) == (0, "")
    assert parquet.read_table(tmp_path / "out.parquet").column_names == ["time", "b"]
    assert parquet.read_table(tmp_path / "out.parquet").num_rows == 0
    with xr.open_dataset(tmp_path / "out.nc") as dataset:
        assert (list(dataset.data_vars), dataset.sizes["time"]) == (["b"], 0)
    with h5py.File(tmp_path / "out.h5", "r") as file:
        assert (file["values"].shape, list(file["names"].asstr()[()])) == ((0, 1), ["b"])


def test_failed_conversion_leaves_the_file_as_it_was(write_file, tmp_path):
    # netCDF refuses a name longer than 256 bytes, after the file is begun.
    path = write_file(plot_text(["a", "b" * 300], [[1.0, 2.0]]))
    out = tmp_path / "out.nc"
    out.write_bytes(b"before")
    done = subprocess.run([sys.executable, "-m", "dunvel", "convert", path, str(out)],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 2
    assert done.stderr.startswith(f"dunvel: cannot write '{out}': ") and len(done.stderr.splitlines()) == 1
    assert (out.read_bytes(), sorted(p.name for p in tmp_path.iterdir())) == (b"before", ["out.nc", "plot0.dat"])


MISSING = {
    "pandas": ("pandas", "plot.to_pandas()", "Plot.to_pandas needs pandas: pip install 'olvane[pandas]'"),
    "arrow": ("pyarrow", "plot.to_arrow()", "Plot.to_arrow needs pyarrow: pip install 'olvane[arrow]'"),
    "polars": ("polars", "plot.to_polars()", "Plot.to_polars needs polars: pip install 'olvane[polars]'"),
    "xarray": ("xarray", "plot.to_xarray()", "Plot.to_xarray needs xarray: pip install 'olvane[xarray]'"),
    "parquet": ("pyarrow", "convert out.parquet", "dunvel: writing .parquet needs pyarrow: pip install 'olvane[arrow]'"),
    "feather": ("pyarrow", "convert out.feather", "dunvel: writing .feather needs pyarrow: pip install 'olvane[arrow]'"),
    "netcdf": ("netCDF4", "convert out.nc", "dunvel: writing .nc needs netCDF4: pip install 'olvane[xarray]'"),
    "netcdf-xarray": ("xarray", "convert out.nc", "dunvel: writing .nc needs xarray: pip install 'olvane[xarray]'"),
    "hdf5": ("h5py", "convert out.h5", "dunvel: writing .h5 needs h5py: pip install 'olvane[hdf5]'"),
    "dask": ("dask", "dunvel.to_dask([sys.argv[1]])",
             "dunvel.to_dask needs dask.dataframe: pip install 'olvane[dask]'"),
}


@pytest.mark.parametrize("case", MISSING)
def test_missing_library_names_its_extra(write_file, tmp_path, case):
    module, call, message = MISSING[case]
    path = write_file(plot_text(["a"], [[1.0]]))
    if call.startswith("convert"):
        # As python -m dunvel runs.
        code = f"""
        import runpy, sys
        sys.modules[{module!r}] = None
        sys.argv = ["dunvel", "convert", sys.argv[1], {str(tmp_path / call.split()[1])!r}]
        runpy.run_module("dunvel", run_name="__main__")
        """
        done = run_python(code, path)
        assert (done.returncode, done.stderr.decode()) == (2, message + "\n")
        assert list(tmp_path.iterdir()) == [tmp_path / "plot0.dat"]
    else:
        code = f"""
        import sys
        sys.modules[{module!r}] = None
        import dunvel
        plot = dunvel.read(sys.argv[1])
        try:
            {call}
        except ImportError as error:
            print(error)
        """
        done = run_python(code, path)
        assert (done.returncode, done.stdout.decode()) == (0, message + "\n"), done.stderr


def test_what_shares_the_values(plot):
    # As the README says: the DataFrame and the Dataset are views of the
    # values; Arrow and polars share the times and copy the values.
    frame = plot.to_pandas()
    assert np.shares_memory(frame.to_numpy(), plot.values)
    assert all(np.shares_memory(variable.values, plot.values) for variable in plot.to_xarray().data_vars.values())
    table = plot.to_arrow()
    assert table.column(0).chunk(0).buffers()[1].address == plot.times.ctypes.data
    buffer = table.column(1).chunk(0).buffers()[1]
    start, end = plot.values.ctypes.data, plot.values.ctypes.data + plot.values.nbytes
    assert not start <= buffer.address < end
    assert np.shares_memory(plot.to_polars()["time"].to_numpy(), plot.times)
