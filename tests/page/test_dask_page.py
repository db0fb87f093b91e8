"""The page of a Dask frame's report: its `detail` against the pandas
report's of the same rows (exactly for one partition, within rounding of
the sums for more), its panels, and the kernels' one-step entries the
driver runs per partition against their all-in-one counterparts."""

import math
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

import profilon  # noqa: E402

DASK_TESTS = Path(__file__).resolve().parents[1] / "dask"


@pytest.fixture(scope="module")
def corpus():
    """A handful of the Dask report tests' frames: infinities and signed
    zeros, nullable dtypes, time columns with zones and missing stamps, a
    DatetimeIndex, one row and none."""
    pytest.importorskip("distributed")
    sys.path.insert(0, str(DASK_TESTS))
    try:
        from test_dask_report import CORPUS
    finally:
        sys.path.remove(str(DASK_TESTS))
    names = [
        "hourly tz-aware time column, caller's frequency",
        "daily DatetimeIndex",
        "irregular stamps with missing ones",
        "month ends",
        "infinities and signed zeros",
        "nullable dtypes",
        "one row",
        "no rows",
    ]
    return {name: CORPUS[name] for name in names}


def agree(got, want, exact, path="detail"):
    """Equal with the same types, NaN equal to NaN; unless `exact`, floats
    within 1e-12 relative or 1e-15 absolute."""
    if isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), path
        for key in want:
            agree(got[key], want[key], exact, f"{path}[{key!r}]")
    elif isinstance(want, (list, tuple)):
        assert type(got) is type(want) and len(got) == len(want), (path, got, want)
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            agree(g, w, exact, f"{path}[{i}]")
    elif isinstance(want, float):
        assert type(got) is float, (path, type(got))
        if math.isnan(want) or exact:
            assert (math.isnan(got) and math.isnan(want)) or got == want, (path, got, want)
        else:
            assert got == pytest.approx(want, rel=1e-12, abs=1e-15), (path, got, want)
    else:
        assert type(got) is type(want) and got == want, (path, got, want)


def reports(df, kwargs, k):
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "sync"}):
        ddf = dd.from_pandas(df, npartitions=k, sort=False)
        got = profilon.EDA().eda_report_and_score(ddf, **kwargs)
    want = profilon.EDA().eda_report_and_score(df, **kwargs)
    return got, want


def check(df, kwargs, k):
    got, want = reports(df, kwargs, k)
    assert getattr(got, "detail", None) is not None
    agree(got.detail, want.detail, exact=k == 1)
    return got, want


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize(
    "variant",
    [{}, {"max_cat_features": 1}, {"target": None, "datetime_col": None}],
    ids=["as analysed", "levels ranked by first appearance", "no target, no axis"],
)
def test_the_mixed_frames_detail_is_the_pandas_one(mixed, k, variant):
    df, kwargs = mixed
    check(df, {**kwargs, **variant}, k)


@pytest.mark.parametrize("k", [1, 3, 7])
def test_the_corpus_frames_detail_is_the_pandas_one(corpus, k):
    for name, (df, kwargs) in corpus.items():
        if k > max(1, len(df)):
            continue
        try:
            check(df, kwargs, k)
        except AssertionError as error:
            raise AssertionError(f"{name}: {error}") from error


def coded_frame(n=500, seed=4):
    rng = np.random.default_rng(seed)
    labels = np.array([f"v{i}" for i in range(40)], dtype=object)
    text = labels[rng.integers(0, 40, n)]
    text[rng.random(n) < 0.1] = None
    return pd.DataFrame(
        {
            # Unobserved categories count 0: value_counts lists them.
            "cat": pd.Categorical(rng.choice(["a", "b", None], n), categories=["z", "a", "b", "unused"]),
            "text": text,
            "nullable": pd.array(np.where(rng.random(n) < 0.2, None, rng.random(n) < 0.5), dtype="boolean"),
            "flag": rng.random(n) < 0.4,
            "y": rng.normal(size=n),
        }
    )


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("max_cat_features", [80, 1, 0])
def test_coded_columns_rank_their_levels_as_pandas(k, max_cat_features):
    got, _ = check(coded_frame(), {"target": "y", "max_cat_features": max_cat_features}, k)
    cat = next(c for c in got.detail["columns"] if c["label"] == "cat")
    if max_cat_features:
        assert cat["distinct"] == 4 and ("unused", 0) in cat["top"]


@pytest.mark.parametrize("k", [1, 3])
def test_a_column_the_page_cannot_count_keeps_its_missing_count(monkeypatch, k):
    # A column whose parts cannot be counted (here made to fail) keeps its
    # panel with its missing count, as the in-memory page does, and the
    # analysis and the other columns' figures go on.
    from _profilon_dask import page

    levels = page._levels

    def failing(s, ranked):
        if s.name == "text":
            raise TypeError("cannot count this column")
        return levels(s, ranked)

    monkeypatch.setattr(page, "_levels", failing)
    df = coded_frame()
    got, want = reports(df, {"target": "y"}, k)
    by_label = {c["label"]: c for c in got.detail["columns"]}
    assert by_label["text"] == {"label": "text", "kind": "other", "missing": int(df["text"].isna().sum())}
    others = [c for c in want.detail["columns"] if c["label"] != "text"]
    agree([by_label[c["label"]] for c in others], others, exact=k == 1)


