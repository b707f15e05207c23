"""Two runs compared as a regression test compares them: the value rule
(NaN, infinities, -0.0, tolerances), restarts left out, steps matched by
time, interpolation, names of one run only, paths and Plots alike, bad
arguments, and the text and JSON that the command prints."""

import json
import math

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import dunvel
from dunvel import _compare

NAN, INF = math.nan, math.inf


def made(times, columns, names=None, steps=None, path="dir/made.plt"):
    """A Plot of columns (one list of values per parameter)."""
    times = np.array(times, dtype=np.float64)
    values = np.array(columns, dtype=np.float32).reshape(len(columns), len(times)).T.copy()
    names = tuple(names or [f"P{k}" for k in range(len(columns))])
    steps = None if steps is None else np.array(steps, dtype=np.int64)
    return dunvel.Plot(path, 12, names, times, values, steps)


ULP = float(np.spacing(np.float32(1.0)))  # 2**-23

# base, new, options, differs, max_rel
VALUE_RULE = [
    (1.0, 1.0, {}, False, 0.0),
    (1.0, 1.0 + ULP, {}, True, ULP),
    (1.0, 1.0 + ULP, {"atol": ULP}, False, ULP),
    (1.0, 1.0 + ULP, {"atol": ULP / 2}, True, ULP),
    (0.0, -0.0, {}, True, 0.0),
    (0.0, -0.0, {"atol": 1e-30}, False, 0.0),
    (-0.0, 0.0, {"rtol": 0.5}, False, 0.0),
    (NAN, NAN, {}, False, 0.0),
    (NAN, NAN, {"rtol": 1.0}, False, 0.0),
    (NAN, 1.0, {}, True, INF),
    (1.0, NAN, {"atol": INF}, True, INF),
    (INF, INF, {}, False, 0.0),
    (-INF, -INF, {"rtol": 1.0}, False, 0.0),
    (INF, -INF, {"atol": INF}, True, INF),
    (INF, 3e38, {"atol": INF}, True, INF),
    (0.0, 1.0, {"rtol": 1e9}, True, INF),
    (0.0, 1.0, {"atol": 1.0}, False, INF),
    (2.0, 3.0, {}, True, 0.5),
    # The relative tolerance is of base, not of new.
    (100.0, 101.0, {"rtol": 0.01}, False, 0.01),
    (100.0, 101.0, {"rtol": 0.00995}, True, 0.01),
    (101.0, 100.0, {"rtol": 0.00995}, False, 1 / 101),
    (100.0, 102.0, {"rtol": 0.01, "atol": 1.0}, False, 0.02),
    (100.0, 102.0, {"rtol": 0.01, "atol": 0.99}, True, 0.02),
    (-100.0, -101.0, {"rtol": 0.01}, False, 0.01),
]


@pytest.mark.parametrize("base, new, options, differs, max_rel", VALUE_RULE)
def test_value_rule(base, new, options, differs, max_rel):
    found = dunvel.compare(made([0.0, 0.5], [[7.0, base]]), made([0.0, 0.5], [[7.0, new]]), **options)
    assert (found.ok, found.steps_differing.tolist()) == (not differs, [int(differs)])
    assert found.max_rel[0] == pytest.approx(max_rel, rel=1e-6)
    # Where a difference is, is told by base's time.
    expected_time = 0.5 if differs or found.max_abs[0] > 0 else NAN
    assert found.max_abs_time[0] == pytest.approx(expected_time, nan_ok=True)


def test_largest_difference_and_its_first_time_across_blocks():
    # More values than one block holds: the largest must hold from block to block.
    n = 400_000
    times = np.arange(n) * 0.5
    base = np.zeros((3, n))
    new = base.copy()
    new[0, [10, 350_000]] = [1.0, 4.0]  # larger in the second block
    new[1, [20, 300_000, 390_000]] = [3.0, 3.0, 3.0]  # the same, first in the first
    new[2, [5, 370_000]] = [-0.0, -0.0]  # differs, by 0
    found = dunvel.compare(made(times, base), made(times, new))
    assert found.max_abs.tolist() == [4.0, 3.0, 0.0]
    assert found.max_abs_time.tolist() == [175_000.0, 10.0, 2.5]
    assert found.max_rel_time.tolist() == [5.0, 10.0, 2.5]
    assert found.steps_differing.tolist() == [2, 3, 2]


