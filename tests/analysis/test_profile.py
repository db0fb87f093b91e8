"""Dataset profile: schema, missingness, distributions and relationships."""

import _thread
import math
import os
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy.stats import spearmanr
from sklearn.feature_selection import mutual_info_regression

import profilon


def same(a, b):
    """Equal, NaN included, and of the same type."""
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------
# Schema and missingness
# ---------------------------------------------------------------------------

TIE_FRAMES = {
    "ties": pd.DataFrame(
        {
            "a": [1.0, np.nan, 3.0, 4.0],
            "b": [np.nan, 2.0, 3.0, 4.0],
            "c": [1.0, 2.0, 3.0, 4.0],
            "d": [np.nan, np.nan, 3.0, 4.0],
            "e": [1.0, 2.0, np.nan, 4.0],
            "f": [1.0, 2.0, 3.0, 4.0],
        }
    ),
    "mixed_types": pd.DataFrame(
        {
            "txt": ["x", None, "z", "w", None],
            "when": pd.to_datetime(["2020-01-01", None, None, "2020-01-04", "2020-01-05"]),
            "n": [1.0, 2.0, np.nan, 4.0, 5.0],
            "i": [1, 2, 3, 4, 5],
            "s": pd.array(["a", None, "c", "d", "e"], dtype="string"),
            "m": pd.array([None, 2, 3, None, 5], dtype="Int64"),
        }
    ),
    "wide_ties": pd.DataFrame({f"k{i}": np.where(np.arange(30) % (i % 4 + 2) == 0, np.nan, 1.0) for i in range(40)}),
}


@pytest.mark.parametrize("name", TIE_FRAMES)
def test_missing_shares_match_separate_masks(analyse, name):
    df = TIE_FRAMES[name]
    miss = analyse(df).missingness
    assert list(miss) == ["total_missing_share", "rows_with_any_missing_share", "by_column_missing_share"]
    expected = df.isna().mean().sort_values(ascending=False).to_dict()
    assert list(miss["by_column_missing_share"].items()) == list(expected.items())
    assert same(miss["total_missing_share"], float(np.mean(df.isna().values)))
    assert same(miss["rows_with_any_missing_share"], float(df.isna().any(axis=1).mean()))


def test_schema_key_order_and_ratio(analyse):
    df = pd.DataFrame({"y": [1.0, 2.0, 3.0, 4.0], "flag": [True, False, True, True], "t": list("abcd")})
    schema = analyse(df, target=["y", "missing"]).schema
    assert list(schema) == [
        "n_rows", "n_cols", "feature_to_row_ratio", "numeric_cols", "categorical_cols",
        "datetime_cols", "bool_cols", "constant_cols", "duplicate_cols_examples", "targets",
    ]  # fmt: skip
    assert same(schema["feature_to_row_ratio"], 2 / 4)  # the target is no feature
    assert schema["numeric_cols"] == ["y", "flag"]
    assert schema["bool_cols"] == ["flag"]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # skewness of no data
def test_zero_rows(analyse):
    df = pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=object)})
    report = analyse(df)
    assert same(report.schema["feature_to_row_ratio"], 0.0)
    assert report.schema["constant_cols"] == ["a", "b"]
    assert report.schema["duplicate_cols_examples"] == []  # a and b would otherwise compare equal
    assert report.missingness == {
        "total_missing_share": 0.0,
        "rows_with_any_missing_share": 0.0,
        "by_column_missing_share": {},
    }
    assert report.relationships["rare_category_share_by_col"] == {}


@pytest.mark.filterwarnings("ignore:Mean of empty slice:RuntimeWarning")
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
def test_rows_without_columns(analyse):
    report = analyse(pd.DataFrame(index=range(3)))
    assert report.missingness["by_column_missing_share"] == {}
    assert math.isnan(report.missingness["total_missing_share"])
    assert same(report.missingness["rows_with_any_missing_share"], 0.0)
    assert report.schema["constant_cols"] == []


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # skewness of no data
def test_constant_columns(analyse):
    df = pd.DataFrame(
        {
            "all_nan": [np.nan] * 4,
            "one_value": [2.0, np.nan, 2.0, 2.0],
            "two_values": [1.0, 2.0, 1.0, 1.0],
            "text": ["a", "a", None, "a"],
        }
    )
    assert analyse(df).schema["constant_cols"] == ["all_nan", "one_value", "text"]