@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("name", ["flights", "typical", "many_categoricals", "gappy"])
def test_the_bench_frames_detail_is_the_pandas_one(bench_frames, flights, name, k):
    df, kwargs = flights if name == "flights" else bench_frames[name]()
    check(df, kwargs, k)


def test_the_dask_page_draws_every_column(mixed):
    df, kwargs = mixed
    got, want = reports(df, kwargs, 3)
    root = ET.fromstring(got.to_html())
    found = [el for el in root.iter("section") if el.get("data-column") is not None]
    assert [p.get("data-column") for p in found] == [format(c) for c in df.columns]
    assert all(p.find("{http://www.w3.org/2000/svg}svg") is not None for p in found)
    assert '"detail"' in got.to_json(detail=True) and '"detail"' not in got.to_json()


# ---------------------------------------------------------------- the one-step entries


def splits(n, parts, seed):
    cuts = np.sort(np.random.default_rng(seed).integers(0, n + 1, parts - 1))
    return np.split(np.arange(n), cuts)  # empty parts among them


def step_columns(parts):
    rng = np.random.default_rng(parts)
    n = 3000
    x = rng.normal(size=n) * 1e3
    x[rng.random(n) < 0.1] = np.nan
    x[:4] = [np.inf, -np.inf, 0.0, -0.0]
    t = np.sort(rng.integers(0, 10**15, n)).astype(np.int64)
    t[rng.random(n) < 0.05] = np.iinfo(np.int64).min
    return x, t


def step_periods_and_series(t, x, pieces):
    """The stamps' range, the period counts and the kept series points of
    the parts `pieces`, through the driver's step entries."""
    import _profilon_kernels as k

    stamps = k.page_stamps_merge([k.page_stamps_partial(t[i]) for i in pieces])
    periods = k.page_counts_merge([k.page_periods_partial(stamps, t[i]) for i in pieces])
    series = k.page_series_merge(
        [k.page_series_partial(stamps, t[i], x[i], int(i[0]) if len(i) else 0) for i in pieces]
    )
    return stamps, periods.tolist(), [s.tolist() for s in k.page_series_finish(series)]


@pytest.mark.parametrize("parts", [1, 2, 5, 9])
def test_the_step_entries_merge_to_the_whole_columns_figures(test_entries, parts):
    import _profilon_kernels as k

    x, t = step_columns(parts)
    n = len(x)
    pieces = splits(n, parts, parts)

    range_ = test_entries.page_range_merge([test_entries.page_range_partial(x[i]) for i in pieces])
    finite = x[np.isfinite(x)]
    assert range_[:6] == (len(finite), int(np.isnan(x).sum()), 2, 2, finite.min(), finite.max())
    counts = k.page_counts_merge([test_entries.page_histogram_partial(range_, x[i]) for i in pieces])
    want_counts, _ = np.histogram(finite, bins=40)
    assert counts.tolist() == want_counts.tolist()

    stamps, periods, series = step_periods_and_series(t, x, pieces)
    present = t[t != np.iinfo(np.int64).min]
    assert stamps == (len(present), n - len(present), present.min(), present.max())
    # Any cut gives what the column read as one part gives ...
    assert (periods, series) == step_periods_and_series(t, x, [np.arange(n)])[1:]


@pytest.mark.parametrize("parts", [1, 5])
def test_the_step_entries_give_the_in_memory_pages_periods_and_series(test_entries, parts):
    # ... and that is what the in-memory page's whole-column kernels give.
    x, t = step_columns(parts)
    _, periods, series = step_periods_and_series(t, x, splits(len(x), parts, parts))
    assert periods == test_entries.page_periods(t, 120, 1)[2]
    assert series == list(test_entries.page_series(t, x, 500, 1))


def test_the_step_entries_refuse_states_of_other_plans(test_entries):
    import _profilon_kernels as k

    a = test_entries.page_range_partial(np.arange(10.0))
    b = test_entries.page_range_partial(np.arange(100.0))
    with pytest.raises(ValueError, match="different plans"):
        k.page_counts_merge(
            [
                test_entries.page_histogram_partial(a, np.arange(10.0)),
                test_entries.page_histogram_partial(b, np.arange(100.0)),
            ]
        )
    t = np.arange(10, dtype=np.int64)
    s1 = k.page_series_partial(k.page_stamps_partial(t), t, np.arange(10.0), 0)
    s2 = k.page_series_partial(k.page_stamps_partial(t * 2), t, np.arange(10.0), 0)
    with pytest.raises(ValueError, match="different plans"):
        k.page_series_merge([s1, s2])
    with pytest.raises(ValueError):
        test_entries.page_range_merge([])
    with pytest.raises(ValueError):
        test_entries.page_range_merge([(1, 2, 3)])


@pytest.mark.parametrize("dtype", [object, "category"])
def test_value_counts_ranks_ties_as_the_release_window_says(dtype):
    # The Dask page re-sorts merged counts as value_counts sorts them; ties
    # among more than 16 levels tell a stable sort from the quicksort.
    import _profilon_kernels as k

    rng = np.random.default_rng(3)
    s = pd.Series(np.array([f"k{i}" for i in range(60)], dtype=object)[rng.integers(0, 60, 600)], dtype=dtype)
    stable = k.release_window("pandas_value_counts_stable", pd)
    counts = s.value_counts(dropna=False, sort=False)
    resorted = counts.sort_values(ascending=False, kind="stable" if stable else "quicksort")
    assert s.value_counts(dropna=False).index.tolist() == resorted.index.tolist()