# times -> step numbers kept
RESTARTS = [
    ([0, 1, 2, 3], [0, 1, 2, 3]),
    ([0, 1, 2, 3, 1.5, 2.5, 3.5], [0, 1, 4, 5, 6]),
    # Back to a time that a step had: that step is superseded too.
    ([0, 1, 2, 3, 2, 3], [0, 1, 4, 5]),
    # Nested: a second restart back beyond the first.
    ([0, 1, 2, 3, 4, 2, 3, 1, 2, 5], [0, 7, 8, 9]),
    ([0, 1, 2, 3, 4, 2.5, 3, 3.5, 3.2, 4], [0, 1, 2, 5, 6, 8, 9]),
    ([0, 1, 2, 3, -1, 0], [4, 5]),
    # Equal times without a step back are kept.
    ([0, 1, 1, 2, 2, 3], [0, 1, 2, 3, 4, 5]),
    ([0, 1, 1, 2, 1, 1], [0, 4, 5]),
    # No time: kept, and the step before a restart is the last with a time.
    ([0, 1, NAN, 2, 0.5, NAN, 1], [0, 2, 4, 5, 6]),
    ([0, 2, NAN, 1], [0, 2, 3]),
    ([NAN, NAN, 1, NAN, 0], [0, 1, 3, 4]),
    ([], []),
]


@pytest.mark.parametrize("times, kept", RESTARTS)
def test_drop_restarts(times, kept):
    plot = made(times, [np.arange(len(times)) * 10.0], steps=np.arange(len(times)) + 100)
    dropped = plot.drop_restarts()
    assert (dropped.steps - 100).tolist() == kept
    assert dropped.values[:, 0].tolist() == [10.0 * k for k in kept]
    assert np.array_equal(dropped.times, np.array(times, dtype=float)[kept], equal_nan=True)
    assert (dropped.names, dropped.path, dropped.width, dropped.complete) == (
        plot.names, plot.path, plot.width, plot.complete
    )
    assert dropped is not plot
    if len(kept) == len(times):
        assert dropped == plot


def test_restarts_dropped_or_kept():
    base = made([0, 1, 2, 3], [[0, 1, 2, 3]])
    restarted = made([0, 1, 2, 1, 2, 3], [[0, 9, 9, 1, 2, 3]])
    dropped = dunvel.compare(base, restarted)
    assert dropped.ok and dropped.dropped_base.tolist() == [] and dropped.dropped_new.tolist() == [1, 2]
    # Kept, the steps match in time order, the superseded ones first.
    kept = dunvel.compare(base, restarted, restarts="keep")
    assert (kept.steps_differing.tolist(), kept.steps_only_in_new.tolist(), kept.dropped_new.tolist()) == (
        [2], [3, 4], []
    )


# base times, new times, tolerance -> steps only in base, only in new, pairs (by value)
MATCHING = [
    ([0, 1, 2, 3], [0, 1, 2, 3], 0.0, [], [], None),
    ([0, 1, 2, 3], [0, 1.05, 2.2, 3], 0.1, [2], [2], None),
    ([0, 1, 2, 3], [0, 1.05, 2.2, 3], 0.0, [1, 2], [1, 2], None),
    ([0, 1, 2], [0, 0.5, 1, 1.5, 2], 0.0, [], [1, 3], None),
    # A time twice: the first with the first.
    ([0, 1, 1, 2], [0, 1, 2], 0.0, [2], [], [(0, 0), (1, 1), (3, 2)]),
    ([0, 1, 2], [0, 1, 1, 2], 0.0, [], [2], [(0, 0), (1, 1), (2, 3)]),
    # Each base step takes the first new step left within the tolerance.
    ([1.0, 1.1, 1.2], [1.1, 1.2], 0.15, [2], [], [(0, 0), (1, 1)]),
    ([0, 10], [], 0.0, [0, 1], [], None),
    # A step without a time matches only one without a time, by step number.
    ([0, NAN, 2], [0, 1, 2], 0.0, [1], [1], None),
    ([0, NAN, 2], [0, NAN, 2], 0.0, [], [], None),
    ([NAN, 0, 1], [0, 1, NAN], 0.0, [0], [2], None),
]


