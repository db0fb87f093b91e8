"""The recent-points kernel against the NumPy steps the Dask time-series
sample took before it: a lexsort by (missing time, time key, position) whose
tail are the most recent rows, pass 1's facts as counts and extremes, and the
bound from whole partitions that leaves earlier rows out."""

import numpy as np
import pytest


def by_lexsort(key, missing, valid, points, bound=None):
    rows = np.arange(len(key)) if valid is None else np.flatnonzero(valid)
    if bound is not None:
        untimed_only, at = bound
        rows = rows[missing[rows] if untimed_only else missing[rows] | (key[rows] >= at)]
    if len(rows) <= points:
        return rows
    return np.sort(rows[np.lexsort((rows, key[rows], missing[rows]))[-points:]])


def keys_of(kind, n, rng):
    if kind == "int64-ties":
        return rng.integers(-3, 4, n)
    if kind == "nanoseconds":
        # A nanosecond apart near 2024: one value as float64.
        return 1_717_200_000_000_000_000 + rng.integers(0, 6, n)
    if kind == "uint64-high":
        return np.uint64(2**63) + rng.integers(0, 5, n).astype(np.uint64)
    if kind == "float-zeros":
        # Both zeros are one time: their rows order by position.
        return rng.choice([-1.5, -0.0, 0.0, 2.25, np.inf], n)
    raise AssertionError(kind)


KINDS = ["int64-ties", "nanoseconds", "uint64-high", "float-zeros"]


def frame(kind, n, seed):
    rng = np.random.default_rng(seed)
    key = keys_of(kind, n, rng)
    missing = rng.random(n) < 0.15
    key[missing] = 0
    return key, missing, rng.random(n) < 0.8


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n, points", [(0, 3), (5, 9), (40, 1), (200, 17), (200, 160), (5000, 700)])
def test_rows_are_the_lexsort_tail(kernels, kind, n, points):
    key, missing, valid = frame(kind, n, n + points)
    for mask in (valid, None):
        got = kernels.recent_rows(key, missing, mask, points, None)
        assert got.dtype == np.int64
        np.testing.assert_array_equal(got, by_lexsort(key, missing, mask, points))
    timed = key[~missing & valid]
    for bound in [(True, None), *((False, v) for v in np.unique(timed)[:: max(len(timed) // 4, 1)])]:
        got = kernels.recent_rows(key, missing, valid, points, bound)
        np.testing.assert_array_equal(got, by_lexsort(key, missing, valid, points, bound))


def test_a_nan_time_is_the_latest_time(kernels):
    # An Arrow float holds NaN apart from its missing cells; both NumPy's and
    # Arrow's sorts put it after every number, before the missing times.
    key = np.array([np.nan, 3.0, 0.0, np.nan, 1.0])
    missing = np.array([False, False, True, False, False])
    np.testing.assert_array_equal(kernels.recent_rows(key, missing, None, 3, None), [0, 2, 3])
    np.testing.assert_array_equal(kernels.recent_rows(key, missing, None, 3, (False, 2.0)), [0, 2, 3])
    facts = kernels.recent_facts(key, missing, np.ones(5, bool))
    assert facts[:3] == (5, 1, 1.0) and np.isnan(facts[3])


@pytest.mark.parametrize("kind", KINDS)
def test_facts_are_counts_and_extremes(kernels, kind):
    key, missing, valid = frame(kind, 300, 7)
    timed = key[valid & ~missing]
    assert kernels.recent_facts(key, missing, valid) == (
        int(valid.sum()),
        int((valid & missing).sum()),
        timed.min(),
        timed.max(),
    )
    assert kernels.recent_facts(key, missing, np.zeros(300, bool)) == (0, 0, None, None)
    assert kernels.recent_facts(key, np.ones(300, bool), valid) == (int(valid.sum()), int(valid.sum()), None, None)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("order", ["shuffled", "sorted"])
@pytest.mark.parametrize("points", [1, 6, 40, 400, 2000])
def test_the_bound_leaves_the_most_recent_rows_unchanged(kernels, kind, order, points):
    # The plan's partitions, each narrowed by the bound and merged in
    # partition order, give the rows of the whole frame without it.
    key, missing, valid = frame(kind, 1500, points)
    if order == "sorted":
        at = np.lexsort((np.arange(1500), key, missing))
        key, missing, valid = key[at], missing[at], valid[at]
    cuts = [0, 10, 400, 400, 700, 1300, 1500]
    pieces = [slice(a, b) for a, b in zip(cuts, cuts[1:], strict=False)]
    facts = [kernels.recent_facts(key[s], missing[s], valid[s]) for s in pieces]
    # Per partition, each target's bound: a target without a key dtype takes none.
    plans = kernels.recent_plans([key.dtype, None], [facts, facts], points)
    whole = by_lexsort(key, missing, valid, points)
    assert len(plans) == len(pieces) and all(second is None for _, second in plans)
    if all(first is None for first, _ in plans):
        assert valid.sum() <= points
        return
    reaches = [first is not False for first, _ in plans]
    assert any(reaches) and len({first for first, _ in plans if first is not False}) == 1
    untimed_only, bound = next(first for first, _ in plans if first is not False)
    assert len(reaches) == len(pieces) and (untimed_only or bound is not None)
    chosen = [
        s.start + kernels.recent_rows(key[s], missing[s], valid[s], points, (untimed_only, bound))
        for s, reach in zip(pieces, reaches, strict=True)
        if reach
    ]
    rows = np.concatenate(chosen)
    merged = rows[kernels.recent_rows(key[rows], missing[rows], None, points, None)]
    np.testing.assert_array_equal(merged, whole)
    # A partition left out holds none of them.
    for s, reach in zip(pieces, reaches, strict=True):
        assert reach or not np.any((whole >= s.start) & (whole < s.stop))


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda k: k.recent_rows(np.zeros(3, np.int32), np.zeros(3, bool), None, 1, None), TypeError),
        (lambda k: k.recent_rows(np.zeros(3), np.zeros(2, bool), None, 1, None), ValueError),
        (lambda k: k.recent_rows(np.zeros(3), np.zeros(3, bool), None, -1, None), OverflowError),
        (lambda k: k.recent_rows(np.zeros(3), np.zeros(3, bool), None, 1, (False,)), ValueError),
        (lambda k: k.recent_facts(np.zeros(3), np.zeros(3, bool), np.zeros(4, bool)), ValueError),
        (lambda k: k.recent_plans(["int32"], [[]], 1), TypeError),
        (lambda k: k.recent_plans(["int64"], [[(1, 2, None, None)]], 1), ValueError),
        (lambda k: k.recent_plans(["int64"], [[(2, 0, 1, None)]], 1), ValueError),
        (lambda k: k.recent_plans(["int64"], [], 1), ValueError),
        (lambda k: k.recent_plans(["int64", None], [[(1, 0, 1, 1)], []], 1), ValueError),
    ],
    ids=[
        *("int32-keys", "short-mask", "negative-points", "short-bound", "facts-mask", "plan-dtype", "untimed", "low"),
        *("plans-dtypes", "plans-partitions"),
    ],
)
def test_malformed_input_is_refused(kernels, call, error):
    with pytest.raises(error):
        call(kernels)
