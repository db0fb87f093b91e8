"""Markdown rendering of a report and the shorthand entry points.

The reports below are built by hand in the shapes the analysis produces, so
the rendering is pinned independently of the analysis steps. Their expected
Markdown lives in tests/golden/ and was written and checked line by line by
hand; never regenerate those files from the code under test.
"""

import dataclasses
import inspect
import math
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import profilon

GOLDEN = Path(__file__).parent / "golden"

COMPONENTS = [
    "size_adequacy", "feature_to_row_ratio", "missingness", "categorical_cardinality",
    "target_quality", "multicollinearity", "scale_heterogeneity", "outliers", "ts_quality",
    "leakage_risk", "redundancy", "split_viability", "meta_completeness",
]  # fmt: skip


def breakdown(**scores):
    values = dict.fromkeys(COMPONENTS, 1.0)
    values.update(scores)
    return profilon.EdaScoreBreakdown(**values)


def summary(mn, md, mx, sd, sk, kt):
    return {"min": mn, "median": md, "max": mx, "std": sd, "skew": sk, "kurtosis": kt}


def no_target():
    """500 rows, no target, no time axis; a constant and a duplicate column."""
    return profilon.EdaReport(
        schema={
            "n_rows": 500,
            "n_cols": 6,
            "feature_to_row_ratio": 0.012,
            "numeric_cols": ["a", "b", "c", "flag", "const"],
            "categorical_cols": ["city"],
            "datetime_cols": [],
            "bool_cols": ["flag"],
            "constant_cols": ["const"],
            "duplicate_cols_examples": [("c", "a")],
            "targets": None,
        },
        missingness={
            "total_missing_share": 0.01,
            "rows_with_any_missing_share": 0.046,
            "by_column_missing_share": {"b": 0.04, "city": 0.02, "a": 0.0, "c": 0.0, "flag": 0.0, "const": 0.0},
        },
        distributions={
            "numeric_summary": {
                "a": summary(-3.1, 0.02, 2.9, 1.01, 0.04, -0.1),
                "b": summary(0.0, 5.0, 12.5, 2.2, 0.3, 0.2),
                "c": summary(-3.1, 0.02, 2.9, 1.01, 0.04, -0.1),
                "flag": summary(0.0, 0.0, 1.0, 0.49, 0.1, -1.99),
                "const": summary(7.0, 7.0, 7.0, 0.0, None, None),
            },
            "outlier_share_overall": 0.018,
            "scale_spread_ratio": 12.5,
        },
        relationships={
            "corr_method": "spearman",
            "strong_corr_proportion_thr_0.95": 0.1,
            "rare_category_share_by_col": {"city": 0.034},
        },
        time_series={},
        target={},
        score_breakdown=breakdown(
            size_adequacy=0.2,
            missingness=0.95,
            target_quality=0.7,
            multicollinearity=0.6,
            ts_quality=0.8,
            redundancy=0.8,
            meta_completeness=0.7,
        ),  # fmt: skip
        suitability_score=77.4,
        recommendations=[
            "Drop constant features: ['const']",
            "Drop duplicate columns (examples): [('c', 'a')]",
        ],
    )


