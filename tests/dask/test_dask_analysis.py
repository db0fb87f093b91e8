"""The Dask driver's whole reading of a frame: three passes, the samples
taken in the second, and tables that hold the in-memory report's own
figures."""

import math

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")


import _profilon_dask as driver  # noqa: E402
import profilon  # noqa: E402
from _profilon_dask.settings import read_settings  # noqa: E402

pytestmark = pytest.mark.usefixtures("sync")


def mixed_frame(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    x[rng.random(n) < 0.1] = np.nan
    levels = np.array(["a", "b", "c", "rare"], dtype=object)
    text = levels[np.minimum(rng.integers(0, 40, n) // 13, 3)]
    text[rng.random(n) < 0.05] = None
    y = 2 * np.nan_to_num(x) + rng.normal(size=n)
    return pd.DataFrame(
        {
            "when": pd.date_range("2024-01-01", periods=n, freq="h"),
            "x": x,
            "x_copy": x.copy(),
            "ints": rng.integers(0, 9, n),
            "const": np.ones(n),
            "text": text,
            "cat": pd.Categorical(text),
            "flag": rng.random(n) < 0.3,
            "y": y,
            "y_leak": y * 1.0000001,
            "label_text": np.array(["p", "q"], dtype=object)[rng.integers(0, 2, n)],
        }
    )


def request_for(ref, targets, time_col="when", max_cat_features=30):
    eda = profilon.EDA()
    numeric = [c for c in ref.columns if eda._is_numeric(ref[c])]
    categorical = [c for c in ref.columns if eda._is_categorical(ref[c])]
    return driver.Request(
        targets=targets,
        numeric=numeric,
        numeric_features=list(ref.drop(columns=targets).select_dtypes(include=[np.number]).columns),
        levels=categorical[:max_cat_features],
        numeric_targets=[t for t in targets if pd.api.types.is_numeric_dtype(ref[t])],
        time_col=time_col,
        has_axis=time_col is not None,
        settings=read_settings({}),
    )


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == pytest.approx(b, rel=1e-12, abs=0)


@pytest.mark.parametrize("k", [1, 3, 7])
def test_tables_hold_the_reports_figures(k):
    pdf = mixed_frame(400, seed=k)
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    ref = ddf.compute()
    targets = ["y", "label_text"]
    tables = driver.analyse(ddf, request_for(ref, targets))
    report = profilon.EDA().eda_report_and_score(ref, target=targets, datetime_col="when")

    assert tables.n_rows == report.schema["n_rows"]
    assert tables.miss_by_col.sort_values(ascending=False).to_dict() == report.missingness["by_column_missing_share"]
    assert tables.miss_total == report.missingness["total_missing_share"]
    assert tables.rows_with_any_na == report.missingness["rows_with_any_missing_share"]
    constant = [c for c, u in tables.nunique_by_col.items() if u <= 1]
    assert constant == report.schema["constant_cols"]
    assert tables.duplicate_pairs[:5] == report.schema["duplicate_cols_examples"]
    assert tables.rare_share_by_col == report.relationships["rare_category_share_by_col"]

    summaries = tables.column_summaries
    for col, figures in report.distributions["numeric_summary"].items():
        for key, value in figures.items():
            assert same(float(summaries.loc[col, key]), value), (col, key)
    ratios = {c: r for c, r in tables.cat_corr_ratio["y"].items() if r is not None}
    assert ratios.keys() == report.relationships["cat_corr_ratio_top_by_target"]["y"].keys()
    for c, r in ratios.items():
        assert same(r, report.relationships["cat_corr_ratio_top_by_target"]["y"][c]), c
    assert tables.leakage_corr_hits == {"y": ["y_leak"]}
    assert tables.target_identical_cols == {"y": [], "label_text": []}
    target = report.target["per_target"]["y"]
    assert same(tables.target_moments["y"]["skew"], target["skew"])
    assert tables.target_zero_counts["y"] / tables.n_rows == target["zero_share"]

    # Every row is in this frame's samples: they are its own rows.
    pd.testing.assert_frame_equal(tables.corr_sample, ref[request_for(ref, targets).numeric])
    assert len(tables.mi_sample) == len(ref)
    assert set(tables.ts_series) == {"y", "label_text"}


@pytest.mark.parametrize(
    "columns, targets, time_col, passes",
    [
        # Three passes; the mutual-information, correlation and time-series
        # samples ride on the second.
        (None, ["y"], "when", 3),
        # No target: no mutual information, leakage or time series.
        (None, [], "when", 3),
        # No numeric column: no correlation sample, and the duplicate and
        # summary passes have nothing left after pass 2.
        (["text", "label_text"], [], None, 2),
    ],
)
def test_passes_and_reads(columns, targets, time_col, passes, partition_reads, count_executions, counted_frame):
    pdf = mixed_frame(60)
    if columns:
        pdf = pdf[columns]
    pieces = [pdf.iloc[:25], pdf.iloc[25:25], pdf.iloc[25:]]
    ddf = counted_frame(pieces)
    request = request_for(pdf, targets, time_col)
    with count_executions() as executions:
        driver.analyse(ddf, request)
    assert executions.count == passes
    # Each pass reads each partition once, the empty one included.
    assert partition_reads == {0: passes, 1: passes, 2: passes}


def test_third_pass_decodes_only_its_columns(tmp_path, monkeypatch):
    pyarrow = pytest.importorskip("pyarrow")
    from dask.dataframe.io.parquet.arrow import ArrowDatasetEngine

    pdf = mixed_frame(300, seed=5)
    pdf["label_text"] = pdf["label_text"].astype(str)
    for i, rows in enumerate((slice(0, 100), slice(100, 180), slice(180, 300))):
        pyarrow.parquet.write_table(
            pyarrow.Table.from_pandas(pdf.iloc[rows], preserve_index=False), tmp_path / f"{i}.parquet"
        )
    reads = []
    original = ArrowDatasetEngine.read_partition.__func__

    def recorded(cls, fs, pieces, columns, *args, **kwargs):
        reads.append(frozenset(columns))
        return original(cls, fs, pieces, columns, *args, **kwargs)

    clocked = []
    monkeypatch.setattr(driver.passes, "_pass_clock", lambda columns, seconds: clocked.append((columns, seconds)))

    def run():
        ddf = dd.read_parquet(sorted(str(p) for p in tmp_path.iterdir()))
        request = request_for(ddf.compute(), ["y"])
        reads.clear()
        clocked.clear()
        tables = driver.analyse(ddf, request)
        return tables, list(reads), [columns for columns, _ in clocked]

    monkeypatch.setattr(ArrowDatasetEngine, "read_partition", classmethod(recorded))
    projected, projected_reads, projected_clock = run()
    with monkeypatch.context() as m:
        m.setattr(driver.analysis, "_positions", lambda ddf, reads: None)
        whole, whole_reads, whole_clock = run()

    everything = frozenset(pdf.columns)
    assert whole_reads == [everything] * 9
    assert projected_reads[:6] == [everything] * 6
    # The last pass leaves out the text column without missing cells, which
    # is neither numeric, a target, a duplicate candidate nor the time axis.
    third = set(projected_reads[6:])
    assert len(projected_reads) == 9 and len(third) == 1
    assert "label_text" not in next(iter(third)) and {"x", "x_copy", "y", "text", "when"} <= next(iter(third))
    # The benchmark's pass clock names the columns each pass decoded.
    assert whole_clock == [None] * 3
    assert projected_clock[:2] == [None, None] and {pdf.columns[j] for j in projected_clock[2]} == next(iter(third))
    pd.testing.assert_frame_equal(projected.column_summaries, whole.column_summaries)
    assert projected.duplicate_pairs == whole.duplicate_pairs == [("x_copy", "x"), ("cat", "text")]
    assert projected.cat_corr_ratio == whole.cat_corr_ratio
    assert projected.target_moments == whole.target_moments
    # The stamps gathered for pandas' inference are an index, compared as one.
    pd.testing.assert_index_equal(projected.time_axis["infer_from"], whole.time_axis["infer_from"], exact=True)
    assert {**projected.time_axis, "infer_from": None} == {**whole.time_axis, "infer_from": None}
