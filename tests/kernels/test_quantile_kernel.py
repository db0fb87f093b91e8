"""Exact quantiles of a column cut into partitions, against NumPy on the whole column.

Each partition is read twice (bucket counts, then the values of the few
buckets that hold a wanted rank); the small results are merged in a random
tree and order, as the workers of a cluster would. The answer must be the
bits np.percentile and np.nanmedian give on the whole column as float64.
"""

import numpy as np
import pytest

# NumPy warns on inf - inf inside its interpolation and on all-NaN medians.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

QS = [0.0, 1.0, 25.0, 33.3, 50.0, 75.0, 99.0, 100.0]


def sum_block():
    # NumPy up to 2.2 sums in pieces of its buffer size, later releases whole
    return np.getbufsize() if tuple(int(p) for p in np.__version__.split(".")[:2]) < (2, 3) else 0


def random_bounds(rng, n, k):
    # Repeated cuts make empty partitions, which must be harmless.
    return [0, *np.sort(rng.integers(0, n + 1, k - 1)).tolist(), n]


def tree_merge(test_entries, scans, rng):
    scans = list(scans)
    rng.shuffle(scans)
    while len(scans) > 1:
        take = int(rng.integers(2, len(scans) + 1))
        scans = [test_entries.quantile_merge(scans[:take]), *scans[take:]]
        rng.shuffle(scans)
    return scans[0] if scans else test_entries.quantile_merge([])


class Split:
    """One column cut at `bounds`, with both reads done on every partition."""

    def __init__(self, kernels, test_entries, x, bounds, rng):
        self.kernels, self.test_entries, self.rng = kernels, test_entries, rng
        self.parts = [x[s:e] for s, e in zip(bounds, bounds[1:], strict=False)]
        self.scan = tree_merge(test_entries, [kernels.quantile_scan([p])[0] for p in self.parts], rng)
        self.present = int(self.scan[2].sum())
        self.gathered_total = 0

    def values_at(self, ranks):
        plan = self.kernels.quantile_plan(self.scan, ranks)
        gathered = [self.kernels.quantile_gather([p], [plan])[0] for p in self.parts]
        self.gathered_total += sum(len(v) for g in gathered for v in g)
        self.rng.shuffle(gathered)
        return self.test_entries.quantile_select(self.scan, ranks, gathered)

    def percentile(self, q):
        if self.scan[0]:
            return np.nan  # np.percentile answers NaN when a NaN is present
        below, above, gamma = self.test_entries.percentile_plan(self.present, q)
        a, b = self.values_at([below, above])
        return self.test_entries.percentile_lerp(a, b, gamma)

    def nanmedian(self):
        if self.present == 0:
            return np.nan
        a, b = self.values_at(list(self.test_entries.median_ranks(self.present)))
        return self.test_entries.median_value(a, b, self.present, sum_block())


def same(got, want, both_zeros):
    if np.isnan(want):
        return bool(np.isnan(got))
    if both_zeros and want == 0:
        # Which zero NumPy's selection leaves at a rank depends on where the
        # zeros sit in the whole array, which no partition sees.
        return got == 0
    return np.float64(got).tobytes() == np.float64(want).tobytes()