def one_target_time():
    """730 daily rows with target price and time column date."""
    bd = breakdown(size_adequacy=0.2, target_quality=0.9, scale_heterogeneity=0.6, ts_quality=0.95, split_viability=0.8)
    return profilon.EdaReport(
        schema={
            "n_rows": 730,
            "n_cols": 6,
            "feature_to_row_ratio": 5 / 730,
            "numeric_cols": ["price", "volume", "temp", "holiday"],
            "categorical_cols": ["region"],
            "datetime_cols": ["date"],
            "bool_cols": ["holiday"],
            "constant_cols": [],
            "duplicate_cols_examples": [],
            "targets": ["price"],
        },
        missingness={
            "total_missing_share": 4 / 4380,
            "rows_with_any_missing_share": 4 / 730,
            "by_column_missing_share": {
                "temp": 4 / 730,
                "date": 0.0,
                "price": 0.0,
                "volume": 0.0,
                "region": 0.0,
                "holiday": 0.0,
            },
        },  # fmt: skip
        distributions={
            "numeric_summary": {
                "price": summary(10.5, 21.25, 40.0, 5.5, 0.5123, -0.25),
                "volume": summary(100.0, 2150.0, 4231.5, 800.0, 1.2, 2.5),
                "temp": summary(-5.0, 12.0, 31.0, 8.0, -0.1, -0.9),
                "holiday": summary(0.0, 0.0, 1.0, 0.16, 5.9, 33.4),
            },
            "outlier_share_overall": 0.011643835616438357,
            "scale_spread_ratio": 4231.5,
        },
        relationships={
            "corr_method": "spearman",
            "strong_corr_proportion_thr_0.95": 0.0,
            "rare_category_share_by_col": {"region": 0.0},
            "mutual_information_top_by_target": {"price": {"volume": 0.41234567, "temp": 0.0876}},
            "cat_corr_ratio_top_by_target": {"price": {"region": 0.23456}},
        },
        time_series={
            "freq_inferred": "D",
            "irregular_share": 0.0,
            "missing_ts_share": 0.0,
            "unique_periods": 730,
            "enough_history": True,
            "per_target": {
                "price": {
                    "adfuller_pvalue": 0.0312456789,
                    "autocorr_at_lags": {1: 0.98, 7: 0.91, 30: 0.75, 365: 0.4},
                    "seasonality_strength_abs": 0.98,
                }
            },
        },
        target={
            "task": "regression",
            "name": "price",
            "skew": 0.12345678901234566,
            "kurtosis": -0.25,
            "zero_share": 0.0,
        },
        score_breakdown=bd,
        suitability_score=83.7,
        recommendations=["Large scale differences; standardize/normalize numeric features."],
        suitability_score_by_target={"price": 83.7},
        score_breakdown_by_target={"price": dataclasses.asdict(bd)},
    )


def two_targets():
    """260 weekly rows, targets y1 and y2, one gap in the timeline."""
    shared = dict(
        size_adequacy=0.2, missingness=0.5, categorical_cardinality=0.9, multicollinearity=0.6,
        outliers=0.6, split_viability=0.8,
    )  # fmt: skip
    y1 = breakdown(**shared, target_quality=0.85, ts_quality=0.9, leakage_risk=1.0)
    y2 = breakdown(**shared, target_quality=0.55, ts_quality=0.45, leakage_risk=0.7)
    overall = breakdown(**shared, target_quality=0.7, ts_quality=0.675, leakage_risk=0.85)
    return profilon.EdaReport(
        schema={
            "n_rows": 260,
            "n_cols": 6,
            "feature_to_row_ratio": 4 / 260,
            "numeric_cols": ["y1", "y2", "x1", "x2"],
            "categorical_cols": ["store"],
            "datetime_cols": ["week"],
            "bool_cols": [],
            "constant_cols": [],
            "duplicate_cols_examples": [],
            "targets": ["y1", "y2"],
        },
        missingness={
            "total_missing_share": 0.08333333333333333,
            "rows_with_any_missing_share": 0.5,
            "by_column_missing_share": {
                "x2": 0.5,
                "week": 0.0,
                "y1": 0.0,
                "y2": 0.0,
                "x1": 0.0,
                "store": 0.0,
            },
        },  # fmt: skip
        distributions={
            "numeric_summary": {
                "y1": summary(0.0, 50.0, 180.0, 30.0, 1.8, 4.25),
                "y2": summary(-4.0, 0.0, 4.0, 1.5, -0.3333333333333333, float("nan")),
                "x1": summary(0.0, 1.0, 2.0, 0.5, 0.0, -1.2),
                "x2": summary(1.0, 3.0, 9.0, 2.0, 0.7, 0.1),
            },
            "outlier_share_overall": 0.0625,
            "scale_spread_ratio": 90.0,
        },
        relationships={
            "corr_method": "pearson",
            "strong_corr_proportion_thr_0.95": 0.0,
            "rare_category_share_by_col": {"store": 0.0},
            "mutual_information_top_by_target": {
                "y1": {"x1": 0.6021, "x2": 0.11111},
                "y2": {"x2": 0.33335, "x1": 0.0},
            },
            "cat_corr_ratio_top_by_target": {"y1": {"store": 0.1}},
        },
        time_series={
            "freq_inferred": "W-SUN",
            "irregular_share": 1 / 259,
            "missing_ts_share": 1 / 260,
            "unique_periods": 260,
            "enough_history": True,
            "per_target": {
                "y1": {"adfuller_pvalue": 0.004, "autocorr_at_lags": {1: 0.5, 4: 0.2}, "seasonality_strength_abs": 0.5},
                "y2": {"adfuller_pvalue": None, "autocorr_at_lags": {}, "seasonality_strength_abs": 0.0},
            },
        },
        target={
            "task": "regression",
            "per_target": {
                "y1": {"skew": 1.8, "kurtosis": 4.25, "zero_share": 0.0},
                "y2": {"skew": -0.3333333333333333, "kurtosis": float("nan"), "zero_share": 0.35},
            },
        },
        score_breakdown=overall,
        suitability_score=69.5,
        recommendations=[
            "Impute or drop features/rows; total missing = 8.3%.",
            "Notable outliers; winsorize, clip, or robust scaling.",
            "Leakage hints for 'y2': Columns with |r|≥0.99 to target: ['x2']",
        ],
        suitability_score_by_target={"y1": 73.8, "y2": 65.1},
        score_breakdown_by_target={"y1": dataclasses.asdict(y1), "y2": dataclasses.asdict(y2)},
    )