def test_unhashable_cells_propagate_from_distinct_count(analyse):
    df = pd.DataFrame({"a": [1.0, 2.0], "lists": [[1], [2]]})
    with pytest.raises(TypeError) as expected:
        df["lists"].nunique(dropna=True)
    with pytest.raises(TypeError) as raised:
        analyse(df)
    assert str(raised.value) == str(expected.value)


# ---------------------------------------------------------------------------
# Duplicate columns
# ---------------------------------------------------------------------------


def duplicates(analyse, df):
    return analyse(df).schema["duplicate_cols_examples"]


@pytest.mark.parametrize(
    "columns, expected",
    [
        ({"a": [1.0, np.nan, 3.0], "b": [1.0, np.nan, 3.0]}, [("b", "a")]),
        ({"a": [1.0, np.nan, 3.0], "b": [1.0, 3.0, np.nan]}, []),  # same values, other rows
        ({"a": [1, 2, 3], "b": [1, 2, 3], "c": [9, 9, 9], "d": [1, 2, 3]}, [("b", "a"), ("d", "a")]),
        # a category column is compared through its object copy and does not
        # end the scan: both the pair it forms and the later pair are found
        (
            {
                "t": ["x", "y", None],
                "cat": pd.Categorical(["x", "y", None]),
                "f": [1.5, 2.5, 3.5],
                "g": [1.5, 2.5, 3.5],
            },
            [("cat", "t"), ("g", "f")],
        ),
        ({"cat": pd.Categorical(["p", "q", "p"]), "f": [1.0, 2.0, 3.0], "g": [1.0, 2.0, 3.0]}, [("g", "f")]),
        # pandas' fill infers int64 for an object column of integers
        ({"i": [1, 2, 3], "o": pd.Series([1, 2, 3], dtype=object)}, [("o", "i")]),
        ({"i": [1, 2, 3], "ci": pd.Categorical([1, 2, 3])}, [("ci", "i")]),
        ({"m": pd.array([1, None, 3], dtype="Int64"), "o": pd.Series([1, None, 3], dtype=object)}, [("o", "m")]),
        ({"when": pd.to_datetime(["2020-01-01", None]), "w2": pd.to_datetime(["2020-01-01", None])}, [("w2", "when")]),
        # numbers, dates and durations with missing cells hash as their
        # object copy, which is what filling them with a text makes of them
        (
            {
                "f": [0.1, np.nan],
                "fo": pd.Series([0.1, None], dtype=object),
                "when": pd.to_datetime(["2020-01-01", None]),
                "o": pd.Series([pd.Timestamp("2020-01-01"), None], dtype=object),
                "d": pd.to_timedelta([None, 1], unit="D"),
                "d2": pd.to_timedelta([None, 1], unit="D"),
            },
            [("fo", "f"), ("o", "when"), ("d2", "d")],
        ),
    ],
)
def test_duplicate_pairs(analyse, columns, expected):
    assert duplicates(analyse, pd.DataFrame(columns)) == expected


@pytest.mark.parametrize("missing", [False, True])
def test_dates_with_a_time_zone_hash_without_a_conversion_warning(analyse, missing):
    stamps = pd.Series(pd.date_range("2020-01-01", periods=3, tz="Europe/Berlin"))
    if missing:
        stamps[1] = pd.NaT
    df = pd.DataFrame({"t": stamps, "f": [1.0, 2.0, 3.0], "t2": stamps.copy()})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert duplicates(analyse, df) == [("t2", "t")]
    assert [str(w.message) for w in caught if issubclass(w.category, (FutureWarning, DeprecationWarning))] == []


