"""Never crash, never leak, never swallow an interrupt, never share state."""

import gc
import resource
import sys
import threading
import tracemalloc

import numpy as np
import pandas as pd
import pytest

import profilon


def mid_frame(seed, rows=120):
    rng = np.random.default_rng(seed)
    t = np.arange(rows)
    df = pd.DataFrame(
        {
            "date": pd.date_range("2020-01-01", periods=rows, freq="D"),
            "x1": rng.normal(size=rows),
            "x2": rng.normal(size=rows).cumsum(),
            "x3": rng.integers(0, 50, size=rows).astype(float),
            "city": rng.choice(["a", "b", "c", "d"], size=rows),
            "flag": rng.random(rows) > 0.5,
            "y": np.sin(t / 7.0) + rng.normal(scale=0.1, size=rows),
            "y2": t * 0.5 + rng.normal(size=rows),
        }
    )
    df.loc[3, "x1"] = np.nan  # sends relevance to the deterministic fallback
    return df


def analyse(eda, df):
    return eda.eda_report_and_score(df, target=["y", "y2"], datetime_col="date")


def frame_refcounts(df):
    arrays = [df._mgr.arrays[i] for i in range(len(df._mgr.arrays))]
    return [sys.getrefcount(df), sys.getrefcount(df.columns), sys.getrefcount(df.index)] + [
        sys.getrefcount(a) for a in arrays
    ]


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_repeated_analyses_do_not_leak():
    eda = profilon.EDA()
    df = mid_frame(0)
    for _ in range(20):  # warm the libraries' own caches
        analyse(eda, df).to_markdown()
    gc.collect()
    refs_before = frame_refcounts(df)
    total_refs = getattr(sys, "gettotalrefcount", None)
    refs_total_before = total_refs() if total_refs else None
    tracemalloc.start()
    try:
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_kib()
        for _ in range(300):
            analyse(eda, df).to_markdown()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    rss_growth = rss_kib() - rss_before
    assert frame_refcounts(df) == refs_before
    if refs_total_before is not None:
        assert total_refs() - refs_total_before < 300
    # A leak of even one small object per analysis would exceed these.
    assert traced_growth < 64 * 1024, traced_growth
    assert rss_growth < 16 * 1024, rss_growth


@pytest.mark.parametrize("name", ["_mi_reg", "_adfuller", "spearmenr", "scipy_skew", "scipy_kurtosis"])
def test_interrupts_pass_through_guards(monkeypatch, name):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    # The frame's NaN feature makes mutual information fail, so the Spearman
    # fallback is reached too.
    monkeypatch.setattr(profilon, name, interrupted)
    with pytest.raises(KeyboardInterrupt):
        analyse(profilon.EDA(), mid_frame(1))


@pytest.mark.parametrize("exc", [ValueError, ZeroDivisionError, LookupError])
def test_ordinary_errors_in_guarded_calls_are_absorbed(monkeypatch, exc):
    def failing(*args, **kwargs):
        raise exc("library failure")

    monkeypatch.setattr(profilon, "_adfuller", failing)
    monkeypatch.setattr(profilon, "_mi_reg", failing)
    report = analyse(profilon.EDA(), mid_frame(2))
    per_target = report.time_series["per_target"]
    assert [r["adfuller_pvalue"] for r in per_target.values()] == [None, None]


def test_concurrent_analyses_match_sequential_ones():
    frames = [mid_frame(seed) for seed in range(4)]
    eda = profilon.EDA()
    sequential = [repr(analyse(eda, df)) for df in frames]
    results = [None] * 4
    errors = []

    def work(i):
        try:
            for _ in range(3):
                results[i] = repr(analyse(eda, frames[i]))
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert results == sequential
