"""The summary kernel's three reads of a column cut into partitions, against
NumPy and SciPy on the whole column.

Each partition is read as the Dask driver reads it (scan, sums, moments),
the partitions' states cross as bytes and merge in a random tree; the
figures must be the bits np.nanmin, np.nanmedian, np.nanstd, np.percentile
and scipy.stats' skew and kurtosis give on the whole column.
"""

import warnings

import numpy as np
import pytest
from scipy import stats

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

FIELDS = [
    "count", "finite", "neg_inf", "pos_inf", "zeros", "min", "max", "median", "std", "mean",
    "skew", "kurtosis", "q1", "q3", "outliers", "outlier_share", "missing_or_zero",
]  # fmt: skip
PAGE = [5.0, 25.0, 50.0, 75.0, 95.0]


def sum_block(kernels):
    block = kernels.numpy_sum_block()
    return 0 if block is None else int(block)


def any_order_merge(merge, items, rng):
    items = list(items)
    rng.shuffle(items)
    while len(items) > 1:
        take = int(rng.integers(2, len(items) + 1))
        items = [merge(items[:take]), *items[take:]]
        rng.shuffle(items)
    return merge(items)


def in_order_merge(merge, items, rng):
    while len(items) > 1:
        at = int(rng.integers(0, len(items) - 1))
        take = int(rng.integers(2, len(items) - at + 1))
        items = [*items[:at], merge(items[at : at + take]), *items[at + take :]]
    return merge(items)


def split_summary(kernels, columns, kinds, bounds, cap, rng, inspect=None):
    """Every entry's 22 figures, and the plan's look after pass 2 where
    `inspect` (the test-only module) is given."""
    parts = [[np.ascontiguousarray(c[s:e]) for c in columns] for s, e in zip(bounds, bounds[1:], strict=False)]
    kinds = np.asarray(kinds, dtype=np.uint8)
    scans = [kernels.summary_scan(p, kinds) for p in parts]
    state = in_order_merge(kernels.summary_scan_merge, [s[0] for s in scans], rng)
    lo = np.fmin.reduce([s[1] for s in scans])
    hi = np.fmax.reduce([s[2] for s in scans])
    work = kernels.summary_plan(state, cap, sum_block(kernels))
    plans = kernels.summary_read_plans(work, 2)
    sums = [kernels.summary_sums_partial(plan, p) for plan, p in zip(plans, parts, strict=True)]
    kernels.summary_sums_finish(work, any_order_merge(kernels.summary_sums_merge, sums, rng))
    look = inspect.summary_inspect(work) if inspect else None
    plans = kernels.summary_read_plans(work, 3)
    moments = [kernels.summary_moments_partial(plan, p) for plan, p in zip(plans, parts, strict=True)]
    figures = kernels.summary_finish(work, any_order_merge(kernels.summary_moments_merge, moments, rng), lo, hi)
    return figures, look