def empty_recommendations():
    """12,000 clean rows with one target and no time axis: nothing to advise."""
    bd = breakdown(size_adequacy=0.7, ts_quality=0.8)
    return profilon.EdaReport(
        schema={
            "n_rows": 12000,
            "n_cols": 4,
            "feature_to_row_ratio": 3 / 12000,
            "numeric_cols": ["y", "x1", "x2"],
            "categorical_cols": ["grade"],
            "datetime_cols": [],
            "bool_cols": [],
            "constant_cols": [],
            "duplicate_cols_examples": [],
            "targets": ["y"],
        },
        missingness={
            "total_missing_share": 0.0,
            "rows_with_any_missing_share": 0.0,
            "by_column_missing_share": {"y": 0.0, "x1": 0.0, "x2": 0.0, "grade": 0.0},
        },
        distributions={
            "numeric_summary": {
                "y": summary(-2.0, 0.0, 2.0, 1.0, 0.01, 0.02),
                "x1": summary(-1.0, 0.0, 1.0, 0.5, 0.0, -1.2),
                "x2": summary(0.0, 4.0, 8.0, 2.0, 0.0, -1.2),
            },
            "outlier_share_overall": 0.0,
            "scale_spread_ratio": 4.0,
        },
        relationships={
            "corr_method": "spearman",
            "strong_corr_proportion_thr_0.95": 0.0,
            "rare_category_share_by_col": {"grade": 0.0},
            "mutual_information_top_by_target": {"y": {"x1": 0.3, "x2": 0.3}},
            "cat_corr_ratio_top_by_target": {"y": {"grade": 0.0004}},
        },
        time_series={},
        target={"task": "regression", "name": "y", "skew": 0.01, "kurtosis": 0.02, "zero_share": 0.0},
        score_breakdown=bd,
        suitability_score=89.0,
        recommendations=[],
        suitability_score_by_target={"y": 89.0},
        score_breakdown_by_target={"y": dataclasses.asdict(bd)},
    )


def nan_inf():
    """A constant target beside a sensor with infinite readings on an irregular time axis."""
    nan = np.float64("nan")
    bd = breakdown(size_adequacy=0.2, target_quality=0.3, scale_heterogeneity=0.4, ts_quality=0.125, outliers=0.805)
    return profilon.EdaReport(
        schema={
            "n_rows": 1500,
            "n_cols": 4,
            "feature_to_row_ratio": 3 / 1500,
            "numeric_cols": ["load", "sensor"],
            "categorical_cols": ["status"],
            "datetime_cols": ["ts"],
            "bool_cols": [],
            "constant_cols": ["load"],
            "duplicate_cols_examples": [],
            "targets": ["load"],
        },
        missingness={
            "total_missing_share": 0.0,
            "rows_with_any_missing_share": 0.0,
            "by_column_missing_share": {"ts": 0.0, "load": 0.0, "sensor": 0.0, "status": 0.0},
        },
        distributions={
            "numeric_summary": {
                "load": summary(3.0, 3.0, 3.0, 0.0, nan, nan),
                "sensor": summary(0.5, 2.0, math.inf, nan, 0.2, 1.1),
            },
            "outlier_share_overall": 0.004,
            "scale_spread_ratio": math.inf,
        },
        relationships={
            "corr_method": "spearman",
            "strong_corr_proportion_thr_0.95": 0.0,
            "rare_category_share_by_col": {"status": 0.0},
        },
        time_series={
            "freq_inferred": None,
            "irregular_share": 188 / 1499,
            "missing_ts_share": 0.0,
            "unique_periods": 1500,
            "enough_history": True,
            "per_target": {
                "load": {"adfuller_pvalue": nan, "autocorr_at_lags": {1: nan}, "seasonality_strength_abs": 0.0}
            },
        },
        target={"task": "regression", "name": "load", "skew": nan, "kurtosis": None, "zero_share": 0.0},
        score_breakdown=bd,
        suitability_score=69.7,
        recommendations=[
            "Large scale differences; standardize/normalize numeric features.",
            "Drop constant features: ['load']",
        ],
        suitability_score_by_target={"load": 69.7},
        score_breakdown_by_target={"load": dataclasses.asdict(bd)},
    )


