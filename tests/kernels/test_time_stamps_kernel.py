"""The time-stamp kernel against the pandas and NumPy calls whose figures
it merges: counts, order and extrema of the stamps, the distinct stamps and
gap counts of sorted runs, the gap mode, the smallest gaps and pandas'
intraday frequency inference."""

import numpy as np
import pandas as pd
import pytest

NAT = np.iinfo(np.int64).min


def axis_of(kind, n, rng):
    """Sorted int64 stamps of `kind` (nanoseconds)."""
    second = 1_000_000_000
    if kind == "even":
        steps = np.full(n, 60 * second)
    elif kind == "few-gaps":
        steps = rng.choice([0, 1, 2, 5], n) * second
    elif kind == "many-gaps":
        # More distinct gaps than the kernel's table holds: counted by sorting.
        steps = rng.integers(0, 50_000, n)
    else:
        raise AssertionError(kind)
    return 1_700_000_000 * second + np.cumsum(steps)


def pandas_alias(index):
    """pd.infer_freq as text, by the string form where pandas has one."""
    as_text = getattr(pd.tseries.frequencies, "infer_freq_str", None)
    return pd.infer_freq(index) if as_text is None else as_text(index)


KINDS = ["even", "few-gaps", "many-gaps"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("layout", ["sorted", "shuffled", "with-NaT", "short"])
def test_scan_counts_order_and_picks(kernels, kind, layout):
    rng = np.random.default_rng(len(kind) + len(layout))
    values = axis_of(kind, 20 if layout == "short" else 2000, rng)
    if layout in ("shuffled", "short"):
        values = rng.permutation(values)
    if layout == "with-NaT":
        values = np.where(rng.random(len(values)) < 0.1, NAT, values)
    rows, missing, picks, weights, ordered, filled, first, last = kernels.stamp_scan(values, 128)
    valid = pd.Series(values[values != NAT])
    assert (rows, missing) == (len(values), int((values == NAT).sum()))
    assert ordered.tolist() == [valid.is_monotonic_increasing]
    assert (filled.tolist(), first.tolist(), last.tolist()) == ([1], [valid.iloc[0]], [valid.iloc[-1]])
    ranked = np.sort(valid.to_numpy())
    want = ranked if len(ranked) <= 128 else ranked[np.linspace(0, len(ranked) - 1, 128).astype(np.int64)]
    np.testing.assert_array_equal(picks, want)
    np.testing.assert_array_equal(weights, np.full(len(want), len(ranked) / len(want)))


@pytest.mark.parametrize("nat", [False, True])
def test_scan_of_a_long_partition_out_of_order_samples_it(kernels, nat):
    # Only the cuts between ranges come from the picks: a fixed sample of
    # the partition, sorted, stands for it; spread over its span, weighing
    # its valid stamps.
    rng = np.random.default_rng(2)
    values = rng.permutation(axis_of("many-gaps", 100_000, rng))
    if nat:
        values[::3] = NAT
    valid = np.sort(values[values != NAT])
    _, _, picks, weights, ordered, _, _, _ = kernels.stamp_scan(values, 128)
    assert ordered.tolist() == [0] and len(picks) == 128
    assert np.all(np.diff(picks) >= 0) and np.isin(picks, valid).all()
    assert weights.sum() == pytest.approx(len(valid))
    # Evenly spaced in rank, within a few hundredths of the partition.
    ranks = np.searchsorted(valid, picks) / len(valid)
    assert np.abs(ranks - np.linspace(0, 1, 128)).max() < 0.05


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("tz", [None, "Europe/Berlin", "Australia/Lord_Howe"])
def test_run_is_pandas_on_the_sorted_stamps(test_entries, kind, tz):
    rng = np.random.default_rng(7)
    values = axis_of(kind, 6000, rng)
    index = pd.DatetimeIndex(values.view("M8[ns]"))
    wall = None if tz is None else index.tz_localize("UTC").tz_convert(tz).tz_localize(None).asi8
    summary, keys, counts = test_entries.stamp_run(values, wall, None)
    gaps = pd.Series(index).diff().dropna().astype("int64")
    table = gaps.value_counts().sort_index()
    np.testing.assert_array_equal(keys, table.index.to_numpy())
    np.testing.assert_array_equal(counts, table.to_numpy())
    assert summary["count"] == len(values)
    assert summary["distinct"] == len(index.unique())
    assert (summary["first"], summary["last"]) == (values.min(), values.max())
    np.testing.assert_array_equal(summary["utc_gaps"], np.unique(gaps)[:4])
    wall_clock = values if wall is None else wall
    np.testing.assert_array_equal(summary["wall_gaps"], np.unique(np.diff(wall_clock))[:4])
    assert (summary["first_wall"], summary["last_wall"]) == (wall_clock[0], wall_clock[-1])


def test_run_previous_stamp_and_refused_orders(test_entries):
    values = np.array([5, 5, 7, 9], dtype=np.int64)
    assert test_entries.stamp_run(values, None, None)[0]["distinct"] == 3
    assert test_entries.stamp_run(values, None, 5)[0]["distinct"] == 2
    assert test_entries.stamp_run(values, None, 4)[0]["distinct"] == 3
    for args in ((values, None, 6), (values[::-1], None, None)):
        with pytest.raises(RuntimeError, match="changed between two passes"):
            test_entries.stamp_run(*args)
    assert test_entries.stamp_run(np.zeros(0, np.int64), None, None)[0] == {"count": 0}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_runs", [1, 3, 8])
def test_split_runs_merge_into_the_whole(kernels, test_entries, kind, n_runs):
    # The axis cut into runs (cuts inside repeated stamps included), reduced
    # run by run, bucketed and merged: the whole axis' distinct count, ends,
    # smallest gaps and pandas' gap mode and its count.
    rng = np.random.default_rng(n_runs)
    values = axis_of(kind, 5000, rng)
    bounds = [0, *sorted(rng.integers(0, len(values), n_runs - 1)), len(values)]
    runs = [values[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    reduced = [test_entries.stamp_run(run, None, None) for run in runs]
    axis = kernels.stamp_axis([s for s, _, _ in reduced])
    whole = pd.Series(values.view("M8[ns]"))
    assert axis["distinct"] - np.count_nonzero(axis["straddling"] == 0) == whole.nunique()
    assert (axis["first"], axis["last"]) == (values[0], values[-1])
    gaps = whole.diff().dropna().astype("int64")
    np.testing.assert_array_equal(axis["utc_gaps"], np.unique(gaps)[:4])
    buckets = [test_entries.stamp_gap_buckets(k, c, n_runs) for _, k, c in reduced]
    modes = [kernels.stamp_gap_mode([b[h] for b in buckets], axis["straddling"], h, n_runs) for h in range(n_runs)]
    found = [(np.array([m[0]]), np.array([m[1]])) for m in modes if m is not None]
    gap, count = kernels.stamp_gap_mode(found, np.zeros(0, np.int64), 0, 1)
    assert gap == gaps.mode().iloc[0]
    assert count == int((gaps == gap).sum())


def test_mode_ties_take_the_smallest_gap(kernels):
    tables = [(np.array([1, 4]), np.array([2, 3])), (np.array([2]), np.array([3]))]
    assert kernels.stamp_gap_mode(tables, np.zeros(0, np.int64), 0, 1) == (2, 3)
    assert kernels.stamp_gap_mode(tables, np.array([1], np.int64), 0, 1) == (1, 3)
    assert kernels.stamp_gap_mode([], np.zeros(0, np.int64), 0, 1) is None
    with pytest.raises(RuntimeError, match="not sorted"):
        kernels.stamp_gap_mode([(np.array([3, 1]), np.array([1, 1]))], np.zeros(0, np.int64), 0, 1)


FREQUENCIES = ["h", "3h", "15min", "s", "90s", "250ms", "7us", "123456789us", "13ns", "bh", "D", "2D", "W-WED"]


@pytest.mark.parametrize("freq", FREQUENCIES)
@pytest.mark.parametrize("unit", ["ns", "us", "s"])
def test_frequency_is_pandas_inference(test_entries, freq, unit):
    index = pd.date_range("2024-03-08 09:00", periods=200, freq=freq, unit="ns")
    if (index.asi8 % {"ns": 1, "us": 1000, "s": 10**9}[unit]).any():
        pytest.skip("the step is below the unit")
    index = index.as_unit(unit)
    values = index.asi8
    summary, _, _ = test_entries.stamp_run(values, None, None)
    per_second = {"s": 1, "ms": 1_000, "us": 1_000_000, "ns": 1_000_000_000}[unit]
    day_spaced, alias = test_entries.stamp_frequency(summary["wall_gaps"], summary["utc_gaps"], per_second)
    inferred = pandas_alias(index)
    assert day_spaced == (freq in ("D", "2D", "W-WED"))
    if not day_spaced:
        assert alias == inferred


def test_irregular_intraday_axis_has_no_frequency(test_entries):
    index = pd.DatetimeIndex(["2024-01-01 00:00", "2024-01-01 00:01", "2024-01-01 00:03"])
    summary, _, _ = test_entries.stamp_run(index.asi8, None, None)
    assert test_entries.stamp_frequency(summary["wall_gaps"], summary["utc_gaps"], 10**9) == (False, None)
    assert pandas_alias(index) is None


@pytest.mark.parametrize(
    ("pieces", "in_order"),
    [
        ([[1, 2, 3], [3, 4], [], [NAT, 9]], True),
        ([[1, 2, 3], [2, 4]], False),
        ([[1, 3, 2]], False),
        ([[NAT], [NAT, NAT]], True),
    ],
)
@pytest.mark.parametrize("road", [True, False])
def test_plan_takes_the_partitions_only_in_order(kernels, pieces, in_order, road):
    states = [kernels.stamp_scan(np.array(p, dtype=np.int64), 128) for p in pieces]
    state = kernels.stamp_scan_merge(states)
    ranges, cuts, previous = kernels.stamp_plan(state, 2, road)
    valid = [v for p in pieces for v in p if v != NAT]
    assert (state[0], state[1]) == (sum(map(len, pieces)), sum(p.count(NAT) for p in pieces))
    if road and in_order:
        lasts = [max([v for v in p if v != NAT], default=None) for p in pieces]
        want = [next((x for x in reversed(lasts[:i]) if x is not None), None) for i in range(len(pieces))]
        assert (previous, ranges, len(cuts)) == (want, max(1, -(-len(valid) // 2)), 0)
    else:
        assert previous is None
        assert ranges == len(cuts) + 1
        assert all(min(valid) < c <= max(valid) for c in cuts)
        assert list(cuts) == sorted(set(cuts))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("nat", [0, 7])
def test_facts_are_pandas_on_the_axis(kernels, test_entries, kind, nat):
    # Sorted with NaT last, as the in-memory analysis' axis: its periods
    # (NaT one more), gap mode and irregular share.
    rng = np.random.default_rng(nat)
    values = axis_of(kind, 3000, rng)
    index = pd.DatetimeIndex(np.concatenate([values, np.full(nat, NAT)]).view("M8[ns]"))
    half = len(values) // 2
    reduced = [test_entries.stamp_run(run, None, None) for run in (values[:half], values[half:])]
    axis = kernels.stamp_axis([s for s, _, _ in reduced])
    modes = [kernels.stamp_gap_mode([(k, c) for _, k, c in reduced], axis["straddling"], 0, 1)]
    facts = test_entries.stamp_facts(len(index), nat, axis["distinct"], modes)
    diffs = index.to_series().diff().dropna()
    reference = diffs.mode().iloc[0]
    assert facts["unique_periods"] == len(index.unique())
    assert facts["n_distinct"] == index.dropna().nunique()
    assert facts["has_duplicates"] == index.dropna().has_duplicates
    assert facts["n_gaps"] == len(diffs)
    assert pd.Timedelta(facts["gap_mode"], unit="ns") == reference
    assert facts["irregular_share"] == float((diffs != reference).mean())
    empty = test_entries.stamp_facts(2, 1, 1, [None])
    assert (empty["gap_mode"], empty["n_gaps"], empty["irregular_share"]) == (None, 0, 0.0)


@pytest.mark.parametrize("n_parts", [1, 4, 16])
@pytest.mark.parametrize("order", ["shuffled", "reversed"])
def test_value_ranges_are_about_rows_per_range(kernels, n_parts, order):
    # The cuts of shuffled or reversed partitions: about 5,000 stamps a
    # range, never an empty range, never a range several times too large.
    rng = np.random.default_rng(n_parts)
    values = axis_of("many-gaps", 40_000, rng)
    values = rng.permutation(values) if order == "shuffled" else values[::-1].copy()
    states = [kernels.stamp_scan(part, 128) for part in np.array_split(values, n_parts)]
    ranges, cuts, previous = kernels.stamp_plan(kernels.stamp_scan_merge(states), 5_000, True)
    assert previous is None and ranges == len(cuts) + 1 == 8
    sizes = np.diff(np.searchsorted(np.sort(values), cuts, side="left"), prepend=0, append=len(values))
    assert sizes.min() > 0 and sizes.max() < 2 * 5_000


@pytest.mark.parametrize("dtype", ["int64", "int32", "uint16"])
def test_integer_axis_facts_are_pandas(kernels, test_entries, dtype):
    # An integer axis with repeats: its distinct values and the most common
    # difference of the sorted values, as pandas reads them off the index.
    values = np.sort(np.random.default_rng(3).integers(0, 3000, 4000)).astype(dtype)
    summary, keys, counts = test_entries.stamp_run(values.astype(np.int64), None, None)
    modes = [kernels.stamp_gap_mode([(keys, counts)], np.zeros(0, np.int64), 0, 1)]
    facts = test_entries.stamp_facts(len(values), 0, summary["distinct"], modes)
    diffs = pd.Index(values).to_series().diff().dropna()
    assert facts["unique_periods"] == len(pd.Index(values).unique())
    assert facts["gap_mode"] == diffs.mode().iloc[0]
    assert facts["irregular_share"] == float((diffs != diffs.mode().iloc[0]).mean())


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_cuts", [0, 1, 5])
@pytest.mark.parametrize("nat", [False, True])
def test_route_is_numpys_split_of_the_sorted_stamps(kernels, kind, n_cuts, nat):
    # Each range holds what np.split gives of the sorted valid stamps (a
    # stamp equal to a cut opens that cut's range), in row order.
    rng = np.random.default_rng(n_cuts + nat)
    values = rng.permutation(axis_of(kind, 3000, rng))
    if nat:
        values[rng.random(len(values)) < 0.1] = NAT
    valid = values[values != NAT]
    cuts = np.sort(rng.choice(valid, n_cuts, replace=False))
    routed = kernels.stamp_route(values, cuts)
    ranked = np.sort(valid)
    want = np.split(ranked, np.searchsorted(ranked, cuts, side="left"))
    assert len(routed) == len(want) == n_cuts + 1
    for got, piece in zip(routed, want, strict=True):
        np.testing.assert_array_equal(np.sort(got), piece)
        # Row order: the stamps of the range as they stand in `valid`.
        np.testing.assert_array_equal(got, valid[np.isin(valid, piece)])
    with pytest.raises(RuntimeError, match="not sorted"):
        kernels.stamp_route(values, np.array([3, 1], np.int64))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("tz", [None, "Europe/Berlin"])
@pytest.mark.parametrize("previous", [None, "first"])
def test_reduce_skips_nat_and_buckets_the_run(kernels, test_entries, kind, tz, previous):
    # One call against the run of the valid stamps and its bucketed gap
    # table; the wall clock loses the same positions as the stamps.
    rng = np.random.default_rng(len(kind))
    values = axis_of(kind, 4000, rng)
    with_nat = np.where(rng.random(len(values)) < 0.05, NAT, values)
    valid = with_nat[with_nat != NAT]
    wall = None
    if tz is not None:
        index = pd.DatetimeIndex(with_nat.view("M8[ns]"))
        wall = index.tz_localize("UTC").tz_convert(tz).tz_localize(None).asi8
    before = None if previous is None else int(valid[0])
    summary, buckets = kernels.stamp_reduce(with_nat, wall, before, 3)
    want, keys, counts = test_entries.stamp_run(valid, None if wall is None else wall[with_nat != NAT], before)
    assert summary.keys() == want.keys()
    for key, value in want.items():
        np.testing.assert_array_equal(summary[key], value, err_msg=key)
    for (k, c), (wk, wc) in zip(buckets, test_entries.stamp_gap_buckets(keys, counts, 3), strict=True):
        np.testing.assert_array_equal(k, wk)
        np.testing.assert_array_equal(c, wc)
    with pytest.raises(RuntimeError, match="changed between two passes"):
        kernels.stamp_reduce(with_nat[::-1].copy(), None, None, 3)
    with pytest.raises(RuntimeError, match="at least one gap bucket"):
        kernels.stamp_reduce(with_nat, None, None, 0)


@pytest.mark.parametrize(
    ("freq", "layout"),
    [
        ("min", "unique"),
        ("250ms", "unique"),
        ("bh", "unique"),
        ("D", "unique"),
        ("W-WED", "unique"),
        ("min", "repeated"),
        ("min", "NaT"),
        ("h", "short"),
        ("min", "given"),
    ],
)
def test_finish_is_pandas_on_the_axis(kernels, test_entries, freq, layout):
    # The facts, ends and inference of the whole axis against pandas on the
    # sorted index (NaT last): inference only for a unique axis of three or
    # more stamps, and day-spaced axes left to pandas' own.
    index = pd.date_range("2024-03-08 09:00", periods=2 if layout == "short" else 300, freq=freq, unit="ns")
    values = index.asi8
    if layout == "repeated":
        values = np.sort(np.concatenate([values, values[:5]]))
    nat = 4 if layout == "NaT" else 0
    half = len(values) // 2
    reduced = [test_entries.stamp_run(run, None, None) for run in (values[:half], values[half:])]
    axis = kernels.stamp_axis([s for s, _, _ in reduced])
    modes = [kernels.stamp_gap_mode([(k, c) for _, k, c in reduced], axis["straddling"], 0, 1)]
    rows = len(values) + nat
    done = kernels.stamp_finish(rows, nat, axis, modes, 0 if layout == "given" else 10**9)
    facts = test_entries.stamp_facts(rows, nat, axis["distinct"], modes)
    assert {k: done[k] for k in facts} == facts
    whole = pd.DatetimeIndex(np.concatenate([values, np.full(nat, NAT)]).view("M8[ns]"))
    assert (done["first"], done["last"]) == (whole.min().value, whole.max().value)
    day_spaced = freq in ("D", "W-WED") and layout == "unique"
    assert done["day_spaced"] is day_spaced
    if layout in ("short", "given") or day_spaced:
        assert done["inferred_alias"] is None
    else:
        # pandas infers nothing for a repeated stamp or NaT either.
        assert done["inferred_alias"] == pandas_alias(whole)
    empty = kernels.stamp_finish(3, 3, kernels.stamp_axis([]), [None], 10**9)
    assert (empty["first"], empty["last"], empty["day_spaced"], empty["inferred_alias"]) == (NAT, NAT, False, None)