def expected(x, column=True):
    f = x[np.isfinite(x)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        skew = float(stats.skew(f)) if f.size else np.nan
        kurt = float(stats.kurtosis(f)) if f.size else np.nan
    present = x[~np.isnan(x)]
    row = {
        "count": present.size,
        "finite": f.size,
        "neg_inf": int((x == -np.inf).sum()),
        "pos_inf": int((x == np.inf).sum()),
        "zeros": int((x == 0).sum()),
        "mean": float(np.mean(f)) if f.size else np.nan,
        "skew": skew,
        "kurtosis": kurt,
        "missing_or_zero": int((np.nan_to_num(x) == 0).sum()),
    }
    if not column:
        return row
    row.update(outliers=0, outlier_share=0.0, q1=np.nan, q3=np.nan)
    if f.size == 0:
        row.update(min=np.nan, max=np.nan, median=np.nan, std=np.nan)
        row["page"] = [np.nan] * 5
        return row
    row.update(min=np.nanmin(x), max=np.nanmax(x), median=np.nanmedian(x), std=np.nanstd(x))
    row["page"] = np.percentile(f, PAGE).tolist()
    if f.size >= 5:
        q1, q3 = np.percentile(f, [25, 75])
        row.update(q1=q1, q3=q3)
        iqr = q3 - q1
        if iqr != 0:
            outliers = int(((f < q1 - 1.5 * iqr) | (f > q3 + 1.5 * iqr)).sum())
            row.update(outliers=outliers, outlier_share=outliers / f.size)
    return row


def same(a, b):
    a, b = float(a), float(b)
    return (np.isnan(a) and np.isnan(b)) or a == b


def dense(n, rng):
    # Every value inside one top-level bucket (2**-8 wide from 1.0), with
    # tails that make outliers.
    x = 1.0 + rng.random(n) * 2.0**-10
    x[:3] = 1.0 + 2.0**-9
    x[3:5] = 1.0 - 2.0**-30
    return rng.permutation(x)


def specials(n, rng):
    x = rng.normal(size=n)
    x[rng.choice(n, n // 10, replace=False)] = np.nan
    x[rng.choice(n, 5, replace=False)] = np.inf
    x[rng.choice(n, 3, replace=False)] = -np.inf
    x[rng.choice(n, 20, replace=False)] = 0.0
    return x


COLUMNS = {
    "normal": lambda n, rng: rng.normal(size=n),
    "ints": lambda n, rng: rng.integers(-5, 6, n).astype(float),
    "specials": specials,
    "dense": dense,
    "few": lambda n, rng: np.r_[rng.normal(size=3), np.full(n - 3, np.nan)],
    "empty": lambda n, rng: np.full(n, np.nan),
    "heavy": lambda n, rng: rng.standard_cauchy(n) * 1e150,
}


def whole_columns_case(n_parts, cap):
    rng = np.random.default_rng(n_parts * 31 + cap % 97)
    n = 3000
    columns = [make(n, rng) for make in COLUMNS.values()]
    target = specials(n, rng)
    kinds = [0] * len(columns) + [1]
    bounds = [0, *np.sort(rng.integers(0, n + 1, n_parts - 1)).tolist(), n]
    return [*columns, target], kinds, bounds, rng


CAPS_AND_PARTS = pytest.mark.parametrize(("cap", "n_parts"), [(c, k) for c in (1, 7, 1 << 20) for k in (1, 3, 7)])


@CAPS_AND_PARTS
def test_figures_equal_numpy_and_scipy_on_the_whole_column(kernels, n_parts, cap):
    columns, kinds, bounds, rng = whole_columns_case(n_parts, cap)
    figures, _ = split_summary(kernels, columns, kinds, bounds, cap, rng)
    assert figures.shape == (len(kinds), 22)
    for name, x, row in zip([*COLUMNS, "target"], columns, figures, strict=True):
        want = expected(x, column=name != "target")
        for field, value in want.items():
            if field == "page":
                assert all(map(same, row[17:], value)), (name, field, row[17:], value)
            else:
                assert same(row[FIELDS.index(field)], value), (name, field, row[FIELDS.index(field)], value)


@CAPS_AND_PARTS
def test_a_cap_refines_the_buckets_partitions_share(kernels, test_entries, n_parts, cap):
    columns, kinds, bounds, rng = whole_columns_case(n_parts, cap)
    _, look = split_summary(kernels, columns, kinds, bounds, cap, rng, test_entries)
    refined = {name: bool(levels) for name, (levels, _) in zip(COLUMNS, look, strict=True)}
    # A cap of one refines every bucket a partition shares with others.
    assert refined["dense"] == (cap < 3000 // 8)
    assert not refined["empty"] and not refined["few"]


def test_the_named_figures_are_the_rows_order(kernels):
    # The driver builds its table on these names: each must sit where the
    # whole-column comparison above finds that figure, and exactly the
    # figures that count values are marked as counts.
    fields = kernels.summary_fields()
    assert [name for name, _ in fields] == FIELDS[: len(fields)]
    x = specials(500, np.random.default_rng(3))
    row, _ = split_summary(kernels, [x], [0], [0, 200, 500], 1 << 20, np.random.default_rng(4))
    want = expected(x)
    for at, (name, count) in enumerate(fields):
        assert same(row[0, at], want[name]), name
        assert count == isinstance(want[name], int), name


def test_a_refined_quartile_brackets_its_fences(kernels, test_entries):
    rng = np.random.default_rng(3)
    # Within 2**19 adjacent floats: one bucket even one level deeper, so the
    # quartiles are bracketed by its extremes when the third read starts.
    x = 1.0 + rng.integers(0, 2**19, 4000) * 2.0**-52
    _, look = split_summary(kernels, [x], [0], [0, 1500, 2600, 4000], 1, rng, test_entries)
    levels, (lo_low, lo_high, hi_low, hi_high) = look[0]
    assert levels and lo_low < lo_high and hi_low < hi_high
    q1, q3 = np.percentile(x, [25, 75])
    assert lo_low <= q1 - 1.5 * (q3 - q1) <= lo_high and hi_low <= q3 + 1.5 * (q3 - q1) <= hi_high


def one_partition_states(kernels, x):
    kinds = np.zeros(1, dtype=np.uint8)
    state = kernels.summary_scan([x], kinds)[0]
    work = kernels.summary_plan(state, 1 << 20, sum_block(kernels))
    (plan,) = kernels.summary_read_plans(work, 2)
    return state, work, plan


@pytest.mark.parametrize("cut", ["tag", "short", "trailing"])
def test_damaged_states_are_refused(kernels, cut):
    x = np.random.default_rng(1).normal(size=100)
    state, work, plan = one_partition_states(kernels, x)
    sums = kernels.summary_sums_partial(plan, [x])
    damage = {"tag": lambda b: b"X" + b[1:], "short": lambda b: b[:-3], "trailing": lambda b: b + b"\0"}[cut]
    with pytest.raises(ValueError):
        kernels.summary_scan_merge([damage(state)])
    with pytest.raises(ValueError):
        kernels.summary_sums_partial(damage(plan), [x])
    with pytest.raises(ValueError):
        kernels.summary_sums_merge([damage(sums)])
    # A state of another kind is no state of this one.
    with pytest.raises(ValueError):
        kernels.summary_sums_merge([state])


@pytest.mark.parametrize(
    "change",
    [
        lambda x: x[:-1],  # a row fewer
        lambda x: np.where(np.arange(x.size) == 5, np.nan, x),  # a value turned missing
    ],
)
def test_a_partition_that_changed_since_the_first_read_is_an_error(kernels, change):
    x = np.random.default_rng(2).normal(size=100)
    _, _, plan = one_partition_states(kernels, x)
    with pytest.raises(ValueError, match="changed since the first read"):
        kernels.summary_sums_partial(plan, [np.ascontiguousarray(change(x))])
    with pytest.raises(ValueError):
        kernels.summary_sums_partial(plan, [x, x])  # one column per entry


def test_a_zero_extreme_with_both_signs_is_left_to_numpy(kernels):
    x = np.array([0.0, 1.0, -0.0, 2.0])
    _, lo, hi, zero_sign = kernels.summary_scan([x, np.abs(x) + 1], np.zeros(2, dtype=np.uint8))
    assert zero_sign.tolist() == [True, False]
    assert lo[1] == 1.0 and hi.tolist() == [2.0, 3.0]


@pytest.mark.parametrize("seed", range(40))
def test_small_columns_and_empty_partitions(kernels, seed):
    # Few values from a small pool (ties, infinities, NaN), cuts that leave
    # partitions empty, down to no rows at all.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 40))
    pool = np.array([np.nan, np.inf, -np.inf, 0.0, 1.0, -2.5, 3.0, 1e300, -1e300])
    columns = [rng.choice(pool, n) for _ in range(3)] + [rng.choice(pool[3:], n)]
    kinds = [0, 0, 1, 0]
    bounds = [0, *np.sort(rng.integers(0, n + 1, int(rng.integers(0, 6)))).tolist(), n]
    figures, _ = split_summary(kernels, columns, kinds, bounds, int(rng.choice([1, 3, 1 << 20])), rng)
    for x, kind, row in zip(columns, kinds, figures, strict=True):
        for field, value in expected(x, column=kind == 0).items():
            got = row[17:] if field == "page" else [row[FIELDS.index(field)]]
            assert all(map(same, got, np.atleast_1d(value))), (field, got, value, x.tolist(), bounds)


def test_one_partition_gives_the_in_memory_kernels_figures(kernels, test_entries):
    # The in-memory summary kernel and the three reads are two roads to the
    # same figures; on one partition they must agree to the bit.
    rng = np.random.default_rng(11)
    n = 5000
    columns = [make(n, rng) for name, make in COLUMNS.items() if name != "empty"]
    figures, _ = split_summary(kernels, columns, [0] * len(columns), [0, n], 1 << 20, rng)
    whole = test_entries.summary(np.ascontiguousarray(np.column_stack(columns)), sum_block(kernels), "running")
    names = ["min", "max", "median", "std", "skew", "kurtosis", "outlier_share"]
    for row, native in zip(figures, whole, strict=True):
        for i, name in enumerate(names):
            assert same(row[FIELDS.index(name)], native[i]), (name, row[FIELDS.index(name)], native[i])


def test_each_partition_has_its_own_plan(kernels):
    x = np.random.default_rng(4).normal(size=100)
    parts = [x[:30], x[30:]]
    kinds = np.zeros(1, dtype=np.uint8)
    state = kernels.summary_scan_merge([kernels.summary_scan([p], kinds)[0] for p in parts])
    plans = kernels.summary_read_plans(kernels.summary_plan(state, 1 << 20, sum_block(kernels)), 2)
    assert len(plans) == 2
    kernels.summary_sums_partial(plans[1], [parts[1]])
    with pytest.raises(ValueError, match="changed since the first read"):
        kernels.summary_sums_partial(plans[0], [parts[1]])


def bad_calls(kernels):
    x = np.arange(10.0)
    one, two = np.zeros(1, dtype=np.uint8), np.zeros(2, dtype=np.uint8)
    state = kernels.summary_scan([x], one)[0]
    target = kernels.summary_scan([x], np.ones(1, dtype=np.uint8))[0]
    work = kernels.summary_plan(state, 1 << 20, sum_block(kernels))
    return {
        "kind out of range": lambda: kernels.summary_scan([x], np.full(1, 2, dtype=np.uint8)),
        "one kind per column": lambda: kernels.summary_scan([x, x], one),
        "columns of different lengths": lambda: kernels.summary_scan([x, x[:5]], two),
        "scans of other entries": lambda: kernels.summary_scan_merge([state, target]),
        "no scans": lambda: kernels.summary_scan_merge([]),
        "no such read": lambda: kernels.summary_read_plans(work, 4),
        "extremes of other entries": lambda: kernels.summary_finish(work, b"M", np.zeros(2), np.zeros(2)),
        "not a work": lambda: kernels.summary_read_plans(object(), 2),
    }


BAD_CALLS = [
    "kind out of range",
    "one kind per column",
    "columns of different lengths",
    "scans of other entries",
    "no scans",
    "no such read",
    "extremes of other entries",
    "not a work",
]


@pytest.mark.parametrize("case", BAD_CALLS)
def test_bad_arguments_are_errors_not_figures(kernels, case):
    calls = bad_calls(kernels)
    assert sorted(calls) == sorted(BAD_CALLS)
    with pytest.raises((ValueError, TypeError)):
        calls[case]()


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_the_pages_ranges_and_histograms_ride_with_the_scan_and_the_sums(kernels, test_entries, n_parts):
    # Each numeric column's page range (merged in partition order, its sum
    # in row order) and histogram are the page kernel's own on the same
    # partitions; a column without a finite value has no bars, and a
    # target none of either.
    rng = np.random.default_rng(n_parts)
    columns = [specials(300, rng), np.full(300, np.nan), rng.normal(size=300)]
    kinds = np.array([0, 0, 1], dtype=np.uint8)
    bounds = np.r_[0, np.sort(rng.integers(0, 301, n_parts - 1)), 300]
    parts = [[np.ascontiguousarray(c[s:e]) for c in columns] for s, e in zip(bounds, bounds[1:], strict=False)]
    # One merge of every scan: the sum of the range adds as one fold does.
    state = kernels.summary_scan_merge([kernels.summary_scan(p, kinds)[0] for p in parts])
    work = kernels.summary_plan(state, 7, sum_block(kernels))
    plans = kernels.summary_read_plans(work, 2)
    sums = [kernels.summary_sums_partial(plan, p) for plan, p in zip(plans, parts, strict=True)]
    kernels.summary_sums_finish(work, any_order_merge(kernels.summary_sums_merge, sums, rng))
    page = kernels.summary_page(work)
    assert len(page) == 2
    for c, (got_range, got_counts) in enumerate(page):
        want_range = test_entries.page_range_merge([test_entries.page_range_partial(p[c]) for p in parts])
        want_counts = kernels.page_counts_merge([test_entries.page_histogram_partial(want_range, p[c]) for p in parts])
        assert got_range == want_range
        assert got_counts.tolist() == want_counts.tolist()
    assert page[1][1].tolist() == []