FEATURES = [f"f{i:02d}" for i in range(1, 21)]
CATEGORICALS = [f"k{i:02d}" for i in range(1, 19)]
CONSTANTS = [f"z{i:02d}" for i in range(1, 13)]

# Spearman-fallback scores: duplicated columns (f11..f15 repeat f01..f05)
# score exactly alike, so ties must keep the stored order.
LONG_MI = dict(
    zip(
        ["f01", "f11", "f02", "f12", "f03", "f13", "f04", "f14", "f05", "f15",
         "f06", "f07", "f08", "f09", "f10", "f16", "f17", "f18", "f19", "f20"],
        [0.91234567, 0.91234567, 0.85, 0.85, 0.7, 0.7, 0.64, 0.64, 0.5, 0.5,
         0.45678, 0.40004999, 0.33, 0.3, 0.25, 0.2, 0.15, 0.1, 0.05, 0.01],
        strict=True,
    )
)  # fmt: skip
LONG_CAT = dict(zip(CATEGORICALS, [0.5 - 0.025 * i for i in range(18)], strict=True))


def long_lists():
    """3000 rows, 51 columns: every list in the report is longer than what is printed."""
    columns = ["sales", *FEATURES, *CATEGORICALS, *CONSTANTS]
    missing = {
        "f01": 0.3, "f11": 0.3, "f02": 0.2, "f12": 0.2, "f03": 0.1, "f13": 0.1, "f04": 0.05, "f14": 0.05,
        "f05": 0.02, "f15": 0.02, "k01": 0.01, "k02": 0.01, "k03": 0.005, "k04": 0.004, "k05": 0.001,
    }  # fmt: skip
    missing.update({c: 0.0 for c in columns if c not in missing})
    bd = breakdown(
        size_adequacy=0.4, missingness=0.9, categorical_cardinality=0.8, target_quality=0.55,
        multicollinearity=0.7, scale_heterogeneity=0.8, ts_quality=0.8, redundancy=0.25,
    )  # fmt: skip
    return profilon.EdaReport(
        schema={
            "n_rows": 3000,
            "n_cols": 51,
            "feature_to_row_ratio": 50 / 3000,
            "numeric_cols": ["sales", *FEATURES, *CONSTANTS],
            "categorical_cols": list(CATEGORICALS),
            "datetime_cols": [],
            "bool_cols": [],
            "constant_cols": list(CONSTANTS),
            "duplicate_cols_examples": [("f11", "f01"), ("f12", "f02"), ("f13", "f03"), ("f14", "f04"), ("f15", "f05")],
            "targets": ["sales"],
        },
        missingness={
            "total_missing_share": 1.37 / 51,
            "rows_with_any_missing_share": 0.6,
            "by_column_missing_share": missing,
        },
        distributions={
            "numeric_summary": {c: summary(0.0, 1.0, 2.0, 0.5, 0.0, -1.2) for c in ["sales", *FEATURES, *CONSTANTS]},
            "outlier_share_overall": 0.021,
            "scale_spread_ratio": 35.0,
        },
        relationships={
            "corr_method": "spearman",
            "strong_corr_proportion_thr_0.95": 0.12,
            "rare_category_share_by_col": {c: 0.0 for c in CATEGORICALS} | {"k01": 0.25, "k02": 0.21},
            "mutual_information_top_by_target": {"sales": dict(LONG_MI)},
            "cat_corr_ratio_top_by_target": {"sales": dict(LONG_CAT)},
        },
        time_series={},
        target={"task": "regression", "name": "sales", "skew": 2.345, "kurtosis": 9.87, "zero_share": 0.1},
        score_breakdown=bd,
        suitability_score=75.7,
        recommendations=[
            "Impute or drop features/rows; total missing = 2.7%.",
            "High multicollinearity; drop/merge highly correlated features or use PCA.",
            "Many rare categories in ['k01', 'k02']; consider grouping rare levels (outside EDA).",
            "Drop constant features: ['z01', 'z02', 'z03', 'z04', 'z05', 'z06', 'z07', 'z08', 'z09', 'z10']",
            "Drop duplicate columns (examples): "
            "[('f11', 'f01'), ('f12', 'f02'), ('f13', 'f03'), ('f14', 'f04'), ('f15', 'f05')]",
        ],
        suitability_score_by_target={"sales": 75.7},
        score_breakdown_by_target={"sales": dataclasses.asdict(bd)},
    )


