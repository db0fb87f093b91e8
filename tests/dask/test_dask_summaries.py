"""The numeric summaries of a Dask frame (`_profilon_dask.summaries`) against
the library calls of the distribution step and the target diagnostics on
`ddf.compute()`.

Bit-identical, every figure: the counts are integers; the extrema, median
and quartiles are values of the column (or NumPy's own interpolation of two
of them, on the very values a sort would put at those ranks); nanstd's and
SciPy's means and centred sums are NumPy's pairwise sums in NumPy's own
tree, rebuilt from the partitions, then the same scalar operations; the
outlier share is an integer count over the finite count. The one exception
is the sign of a zero: where a column holds both -0.0 and +0.0 and a zero is
the answer (an extreme, the median, a quartile), which sign NumPy keeps
depends on where the zeros sit in the whole array, which no partition sees;
there the test asks for a zero of either sign.
"""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")


from lone_passes import column_summaries  # noqa: E402

import profilon  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402
from _profilon_dask.scan import add_scan  # noqa: E402
from _profilon_dask.settings import Settings  # noqa: E402
from _profilon_dask.summaries import add_summary_moments, add_summary_scan, add_summary_sums  # noqa: E402

FLOATS = ["min", "max", "median", "std", "mean", "skew", "kurtosis", "q1", "q3", "outlier_share"]
INTS = ["count", "finite", "neg_inf", "pos_inf", "zeros", "outliers"]
ZERO_SIGNED = {"min", "max", "median", "q1", "q3"}


