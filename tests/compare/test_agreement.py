"""The comparison's statistics against the SciPy functions they stand for,
on pairs with ties, missing cells, constant columns, unequal and equal
sizes, both of ks_2samp's methods, one-row and empty sides."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest


def close(ours, theirs, rel, abs_=0.0):
    if theirs is None or (isinstance(theirs, float) and math.isnan(theirs)):
        return ours is None
    return ours is not None and math.isclose(ours, theirs, rel_tol=rel, abs_tol=abs_)


def numeric_pair(rng, n_ref, n_cur):
    """One column per awkward case, so a single comparison covers them all."""

    def side(n, shift):
        missing = rng.random(n) < 0.2
        with_missing = rng.normal(shift, 1, n)
        with_missing[missing] = np.nan
        return pd.DataFrame(
            {
                "smooth": rng.normal(shift, 1, n),
                "ties": rng.integers(0, 6, n).astype(float) + (shift > 0),
                "few_ties": np.round(rng.normal(shift, 3, n)),
                "with_missing": with_missing,
                "constant_same": np.full(n, 2.5),
                "constant_other": np.full(n, 1.0 + shift),
                "negative_zero": rng.choice([-0.0, 0.0, 1.0], n),
                "ints": pd.array(rng.integers(-3, 4, n), dtype="Int64"),
                "skewed": rng.lognormal(shift, 2, n),
            }
        )

    return side(n_ref, 0.0), side(n_cur, 0.3)


@pytest.mark.parametrize(
    "n_ref, n_cur",
    [
        (400, 400),  # equal sizes: the exact square-lattice probability
        (700, 300),  # unequal: the exact inside-path count
        (2500, 9000),  # still exact
        (12000, 3000),  # past 10,000: the asymptotic distribution
        (35, 1),  # one row on the current side
    ],
)
def test_numeric_figures_agree_with_scipy(eda, rng, library, n_ref, n_cur):
    ref, cur = numeric_pair(rng, n_ref, n_cur)
    report = eda.compare(ref, cur)
    for col in ref.columns:
        fig = report.columns[col]
        want = library.numeric(ref[col], cur[col])
        assert close(fig["ks_statistic"], want["ks_statistic"], 1e-12, 1e-15), col
        assert close(fig["ks_pvalue"], want["ks_pvalue"], 1e-9, 1e-300), col
        if want["wasserstein_norm"] is None:
            assert fig["wasserstein_norm"] is None, col
        else:
            assert close(fig["wasserstein_norm"], want["wasserstein_norm"], 1e-12, 1e-15), col


def test_empty_side_gives_no_figures_and_no_verdict(eda, rng):
    ref, cur = numeric_pair(rng, 50, 50)
    report = eda.compare(ref, cur.iloc[:0])
    for col in ref.columns:
        fig = report.columns[col]
        assert fig["ks_statistic"] is None and fig["ks_pvalue"] is None
        assert fig["drifted"] is None
        assert "current side has 0 non-missing values" in fig["reason"]
    assert report.drifted_columns == []


def test_all_missing_column_has_no_figures(eda, rng):
    ref = pd.DataFrame({"x": rng.normal(size=60)})
    cur = pd.DataFrame({"x": np.full(60, np.nan)})
    fig = eda.compare(ref, cur).columns["x"]
    assert fig["missing_share_current"] == 1.0
    assert fig["ks_statistic"] is None and fig["drifted"] is None


def categorical_pair(rng, n_ref, n_cur):
    def side(n, tilt, extra):
        levels = ["a", "b", "c", "d"] + extra
        p = np.linspace(1, 1 + tilt, len(levels))
        s = pd.Series(rng.choice(levels, n, p=p / p.sum()), dtype=object)
        s[rng.random(n) < 0.1] = None
        return s

    ref = pd.DataFrame(
        {
            "four": side(n_ref, 0.0, []),
            "two": pd.Series(rng.choice([True, False], n_ref)),
            "one_level": pd.Series(["k"] * n_ref),
            "cat": pd.Series(rng.choice(list("xyz"), n_ref)).astype(pd.CategoricalDtype(list("xyzw"))),
        }
    )
    cur = pd.DataFrame(
        {
            "four": side(n_cur, 1.5, ["e"]),
            "two": pd.Series(rng.choice([True, False], n_cur, p=[0.7, 0.3])),
            "one_level": pd.Series(["k"] * n_cur),
            "cat": pd.Series(rng.choice(list("xyz"), n_cur, p=[0.5, 0.3, 0.2])).astype(
                pd.CategoricalDtype(list("xyzw"))
            ),
        }
    )
    return ref, cur


@pytest.mark.parametrize("n_ref, n_cur", [(500, 500), (3000, 200), (40, 1)])
def test_categorical_figures_agree_with_scipy(eda, rng, library, n_ref, n_cur):
    ref, cur = categorical_pair(rng, n_ref, n_cur)
    report = eda.compare(ref, cur)
    for col in ref.columns:
        fig = report.columns[col]
        assert fig["kind"] == "categorical"
        want = library.categorical(ref[col], cur[col])
        assert close(fig["js_distance"], want["js_distance"], 0, 1e-12), col
        assert close(fig["chi2_pvalue"], want["chi2_pvalue"], 1e-9, 1e-300), col


def test_missing_shares_and_levels(eda, rng):
    ref, cur = categorical_pair(rng, 400, 400)
    fig = eda.compare(ref, cur).columns["four"]
    assert fig["missing_share_reference"] == pytest.approx(ref["four"].isna().mean(), abs=0)
    assert fig["missing_share_current"] == pytest.approx(cur["four"].isna().mean(), abs=0)
    assert fig["new_levels"] == ["e"]
    assert fig["vanished_levels"] == []


def test_kernel_merge_is_exact_whatever_the_split(kernels, rng):
    x = np.round(rng.normal(size=3001), 1)
    x[::11] = np.nan
    whole = kernels.drift_value_counts(x)
    pieces = [kernels.drift_value_counts(p) for p in np.array_split(x, 7)]
    merged = pieces[0]
    for p in pieces[1:]:
        merged = kernels.drift_merge(merged, p)
    np.testing.assert_array_equal(merged[0], whole[0])
    np.testing.assert_array_equal(merged[1], whole[1])
    assert merged[2:] == whole[2:] == (float(np.sum(~np.isnan(x))), float(np.sum(np.isnan(x))))


def test_saved_quantiles_stay_within_their_bound(kernels, test_entries, rng):
    a = rng.standard_t(3, size=50_000)
    b = rng.normal(0.2, 1.3, size=4_000)
    sa, sb = kernels.drift_value_counts(a), kernels.drift_value_counts(b)
    k = 1000
    q = test_entries.drift_quantiles(sa, k)
    assert len(q) == k + 1
    # The smallest value whose cumulative share reaches i/k, in integers
    # (NumPy's inverted_cdf computes i/k * n in floats and can land a value
    # off at the exact boundaries).
    i = np.arange(1, k + 1)
    np.testing.assert_array_equal(q[1:], np.sort(a)[(i * len(a) + k - 1) // k - 1])
    assert q[0] == a.min()
    approx = test_entries.drift_from_quantiles(q, sa[2], sa[3])
    exact_ks, exact_w = test_entries.drift_two_sample(sa, sb)
    ks, w = test_entries.drift_two_sample(approx, sb)
    assert abs(ks - exact_ks) <= 1 / k
    assert abs(w - exact_w) <= (a.max() - a.min()) / k


def test_psi_over_reference_deciles(kernels, test_entries, rng):
    a, b = rng.normal(size=5000), rng.normal(0.3, 1, size=3000)
    sa, sb = kernels.drift_value_counts(a), kernels.drift_value_counts(b)
    edges = np.unique(np.quantile(a, np.arange(1, 10) / 10, method="inverted_cdf"))
    rb, cb = test_entries.drift_bin_counts(sa, edges), test_entries.drift_bin_counts(sb, edges)
    want_r = np.bincount(np.searchsorted(edges, a, side="left"), minlength=len(edges) + 1)
    want_c = np.bincount(np.searchsorted(edges, b, side="left"), minlength=len(edges) + 1)
    np.testing.assert_array_equal(rb, want_r)
    np.testing.assert_array_equal(cb, want_c)
    r = np.maximum(want_r / want_r.sum(), 1e-4)
    c = np.maximum(want_c / want_c.sum(), 1e-4)
    assert test_entries.drift_psi(rb, cb, 1e-4) == pytest.approx(np.sum((c - r) * np.log(c / r)), rel=1e-12)


@pytest.mark.parametrize(
    "values",
    [
        np.random.default_rng(5).standard_t(3, 3000),
        np.round(np.random.default_rng(6).normal(50, 3, 4001)),
        np.r_[np.full(7, np.nan), np.random.default_rng(7).lognormal(0, 2, 500)],
        np.array([2.5, np.nan]),
        np.full(3, np.nan),
    ],
    ids=["continuous", "ties", "missing_cells", "one_value", "no_value"],
)
def test_kernel_moments_of_a_state_merged_from_parts_are_numpys(kernels, test_entries, values):
    # The comparison normalises the Wasserstein distance by the reference's
    # population std, taken from its state as the partitions merged it.
    merged = kernels.drift_value_counts(values[:0])
    for part in np.array_split(values, 4):
        merged = kernels.drift_merge(merged, kernels.drift_value_counts(part))
    mean, std = test_entries.drift_moments(merged)
    present = values[~np.isnan(values)]
    if present.size == 0:
        assert math.isnan(mean) and math.isnan(std)
        return
    assert mean == pytest.approx(np.mean(present), rel=1e-12, abs=1e-300)
    assert std == pytest.approx(np.std(present), rel=1e-12, abs=1e-300)


@pytest.mark.parametrize(
    "ref, cur",
    [
        ([30, 70], [55, 45]),  # one degree of freedom: Yates' correction
        ([12, 40, 7, 300], [20, 33, 0, 280]),  # a level the current side lacks
        ([5, 5, 5], [5, 5, 5]),  # equal shares: zero distance
        ([200], [3]),  # one level: no freedom
    ],
    ids=["two_levels", "four_levels", "equal", "one_level"],
)
def test_kernel_level_figures_are_scipys(test_entries, ref, cur):
    import scipy.stats
    from scipy.spatial.distance import jensenshannon

    js, chi2, dof = test_entries.drift_level_figures(np.array(ref, dtype=float), np.array(cur, dtype=float))
    want = scipy.stats.chi2_contingency(np.array([ref, cur], dtype=float))
    assert js == pytest.approx(float(jensenshannon(ref, cur, base=2)), rel=0, abs=1e-12)
    assert chi2 == pytest.approx(float(want.statistic), rel=1e-12, abs=1e-300)
    assert dof == want.dof


def test_kernel_level_figures_without_a_side_or_of_other_levels(test_entries):
    js, chi2, dof = test_entries.drift_level_figures(np.zeros(3), np.array([1.0, 2.0, 3.0]))
    assert math.isnan(js) and math.isnan(chi2) and dof == 2
    with pytest.raises(ValueError):
        test_entries.drift_level_figures(np.ones(3), np.ones(2))


def test_figures_do_not_depend_on_the_thread_count(eda, rng, monkeypatch):
    ref, cur = numeric_pair(rng, 3000, 2000)
    monkeypatch.setenv("PROFILON_NUM_THREADS", "1")
    one = eda.compare(ref, cur).columns
    monkeypatch.setenv("PROFILON_NUM_THREADS", "4")
    with warnings.catch_warnings():
        four = eda.compare(ref, cur).columns
    for col in ref.columns:
        for key in ("ks_statistic", "ks_pvalue", "wasserstein_norm", "psi"):
            assert one[col][key] == four[col][key]