REPORTS = {
    "no_target": no_target,
    "one_target_time": one_target_time,
    "two_targets": two_targets,
    "empty_recommendations": empty_recommendations,
    "nan_inf": nan_inf,
    "long_lists": long_lists,
}


@pytest.mark.parametrize("name", list(REPORTS))
def test_markdown_matches_golden_file(name):
    text = REPORTS[name]().to_markdown()
    expected = (GOLDEN / f"{name}.md").read_bytes()
    assert text == expected.decode("utf-8")
    assert text.encode("utf-8") == expected


def test_rendering_leaves_the_report_unchanged():
    report = unsorted_missing_report()
    snapshot = repr(report)
    assert report.to_markdown() == report.to_markdown()
    assert repr(report) == snapshot


def feature_lines(text, heading):
    """Feature lines of the first target under one relevance heading."""
    lines = text.split("\n")
    start = lines.index(heading) + 2
    out = []
    for line in lines[start:]:
        if not line.startswith("    - "):
            break
        out.append(line[len("    - ") : line.index(":")])
    return out


MI_HEADING = "- Top numeric feature relevance by target (MI/Spearman fallback):"
CAT_HEADING = "- Top categorical feature correlation ratio (\u03b7\u00b2) by target:"


@pytest.mark.parametrize(
    "limit, n_mi, n_cat",
    [(2, 2, 2), (0, 0, 0), (None, 20, 18), (-3, 17, 15), (15, 15, 15), (100, 20, 18), (True, 1, 1)],
)
def test_relevance_limits_follow_slicing(limit, n_mi, n_cat):
    text = long_lists().to_markdown(max_mi=limit, max_cat=limit)
    assert feature_lines(text, MI_HEADING) == list(LONG_MI)[:n_mi]
    assert feature_lines(text, CAT_HEADING) == list(LONG_CAT)[:n_cat]
    # the target header stays even when no feature line follows
    assert "  - **sales**:" in text.split("\n")


def test_relevance_limits_are_independent():
    text = long_lists().to_markdown(max_mi=1, max_cat=3)
    assert feature_lines(text, MI_HEADING) == ["f01"]
    assert feature_lines(text, CAT_HEADING) == ["k01", "k02", "k03"]


@pytest.mark.parametrize("limit, error", [("3", TypeError), (1.5, TypeError)])
def test_relevance_limit_of_wrong_type_raises(limit, error):
    with pytest.raises(error, match="slice indices"):
        long_lists().to_markdown(max_mi=limit)


def test_options_are_keyword_only():
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        long_lists().to_markdown(2)


def with_sections(base=None, **sections):
    return dataclasses.replace(base or no_target(), **sections)


def unsorted_missing_report():
    # Hand-built, not analysis-sorted: ties must keep mapping order, and the
    # sort must not be a no-op.
    shares = {"a": 0.1, "b": 0.5, "c": 0.1, "d": 0.9, "e": 0.5}
    return with_sections(missingness={"total_missing_share": 0.2, "rows_with_any_missing_share": 0.4,
                                      "by_column_missing_share": shares})  # fmt: skip


def test_stable_descending_sort_of_unsorted_mappings():
    lines = unsorted_missing_report().to_markdown().split("\n")
    i = lines.index("- Top missing by column:")
    assert lines[i + 1 : i + 6] == ["  - d: 90.0%", "  - b: 50.0%", "  - e: 50.0%", "  - a: 10.0%", "  - c: 10.0%"]
    rel = dict(no_target().relationships)
    rel["mutual_information_top_by_target"] = {"t": {"p": 0.2, "q": 0.7, "r": 0.2, "s": 0.9}}
    text = with_sections(relationships=rel).to_markdown()
    assert feature_lines(text, MI_HEADING) == ["s", "q", "p", "r"]