def expected_column(s: pd.Series) -> dict:
    """The distribution step's figures of one column, by its library calls."""
    x = s.astype(float).values
    finite = np.isfinite(x)
    xf = x[finite]
    out = {
        "count": int((~np.isnan(x)).sum()),
        "finite": int(finite.sum()),
        "neg_inf": int((x == -np.inf).sum()),
        "pos_inf": int((x == np.inf).sum()),
        "zeros": int((x == 0).sum()),
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if finite.any():
            out.update(min=np.nanmin(x), max=np.nanmax(x), median=np.nanmedian(x), std=np.nanstd(x))
        else:
            out.update(min=np.nan, max=np.nan, median=np.nan, std=np.nan)
        out["mean"] = np.mean(xf) if xf.size else np.nan
        out["skew"] = float(stats.skew(xf, nan_policy="omit")) if xf.size else np.nan
        out["kurtosis"] = float(stats.kurtosis(xf, fisher=True, nan_policy="omit")) if xf.size else np.nan
        out.update(q1=np.nan, q3=np.nan, outliers=0, outlier_share=0.0)
        if xf.size >= 5:
            q1, q3 = np.percentile(xf, [25, 75])
            out.update(q1=q1, q3=q3)
            iqr = q3 - q1
            if iqr != 0:
                outside = (xf < q1 - 1.5 * iqr) | (xf > q3 + 1.5 * iqr)
                out.update(outliers=int(outside.sum()), outlier_share=float(outside.mean()))
    return out


def bits(v):
    return np.float64(v).tobytes()


def moments_reproduced():
    # The kernel's formula follows the releases (tests/kernels/test_moment_kernel.py).
    from moment_release import expected_formula

    return expected_formula() != "none"


# Within the releases the moment kernel reproduces, the driver's skewness and
# kurtosis are SciPy's bits for any partitioning, as the kernel's partials
# are pairwise-tree shares of SciPy's own power arrays. Outside them the
# driver still sums repeated squares: there they agree to 1e-9 relative.
MOMENTS_BITS = moments_reproduced()


def same_figure(name, got, want):
    if math.isnan(want) or math.isnan(got):
        return math.isnan(want) and math.isnan(got)
    if name in ("skew", "kurtosis") and not MOMENTS_BITS:
        return got == pytest.approx(want, rel=1e-9, abs=1e-300)
    return bits(got) == bits(want)


def check_summaries(tables, pdf, columns):
    got = tables.column_summaries
    assert list(got.index) == list(columns)
    assert list(got.columns) == INTS[:5] + ["min", "max", "median", "std", "mean", "skew", "kurtosis"] + [
        "q1",
        "q3",
        "outliers",
        "outlier_share",
    ]
    for c in columns:
        want = expected_column(pdf[c])
        row = got.loc[c]
        x = pdf[c].astype(float).values
        both_zeros = bool(np.any((x == 0) & np.signbit(x)) and np.any((x == 0) & ~np.signbit(x)))
        for name in INTS:
            assert int(row[name]) == want[name], (c, name)
        for name in FLOATS:
            g, w = float(row[name]), float(want[name])
            if math.isnan(w):
                assert math.isnan(g), (c, name, g)
            elif name in ZERO_SIGNED and both_zeros and w == 0:
                assert g == 0, (c, name, g)
            else:
                assert same_figure(name, g, w), (c, name, g, w)


def mixed_frame(n, seed=3):
    rng = np.random.default_rng(seed)
    normal = rng.normal(size=n) * 10
    normal[::5] = np.nan
    special = rng.normal(size=n)
    special[::7] = np.inf
    special[3::11] = -np.inf
    special[1::6] = -0.0
    special[2::9] = 0.0
    special[4::13] = np.nan
    big = 1e9 + rng.normal(size=n)  # the moments around 1e9 cancel from raw power sums
    ints = pd.array(rng.integers(-3, 4, size=n), dtype="Int64")
    ints[1::4] = pd.NA
    flags = pd.array(rng.integers(0, 2, size=n).astype(bool), dtype="boolean")
    flags[::3] = pd.NA
    return pd.DataFrame(
        {
            "normal": normal,
            "special": special,
            "ties": rng.integers(0, 4, size=n).astype(float),
            "const": np.full(n, 3.7),
            "missing": np.full(n, np.nan),
            "f32": (rng.normal(size=n) * 1e3).astype(np.float32),
            "ints": ints,
            "bool": rng.integers(0, 2, size=n).astype(bool),
            "nbool": flags,
            "big": big,
            "heavy": rng.standard_t(2, size=n),
            "signed_zeros": np.where(rng.integers(0, 2, size=n) == 1, 0.0, -0.0),
        }
    )


COLUMNS = list(mixed_frame(3).columns)


def run(ddf, columns=COLUMNS, targets=(), settings=None):
    return column_summaries(ddf, columns, targets, settings=settings)


@pytest.mark.parametrize("n_rows", [1, 2, 23, 5000])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_every_figure_equals_the_library(sync, n_rows, n_parts, counted_frame, split):
    pdf = mixed_frame(n_rows)
    parts = split(pdf, n_parts)
    ddf = counted_frame(parts)
    tables = run(ddf)
    check_summaries(tables, ddf.compute(), COLUMNS)


@pytest.mark.parametrize(
    "layout",
    [
        [0, 300, 0, 0, 700, 0],  # empty partitions between and around
        [0, 1, 0],
        [1000, 0],
        [129, 128, 1, 127, 3000, 255],  # borders inside and on pairwise leaves
        [8191, 1, 0, 11808],  # across NumPy's summation block of 8192 values
        [500] * 20,  # more partitions than one merge task takes: a deeper tree
    ],
)
def test_empty_and_uneven_partitions(sync, layout, counted_frame):
    pdf = mixed_frame(sum(layout), seed=11)
    bounds = np.concatenate([[0], np.cumsum(layout)])
    parts = [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    tables = run(counted_frame(parts))
    check_summaries(tables, pdf, COLUMNS)


def test_an_empty_frame(sync, counted_frame):
    pdf = mixed_frame(0)
    tables = run(counted_frame([pdf, pdf]))
    check_summaries(tables, pdf, COLUMNS)


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_three_passes_read_each_partition_three_times(
    sync, n_parts, partition_reads, count_executions, counted_frame, split
):
    pdf = mixed_frame(400)
    ddf = counted_frame(split(pdf, n_parts))
    with count_executions() as ex:
        run(ddf, targets=["normal"])
    assert ex.count == 3
    assert partition_reads == {i: 3 for i in range(n_parts)}


def spread_in_one_bucket(n, rng):
    # Thousands of values, a few thousand of them distinct, all inside one
    # bucket of the first level and one of the second, so that its quartiles
    # are only bracketed until the third pass; a few values sit one ulp
    # either side of each fence, and two far away.
    base = 1.0 + rng.integers(0, 2**12, size=n) * 2.0**-50
    k = 6
    x = np.concatenate([base, np.full(k, 0.5), np.full(k, 1.5), [-50.0, 60.0]])
    q1, q3 = np.percentile(x, [25, 75])
    lo, hi = q1 - 1.5 * (q3 - q1), q3 + 1.5 * (q3 - q1)
    x[n : n + k] = [np.nextafter(lo, -np.inf), lo, np.nextafter(lo, np.inf)] * 2
    x[n + k : n + 2 * k] = [np.nextafter(hi, -np.inf), hi, np.nextafter(hi, np.inf)] * 2
    # The placeholders and their replacements lie on the same side of the
    # quartiles, so the fences are the same.
    assert np.percentile(x, [25, 75]).tolist() == [q1, q3]
    return rng.permutation(x)


def planned(ddf, columns, settings):
    """Pass 1 and 2 of the summaries, for a look at their plans."""
    scheduler = pinned_scheduler(ddf)
    first = Pass(scheduler)
    fill_scan = add_scan(first, ddf)
    fill1 = add_summary_scan(first, ddf, columns, settings=settings)
    results = first.run()
    tables = fill_scan(results)
    fill1(results, tables)
    second = Pass(scheduler)
    add_summary_sums(second, ddf, tables)(second.run(), tables)
    return tables, scheduler


@pytest.mark.parametrize("n_parts", [1, 3, 7])
@pytest.mark.parametrize("cap", [1, 7, 50])
def test_a_bucket_too_full_is_refined_within_the_three_passes(
    test_entries, sync, n_parts, cap, partition_reads, counted_frame, split
):
    rng = np.random.default_rng(n_parts * 100 + cap)
    n = 2000
    pdf = pd.DataFrame({"dense": spread_in_one_bucket(n, rng), "normal": rng.normal(size=n + 14)})
    settings = Settings(corr_rows=10, ts_points=10, bucket_cap=cap)
    ddf = counted_frame(split(pdf, n_parts))
    tables, scheduler = planned(ddf, ["dense", "normal"], settings)
    refinements, brackets = test_entries.summary_inspect(tables.summary_work.native)[0]
    assert refinements
    # The fences are bracketed, not known, when the third pass starts.
    lo_low, lo_high, hi_low, hi_high = brackets
    assert lo_low < lo_high and hi_low < hi_high
    third = Pass(scheduler)
    add_summary_moments(third, ddf, tables)(third.run(), tables)
    assert partition_reads == {i: 3 for i in range(n_parts)}
    check_summaries(tables, pdf, ["dense", "normal"])
    assert tables.column_summaries.loc["dense", "outliers"] == 2 + 2 + 2


def test_the_default_cap_gathers_without_refining(test_entries, sync, counted_frame, split):
    rng = np.random.default_rng(5)
    pdf = pd.DataFrame({"dense": spread_in_one_bucket(2000, rng)})
    ddf = counted_frame(split(pdf, 3))
    tables, _ = planned(ddf, ["dense"], None)
    refinements, brackets = test_entries.summary_inspect(tables.summary_work.native)[0]
    assert refinements == []
    lo_low, lo_high, hi_low, hi_high = brackets
    assert lo_low == lo_high and hi_low == hi_high


def expected_target(s: pd.Series):
    y = pd.to_numeric(s, errors="coerce").to_numpy(dtype="float64", na_value=np.nan)
    yf = y[np.isfinite(y)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        skew = float(stats.skew(yf, nan_policy="omit")) if yf.size else np.nan
        kurt = float(stats.kurtosis(yf, fisher=True, nan_policy="omit")) if yf.size else np.nan
    return skew, kurt, int((np.nan_to_num(y) == 0.0).sum())


@pytest.mark.parametrize("convert_string", [True, False])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_target_moments_and_zero_counts(sync, n_parts, convert_string):
    pdf = mixed_frame(300, seed=9)
    text = pd.Series(pdf["normal"].map(lambda v: "n/a" if v != v else f"{v:.3f}"), dtype=object)
    text[::10] = "0"
    pdf["text_target"] = text
    targets = ["normal", "special", "ints", "missing", "text_target"]
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(pdf, npartitions=n_parts)
        tables = run(ddf, columns=["normal"], targets=targets)
        whole = ddf.compute()
    assert list(tables.target_moments) == targets
    for t in targets:
        skew, kurt, zeros = expected_target(whole[t])
        got = tables.target_moments[t]
        for name, g, w in (("skew", got["skew"], skew), ("kurtosis", got["kurtosis"], kurt)):
            assert same_figure(name, g, w), (t, g, w)
        assert tables.target_zero_counts[t] == zeros
        assert tables.target_zero_counts[t] / len(whole) == np.mean(
            np.nan_to_num(pd.to_numeric(whole[t], errors="coerce").to_numpy(dtype="float64", na_value=np.nan)) == 0.0
        )


def test_without_targets_the_target_fields_stay_empty(sync):
    tables = run(dd.from_pandas(mixed_frame(20), npartitions=2), columns=["normal"])
    assert tables.target_moments is None and tables.target_zero_counts is None
    assert tables.summary_work is None


def test_the_default_columns_are_the_numeric_ones(sync):
    pdf = mixed_frame(30)
    pdf["text"] = "a"
    tables = column_summaries(dd.from_pandas(pdf, npartitions=3))
    assert list(tables.column_summaries.index) == COLUMNS


def test_the_caller_frame_is_left_alone(sync):
    pdf = mixed_frame(50)
    before = pdf.copy()
    run(dd.from_pandas(pdf, npartitions=3), targets=["normal"])
    pd.testing.assert_frame_equal(pdf, before)


def test_on_a_cluster(partition_reads, counted_frame, split, local_cluster):
    cluster = local_cluster(2)
    try:
        with distributed.Client(cluster, set_as_default=False) as client:
            pdf = mixed_frame(3000, seed=21)
            ddf = counted_frame(split(pdf, 7))
            tables = column_summaries(ddf, COLUMNS, ["big"], scheduler=client.get)
            assert partition_reads == {i: 3 for i in range(7)}
            check_summaries(tables, pdf, COLUMNS)
            assert same_figure("skew", tables.target_moments["big"]["skew"], expected_target(pdf["big"])[0])
    finally:
        cluster.close()


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_the_analysis_report_of_the_computed_frame(sync, n_parts):
    # The report of the in-memory analysis itself, not a restatement of its
    # calls: its numeric columns, their six figures and the target figures
    # (without the column of mixed zeros, whose zero sign is left open).
    pdf = mixed_frame(600, seed=n_parts).drop(columns=["signed_zeros"])
    ddf = dd.from_pandas(pdf, npartitions=n_parts)
    targets = ["heavy", "ints"]
    tables = column_summaries(ddf, targets=targets)
    report = profilon.EDA().eda_report_and_score(ddf.compute(), target=targets)
    numeric = report.distributions["numeric_summary"]
    assert list(tables.column_summaries.index) == list(numeric)
    for c, figures in numeric.items():
        row = tables.column_summaries.loc[c]
        for name, want in figures.items():
            got = float(row[name])
            assert same_figure(name, got, want), (c, name, got, want)
    per_target = report.target["per_target"]
    for t in targets:
        for name in ("skew", "kurtosis"):
            assert same_figure(name, tables.target_moments[t][name], per_target[t][name]), (t, name)
        assert tables.target_zero_counts[t] / len(pdf) == per_target[t]["zero_share"]