def test_zoned_dates_pair_as_pandas_hashes_pair_them(analyse, monkeypatch):
    # Their digests are made natively from the UTC values; through pandas'
    # own hashes (the function wrapped, so the analysis cannot take it for
    # the library's) the pairs found must be the same.
    berlin = pd.Series(pd.date_range("2020-03-28", periods=50, freq="h", tz="Europe/Berlin"))
    df = pd.DataFrame(
        {
            "b": berlin,
            "b2": berlin.copy(),
            "u": berlin.dt.tz_convert("UTC"),
            "n": berlin.dt.tz_convert("UTC").dt.tz_localize(None),
            "s": berlin.shift(1, fill_value=berlin.iloc[-1]),
            "f": np.arange(50.0),
        }
    )
    native = duplicates(analyse, df)
    hash_pandas_object = pd.util.hash_pandas_object
    monkeypatch.setattr(pd.util, "hash_pandas_object", lambda *a, **k: hash_pandas_object(*a, **k))
    assert native == duplicates(analyse, df)
    assert ("b2", "b") in native


@pytest.mark.parametrize("n_cols, expected", [(200, [("c199", "c0")]), (201, [])])
def test_duplicate_scan_column_limit(analyse, n_cols, expected):
    df = pd.DataFrame({f"c{i}": np.arange(3.0) + i for i in range(n_cols)})
    df["c199"] = df["c0"]
    assert duplicates(analyse, df) == expected


def test_duplicate_examples_are_cut_to_five(analyse):
    df = pd.DataFrame({f"c{i}": [1.0, 2.0] for i in range(8)})
    assert duplicates(analyse, df) == [(f"c{i}", "c0") for i in range(1, 6)]


@pytest.fixture
def hash_override(monkeypatch):
    """Replaces pandas' row hashing by a per-column table (None: raise)."""

    def install(table):
        original = pd.util.hash_pandas_object

        def fake(obj, index=True, **kw):
            rows = table.get(obj.name, "real")
            if rows is None:
                raise ValueError("cannot hash")
            if isinstance(rows, str):
                return original(obj, index=index, **kw)
            return pd.Series(np.array(rows, dtype=np.uint64))

        monkeypatch.setattr(pd.util, "hash_pandas_object", fake)

    return install


def fnv_collision(w1, w2, w1_other):
    """Second word that gives [w1_other, result] the digest of [w1, w2]."""
    mask = (1 << 64) - 1
    offset, prime = 14695981039346656037, 1099511628211
    return (((offset ^ w1) * prime) & mask) ^ (((offset ^ w1_other) * prime) & mask) ^ w2


def test_duplicates_decided_by_contents_not_digest(analyse, hash_override):
    a = [5, 7]
    b = [6, fnv_collision(5, 7, 6)]  # same bucket as a, other contents
    hash_override({"a": a, "b": b, "c": list(b), "d": list(a)})
    df = pd.DataFrame({k: [0.0, 1.0] for k in "abcd"})
    assert duplicates(analyse, df) == [("c", "b"), ("d", "a")]


def test_unhashable_column_is_left_out(analyse, hash_override):
    hash_override({"b": None})
    df = pd.DataFrame({"a": [1.0, 2.0], "b": [1.0, 2.0], "c": [1.0, 2.0]})
    assert duplicates(analyse, df) == [("c", "a")]


def test_column_refusing_both_fills_is_left_out(analyse, monkeypatch):
    original = pd.Series.fillna

    def picky(self, *args, **kwargs):
        if self.name == "b":
            raise TypeError("no fill for b")
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.Series, "fillna", picky)
    df = pd.DataFrame({"a": [1.0, np.nan], "b": [1.0, np.nan], "c": [1.0, np.nan], "d": [2.0, np.nan]})
    assert duplicates(analyse, df) == [("c", "a")]


# ---------------------------------------------------------------------------
# Rare categorical levels
# ---------------------------------------------------------------------------


def rare(analyse, df, **kwargs):
    return analyse(df, **kwargs).relationships["rare_category_share_by_col"]


@pytest.mark.parametrize(
    "values, expected",
    [
        ([f"v{i}" for i in range(150)], 1.0),  # threshold 2, every level once
        (["a"] * 980 + ["b"] * 10 + ["c"] * 10, 0.02),  # threshold 10: counts of 10 are rare
        (["a"] * 979 + ["b"] * 11 + ["c"] * 10, 0.01),
        (["a"] * 8 + [None] * 2, 0.2),  # missing values form a level of their own
        (["a"] * 5, 0.0),
    ],
)
def test_rare_level_share(analyse, values, expected):
    result = rare(analyse, pd.DataFrame({"c": values}))
    assert same(result["c"], expected)


