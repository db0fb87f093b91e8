"""Never crash, never leak, never swallow an interrupt, never share state."""

import gc
import resource
import sys
import threading

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


def test_the_input_frame_keeps_its_reference_counts():
    eda = profilon.EDA()
    df = mid_frame(0)
    analyse(eda, df)
    gc.collect()
    before = frame_refcounts(df)
    for _ in range(5):
        analyse(eda, df).to_markdown()
    gc.collect()
    assert frame_refcounts(df) == before


# Each analysis gets a freshly built frame: pandas keeps weak references to
# every view taken of a frame's blocks and index (copies included) and prunes
# them only in batches, so reusing one frame grows pandas' bookkeeping on it
# (bounded, and not ours) and would fake a leak.
def test_repeated_analyses_do_not_leak():
    eda = profilon.EDA()
    for _ in range(100):  # let the libraries' own caches fill up
        analyse(eda, mid_frame(0)).to_markdown()
    gc.collect()
    total_refs = getattr(sys, "gettotalrefcount", None)
    refs_before = total_refs() if total_refs else None
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_kib()
    for _ in range(300):
        analyse(eda, mid_frame(0)).to_markdown()
    gc.collect()
    if refs_before is not None:
        assert total_refs() - refs_before < 300
    # Counted in live allocations rather than traced bytes: the interpreter's
    # method cache holds on to recently used attribute-name strings, a bounded
    # turnover that traced-memory windows would misread as growth. One leaked
    # object per analysis would already reach this.
    assert sys.getallocatedblocks() - blocks_before < 300
    assert rss_kib() - rss_before < 16 * 1024



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
