"""dunvel.to_dask on a cluster of worker processes, so that the reads, the
files' names and the partitions travel between processes as they do on a
real cluster: the frame's schema before anything is computed, the values
of dunvel.read to the bit, a file that differs or fails named when its
partition is computed and not before, and a worker's reads kept to its own
threads."""

import bz2
import gzip
import logging
import os
import random
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import dunvel
from conftest import plot_text

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")
pytest.importorskip("dask.dataframe")

# A cluster that cannot start, or a computation that hangs, fails its test
# rather than the whole run.
TIMEOUT = 90

NAMES = ["PRES", "TEMP", "PRES", "run", "FLOW-1"]
# What every frame of files with NAMES holds before its parameters: pandas'
# suffixes for the second PRES and for the parameter named like the column.
COLUMNS = ["run", "time", "PRES", "TEMP", "PRES.1", "run.1", "FLOW-1"]


@pytest.fixture(scope="module")
def client():
    pool = ThreadPoolExecutor(1)
    starting = pool.submit(
        distributed.LocalCluster,
        n_workers=2,
        processes=True,
        threads_per_worker=1,
        dashboard_address=None,
        silence_logs=logging.ERROR,
    )
    pool.shutdown(wait=False)
    cluster = starting.result(timeout=TIMEOUT)
    with cluster, distributed.Client(cluster, timeout=TIMEOUT) as connected:
        yield connected


def computed(client, collection):
    return client.compute(collection).result(timeout=TIMEOUT)


def text(names, steps, width=12, seed=0):
    """A plot file of values of many magnitudes, whose times are those of
    each step, so that a step read from the wrong file or place shows."""
    rng = random.Random(seed)
    blocks = [[rng.uniform(-9.9, 9.9) * 10.0 ** rng.randint(-30, 30) for _ in names] for _ in range(steps)]
    return plot_text(names, blocks, width, block_start=f"  TIME = {seed}{{i}}.25 S")


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Four runs of one header: both widths, gzip and bzip2."""
    folder = tmp_path_factory.mktemp("runs")
    (folder / "a.plt").write_text(text(NAMES, 4, 12, seed=1))
    (folder / "b.plt").write_text(text(NAMES, 5, 15, seed=2))
    (folder / "c.plt.gz").write_bytes(gzip.compress(text(NAMES, 3, 12, seed=3).encode()))
    (folder / "d.plt.bz2").write_bytes(bz2.compress(text(NAMES, 2, 15, seed=4).encode()))
    return [str(folder / name) for name in ("a.plt", "b.plt", "c.plt.gz", "d.plt.bz2")]


def contents(table):
    """A pandas frame of to_dask's layout as lists and bits."""
    return (
        table["run"].tolist(),
        table.index.tolist(),
        table["time"].to_numpy().view(np.uint64).tolist(),
        table.iloc[:, 2:].to_numpy().view(np.uint32).tolist(),
    )


def read_contents(paths, runs, **options):
    plots = [dunvel.read(path, **options) for path in paths]
    return (
        [run for run, plot in zip(runs, plots) for _ in range(len(plot))],
        np.concatenate([plot.steps for plot in plots]).tolist(),
        np.concatenate([plot.times for plot in plots]).view(np.uint64).tolist(),
        np.concatenate([plot.values for plot in plots]).view(np.uint32).tolist(),
    )


@pytest.mark.parametrize(
    "options, columns",
    [
        ({}, COLUMNS),
        ({"names": ["TEMP", "FLOW*"]}, ["run", "time", "TEMP", "FLOW-1"]),
        ({"names": "PRES"}, ["run", "time", "PRES", "PRES.1"]),
        ({"names": {"run", "PRE?"}}, ["run", "time", "PRES", "PRES.1", "run.1"]),
        ({"steps": slice(1, None, 2)}, COLUMNS),
        ({"time": (11.0, 23.25), "names": "TEMP"}, ["run", "time", "TEMP"]),
    ],
    ids=["all", "patterns", "twice-in-header", "set", "steps", "time"],
)
def test_frame_holds_what_read_reads(client, runs, options, columns):
    frame = dunvel.to_dask(runs, **options)
    assert (frame.npartitions, frame.known_divisions, frame.index.name) == (4, False, "step")
    assert list(frame.columns) == columns
    assert [str(dtype) for dtype in frame.dtypes] == ["string", "float64"] + ["float32"] * (len(columns) - 2)
    table = computed(client, frame)
    assert list(table.columns) == columns and table.dtypes.equals(frame.dtypes)
    names = ["a.plt", "b.plt", "c.plt.gz", "d.plt.bz2"]
    assert contents(table) == read_contents(runs, names, **options)


def test_groupby_run_max(client, runs):
    peaks = computed(client, dunvel.to_dask(runs).groupby("run").max())
    assert list(peaks.columns) == COLUMNS[1:]
    for path, run in zip(runs, ["a.plt", "b.plt", "c.plt.gz", "d.plt.bz2"]):
        plot = dunvel.read(path)
        row = peaks.loc[run]
        assert row.iloc[0] == plot.times.max()
        peak = row.iloc[1:].to_numpy(np.float32)
        assert peak.view(np.uint32).tolist() == plot.values.max(axis=0).view(np.uint32).tolist()


DIFFERS = "{odd}: its parameters differ from those of {first}, the first file, whose header made the frame's columns: "
ELSEWISE = "the same names, but in another order or held another number of times"