def test_rare_levels_cut(analyse):
    df = pd.DataFrame({f"t{i}": ["a", "a", "b"] for i in range(5)})
    assert list(rare(analyse, df, max_cat_features=3)) == ["t0", "t1", "t2"]
    assert list(rare(analyse, df, max_cat_features=-1)) == ["t0", "t1", "t2", "t3"]
    with pytest.raises(TypeError, match="slice indices"):
        analyse(df, max_cat_features=2.5)


def test_rare_level_failure_skips_only_that_column(analyse, monkeypatch):
    original = pd.Series.value_counts

    def picky(self, *args, **kwargs):
        if self.name == "t1":
            raise ValueError("no counts")
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.Series, "value_counts", picky)
    df = pd.DataFrame({f"t{i}": ["a", "a", "b"] for i in range(3)})
    assert rare(analyse, df) == {"t0": 1.0, "t2": 1.0}


# ---------------------------------------------------------------------------
# Distributions
# ---------------------------------------------------------------------------


def test_numeric_summary_values(analyse):
    rng = np.random.default_rng(3)
    x = rng.lognormal(size=400)
    x[[3, 70]] = np.nan
    dist = analyse(pd.DataFrame({"x": x, "flag": x > 1.0})).distributions
    assert list(dist) == ["numeric_summary", "outlier_share_overall", "scale_spread_ratio"]
    summary = dist["numeric_summary"]["x"]
    assert list(summary) == ["min", "median", "max", "std", "skew", "kurtosis"]
    eda = profilon.EDA()
    expected = [np.nanmin(x), np.nanmedian(x), np.nanmax(x), np.nanstd(x), eda._safe_skew(x), eda._safe_kurtosis(x)]
    assert list(summary.values()) == [float(v) for v in expected]
    assert all(type(v) is float for v in summary.values())
    assert dist["numeric_summary"]["flag"]["min"] == 0.0 and dist["numeric_summary"]["flag"]["max"] == 1.0
    flag = (x > 1.0).astype(float)
    shares = [eda._iqr_outlier_share(x), eda._iqr_outlier_share(flag)]
    assert same(dist["outlier_share_overall"], float(np.mean(shares)))
    assert same(dist["scale_spread_ratio"], float((np.nanmax(x) - np.nanmin(x)) / 1.0))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(
    "columns, ratio",
    [
        ({"t": ["a", "b"]}, 0.0),  # nothing numeric
        ({"a": [3.0, 3.0, 3.0], "b": [0.0, 5.0, 10.0]}, 1e13),  # a zero range meets the floor
        ({"a": [0.0, 2.0, 1.0], "b": [-10.0, 40.0, 0.0]}, 25.0),
        ({"a": [1.0, 1.0], "b": [7.0, 7.0]}, 0.0),
        ({"a": [1.0, np.inf, 2.0], "b": [0.0, 1.0, 2.0]}, math.inf),
        ({"a": [np.nan, np.nan], "b": [1.0, 4.0]}, 1.0),  # no range recorded for all-NaN
    ],
)
def test_scale_spread_ratio(analyse, columns, ratio):
    dist = analyse(pd.DataFrame(columns)).distributions
    assert same(dist["scale_spread_ratio"], ratio)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_degenerate_columns(analyse):
    dist = analyse(pd.DataFrame({"nan": [np.nan] * 6, "inf": [1.0, 2.0, np.inf, 3.0, 4.0, 5.0]})).distributions
    nan_col, inf_col = dist["numeric_summary"]["nan"], dist["numeric_summary"]["inf"]
    assert all(math.isnan(nan_col[k]) for k in ("min", "median", "max", "std"))
    assert inf_col["max"] == math.inf and math.isnan(inf_col["std"])
    assert inf_col["skew"] == profilon.EDA()._safe_skew(np.array([1.0, 2.0, 3.0, 4.0, 5.0]))
    assert same(dist["outlier_share_overall"], 0.0)
    assert same(analyse(pd.DataFrame({"t": ["a"]})).distributions["outlier_share_overall"], 0.0)