@pytest.mark.parametrize("stored", [None, {}, 0, ""])
def test_falsy_missing_mapping_prints_heading_only(stored):
    miss = {"total_missing_share": 0.0, "rows_with_any_missing_share": 0.0}
    if stored is not None:
        miss["by_column_missing_share"] = stored
    lines = with_sections(missingness=miss).to_markdown().split("\n")
    i = lines.index("- Top missing by column:")
    assert lines[i + 1 : i + 3] == ["", "## Distributions & Outliers"]


def test_target_without_scores_keeps_its_header():
    rel = dict(no_target().relationships)
    rel["cat_corr_ratio_top_by_target"] = {"t": {}, "u": {"k": 0.5}}
    lines = with_sections(relationships=rel).to_markdown().split("\n")
    i = lines.index(CAT_HEADING)
    assert lines[i + 1 : i + 5] == ["  - **t**:", "  - **u**:", "    - k: 0.5000", ""]


def line_starting(report, prefix):
    (line,) = [line for line in report.to_markdown().split("\n") if line.startswith(prefix)]
    return line


def shares_line(value):
    miss = {"total_missing_share": value, "rows_with_any_missing_share": 0.0, "by_column_missing_share": {}}
    return line_starting(with_sections(missingness=miss), "- Total missing:")


@pytest.mark.parametrize(
    "value, shown",
    [
        (0.1234, "12.3%"),
        (0.05, "5.0%"),
        (1, "100.0%"),
        (0, "0.0%"),
        (True, "100.0%"),
        ("0.5", "50.0%"),
        (np.int64(3), "300.0%"),
        (math.inf, "inf%"),
        (None, "NA"),
        (float("nan"), "NA"),
        (np.float64("nan"), "NA"),
        # a NaN that is not a Python float instance is converted and printed
        (np.float32("nan"), "nan%"),
        (0.00049, "0.0%"),
        (0.00051, "0.1%"),
    ],
)
def test_percentages(value, shown):
    assert shares_line(value) == f"- Total missing: **{shown}**"


@pytest.mark.parametrize("value, error", [("abc", ValueError), ([0.1], TypeError), ({}, TypeError)])
def test_percentage_conversion_errors_propagate(value, error):
    with pytest.raises(error):
        shares_line(value)


class BadFormat:
    def __init__(self, exc):
        self.exc = exc

    def __format__(self, spec):
        raise self.exc


class FloatWithBadFormat(float):
    def __format__(self, spec):
        raise ValueError("no text")


def spread_line(value):
    dist = dict(no_target().distributions, scale_spread_ratio=value)
    return line_starting(with_sections(distributions=dist), "- Scale spread ratio")


@pytest.mark.parametrize(
    "value, shown",
    [
        (12.5, "12.5"),
        (0.12345678901234566, "0.12345678901234566"),
        (1e13, "10000000000000.0"),
        (math.inf, "inf"),
        (float("nan"), "NA"),
        (np.float64("nan"), "NA"),
        (np.float32("nan"), "nan"),
        (None, "NA"),
        ("D", "D"),
        (30, "30"),
        (True, "True"),
        ([1, "a"], "[1, 'a']"),
        (BadFormat(RuntimeError("boom")), "NA"),
        (FloatWithBadFormat(2.0), "NA"),
    ],
)
def test_safe_plain_text(value, shown):
    assert spread_line(value) == f"- Scale spread ratio (max range / min range): **{shown}**"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_safe_plain_text_lets_interrupts_through(exc):
    with pytest.raises(exc):
        spread_line(BadFormat(exc()))


def test_nan_test_uses_the_module_level_numpy(monkeypatch):
    monkeypatch.setattr(profilon, "np", types.SimpleNamespace(isnan=lambda x: x > 0.3))
    assert shares_line(0.5) == "- Total missing: **NA**"
    assert spread_line(0.5) == "- Scale spread ratio (max range / min range): **NA**"
    assert spread_line(0.25) == "- Scale spread ratio (max range / min range): **0.25**"


def ratio_line(value):
    return line_starting(with_sections(schema=dict(no_target().schema, feature_to_row_ratio=value)), "- Rows:")


