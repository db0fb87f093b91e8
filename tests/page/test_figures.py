"""The page's figures side by side with NumPy and pandas: histogram edges and
counts as np.histogram gives them, level counts as value_counts, period
counts as a floor-and-count of the stamps, and a series reduced to each
bucket's extremes; the same whatever the number of parts merged or threads."""

import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest


def entry(report, label):
    return next(c for c in report.detail["columns"] if c["label"] == label)


def finite(series):
    x = series.to_numpy(dtype="float64", na_value=np.nan)
    return x[np.isfinite(x)]


@pytest.mark.parametrize("label", ["y", "x", "ints", "holes", "nullable", "constant", 17])
def test_histograms_are_numpys(mixed, mixed_report, label):
    df, _ = mixed
    got = entry(mixed_report, label)
    values = finite(df[label])
    counts, edges = np.histogram(values, bins=min(40, len(values)))
    assert got["histogram"]["edges"] == edges.tolist()
    assert got["histogram"]["counts"] == counts.tolist()
    x = df[label].to_numpy(dtype="float64", na_value=np.nan)
    assert got["missing"] == int(np.isnan(x).sum())
    assert got["infinite"] == int(np.isinf(x).sum())
    assert got["zeros"] == int((x == 0).sum())
    want_q = np.percentile(values, [5, 25, 50, 75, 95])
    assert list(got["quantiles"].values()) == want_q.tolist()
    q1, q3 = want_q[1], want_q[3]
    assert got["iqr_fences"] == (q1 - 1.5 * (q3 - q1), q3 + 1.5 * (q3 - q1))


def test_a_column_without_finite_values_has_an_empty_histogram(mixed_report):
    got = entry(mixed_report, "empty")
    assert got["kind"] == "numeric" and got["count"] == 0
    assert got["histogram"] == {"edges": [], "counts": []}


@pytest.mark.parametrize(
    "values",
    [
        np.random.default_rng(1).normal(size=5000) * 1e-300,  # a span that nearly underflows
        np.random.default_rng(2).standard_cauchy(5000),
        np.array([0.1 * i for i in range(1000)]),  # many values on the edges' arithmetic
        np.array([-0.0, 0.0, 1.0, 1.0, 2.0]),
        np.array([3.0]),
        np.array([1e300, -1e300, 0.0, 3.3e299]),
    ],
    ids=["tiny", "heavy tails", "on edges", "zeros", "one value", "huge"],
)
@pytest.mark.parametrize("parts", [1, 3, 8])
def test_the_histogram_kernel_merges_parts_to_numpys(test_entries, values, parts):
    bins = min(40, len(values))
    edges, counts = test_entries.page_histogram(values, bins, parts)
    want_counts, want_edges = np.histogram(values, bins=bins)
    assert edges == want_edges.tolist()
    assert counts == want_counts.tolist()


@pytest.mark.parametrize("label", ["level", "many", "cat", "flag", '<script>alert("x")</script>'])
def test_levels_are_value_counts(mixed, mixed_report, label):
    df, _ = mixed
    got = entry(mixed_report, label)
    counts = df[label].value_counts(dropna=True)
    assert got["distinct"] == len(counts)
    assert got["missing"] == int(df[label].isna().sum())
    top = got["top"]
    assert len(top) == min(15, len(counts))
    assert dict(top) == {format(k): int(v) for k, v in counts.items() if format(k) in dict(top)}
    # The most frequent levels, however ties between them were broken.
    assert sorted((c for _, c in top), reverse=True) == sorted(counts.to_numpy().tolist(), reverse=True)[: len(top)]
    assert got["other"] == int(counts.sum()) - sum(c for _, c in top)


@pytest.mark.parametrize("parts", [1, 2, 5])
def test_level_counts_merge_over_parts(test_entries, parts):
    rng = np.random.default_rng(3)
    codes = rng.integers(-1, 40, 10_000)
    got_codes, got_counts, other, distinct, missing = test_entries.page_levels(codes, 40, 15, parts)
    counts = pd.Series(codes[codes >= 0]).value_counts()
    assert missing == int((codes < 0).sum()) and distinct == 40
    assert dict(zip(got_codes, got_counts, strict=True)) == {c: int(counts[c]) for c in got_codes}
    assert got_counts == sorted(counts.to_numpy().tolist(), reverse=True)[:15]
    assert other == int(counts.sum()) - sum(got_counts)
    # Ties go to the level that came first (the smaller code).
    pairs = list(zip(got_codes, got_counts, strict=True))
    for (a, ca), (b, cb) in zip(pairs, pairs[1:], strict=False):
        assert ca > cb or a < b


PERIODS = {
    "second": ("2024-01-01", "s", 90, "s"),
    "hour": ("2024-03-30", "17min", 300, "h"),
    "day": ("2023-12-30", "5h", 400, "D"),
    "week": ("2023-12-30", "D", 300, "W-SUN"),
    "month": ("1999-11-15", "7D", 300, "M"),
    "year": ("1700-06-01", "90D", 1500, "Y"),
}