def test_distribution_errors_propagate(monkeypatch):
    class Failing(profilon.EDA):
        def _iqr_outlier_share(self, arr):
            raise ZeroDivisionError("from the override")

    with pytest.raises(ZeroDivisionError, match="from the override"):
        Failing().eda_report_and_score(pd.DataFrame({"a": [1.0, 2.0]}))


# ---------------------------------------------------------------------------
# Relationships
# ---------------------------------------------------------------------------


def test_relationship_keys(analyse):
    df = pd.DataFrame({"y": np.arange(20.0), "x": np.arange(20.0) ** 2, "t": list("ab") * 10})
    assert list(analyse(df).relationships) == [
        "corr_method", "strong_corr_proportion_thr_0.95", "rare_category_share_by_col",
    ]  # fmt: skip
    assert list(analyse(df, target="y").relationships) == [
        "corr_method", "strong_corr_proportion_thr_0.95", "rare_category_share_by_col",
        "mutual_information_top_by_target", "cat_corr_ratio_top_by_target",
    ]  # fmt: skip
    no_text = analyse(df.drop(columns="t"), target="y").relationships
    assert "cat_corr_ratio_top_by_target" not in no_text


@pytest.mark.parametrize(
    "method, strong",
    [("spearman", 1.0), ("pearson", 0.0), ("kendall", 1.0), ("no such method", 0.0)],
)
def test_correlation_method_is_passed_through(analyse, method, strong):
    x = np.linspace(0, 1, 50)
    df = pd.DataFrame({"x": x, "e": np.exp(12 * x)})  # monotone, far from linear
    rel = analyse(df, corr_method=method).relationships
    assert rel["corr_method"] == method
    assert same(rel["strong_corr_proportion_thr_0.95"], strong)


class _NoBoolNumeric(profilon.EDA):
    """Counts booleans out of the numeric columns: num_cols then differs from
    the frame's own numeric part."""

    def _is_numeric(self, s):
        return super()._is_numeric(s) and s.dtype != bool


# The strong-pair share must be the one of df[num_cols].corr() whatever
# else the frame holds beside the numeric columns.
@pytest.mark.parametrize("eda_class", [profilon.EDA, _NoBoolNumeric])
@pytest.mark.parametrize("method", ["spearman", "pearson"])
def test_correlation_matrix_is_the_one_of_the_numeric_columns(eda_class, method):
    rng = np.random.default_rng(11)
    n = 300
    a = rng.normal(size=n)
    df = pd.DataFrame(
        {
            "a": a,
            "when": pd.date_range("2000-01-01", periods=n, freq="D"),
            "copy": a * 3 + 1e-9 * rng.normal(size=n),
            "flag": a > 0,
            "text": rng.choice(list("xyz"), n),
            "count": pd.array(np.where(rng.random(n) < 0.1, None, rng.integers(0, 9, n)), dtype="Int64"),
            "b": rng.normal(size=n).astype(np.float32),
        }
    )
    eda = eda_class()
    num_cols = [c for c in df.columns if eda._is_numeric(df[c])]
    expected = eda._corr_proportion_strong(df[num_cols].corr(method=method), thr=0.95)
    rel = eda.eda_report_and_score(df, corr_method=method).relationships
    assert rel["strong_corr_proportion_thr_0.95"] == expected
    assert 0.0 < expected < 1.0


def test_single_numeric_column_has_no_correlation(analyse):
    rel = analyse(pd.DataFrame({"x": [1.0, 2.0, 3.0], "t": list("abc")})).relationships
    assert same(rel["strong_corr_proportion_thr_0.95"], 0.0)


def relevance_frame(n_rows, n_feats=4, seed=0, index=None):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({f"f{i}": rng.normal(size=n_rows) for i in range(n_feats)}, index=index)
    y = X["f0"] * 2 + np.sin(3 * X["f1"]) + rng.normal(scale=0.3, size=n_rows)
    return X.assign(y=y)


def direct_mi(X, y):
    np.random.seed(7)
    return dict(zip(X.columns, map(float, mutual_info_regression(X, y, discrete_features=False)), strict=True))