@pytest.mark.parametrize(
    "value, shown",
    [
        (0.0125, "0.013"),
        (0.0005, "0.001"),
        (2, "2.000"),
        (True, "1.000"),
        (np.float64(0.25), "0.250"),
        (float("nan"), "nan"),
        (None, "NA"),
        ("0.5", "NA"),
        (np.int64(2), "NA"),
    ],
)
def test_feature_to_row_ratio(value, shown):
    assert ratio_line(value) == f"- Rows: **500**, Cols: **6**, Feature:Row ratio: **{shown}**"


def test_absent_schema_keys_use_defaults():
    lines = with_sections(schema={}).to_markdown().split("\n")
    assert lines[3:7] == [
        "- Rows: **NA**, Cols: **NA**, Feature:Row ratio: **NA**",
        "- Numeric: 0, Categorical: 0, Datetime: 0, Bool: 0",
        "- Constant cols: []",
        "- Duplicate column examples: []",
    ]


def test_absent_relationship_keys_use_defaults():
    lines = with_sections(relationships={}).to_markdown().split("\n")
    i = lines.index("## Relationships")
    assert lines[i + 1 : i + 4] == [
        "- Correlation method: **NA**",
        "- Proportion of strong correlations (|r|\u22650.95): **NA**",
        "- Relationships to target: (not available or no applicable features)",
    ]


def test_time_series_without_per_target_and_absent_keys():
    lines = with_sections(time_series={"unique_periods": 12, "per_target": None}).to_markdown().split("\n")
    i = lines.index("## Time Series (diagnostics only; no data modification)")
    assert lines[i + 1 : i + 4] == [
        "- Inferred freq: **NA**, Irregular share: **NA**, Missing timeline share: **NA**",
        "- Enough history: **NA**, Unique periods: **12**",
        "",
    ]


@pytest.mark.parametrize("field", ["time_series", "target"])
def test_none_sections_render_like_empty_ones(field):
    assert with_sections(**{field: None}).to_markdown() == no_target().to_markdown()


def test_per_target_key_wins_over_flat_target_keys():
    target = {"task": "regression", "per_target": {}, "name": "y", "skew": 1.0}
    lines = with_sections(target=target).to_markdown().split("\n")
    i = lines.index("## Target (regression) \u2014 per target")
    assert lines[i + 1] == ""
    assert "## Target (regression)" not in lines


@pytest.mark.parametrize(
    "value, shown",
    [(0.805, "0.81"), (0.125, "0.12"), (0.135, "0.14"), (1, "1.00"), ("0.5", "0.50"), (np.float32(0.1), "0.10")],
)
def test_component_two_decimals(value, shown):
    text = with_sections(score_breakdown=breakdown(outliers=value)).to_markdown()
    assert f"- Outliers: **{shown}**" in text.split("\n")


def test_per_target_breakdown_uses_the_interpreter_title_case():
    by_target = {"t": {"ts_quality": 0.5, "abc_def2x": 1, "MIXED_case": 0.25}}
    lines = with_sections(score_breakdown_by_target=by_target).to_markdown().split("\n")
    i = lines.index("### Per-Target Score Breakdown (0\u20131)")
    assert lines[i + 1 : i + 6] == [
        "- **t**:", "  - Ts Quality: **0.50**", "  - Abc Def2X: **1.00**", "  - Mixed Case: **0.25**", "",
    ]  # fmt: skip


@pytest.mark.parametrize(
    "change, error",
    [
        ({"score_breakdown": {"size_adequacy": 1.0}}, TypeError),
        ({"score_breakdown": breakdown(outliers="bad")}, ValueError),
        ({"schema": ["n_rows"]}, AttributeError),
        ({"relationships": None}, AttributeError),
        ({"missingness": {"by_column_missing_share": {"a": None, "b": 0.5}}}, TypeError),
        ({"schema": {"numeric_cols": None}}, TypeError),
    ],
)
def test_malformed_reports_raise(change, error):
    with pytest.raises(error):
        with_sections(**change).to_markdown()


def test_signature_and_placement():
    signature = inspect.signature(profilon.EdaReport.to_markdown)
    assert str(signature) == "(self, *, max_mi: int = 15, max_cat: int = 15) -> str"
    methods = [k for k, v in vars(profilon.EdaReport).items() if callable(v) and not k.startswith("__")]
    assert methods == ["to_dict", "to_markdown", "to_json", "to_html", "_repr_html_", "_repr_markdown_"]