@pytest.mark.parametrize("base_times, new_times, tolerance, only_base, only_new, pairs", MATCHING)
def test_steps_matched_by_time(base_times, new_times, tolerance, only_base, only_new, pairs):
    # Values that tell which step of base met which of new: 1000 b + n in
    # base, 1000 b' + n' in new, equal only for the pairs expected.
    pairs = pairs or [(b, n) for b, n in zip(
        [i for i in range(len(base_times)) if i not in only_base],
        [i for i in range(len(new_times)) if i not in only_new],
    )]
    base_values = [1000.0 * i for i in range(len(base_times))]
    new_values = [0.5] * len(new_times)
    for b, n in pairs:
        new_values[n] = 1000.0 * b
    found = dunvel.compare(
        made(base_times, [base_values]), made(new_times, [new_values]), time_tolerance=tolerance
    )
    assert found.steps_only_in_base.tolist() == only_base
    assert found.steps_only_in_new.tolist() == only_new
    assert found.steps_differing.tolist() == [0]
    assert found.steps_compared == len(pairs)
    assert np.array_equal(found.times_only_in_base, np.array(base_times, float)[only_base], equal_nan=True)


def test_runs_without_times_matched_by_step_number():
    base = made([NAN] * 3, [[1, 2, 3]], steps=[0, 1, 2])
    new = made([NAN] * 3, [[2, 3, 4]], steps=[1, 2, 3])
    found = dunvel.compare(base, new)
    assert (found.steps_only_in_base.tolist(), found.steps_only_in_new.tolist()) == ([0], [3])
    assert (found.steps_compared, found.steps_differing.tolist(), found.ok) == (2, [0], False)


def test_interpolated_onto_base_times():
    base = made([-0.5, 0, 0.5, 1, 1.5, 2], [[9, 0, 5, 10, 15.5, 20], [1, 1, 1, 1, 1, 1]])
    # At a time of new's own, its value is taken as it is, whatever follows.
    new = made([0, 1, 2, 3], [[0, 10, 20, 30], [1, 1, 1, INF]])
    found = dunvel.compare(base, new, interpolate=True)
    assert (found.steps_only_in_base.tolist(), found.steps_only_in_new.tolist()) == ([0], [])
    assert found.steps_differing.tolist() == [1, 0]
    assert (found.max_abs[0], found.max_abs_time[0]) == (0.5, 1.5)
    within = dunvel.compare(base, new, interpolate=True, atol=0.5)
    assert within.steps_differing.tolist() == [0, 0]
    # Within the tolerance of new's first time, the value at it.
    widened = dunvel.compare(base, new, interpolate=True, atol=9, time_tolerance=0.5)
    assert (widened.steps_only_in_base.tolist(), widened.max_abs[0]) == ([], 9.0)


def test_names_of_one_run_only():
    base = made([0], [[1], [2], [3], [4]], names=["A", "B", "A", "C"])
    new = made([0], [[2], [1], [5]], names=["B", "A", "D"])
    found = dunvel.compare(base, new)
    # The k-th A with the k-th: the second A of base meets none.
    assert (found.names, found.names_only_in_base, found.names_only_in_new) == (("A", "B"), ("A", "C"), ("D",))
    assert (found.steps_differing.tolist(), found.ok) == ([0, 0], False)
    assert dunvel.compare(base, base).ok


