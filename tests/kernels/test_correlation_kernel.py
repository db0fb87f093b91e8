"""The native correlation matrix against pandas' DataFrame.corr, bit for bit.

The matrix an analysis computes is read through `_corr_proportion_strong`,
which receives it; pandas' own call on the same columns is the reference.
"""

import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

import profilon

# Degenerate random columns make SciPy and NumPy warn in the other steps of
# the analysis; those warnings are not what these tests are about.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


class Probe(profilon.EDA):
    def _corr_proportion_strong(self, corr, thr=0.95):
        self.corr = corr
        return 0.0


def analysed_corr(df, method):
    probe = Probe()
    probe.eda_report_and_score(df, corr_method=method)
    return probe.corr


def assert_same_bits(got, expected):
    pd.testing.assert_index_equal(got.columns, expected.columns)
    pd.testing.assert_index_equal(got.index, expected.index)
    a, b = got.to_numpy(), expected.to_numpy()
    assert a.dtype == b.dtype == np.float64
    assert np.array_equal(a.view(np.int64), b.view(np.int64)), (a, b)


def random_column(rng, n, kind):
    if kind == "float":
        return rng.normal(size=n)
    if kind == "ties":
        return rng.integers(0, 4, size=n).astype(float)
    if kind == "int":
        return rng.integers(-5, 5, size=n)
    if kind == "bigint":
        return rng.integers(2**60, 2**62, size=n)
    if kind == "uint8":
        return rng.integers(0, 255, size=n).astype(np.uint8)
    if kind == "bool":
        return rng.random(n) < 0.5
    if kind == "float32":
        return rng.normal(size=n).astype(np.float32)
    if kind == "constant":
        return np.full(n, 3.0)
    if kind == "zeros":
        return np.where(rng.random(n) < 0.5, 0.0, -0.0)
    if kind in ("Int64", "Float64", "boolean"):
        values = rng.integers(0, 3, size=n) if kind != "boolean" else rng.random(n) < 0.5
        arr = pd.array(values, dtype=kind)
        arr[rng.random(n) < 0.2] = pd.NA
        return arr
    raise AssertionError(kind)


KINDS = [
    "float",
    "ties",
    "int",
    "bigint",
    "uint8",
    "bool",
    "float32",
    "constant",
    "zeros",
    "Int64",
    "Float64",
    "boolean",
]


def random_frame(rng, n, k):
    cols = {}
    for j in range(k):
        kind = KINDS[rng.integers(len(KINDS))]
        v = random_column(rng, n, kind)
        if kind in ("float", "ties", "float32") and rng.random() < 0.7:
            u = rng.random(n)
            v[u < 0.1] = np.nan
            v[(u >= 0.1) & (u < 0.15)] = np.inf
            v[(u >= 0.15) & (u < 0.2)] = -np.inf
        cols[f"c{j}"] = v
    return pd.DataFrame(cols)


@pytest.mark.parametrize("method", ["spearman", "pearson"])
@pytest.mark.parametrize("threads", ["1", "2", "3"])
@pytest.mark.parametrize("n", [0, 1, 2, 3, 17, 300])
def test_random_frames_match_pandas(monkeypatch, method, threads, n):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    rng = np.random.default_rng(n * 7 + len(threads))
    for _ in range(6):
        df = random_frame(rng, n, int(rng.integers(2, 12)))
        assert_same_bits(analysed_corr(df, method), df.corr(method=method))


@pytest.mark.parametrize("method", ["spearman", "pearson"])
def test_missing_patterns_that_decide_reranking(method):
    # Same rows missing in both columns (ranks kept, -inf shifting them),
    # different rows (re-ranked), one column missing everything.
    inf, nan = np.inf, np.nan
    df = pd.DataFrame(
        {
            "a": [-inf, 1.0, 2.0, 2.0, 5.0, nan],
            "b": [-inf, 3.0, 1.0, 4.0, 4.0, nan],
            "c": [1.0, inf, 2.0, nan, 3.0, 3.0],
            "d": [nan] * 6,
            "e": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
        }
    )
    assert_same_bits(analysed_corr(df, method), df.corr(method=method))