# ---------------------------------------------------------------------------
# Entry points
# ---------------------------------------------------------------------------


@pytest.fixture
def frame():
    rng = np.random.default_rng(7)
    n = 120
    return pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": rng.uniform(0, 10, size=n),
            "grade": rng.choice(["a", "b", "c"], size=n),
            "y": rng.normal(size=n),
        }
    )


@pytest.mark.parametrize(
    "name, returns, doc",
    [
        (
            "eda",
            "profilon.EdaReport",
            "Shorthand for eda_report_and_score(...), regression-only; supports multi-target.",
        ),
        ("eda_md", "str", "Return a Markdown EDA summary string."),
        ("eda_print", "None", "Print a readable EDA summary to stdout."),
    ],
)
def test_entry_point_signatures(name, returns, doc):
    method = getattr(profilon.EDA, name)
    # pandas' DataFrame, printed under the module pandas gives it
    # (pandas.core.frame before 3.0, pandas since).
    frame = inspect.formatannotation(pd.DataFrame)
    assert str(inspect.signature(method)) == f"(self, df: {frame}, **kwargs) -> {returns}"
    assert method.__doc__ == doc


def test_eda_md_equals_rendered_analysis(eda, frame):
    np.random.seed(3)
    expected = eda.eda_report_and_score(frame, target="y").to_markdown()
    np.random.seed(3)
    assert eda.eda_md(frame, target="y") == expected


def test_eda_returns_the_analysis_report(eda, frame):
    np.random.seed(3)
    expected = eda.eda_report_and_score(frame, target="y", corr_method="pearson")
    np.random.seed(3)
    report = eda.eda(df=frame, target="y", corr_method="pearson")
    assert isinstance(report, profilon.EdaReport)
    assert repr(report) == repr(expected)


def test_eda_print_writes_the_markdown_plus_a_line_feed(eda, frame, capsys):
    np.random.seed(3)
    text = eda.eda_md(frame, target="y")
    capsys.readouterr()
    np.random.seed(3)
    assert eda.eda_print(frame, target="y") is None
    assert capsys.readouterr().out == text + "\n"


@pytest.mark.parametrize("name", ["eda", "eda_md", "eda_print"])
def test_entry_points_refuse_wrong_arguments(eda, frame, name, capsys):
    method = getattr(eda, name)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        method(frame, "y")
    with pytest.raises(TypeError, match=r"eda_report_and_score\(\) got an unexpected keyword argument 'max_mi'"):
        method(frame, max_mi=2)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'df'"):
        method()
    with pytest.raises(TypeError, match="target must be None, str, or list/tuple/set of str"):
        method(frame, target=42)
    with pytest.raises(AssertionError):
        method(frame["y"])
    assert capsys.readouterr().out == ""


class Recording(profilon.EDA):
    """Stands in for the analysis and records what reaches it."""

    def eda_report_and_score(self, df, **kwargs):
        # vars(): a plain getattr default would never apply, the facade
        # answers None for every missing name.
        vars(self).setdefault("calls", []).append((df, list(kwargs.items())))
        return no_target()


def test_entry_points_forward_through_the_instance(frame):
    rec = Recording()
    assert rec.eda(frame, freq="D", target="y") == no_target()
    assert rec.eda_md(frame, corr_method="x", target=["y"]) == no_target().to_markdown()
    assert [(df is frame, kw) for df, kw in rec.calls] == [
        (True, [("freq", "D"), ("target", "y")]),
        (True, [("corr_method", "x"), ("target", ["y"])]),
    ]


def test_eda_md_does_not_go_through_eda_and_eda_print_goes_through_eda_md(frame, capsys):
    class Overrides(Recording):
        def eda(self, df, **kwargs):
            raise AssertionError("eda_md must not call eda")

        def eda_md(self, df, **kwargs):
            return "custom " + super().eda_md(df, **kwargs)[:5]

    assert Overrides().eda_print(frame) is None
    assert capsys.readouterr().out == "custom # EDA\n"


def test_eda_print_uses_the_current_stdout(frame, monkeypatch):
    import io
    import sys

    buffer = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buffer)
    Recording().eda_print(frame)
    assert buffer.getvalue() == no_target().to_markdown() + "\n"