def test_paths_and_plots_alike(write_plot):
    names = ["PRES", "TEMP", "FLOW"]
    base = write_plot(names, [[1.0, 2.0, 3.0], [1.5, 2.5, 3.5]], block_start="TIME {i}.5")
    new = write_plot(names, [[1.0, 2.0, 3.0], [1.5, 2.25, 3.5]], block_start="TIME {i}.5")
    for chosen in (None, ["T*", "FLOW"]):
        from_paths = dunvel.compare(base, new, names=chosen)
        from_plots = dunvel.compare(dunvel.read(base), dunvel.read(new), names=chosen)
        for found in (from_paths, from_plots):
            assert found.names == (tuple(names) if chosen is None else ("TEMP", "FLOW"))
            assert found.steps_differing.tolist() == [0, 1, 0][3 - len(found.names) :]
            assert found.max_abs_time[found.names.index("TEMP")] == 1.5
    with pytest.raises(KeyError, match="'VOID' is not a name"):
        dunvel.compare(dunvel.read(base), new, names="VOID")


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"rtol": -1e-9}, ValueError, "rtol must be at least 0, not -1e-09"),
        ({"atol": NAN}, ValueError, "atol must be at least 0, not nan"),
        ({"time_tolerance": -1}, ValueError, "time_tolerance must be at least 0"),
        ({"rtol": "0.1"}, TypeError, "rtol must be a real number, not str"),
        ({"atol": True}, TypeError, "atol must be a real number, not bool"),
        ({"interpolate": 1}, TypeError, "interpolate must be a bool, not int"),
        ({"restarts": "drop all"}, ValueError, "restarts must be 'drop' or 'keep', not 'drop all'"),
        ({"names": []}, ValueError, "names is empty"),
        ({"names": 3}, TypeError, "names must be a str or a list of str"),
    ],
)
def test_bad_arguments_fail_before_any_file_is_read(options, error, message, tmp_path):
    missing = str(tmp_path / "missing.plt")
    with pytest.raises(error, match=message.replace("(", r"\(")):
        dunvel.compare(missing, missing, **options)


def test_a_run_that_is_neither_a_plot_nor_a_path():
    with pytest.raises(TypeError, match="new must be a Plot or a path, not int"):
        dunvel.compare(made([0], [[1]]), 3)


def test_to_pandas_has_a_row_per_parameter():
    found = dunvel.compare(made([0, 1], [[1, 2], [0, 0]], ["A", "B"]), made([0, 1], [[1, 3], [0, 0]], ["A", "B"]))
    frame = found.to_pandas()
    assert frame.index.name == "name" and list(frame.index) == ["A", "B"]
    assert frame.to_dict("index") == {
        "A": {"max_abs": 1.0, "max_abs_time": 1.0, "max_rel": 0.5, "max_rel_time": 1.0, "steps_differing": 1},
        "B": pytest.approx(
            {"max_abs": 0.0, "max_abs_time": NAN, "max_rel": 0.0, "max_rel_time": NAN, "steps_differing": 0},
            nan_ok=True,
        ),
    }


def test_render_and_json():
    base = made([0, 1, 2], [[1, 2, 3], [0, 0, 0], [5, 5, 5]], ["PRES", "FLOW", "GONE"])
    new = made([0, 1, 2.5], [[1, 2.5, 3], [-0.0, 1, 0], [7, 7, 7]], ["PRES", "FLOW", "NEW"])
    found = dunvel.compare(base, new)
    assert _compare.render(found).splitlines() == [
        "name  max abs  at time  max rel  at time  steps",
        "PRES      0.5      1.0     0.25      1.0      1",
        "FLOW        1      1.0      inf      1.0      2",
        "names only in base: GONE",
        "names only in new: NEW",
        "steps only in base: 2 (time 2.0)",
        "steps only in new: 2 (time 2.5)",
        "2 of 2 parameters differ; 1 step only in base, 1 only in new; 1 name only in base, 1 only in new",
    ]
    assert json.loads(json.dumps(_compare.as_json(found), allow_nan=False)) == {
        "ok": False,
        "base": "dir/made.plt",
        "new": "dir/made.plt",
        "steps_compared": 2,
        "parameters": [
            {"name": "PRES", "max_abs": 0.5, "max_abs_time": 1.0, "max_rel": 0.25, "max_rel_time": 1.0,
             "steps_differing": 1},
            {"name": "FLOW", "max_abs": 1.0, "max_abs_time": 1.0, "max_rel": "Infinity", "max_rel_time": 1.0,
             "steps_differing": 2},
        ],
        "names_only_in_base": ["GONE"],
        "names_only_in_new": ["NEW"],
        "steps_only_in_base": [2],
        "steps_only_in_new": [2],
        "times_only_in_base": [2.0],
        "times_only_in_new": [2.5],
        "dropped_base": [],
        "dropped_new": [],
    }