@pytest.mark.parametrize(
    "odd_names, options, problem",
    [
        (NAMES[:4], {}, "it lacks 'FLOW-1'"),
        ([*NAMES, "VOID", "FLOW-1"], {}, "it also holds 'VOID'"),
        (["TEMP", "PRES", "PRES", "run", "FLOW-1"], {}, ELSEWISE),
        (NAMES[1:], {}, ELSEWISE),
        ([*NAMES, "VOID"], {"names": ["TEMP", "FLOW*"]}, None),
        (["FLOW-2", *NAMES], {"names": ["TEMP", "FLOW*"]}, "it also holds 'FLOW-2'"),
        (list("ABCDE"), {}, "it lacks 'PRES', 'TEMP', 'run' and 1 more; it also holds 'A', 'B', 'C' and 2 more"),
    ],
    ids=["lacks", "holds-more", "reordered", "once-less", "same-selection", "selection-holds-more", "both"],
)
def test_file_of_other_names_is_named_when_computed(client, runs, tmp_path, odd_names, options, problem):
    odd = tmp_path / "odd.plt"
    odd.write_text(text(odd_names, 2))
    frame = dunvel.to_dask([runs[0], odd, runs[1]], **options)
    if problem is None:
        assert computed(client, frame.time).size == 4 + 2 + 5
        return
    with pytest.raises(ValueError) as raised:
        computed(client, frame)
    assert str(raised.value) == DIFFERS.format(odd=odd, first=runs[0]) + problem


def test_files_are_read_only_when_computed(client, runs, tmp_path):
    later, missing, cut = tmp_path / "later.plt", tmp_path / "missing.plt", tmp_path / "cut.plt"
    # Cut inside its second step: only a read past the header sees it.
    cut.write_text(text(NAMES, 2)[:-5])
    frames = {
        "later": dunvel.to_dask([runs[0], later]),
        "missing": dunvel.to_dask([runs[0], missing]),
        "cut-first": dunvel.to_dask([cut, runs[0]]),
    }
    later.write_text(text(NAMES, 3, seed=9))
    assert contents(computed(client, frames["later"])) == read_contents([runs[0], later], ["a.plt", "later.plt"])
    with pytest.raises(FileNotFoundError) as raised:
        computed(client, frames["missing"])
    assert raised.value.filename == str(missing)
    with pytest.raises(dunvel.PlotFileError) as raised:
        computed(client, frames["cut-first"])
    assert (raised.value.path, raised.value.kind) == (str(cut), "incomplete")


@pytest.mark.parametrize(
    "files, names",
    [
        (["x/a.plt", "y/b.plt", "y/c.plt"], ["a.plt", "b.plt", "c.plt"]),
        (["x/run.plt", "y/run.plt", "y/c.plt"], ["x/run.plt", "y/run.plt", "y/c.plt"]),
        (["x/run.plt", "x/deep/run.plt"], ["run.plt", "deep/run.plt"]),
    ],
    ids=["names-differ", "folders-differ", "one-deeper"],
)
def test_runs_of_one_name_are_told_apart(client, tmp_path, files, names):
    for file in files:
        (tmp_path / file).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / file).write_text(text(NAMES, 1))
    frame = dunvel.to_dask([tmp_path / file for file in files])
    assert computed(client, frame.run).tolist() == names


def test_arguments_fail_before_any_file(tmp_path):
    path = tmp_path / "run.plt"
    path.write_text(text(NAMES, 1))
    cases = [
        ([path, tmp_path / "." / "run.plt"], {}, ValueError, f"{path} is given twice: each file is one run"),
        ([], {}, ValueError, "paths is empty: give at least one plot file"),
        (str(path), {}, TypeError, "paths must be a list of paths, not one str: to_dask([path]) reads one"),
        ([path], {"threads": 0}, ValueError, "threads must be at least 1, not 0"),
        ([path], {"names": []}, ValueError, "names is empty: give at least one name, or None for every parameter"),
        ([path], {"names": ["VOID"]}, KeyError, "'VOID' is not a name in 'run.plt'"),
    ]
    for paths, options, error, message in cases:
        with pytest.raises(error) as raised:
            dunvel.to_dask(paths, **options)
        assert str(raised.value) == message


# Started on each worker by client.run: the most threads that its process
# held at once while it sampled, less those it held when it began.
_sampling = {}


def _start_sampling():
    tasks = os.listdir("/proc/self/task")
    _sampling.update(base=len(tasks) + 1, peak=0, stop=False)

    def sample():
        while not _sampling["stop"]:
            _sampling["peak"] = max(_sampling["peak"], len(os.listdir("/proc/self/task")))
            time.sleep(0.0005)

    _sampling["thread"] = threading.Thread(target=sample, daemon=True)
    _sampling["thread"].start()


def _stop_sampling():
    _sampling["stop"] = True
    _sampling["thread"].join()
    return _sampling["peak"] - _sampling["base"]


@pytest.mark.parametrize("threads, more", [(None, False), (2, True)], ids=["default", "threads-2"])
def test_a_worker_reads_on_its_own_threads(client, tmp_path_factory, threads, more):
    # A file large enough that read would parse it on every core.
    big = tmp_path_factory.getbasetemp() / "big.plt"
    if not big.exists():
        lines = text(NAMES * 3, 1).splitlines(keepends=True)
        header, step = lines[: 1 + 15], "".join(lines[1 + 15 :])
        big.write_text("".join(header) + step * ((9 << 20) // len(step) + 1))
    options = {} if threads is None else {"threads": threads}
    frame = dunvel.to_dask([big], **options).time.max()
    computed(client, frame)  # the worker's own threads start once it has work
    client.run(_start_sampling)
    # Several reads: on a loaded machine, one read's threads can come and go
    # between two samples.
    assert [computed(client, frame) for _ in range(5)] == [0.25] * 5
    extra = max(client.run(_stop_sampling).values())
    assert (extra > 0) == more, extra