def by_score(scores):
    return list(sorted(scores.items(), key=lambda kv: kv[1], reverse=True))


@pytest.mark.parametrize("n_rows", [500, 10_000])
def test_mutual_information_matches_direct_call(analyse, n_rows):
    index = np.random.default_rng(1).permutation(n_rows) * 3  # unique, not positional
    df = relevance_frame(n_rows, index=index)
    np.random.seed(7)
    scores = analyse(df, target="y").relationships["mutual_information_top_by_target"]["y"]
    X = df.drop(columns="y")
    if n_rows > 8000:
        X = X.sample(8000, random_state=0)  # the label-based draw, on a unique index
    expected = direct_mi(X, df["y"].loc[X.index])
    assert list(scores.items()) == by_score(expected)


def test_sample_takes_target_by_position_when_labels_repeat(analyse):
    df = relevance_frame(9000, index=np.arange(9000) // 2)
    np.random.seed(7)
    scores = analyse(df, target="y").relationships["mutual_information_top_by_target"]["y"]
    positions = df.reset_index(drop=True).sample(8000, random_state=0).index
    expected = direct_mi(df.drop(columns="y").iloc[positions], df["y"].iloc[positions])
    assert list(scores.items()) == by_score(expected)
    # selecting the target by label would have drawn more rows than features
    assert len(df["y"].loc[df.index[positions]]) > 8000


def test_spearman_fallback_when_a_feature_holds_nan(analyse):
    df = relevance_frame(300, n_feats=3)
    df.loc[5, "f2"] = np.nan
    scores = analyse(df, target="y").relationships["mutual_information_top_by_target"]["y"]
    expected = {
        c: abs(spearmanr(df[c].to_numpy(), df["y"].to_numpy(), nan_policy="omit").statistic) for c in ["f0", "f1", "f2"]
    }
    assert list(scores) == [k for k, _ in by_score(expected)]
    assert scores == expected


@pytest.mark.parametrize("limit, scored", [(60, 60), (5, 5), (0, 0), (-68, 2)])
def test_max_mi_features_cut(analyse, limit, scored):
    df = relevance_frame(120, n_feats=70)
    rel = analyse(df, target="y", max_mi_features=limit).relationships
    if scored == 0:
        assert "mutual_information_top_by_target" not in rel
    else:
        assert sorted(rel["mutual_information_top_by_target"]["y"], key=lambda c: int(c[1:])) == [
            f"f{i}" for i in range(scored)
        ]


def test_numeric_relevance_candidates(analyse):
    rng = np.random.default_rng(2)
    df = pd.DataFrame(
        {
            "y1": rng.normal(size=80),
            "y2": rng.normal(size=80),
            "flag": rng.normal(size=80) > 0,
            "when": pd.date_range("2020", periods=80),
            "txt_target": ["a", "b"] * 40,
        }
    )
    rel = analyse(df, target=["y1", "y2", "txt_target"]).relationships
    assert "mutual_information_top_by_target" not in rel  # booleans are no candidates
    rel = analyse(df.assign(x=rng.normal(size=80)), target=["y1", "y2", "txt_target"]).relationships
    assert {t: list(s) for t, s in rel["mutual_information_top_by_target"].items()} == {"y1": ["x"], "y2": ["x"]}


def test_categorical_relevance(analyse):
    rng = np.random.default_rng(4)
    n = 300
    df = pd.DataFrame(
        {
            "y": rng.normal(size=n),
            "a": rng.choice(list("pqr"), n),
            "b": pd.Categorical(rng.choice(list("uv"), n)),
            "c": rng.choice(list("xyz"), n),
            "empty": [None] * n,
        }
    )
    eda = profilon.EDA()
    expected = {c: eda._correlation_ratio_num_cat(df["y"], df[c]) for c in ["a", "b", "c"]}
    rel = analyse(df, target="y").relationships["cat_corr_ratio_top_by_target"]["y"]
    assert list(rel.items()) == by_score(expected)  # "empty" has no complete row
    cut = analyse(df, target="y", max_cat_features=2).relationships["cat_corr_ratio_top_by_target"]["y"]
    assert sorted(cut) == ["a", "b"]


def test_categorical_relevance_errors_propagate():
    class Failing(profilon.EDA):
        def _correlation_ratio_num_cat(self, y, x_cat):
            raise KeyError("from the override")

    df = pd.DataFrame({"y": [1.0, 2.0, 3.0], "t": list("aab")})
    with pytest.raises(KeyError, match="from the override"):
        Failing().eda_report_and_score(df, target="y")
    Failing().eda_report_and_score(df)  # no target: never called


# The relationship kernels begin right after typing and run beside the
# schema and distribution steps; these check what that must not change.


def os_threads():
    return len(os.listdir("/proc/self/task"))


def threads_back_to(count, within=2.0):
    deadline = time.monotonic() + within
    while os_threads() != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return os_threads() == count


def test_thread_count_changes_neither_report_nor_generator(monkeypatch):
    df = relevance_frame(9000, n_feats=30, seed=5).assign(y2=lambda d: d["f3"] - d["f4"])
    runs = []
    for threads in ["1", "2"]:
        monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
        np.random.seed(3)
        report = profilon.EDA().eda_report_and_score(df, target=["y", "y2"]).to_dict()
        runs.append((report, np.random.get_state()[1].copy()))
    (one, state_one), (two, state_two) = runs
    assert one == two
    assert np.array_equal(state_one, state_two)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("step", ["schema_missingness", "relationships"])
def test_ctrl_c_stops_the_kernels_begun_ahead(monkeypatch, threads, step):
    # Interrupted while they run (in a step before theirs, or while their
    # step waits for them), they are stopped and joined; nothing is left
    # running and the next analysis is whole.
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    df = relevance_frame(8000, n_feats=120, seed=6)
    before = os_threads()
    timers = []

    def clock(name):
        if name == step:
            timers.append(threading.Timer(0.05, _thread.interrupt_main))
            timers[-1].start()

    monkeypatch.setattr(profilon, "_step_clock", clock, raising=False)
    try:
        with pytest.raises(KeyboardInterrupt):
            profilon.EDA().eda_report_and_score(df, target="y")
            time.sleep(1)  # the interrupt came after the analysis: raised here
    finally:
        for t in timers:
            t.cancel()
    assert threads_back_to(before)
    monkeypatch.delattr(profilon, "_step_clock")
    small = relevance_frame(300, seed=6)
    np.random.seed(7)
    scores = profilon.EDA().eda_report_and_score(small, target="y").relationships["mutual_information_top_by_target"]
    assert list(scores["y"].items()) == by_score(direct_mi(small.drop(columns="y"), small["y"]))


def test_the_relevance_sample_copies_only_its_rows(monkeypatch):
    # Taking the 8,000 sampled rows must not copy every row of the feature
    # columns on the way (selecting the columns first does).
    import tracemalloc

    monkeypatch.setenv("PROFILON_NUM_THREADS", "1")
    df = relevance_frame(200_000, n_feats=12, seed=3)
    features = df.drop(columns="y").memory_usage(index=False).sum()
    peaks = {}

    def clock(name):
        if name == "typing":
            tracemalloc.start()
        elif tracemalloc.is_tracing():
            peaks.setdefault("typing", tracemalloc.get_traced_memory()[1])
            tracemalloc.stop()

    monkeypatch.setattr(profilon, "_step_clock", clock, raising=False)
    try:
        profilon.EDA().eda_report_and_score(df, target="y")
    finally:
        if tracemalloc.is_tracing():
            tracemalloc.stop()
    assert 0 < peaks["typing"] < features / 2


def test_an_error_met_while_starting_surfaces_in_the_relationship_step(monkeypatch):
    steps = []
    monkeypatch.setattr(profilon, "_step_clock", steps.append, raising=False)
    with pytest.raises(TypeError):
        profilon.EDA().eda_report_and_score(relevance_frame(50), target="y", max_mi_features="many")
    assert steps == ["typing", "schema_missingness", "distributions", "relationships"]


# ---------------------------------------------------------------------------
# Odd columns never crash, warn or change the frame
# ---------------------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_mixed_dtypes_run_cleanly(analyse):
    n = 30
    rng = np.random.default_rng(1)
    df = pd.DataFrame(
        {
            "y": rng.normal(size=n),
            "i64na": pd.array([1, None, 2] * 10, dtype="Int64"),
            "boolna": pd.array([True, None, False] * 10, dtype="boolean"),
            "s": pd.array(["a", None, "b"] * 10, dtype="string"),
            "tz": pd.date_range("2020", periods=n, tz="UTC"),
            "td": pd.to_timedelta(np.arange(n), unit="s"),
            "per": pd.period_range("2020", periods=n, freq="D"),
            "iv": pd.interval_range(0, n),
            "objint": pd.Series(list(range(n)), dtype=object),
            "catint": pd.Series(list(range(n))).astype("category"),
            "objmix": pd.Series([1, "a", None] * 10, dtype=object),
            "dtnat": pd.Series(pd.to_datetime(["2020-01-01", None, "2020-01-03"] * 10)),
        }
    )
    report = analyse(df, target=["y", "i64na"])
    # pandas hashes a duration by its ticks; pandas 3.0 keeps this one in
    # seconds, whose ticks are objint's integers
    seconds = df["td"].dtype == "timedelta64[s]"
    pairs = [("objint", "td"), ("catint", "td")] if seconds else [("catint", "objint")]
    assert report.schema["duplicate_cols_examples"] == pairs
    assert set(report.relationships["cat_corr_ratio_top_by_target"]) == {"y", "i64na"}


@pytest.mark.parametrize(
    "columns, message",
    [
        (["a", "b", "a", "c", "c"], "column labels must be unique; duplicated: ['a', 'c']"),
        # Each repeated label once, where it first appears, not where it repeats.
        ([2, 1, 1, 2], "column labels must be unique; duplicated: [2, 1]"),
        (["a", "b", "b", "a"], "column labels must be unique; duplicated: ['a', 'b']"),
        (["x", "a", "b", "b", "a", "a", "x"], "column labels must be unique; duplicated: ['x', 'a', 'b']"),
        (["a", "b", "c", "d", "e"], None),
    ],
)
def test_repeated_column_labels_are_refused(analyse, columns, message):
    df = pd.DataFrame(np.arange(2.0 * len(columns)).reshape(2, len(columns)), columns=columns)
    if message is None:
        assert analyse(df).schema["n_cols"] == len(columns)
    else:
        with pytest.raises(ValueError) as raised:
            analyse(df)
        assert str(raised.value) == message


COLUMN_KINDS = {
    "float": lambda v: pd.Series(v, dtype=float),
    "int": lambda v: pd.Series(np.nan_to_num(v).astype(np.int64)),
    "Int64": lambda v: pd.Series(pd.array([None if np.isnan(x) else int(x) for x in v], dtype="Int64")),
    "text": lambda v: pd.Series([None if np.isnan(x) else f"t{int(x) % 3}" for x in v]),
    "category": lambda v: pd.Series([None if np.isnan(x) else int(x) % 2 for x in v], dtype="category"),
    "bool": lambda v: pd.Series(np.nan_to_num(v) > 0),
    "when": lambda v: pd.Series(pd.to_datetime([None if np.isnan(x) else 1e9 + x * 86400 for x in v], unit="s")),
}


@st.composite
def small_frames(draw):
    n = draw(st.integers(0, 12))
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMN_KINDS)), max_size=6))
    cells = st.one_of(st.just(np.nan), st.integers(-3, 3).map(float), st.just(np.inf))
    df = pd.DataFrame(index=range(n))
    for i, kind in enumerate(kinds):
        values = np.array(draw(st.lists(cells, min_size=n, max_size=n)), dtype=float)
        if kind not in ("float",):
            values[np.isinf(values)] = 1.0
        df[f"{kind}{i}"] = COLUMN_KINDS[kind](values).to_numpy()
    return df


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(small_frames(), st.integers(0, 3))
def test_small_frames_never_fail(analyse, df, target_pos):
    target = list(df.columns[target_pos : target_pos + 1])
    report = analyse(df, target=target)
    expected = df.isna().mean().sort_values(ascending=False).to_dict() if len(df) else {}
    assert list(report.missingness["by_column_missing_share"]) == list(expected)
    assert len(report.schema["constant_cols"]) <= df.shape[1]