def test_render_and_json_of_runs_that_agree():
    plot = made([0, 1, 0.5, NAN], [[1, 2, 3, 4]])
    found = dunvel.compare(plot, plot)
    assert _compare.render(found) == "no differences: 1 parameter, 3 steps compared\n"
    document = _compare.as_json(found)
    assert document["ok"] is True and document["parameters"][0]["max_abs_time"] is None
    assert document["dropped_base"] == document["dropped_new"] == [1]


# Times with equal ones, steps back and steps without a time; values with
# every kind of float32 there is.
TIMES = st.sampled_from([0.0, 0.5, 1.0, 1.0, 2.0, 3.0, NAN])
VALUES = st.one_of(
    st.floats(width=32),
    st.sampled_from([0.0, -0.0, INF, -INF, NAN, 1e-45, -3.4028235e38]),
)


@st.composite
def plots(draw):
    steps = draw(st.integers(0, 12))
    times = draw(st.lists(TIMES, min_size=steps, max_size=steps))
    names = draw(st.lists(st.sampled_from("ABC"), min_size=1, max_size=4))
    columns = [draw(st.lists(VALUES, min_size=steps, max_size=steps)) for _ in names]
    return made(times, columns, names)


@settings(max_examples=300, deadline=None)
@given(plots(), st.sampled_from(["drop", "keep"]), st.booleans())
def test_a_run_compared_with_itself(plot, restarts, interpolate):
    times = plot.drop_restarts().times if restarts == "drop" else plot.times
    timed = times[~np.isnan(times)]
    # Onto a time that new holds twice, interpolation takes one of them.
    assume(not interpolate or np.unique(timed).size == timed.size)
    found = dunvel.compare(plot, plot, restarts=restarts, interpolate=interpolate)
    assert (found.ok, found.names, found.steps_compared) == (True, plot.names, len(times))


@settings(max_examples=300, deadline=None)
@given(plots())
def test_what_restarts_leave(plot):
    kept = plot.drop_restarts()
    timed = kept.times[~np.isnan(kept.times)]
    assert np.all(np.diff(timed) >= 0)
    # Every step left out has a later one at its time or before it.
    gone = np.setdiff1d(plot.steps, kept.steps)
    assert all(np.nanmin(plot.times[step + 1 :]) <= plot.times[step] for step in gone)
    assert np.isnan(plot.times[gone]).sum() == 0


@settings(max_examples=300, deadline=None)
@given(plots(), st.data())
def test_one_value_changed_is_found_at_its_time(plot, data):
    # Steps one after another, so that each matches the same one.
    if not len(plot):
        return
    times = np.arange(len(plot), dtype=float) * 0.25
    if data.draw(st.booleans()):
        times[data.draw(st.integers(0, len(plot) - 1))] = NAN
    base = dunvel.Plot(plot.path, 12, plot.names, times, plot.values)
    step = data.draw(st.integers(0, len(base) - 1))
    column = data.draw(st.integers(0, len(base.names) - 1))
    changed = base.values.copy()
    before = changed[step, column]
    after = data.draw(VALUES.filter(lambda v: np.float32(v).tobytes() != before.tobytes()))
    if np.isnan(before) and np.isnan(after):
        after = 1.0
    changed[step, column] = after
    found = dunvel.compare(base, dunvel.Plot(plot.path, 12, plot.names, times, changed))
    expected = [0] * len(base.names)
    expected[column] = 1
    assert found.steps_differing.tolist() == expected
    assert np.array_equal(found.max_abs_time[[column]], times[[step]], equal_nan=True)