@pytest.mark.parametrize("unit", list(PERIODS))
@pytest.mark.parametrize("parts", [1, 4])
def test_period_counts_are_calendar_periods(test_entries, unit, parts):
    start, step, n, pandas_period = PERIODS[unit]
    stamps = pd.Series(pd.date_range(start, periods=n, freq=step)).astype("datetime64[ns]")
    stamps = stamps[np.random.default_rng(4).random(n) > 0.3]  # gaps
    raw = stamps.to_numpy().view("int64").copy()
    raw[::17] = np.iinfo(np.int64).min  # NaT
    got_unit, starts, counts = test_entries.page_periods(raw, 120, parts)
    assert got_unit == unit
    kept = pd.Series(raw[raw != np.iinfo(np.int64).min].view("datetime64[ns]"))
    periods = kept.dt.to_period(pandas_period)
    want = periods.value_counts().sort_index()
    full = pd.period_range(want.index[0], want.index[-1], freq=pandas_period)
    assert counts == want.reindex(full, fill_value=0).tolist()
    assert [pd.Timestamp(s) for s in starts] == [p.start_time for p in full]


def test_period_counts_of_a_time_column(mixed, mixed_report):
    df, _ = mixed
    got = entry(mixed_report, "when")
    assert got["kind"] == "datetime" and got["period"] == "week"
    want = df["when"].dt.to_period("W-SUN").value_counts().sort_index()
    assert got["counts"] == want.tolist()
    assert got["starts"] == [str(p.start_time) for p in want.index]
    assert got["empty_periods"] == 0


@pytest.mark.parametrize("parts", [1, 3, 7])
def test_a_series_keeps_each_buckets_extremes(test_entries, parts):
    rng = np.random.default_rng(5)
    n = 50_000
    t = np.sort(rng.integers(0, 10**15, n))
    v = np.cumsum(rng.normal(size=n))
    v[rng.random(n) < 0.01] = np.nan
    stamps, values, rows = test_entries.page_series(t, v, 500, parts)
    assert len(stamps) <= 1000
    assert rows == sorted(rows) and stamps == sorted(stamps)
    assert np.array_equal(t[rows], stamps) and np.array_equal(v[rows], values)
    # Bucket by bucket, the kept points are its minimum and maximum.
    span = int(t.max()) - int(t.min()) + 1
    bucket = ((t - t.min()).astype(float) * 500 / span).astype(int)
    frame = pd.DataFrame({"b": bucket, "v": v}).dropna()
    want = set(frame.groupby("b")["v"].min()) | set(frame.groupby("b")["v"].max())
    assert set(values) == want


def test_a_target_series_over_the_time_axis(mixed, mixed_report):
    df, _ = mixed
    series = next(t for t in mixed_report.detail["targets"] if t["label"] == "y")["series"]
    assert len(series["value"]) == len(df)  # 600 rows: every row is some bucket's extreme
    assert series["value"] == df["y"].tolist()
    assert series["time"] == [str(s) for s in df["when"]]


def test_the_figures_do_not_depend_on_the_thread_count(tmp_path):
    script = (
        "import json, sys; sys.path[:0] = sys.argv[1:]; import conftest, numpy as np, profilon\n"
        "df, kw = conftest.mixed_frame(), {'target': 'y', 'datetime_col': 'when'}\n"
        "np.random.seed(0); print(profilon.EDA().eda_report_and_score(df, **kw).to_json(detail=True))\n"
    )
    here = os.path.dirname(__file__)
    paths = [p for p in sys.path if p]
    outputs = []
    for threads in ("1", "2"):
        env = dict(os.environ, PROFILON_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", script, here, *paths], env=env, capture_output=True, check=True)
        outputs.append(json.loads(done.stdout)["detail"])
    assert outputs[0] == outputs[1]


def test_json_detail_holds_the_figures_beside_the_report(mixed_report, json_values):
    plain = json.loads(mixed_report.to_json())
    assert "detail" not in plain
    with_detail = json.loads(mixed_report.to_json(detail=True))
    assert {k: v for k, v in with_detail.items() if k != "detail"} == plain
    assert with_detail["detail"] == json_values(mixed_report.detail)


# The analysis' own statistics overflow on these columns, with NumPy's and
# SciPy's warnings; the page's figures are what is checked here.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_quantiles_of_awkward_ranges_are_numpys(eda):
    rng = np.random.default_rng(6)
    n = 3000
    df = pd.DataFrame(
        {
            "y": rng.normal(size=n),
            "span": rng.choice([1e300, -1e300, 0.0, 5e299], n),  # the bucket arithmetic overflows
            "tiny": rng.normal(size=n) * 1e-310,  # subnormal: the range's reciprocal is infinite
            "ties": rng.integers(0, 3, n).astype(float),
            "tail": rng.standard_cauchy(n) ** 3,
        }
    )
    report = eda.eda_report_and_score(df, target="y")
    for label in ["span", "tiny", "ties", "tail"]:
        got = entry(report, label)["quantiles"]
        assert list(got.values()) == np.percentile(df[label], [5, 25, 50, 75, 95]).tolist(), label