@pytest.mark.parametrize("method", ["spearman", "pearson"])
def test_wide_frame_across_blocks_and_chunks(method):
    # More columns and rows than one block of pairs or one chunk of rows.
    rng = np.random.default_rng(5)
    df = pd.DataFrame(rng.normal(size=(1000, 37)).round(1), columns=[f"x{i}" for i in range(37)])
    df["x3"] = df["x2"] * 2
    df.loc[::97, "x5"] = np.nan
    assert_same_bits(analysed_corr(df, method), df.corr(method=method))


def test_result_is_independent_of_thread_count(monkeypatch):
    rng = np.random.default_rng(9)
    df = pd.DataFrame(rng.normal(size=(700, 30)))
    results = []
    for threads in ("1", "2", "4"):
        monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
        results.append(analysed_corr(df, "spearman").to_numpy())
    assert all(np.array_equal(r.view(np.int64), results[0].view(np.int64)) for r in results)


def test_columns_keep_their_labels_and_the_frame_its_attrs():
    df = pd.DataFrame({1: [1.0, 2.0, 3.0], "t": ["a", "b", "c"], 2.5: [3, 1, 2]})
    df.columns.name = "features"
    df.attrs["source"] = "test"
    got = analysed_corr(df, "spearman")
    expected = df[[1, 2.5]].corr(method="spearman")
    assert_same_bits(got, expected)
    assert got.columns.name == "features" and got.attrs == {"source": "test"}


class Frame(pd.DataFrame):
    @property
    def _constructor(self):
        return Frame


# pandas 2.2.0 warns inside its own methods for every subclass that sets
# _constructor (fixed in 2.2.1); nothing of ours is involved.
@pytest.mark.filterwarnings("ignore:Passing a BlockManager to Frame:DeprecationWarning")
@pytest.mark.parametrize("method", ["kendall", "pearson", "spearman"])
def test_other_methods_and_subclasses_still_reach_pandas(method):
    df = Frame({"a": [1.0, 2.0, 4.0, 3.0], "b": [2.0, 1.0, 0.5, 0.0]})
    got = analysed_corr(df, method)
    assert type(got) is Frame
    assert_same_bits(got, df.corr(method=method))


def pandas_kernel(mat, method):
    from pandas._libs import algos

    return algos.nancorr_spearman(mat, minp=1) if method == "spearman" else algos.nancorr(mat, minp=1)


@pytest.mark.parametrize("method", ["spearman", "pearson"])
@pytest.mark.parametrize("parts", [1, 2, 5])
def test_kernel_matches_pandas_kernels_directly(test_entries, method, parts):
    rng = np.random.default_rng(parts)
    clip = method == "pearson" and int(pd.__version__.split(".")[0]) >= 3
    for n, k in [(0, 3), (1, 2), (2, 9), (129, 13), (400, 21)]:
        mat = rng.normal(size=(n, k)).round(1)
        if n > 2:
            mat[rng.random((n, k)) < 0.03] = rng.choice([np.nan, np.inf, -np.inf])
            mat[:, 1] = mat[:, 0] * 3
        got = test_entries.correlation(np.ascontiguousarray(mat), method, clip, parts)
        expected = pandas_kernel(mat, method)
        assert np.array_equal(got.view(np.int64), expected.view(np.int64))


def test_ctrl_c_ends_the_kernel(test_entries, monkeypatch, prompt):
    # Missing values in every column send each pair through its own loop and
    # re-ranking: seconds of work, which the interrupt must end well before.
    monkeypatch.setenv("PROFILON_NUM_THREADS", "2")
    mat = np.random.default_rng(1).normal(size=(3000, 1000))
    np.fill_diagonal(mat, np.nan)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.correlation(mat, "spearman")
            time.sleep(10)  # the kernel finished first: the signal lands here and the time check fails
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(1.5)
