"""Scoring: the shared components, per-target and overall suitability, advice."""

import dataclasses

import numpy as np
import pandas as pd
import pytest

import profilon


def breakdown(report):
    return dataclasses.asdict(report.score_breakdown)


def lines(report, prefix):
    return [r for r in report.recommendations if r.startswith(prefix)]


def random_frame(n_rows, n_cols=1, seed=0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({f"x{i}": rng.random(n_rows) for i in range(n_cols)})


def level_column(n_rows, n_levels, tag):
    return [f"{tag}_{i % n_levels}" for i in range(n_rows)]


# --- the shared components ------------------------------------------------


@pytest.mark.parametrize(
    "n_rows, size, split",
    [
        (50_000, 1.0, 1.0), (49_999, 0.7, 1.0), (10_000, 0.7, 1.0), (9_999, 0.4, 1.0),
        (2_000, 0.4, 1.0), (1_999, 0.2, 1.0), (1_000, 0.2, 1.0), (999, 0.2, 0.7),
        (300, 0.2, 0.7), (299, 0.2, 0.4),
    ],
)  # fmt: skip
def test_size_and_split_follow_the_row_count(analyse, n_rows, size, split):
    b = breakdown(analyse(random_frame(n_rows)))
    assert (b["size_adequacy"], b["split_viability"]) == (size, split)


@pytest.mark.parametrize(
    "n_rows, n_features, expected",
    [
        (300, 10, 1.0), (300, 11, 0.8), (200, 10, 0.8), (199, 10, 0.6), (100, 10, 0.6),
        (99, 10, 0.3), (50, 10, 0.3), (49, 10, 0.1),
        # only the target: the rows are divided by one, not by zero features
        (5, 0, 0.3), (4, 0, 0.1),
    ],
)  # fmt: skip
def test_rows_per_feature(analyse, n_rows, n_features, expected):
    df = random_frame(n_rows, n_features)
    df["y"] = np.arange(n_rows, dtype=float)
    assert breakdown(analyse(df, target="y"))["feature_to_row_ratio"] == expected


# max_cat_features=0 keeps every column out of the rare-level shares, so the
# cardinality penalty is seen alone; every categorical column is still counted.
@pytest.mark.parametrize(
    "n_rows, n_levels, n_cols, score",
    [
        (5_000, 1_000, 1, 1.0), (5_000, 1_001, 1, 0.9), (9_999, 1_001, 1, 0.9),
        (10_000, 1_001, 1, 1.0), (20_000, 5_000, 1, 1.0), (20_000, 10_000, 1, 1.0),
        (20_000, 10_001, 1, 0.85), (5_000, 1_001, 10, 1.0 - 0.9),
    ],
)  # fmt: skip
def test_categorical_cardinality(analyse, n_rows, n_levels, n_cols, score):
    df = pd.DataFrame({f"c{j}": level_column(n_rows, n_levels, f"c{j}") for j in range(n_cols)})
    report = analyse(df, max_cat_features=0)
    assert breakdown(report)["categorical_cardinality"] == score
    if score == 1.0:
        assert report.recommendations == []
    else:
        pairs = [(f"c{j}", n_levels) for j in range(min(3, n_cols))]
        assert report.recommendations == [
            f"High-cardinality categoricals {pairs}; consider embeddings/target encoding."
        ]


def test_rare_levels_cost_at_most_a_tenth_and_name_five_columns(analyse):
    # 100 rows: a level seen at most twice is rare
    common = ["common"] * 100
    df = pd.DataFrame({"few": [f"u{i}" for i in range(10)] + common[:90]})
    for j in range(6):
        df[f"many{j}"] = [f"m{j}_{i}" for i in range(50)] + common[:50]
    report = analyse(df)
    assert report.relationships["rare_category_share_by_col"]["few"] == 0.1
    assert breakdown(report)["categorical_cardinality"] == 1.0 - 0.1
    assert lines(report, "Many rare") == [
        "Many rare categories in ['many0', 'many1', 'many2', 'many3', 'many4']; "
        "consider grouping rare levels (outside EDA)."
    ]


@pytest.mark.parametrize("n_missing", [0, 50, 123])
def test_missingness(analyse, n_missing):
    df = random_frame(100, 10)
    # A copy: under copy-on-write (pandas 3) to_numpy() is a read-only view.
    values = df.to_numpy(copy=True)
    values.flat[:n_missing] = np.nan
    df = pd.DataFrame(values, columns=df.columns)
    report = analyse(df)
    assert breakdown(report)["missingness"] == 1.0 - n_missing / 1000
    expected = ["Impute or drop features/rows; total missing = 12.3%."] if n_missing == 123 else []
    assert lines(report, "Impute") == expected


@pytest.mark.parametrize(
    "prop, score, fires",
    [(0.0, 1.0, False), (0.1, 0.9, False), (0.25, 0.75, True), (float("nan"), 0.0, False), (1.5, 0.0, True)],
)
def test_multicollinearity(analyse, monkeypatch, prop, score, fires):
    monkeypatch.setattr(profilon.EDA, "_corr_proportion_strong", lambda self, corr_df, thr=0.95: prop, raising=False)
    report = analyse(random_frame(50, 3))
    assert breakdown(report)["multicollinearity"] == score
    line = "High multicollinearity; drop/merge highly correlated features or use PCA."
    assert lines(report, "High multi") == ([line] if fires else [])


@pytest.mark.parametrize(
    "share, score, fires",
    [(0.0, 1.0, False), (0.05, 1.0 - 0.05 * 1.2, False), (0.5, 1.0 - 0.5 * 1.2, True),
     (0.9, 1.0 - 0.8, True), (float("nan"), 1.0 - 0.8, False)],
)  # fmt: skip
def test_outliers(analyse, monkeypatch, share, score, fires):
    monkeypatch.setattr(profilon.EDA, "_iqr_outlier_share", lambda self, arr: share)
    report = analyse(random_frame(50, 2))
    assert breakdown(report)["outliers"] == score
    assert lines(report, "Notable") == (["Notable outliers; winsorize, clip, or robust scaling."] if fires else [])


@pytest.mark.parametrize(
    "wide_range, score, fires",
    [(10.0, 1.0, False), (10.5, 0.8, False), (100.0, 0.8, False), (100.5, 0.6, True),
     (1000.0, 0.6, True), (1000.5, 0.4, True), (np.inf, 0.4, True), (None, 0.8, False)],
)  # fmt: skip
def test_scale_heterogeneity(analyse, wide_range, score, fires):
    # two uncorrelated columns of ranges 1 and wide_range; None: no numeric column
    if wide_range is None:
        df = pd.DataFrame({"c": list("ab") * 20})
    else:
        df = pd.DataFrame({"a": [0.0, 1.0] * 20, "b": [0.0, 0.0, wide_range, wide_range] * 10})
    report = analyse(df)
    assert breakdown(report)["scale_heterogeneity"] == score
    line = "Large scale differences; standardize/normalize numeric features."
    assert lines(report, "Large scale") == ([line] if fires else [])


@pytest.mark.parametrize(
    "n_const, n_dup, score",
    [(0, 0, 1.0), (1, 0, 1.0 - 0.02), (12, 0, 1.0 - 12 * 0.02), (25, 0, 0.6),
     (0, 6, 1.0 - 6 * 0.02), (25, 30, 1.0 - (0.4 + 0.4))],
)  # fmt: skip
def test_redundancy(analyse, n_const, n_dup, score):
    base = np.arange(50, dtype=float)
    cols = {"v": base}
    cols.update({f"k{i}": np.full(50, i) for i in range(n_const)})
    cols.update({f"d{i}": base.copy() for i in range(n_dup)})
    report = analyse(pd.DataFrame(cols))
    assert breakdown(report)["redundancy"] == score
    const = [f"Drop constant features: {[f'k{i}' for i in range(min(10, n_const))]}"] if n_const else []
    dup = [f"Drop duplicate columns (examples): {[(f'd{i}', 'v') for i in range(min(5, n_dup))]}"] if n_dup else []
    assert lines(report, "Drop constant") == const
    assert lines(report, "Drop duplicate") == dup


def test_no_target_no_time_axis_no_numeric_column_totals_93_1(analyse):
    df = pd.DataFrame({"c": list("abcd") * 12_500})
    report = analyse(df)
    expected = dict.fromkeys(breakdown(report), 1.0)
    expected.update(target_quality=0.7, scale_heterogeneity=0.8, ts_quality=0.8, meta_completeness=0.7)
    assert breakdown(report) == expected
    assert report.suitability_score == 93.1
    assert report.suitability_score_by_target is None
    assert report.score_breakdown_by_target is None
    assert "score_breakdown_by_target" not in report.to_dict()
    assert report.recommendations == []


# --- per-target breakdowns -------------------------------------------------


def test_one_numeric_target_is_the_overall_breakdown(analyse):
    df = random_frame(300, 3)
    df["y"] = np.linspace(0.0, 1.0, 300) ** 2
    report = analyse(df, target="y")
    assert report.score_breakdown_by_target == {"y": breakdown(report)}
    assert report.suitability_score_by_target == {"y": report.suitability_score}
    assert breakdown(report)["meta_completeness"] == 1.0


def test_two_targets_average_their_target_quality(analyse):
    df = random_frame(300, 2)
    df["spiky"] = np.r_[np.zeros(299), 1.0]  # |skew| far above 12: quality 0.4
    df["sym"] = [-1.0, 1.0, 0.0, 0.0, 0.0, 0.0] * 50  # skew and excess kurtosis 0: quality 1.0
    report = analyse(df, target=["spiky", "sym"])
    per_target = report.score_breakdown_by_target
    assert [per_target[t]["target_quality"] for t in ("spiky", "sym")] == [0.4, 1.0]
    assert breakdown(report)["target_quality"] == 0.7


def test_text_target_and_repeated_target(analyse, monkeypatch):
    def leakage(self, df_x, y):
        return {"y": (0.5, []), "txt": (1.0, [])}[y.name]

    monkeypatch.setattr(profilon.EDA, "_leakage_hints_per_target", leakage, raising=False)
    df = random_frame(300, 2)
    df["y"] = np.r_[np.zeros(299), 1.0]
    df["txt"] = list("abc") * 100
    report = analyse(df, target=["y", "txt", "y"])
    per_target = report.score_breakdown_by_target
    assert list(per_target) == list(report.suitability_score_by_target) == ["y", "txt"]
    assert per_target["txt"]["target_quality"] == 0.6
    tq_y = per_target["y"]["target_quality"]
    assert tq_y != 0.6
    overall = breakdown(report)
    # the repeated label weighs twice in every average
    assert overall["target_quality"] == float(np.mean([tq_y, 0.6, tq_y]))
    assert overall["leakage_risk"] == float(np.mean([0.5, 1.0, 0.5]))


def test_leakage_lines_come_last_one_per_target_with_reasons(analyse, monkeypatch):
    reasons = {"y1": (0.5, ["first reason", "second"]), "y2": (1.0, []), "y3": (0.15, ["only"])}
    monkeypatch.setattr(profilon.EDA, "_leakage_hints_per_target", lambda self, df_x, y: reasons[y.name], raising=False)
    df = random_frame(300, 1)
    df["k"] = "same"
    for i, t in enumerate(reasons):
        df[t] = np.random.default_rng(i + 1).random(300)
    report = analyse(df, target=list(reasons))
    assert report.recommendations == [
        "Drop constant features: ['k']",
        "Leakage hints for 'y1': first reason; second",
        "Leakage hints for 'y3': only",
    ]
    assert [report.score_breakdown_by_target[t]["leakage_risk"] for t in reasons] == [0.5, 1.0, 0.15]


# --- the time axis -----------------------------------------------------------


def daily(n_days, drop=()):
    dates = pd.date_range("2024-01-01", periods=n_days, freq="D").delete(list(drop))
    return pd.DataFrame({"date": dates, "x": np.random.default_rng(0).random(len(dates))})


def test_short_history_halves_split_viability(analyse):
    report = analyse(daily(20), datetime_col="date")
    b = breakdown(report)
    assert (b["split_viability"], b["ts_quality"]) == (0.5, 1.0 - 0.2)
    assert lines(report, "Not enough") == ["Not enough history; extend time window before DNN."]


def test_gappy_timeline_without_target_uses_the_base_quality(analyse):
    report = analyse(daily(30, drop=[10, 11, 12]), datetime_col="date", freq="D")
    b = breakdown(report)
    # one gap of four days among 26, and 3 of 30 grid days missing
    assert (b["split_viability"], b["ts_quality"]) == (1.0, 1.0 - 0.4 * (1 / 26) - 0.3 * (1.0 - 27 / 30))
    line = "Irregular timeline; consider regularizing/imputing timestamps (outside EDA)."
    assert lines(report, "Irregular") == [line]


def test_non_stationary_targets(analyse, monkeypatch):
    pvalues = {f"t{i}": 0.5 for i in range(8)}
    pvalues["t3"] = 0.1  # not above the threshold
    monkeypatch.setattr(profilon, "_adfuller", lambda y, autolag=None: (0.0, pvalues[y.name]))
    df = daily(30)
    for i, t in enumerate(pvalues):
        df[t] = np.random.default_rng(i + 1).random(30)
    report = analyse(df, target=list(pvalues), datetime_col="date")
    assert [report.score_breakdown_by_target[t]["ts_quality"] for t in pvalues] == [0.9, 0.9, 0.9, 1.0] + [0.9] * 4
    assert lines(report, "Non-stationary") == [
        "Non-stationary targets (ADF p>0.1): ['t0', 't1', 't2', 't4', 't5']; "
        "consider differencing or trend/seasonality covariates."
    ]