def column(kind, n, rng):
    if kind == "normal":
        return rng.standard_normal(n) * 1e3
    if kind == "spread":
        return rng.standard_normal(n) * 10.0 ** rng.integers(-300, 300, n)
    if kind == "nan_inf":
        x = rng.standard_normal(n)
        for v in (np.nan, np.inf, -np.inf):
            x[rng.integers(0, n, max(1, n // 10))] = v
        return x
    if kind == "inf_only":
        return rng.choice([np.inf, -np.inf, 1.0], n)
    if kind == "zeros":
        return rng.choice([-0.0, 0.0, 1e-300, -5e-324, 2.0], n)
    if kind == "negative_zeros":
        return rng.choice([-0.0, -0.0, -1.0, 5e-324, 2.0], n)
    if kind == "ties":
        return rng.integers(-3, 4, n).astype(np.float64)
    if kind == "all_equal":
        return np.full(n, -7.25)
    if kind == "int53":
        return 2**53 + rng.integers(-40, 40, n)
    if kind == "int63":
        return np.iinfo(np.int64).max - rng.integers(0, 3000, n)
    if kind == "uint63":
        return (np.uint64(2**63) + rng.integers(-3000, 3000, n).astype(np.int64).astype(np.uint64)).astype(np.uint64)
    if kind == "float32":
        return (rng.standard_normal(n) * 1e5).astype(np.float32)
    if kind == "bool":
        return rng.random(n) < 0.3
    raise AssertionError(kind)


KINDS = [
    "normal",
    "spread",
    "nan_inf",
    "inf_only",
    "zeros",
    "negative_zeros",
    "ties",
    "all_equal",
    "int53",
    "int63",
    "uint63",
    "float32",
    "bool",
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [1, 2, 5, 6, 97, 3000, 70_001])
def test_any_split_gives_numpy_quantiles(kernels, test_entries, kind, n):
    rng = np.random.default_rng([n, KINDS.index(kind)])
    x = column(kind, n, rng)
    # The analysis reads every numeric column as float64 (astype(float)).
    as_float = x.astype(np.float64)
    both_zeros = bool(
        np.any((as_float == 0) & np.signbit(as_float)) and np.any((as_float == 0) & ~np.signbit(as_float))
    )
    want_q = [np.percentile(as_float, q) for q in QS]
    want_median = np.nanmedian(as_float)
    for k in (1, 2, 7):
        split = Split(kernels, test_entries, x, random_bounds(rng, n, k), rng)
        for q, want in zip(QS, want_q, strict=True):
            assert same(split.percentile(q), want, both_zeros), (k, q)
        assert same(split.nanmedian(), want_median, both_zeros), k


def test_all_missing_column(kernels, test_entries):
    rng = np.random.default_rng(3)
    split = Split(kernels, test_entries, np.full(10, np.nan), random_bounds(rng, 10, 3), rng)
    assert split.scan[0] == 10 and split.present == 0
    assert np.isnan(split.nanmedian())


def test_masked_cells_count_as_missing(kernels, test_entries):
    values = np.arange(10, dtype=np.int64)
    mask = np.zeros(10, dtype=np.uint8)
    mask[[0, 9]] = 1
    (scan,) = kernels.quantile_scan([(values, mask)])
    assert scan[0] == 2 and scan[2].sum() == 8
    # The nullable column's median is that of 1..8, as pandas' float view gives.
    a, b = test_entries.quantile_select(scan, test_entries.median_ranks(8), [])
    assert test_entries.median_value(a, b, 8, sum_block()) == 4.5


def test_second_read_stays_small_for_spread_data(kernels, test_entries):
    # Buckets are 1/256 of a binade: a normal column's quartile buckets hold
    # well under a percent of it, and the gathered values are bounded by
    # what each partition must keep.
    rng = np.random.default_rng(11)
    n = 400_000
    x = rng.standard_normal(n)
    split = Split(kernels, test_entries, x, random_bounds(rng, n, 6), rng)
    ranks = [n // 4, n // 4 + 1, n // 2, 3 * n // 4]
    plan = kernels.quantile_plan(split.scan, ranks)
    assert len(plan) >= 1
    assert (plan[:, 3] < n // 500).all()
    got = split.values_at(ranks)
    assert split.gathered_total < n // 250
    assert (got == np.sort(x)[ranks]).all()


def bucket_of(scan, rank):
    """Index into the scan's arrays of the bucket that holds `rank`."""
    order = np.argsort(scan[1])
    return int(order[np.searchsorted(np.cumsum(scan[2][order]), rank, side="right")])


def test_single_valued_buckets_need_no_second_read(kernels, test_entries):
    x = np.repeat(np.arange(-50.0, 50.0), 37)
    (scan,) = kernels.quantile_scan([x])
    assert len(kernels.quantile_plan(scan, [0, 1000, len(x) - 1])) == 0
    assert (test_entries.quantile_select(scan, [0, 1000, len(x) - 1], []) == np.sort(x)[[0, 1000, len(x) - 1]]).all()


def test_the_first_read_answers_ranks_in_single_valued_buckets(kernels):
    # The driver's own entries: a rank whose bucket holds one value needs no
    # second read, and the first read's bounds of that bucket are the value.
    x = np.repeat(np.arange(-50.0, 50.0), 37)
    (scan,) = kernels.quantile_scan([x])
    ranks = [0, 36, 37, 1000, len(x) - 1]
    assert len(kernels.quantile_plan(scan, ranks)) == 0
    want = np.sort(x)
    bounds = [(scan[3][b], scan[4][b]) for b in (bucket_of(scan, r) for r in ranks)]
    assert bounds == [(want[r], want[r]) for r in ranks]


@pytest.mark.parametrize("spread,depth", [(1e-3, 1), (3e6 * 2.0**-52, 2)])
def test_a_crowded_bucket_is_refined_until_its_second_read_is_small(kernels, spread, depth):
    # One partition through the driver's entries alone: deeper scans split
    # the crowded bucket until the rank's bucket is small enough to gather,
    # and the gathered values hold the rank's value where the plan says.
    rng = np.random.default_rng(8)
    x = 1.0 + rng.random(100_000) * spread
    x[:500] = x[500]  # ties
    want = np.sort(x)
    for rank in (0, 400, 500, 25_000, 99_999):
        level, inner, reached = None, rank, 0
        while True:
            (scan,) = kernels.quantile_scan([x], [level])
            plan = kernels.quantile_plan(scan, [inner])
            if not (len(plan) and plan[0, 3] > 1000):
                break
            inner -= int(scan[2][scan[1] < plan[0, 2]].sum())
            level = kernels.quantile_refine(plan[0])
            reached += 1
        assert reached == depth, rank
        if len(plan):
            (values,) = kernels.quantile_gather([x], [plan])[0]
            assert len(values) == plan[0, 3] <= 1000
            assert np.sort(values)[plan[0, 4]] == want[rank], rank
        else:
            b = bucket_of(scan, inner)
            assert scan[3][b] == scan[4][b] == want[rank], rank


def test_interquartile_fences_match_the_summary_kernel(kernels, test_entries):
    # The distribution step's outlier share from partitions: quartiles of the
    # finite values (ranks shifted past the -inf values), the same fences,
    # and per-partition counts outside them.
    rng = np.random.default_rng(5)
    x = rng.standard_t(2, 50_000)
    x[rng.integers(0, len(x), 300)] = np.nan
    x[rng.integers(0, len(x), 200)] = -np.inf
    x[rng.integers(0, len(x), 100)] = np.inf
    split = Split(kernels, test_entries, x, random_bounds(rng, len(x), 5), rng)
    scan = split.scan
    # An infinity shares its bucket with no finite value.
    neg_inf = int(scan[2][scan[3] == -np.inf].sum())
    pos_inf = int(scan[2][scan[4] == np.inf].sum())
    nf = split.present - neg_inf - pos_inf
    quartiles = []
    for q in (25.0, 75.0):
        below, above, gamma = test_entries.percentile_plan(nf, q)
        a, b = split.values_at([below + neg_inf, above + neg_inf])
        quartiles.append(test_entries.percentile_lerp(a, b, gamma))
    finite = x[np.isfinite(x)]
    assert quartiles == list(np.percentile(finite, [25, 75]))
    lo, hi, zero_width, finite_fences = test_entries.iqr_fences(*quartiles)
    assert finite_fences and not zero_width
    # Only finite values count, as in the step.
    outside = sum(int((np.isfinite(p) & ((p < lo) | (p > hi))).sum()) for p in split.parts)
    summary = test_entries.summary(np.ascontiguousarray(x[:, None]), sum_block(), "none")
    assert outside / nf == summary[0, 6]


def test_plans_that_do_not_fit_are_refused(kernels, test_entries):
    rng = np.random.default_rng(2)
    # One bucket of many distinct values, so the rank needs the second read.
    x = 1.0 + rng.random(1000) * 1e-3
    parts = [x[:500], x[500:]]
    scan = test_entries.quantile_merge([kernels.quantile_scan([p])[0] for p in parts])
    with pytest.raises(IndexError):
        kernels.quantile_plan(scan, [1000])
    plan = kernels.quantile_plan(scan, [500])
    assert plan.tolist() == [[0, 0, plan[0, 2], 1000, 500, 500]]
    with pytest.raises(ValueError):
        test_entries.quantile_select(scan, [500], [])
    gathered = [kernels.quantile_gather([p], [plan])[0] for p in parts]
    assert test_entries.quantile_select(scan, [500], gathered)[0] == np.sort(x)[500]
    with pytest.raises(ValueError):
        test_entries.quantile_merge(
            [(0, np.array([3], np.uint32), np.array([1]), np.array([1.0]), np.array([1.0]), 0, (0, 0))]
        )


def order_statistic(kernels, test_entries, parts, rank, cap, rng):
    """The value at `rank`, splitting a bucket while it holds more than `cap`."""
    level, depth, kept = None, 0, 0
    while True:
        scan = tree_merge(test_entries, [kernels.quantile_scan([p], [level])[0] for p in parts], rng)
        plan = kernels.quantile_plan(scan, [rank])
        if len(plan) and plan[0, 3] > cap:
            # The rank inside the crowded bucket is its rank in the deeper scan.
            rank -= int(scan[2][scan[1] < plan[0, 2]].sum())
            level = kernels.quantile_refine(plan[0])
            depth += 1
            continue
        gathered = [kernels.quantile_gather([p], [plan])[0] for p in parts]
        kept = sum(len(v) for g in gathered for v in g)
        return test_entries.quantile_select(scan, [rank], gathered)[0], depth, kept


@pytest.mark.parametrize("center", [1.0, -1.0])
@pytest.mark.parametrize("cap", [1000, 0])
@pytest.mark.parametrize("spread,depth", [(1e-3, 1), (3e6 * 2.0**-52, 2)])
def test_a_crowded_bucket_is_split_until_it_is_small(kernels, test_entries, center, cap, spread, depth):
    # All values share one top-level bucket. Deeper scans split it: values
    # 0.1% apart are alone (or tied) in their level-1 buckets; values a few
    # million ulps apart crowd those too, and the deepest level, where every
    # bucket is one value, ends it without a second read.
    rng = np.random.default_rng(8)
    x = center * (1.0 + rng.random(100_000) * spread)
    x[:500] = x[500]  # ties
    parts = [x[s:e] for s, e in zip(*(lambda b: (b, b[1:]))(random_bounds(rng, len(x), 4)), strict=False)]
    want = np.sort(x)
    for rank in (0, 400, 500, 25_000, 99_999):
        got, reached, kept = order_statistic(kernels, test_entries, parts, rank, cap, rng)
        assert got == want[rank]
        assert reached == depth and kept <= cap * len(parts)


def test_scans_of_different_levels_do_not_merge(kernels, test_entries):
    x = 1.0 + np.arange(10) * 1e-9
    (top,) = kernels.quantile_scan([x])
    plan = kernels.quantile_plan(top, [5])
    (inner,) = kernels.quantile_scan([x], [kernels.quantile_refine(plan[0])])
    assert inner[2].sum() == 10
    with pytest.raises(ValueError):
        test_entries.quantile_merge([top, inner])


def _column(kind, rng):
    # Shapes that take each road of the in-memory selection: short columns
    # (one partition of the whole), long ones whose strided sample brackets
    # the ranks, sorted and few-valued ones whose sample misjudges them, and
    # a range too wide for the bucket arithmetic.
    if kind == "short":
        return rng.normal(size=300)
    if kind == "long":
        return rng.standard_t(3, 200_000)
    if kind == "sorted":
        return np.sort(rng.exponential(size=150_000))
    if kind == "few_values":
        return rng.integers(0, 4, 120_000).astype(float)
    if kind == "wide":
        return np.concatenate([rng.normal(size=70_000), [-1.7e308, 1.7e308]])
    if kind == "constant":
        return np.full(90_000, 2.5)
    raise AssertionError(kind)


COLUMN_KINDS = ["short", "long", "sorted", "few_values", "wide", "constant"]


@pytest.mark.parametrize("kind", COLUMN_KINDS)
@pytest.mark.parametrize("holes", [False, True])
def test_whole_column_quantiles_are_numpys(test_entries, kind, holes):
    rng = np.random.default_rng(COLUMN_KINDS.index(kind))
    x = _column(kind, rng)
    if holes:
        at = rng.integers(0, len(x), len(x) // 50 + 1)
        x[at[::3]] = np.nan
        x[at[1::3]] = np.inf
        x[at[2::3]] = -np.inf
    finite = x[np.isfinite(x)]
    qs = np.array([0.0, 0.05, 0.25, 0.333, 0.5, 0.75, 0.95, 1.0])
    before = x.copy()
    got = test_entries.finite_quantiles(x, qs)
    assert got.tobytes() == np.quantile(finite, qs).tobytes()
    assert x.tobytes() == before.tobytes()  # the caller's column is read, not reordered
    ranks = [len(finite) - 1, 0, len(finite) // 2, len(finite) // 2, len(finite) // 4 + 1]
    assert test_entries.order_statistics(x, ranks).tobytes() == np.sort(finite)[ranks].tobytes()


@pytest.mark.parametrize("x", [np.array([]), np.array([np.nan, np.inf, -np.inf])], ids=["empty", "none_finite"])
def test_whole_column_without_finite_values(test_entries, x):
    assert np.isnan(test_entries.finite_quantiles(x, np.array([0.25, 0.5]))).all()
    assert len(test_entries.order_statistics(x, [])) == 0
    with pytest.raises(IndexError):
        test_entries.order_statistics(x, [0])


@pytest.mark.parametrize(
    ("entry", "args", "error"),
    [
        ("finite_quantiles", (np.arange(5.0), np.array([1.5])), ValueError),
        ("finite_quantiles", (np.arange(5.0), np.array([np.nan])), ValueError),
        ("order_statistics", (np.arange(5.0), [5]), IndexError),
        ("order_statistics", (np.arange(5.0), [-1]), ValueError),
    ],
)
def test_whole_column_rejects_what_numpy_rejects(test_entries, entry, args, error):
    with pytest.raises(error):
        getattr(test_entries, entry)(*args)


@pytest.mark.parametrize("seed", range(6))
def test_fence_brackets_hold_the_fences_of_every_value_in_the_bounds(test_entries, seed):
    # Before the last look each quartile's neighbours are only known to lie
    # in their buckets; whatever values they turn out to hold, the fences
    # they give must lie inside the brackets, or the third look would count
    # outliers against the wrong fences.
    rng = np.random.default_rng(seed)
    x = np.sort(rng.standard_t(2, 4000) * 10.0 ** rng.integers(-3, 4))
    n = len(x)
    plans = [test_entries.percentile_plan(n, q) for q in (25.0, 75.0)]
    ranks = [plans[0][0], plans[0][1], plans[1][0], plans[1][1]]
    width = int(rng.integers(1, 40))
    bounds = [(x[max(r - width, 0)], x[min(r + width, n - 1)]) for r in ranks]
    lo_min, lo_max, hi_min, hi_max = test_entries.fence_brackets(plans[0][2], plans[1][2], bounds)
    assert lo_min < lo_max and hi_min < hi_max
    for _ in range(200):
        v = [x[int(rng.integers(max(r - width, 0), min(r + width, n - 1) + 1))] for r in ranks]
        q1 = test_entries.percentile_lerp(v[0], v[1], plans[0][2])
        q3 = test_entries.percentile_lerp(v[2], v[3], plans[1][2])
        lo, hi, _, _ = test_entries.iqr_fences(q1, q3)
        assert lo_min <= lo <= lo_max and hi_min <= hi <= hi_max
    # Known neighbours give the exact fences, as points.
    exact = [(x[r], x[r]) for r in ranks]
    q1, q3 = np.percentile(x, [25, 75])
    lo, hi, _, _ = test_entries.iqr_fences(q1, q3)
    assert test_entries.fence_brackets(plans[0][2], plans[1][2], exact) == (lo, lo, hi, hi)
