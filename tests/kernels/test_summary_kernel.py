"""The distribution step's native figures against the library calls, bit for bit.

The reference is the step's Python path: NumPy's nan-reductions and the
class's own `_safe_skew`, `_safe_kurtosis` and `_iqr_outlier_share`, which a
subclass that overrides one of them (calling the original) falls back to.
"""

import math
import os
import signal
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

# Degenerate columns make NumPy and SciPy warn on the library path.
from moment_release import expected_formula, sum_block  # noqa: E402

import profilon

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


FORMULA = expected_formula()


def run_kernel(test_entries, mat, formula="running"):
    return test_entries.summary(np.ascontiguousarray(mat), sum_block(), formula)


def bits_equal(a, b):
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return np.float64(a).view(np.int64) == np.float64(b).view(np.int64)


def random_column(rng, n, kind):
    if kind == "normal":
        v = rng.normal(size=n) * 10.0 ** rng.integers(-3, 8)
    elif kind == "ties":
        v = rng.integers(0, 4, size=n).astype(float)
    elif kind == "constant":
        v = np.full(n, 0.1)
    elif kind == "zeros":
        v = np.where(rng.random(n) < 0.5, 0.0, -0.0)
    elif kind == "near_constant":
        v = 1e6 + rng.integers(0, 2, size=n) * 1e-9
    elif kind == "lognormal":
        v = rng.lognormal(sigma=2.0, size=n)
    elif kind == "huge":
        # Sums and squares overflow, where NumPy warns.
        v = rng.choice([1.0, -1.0], size=n) * 10.0 ** rng.uniform(150, 308, size=n)
    elif kind == "sorted":
        v = np.sort(rng.normal(size=n))
    elif kind == "periodic":
        # A strided sample of this sees one value only.
        v = np.resize(np.array([0.0, 1.0, 2.0, 100.0]), n) + rng.normal(size=n) * 1e-3
    else:
        raise AssertionError(kind)
    if rng.random() < 0.6:
        u = rng.random(n)
        v[u < 0.1] = np.nan
        v[(u >= 0.1) & (u < 0.13)] = np.inf
        v[(u >= 0.13) & (u < 0.16)] = -np.inf
    return v


KINDS = ["normal", "ties", "constant", "zeros", "near_constant", "lognormal", "huge", "sorted", "periodic"]


def library_figures(eda, x):
    finite = np.isfinite(x).any()
    with np.errstate(all="ignore"):
        stats = [np.nanmin(x), np.nanmax(x), np.nanmedian(x), np.nanstd(x)] if finite else [np.nan] * 4
    return stats + [eda._safe_skew(x), eda._safe_kurtosis(x), eda._iqr_outlier_share(x)]


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 130, 601, 9000, 100_000])
def test_kernel_matches_the_library_per_column(test_entries, monkeypatch, threads, n):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    rng = np.random.default_rng(n)
    mat = np.column_stack([random_column(rng, n, KINDS[j % len(KINDS)]) for j in range(2 * len(KINDS))])
    got = run_kernel(test_entries, mat)
    eda = profilon.EDA()
    for j in range(mat.shape[1]):
        row = got[j]
        expected = library_figures(eda, mat[:, j])
        assert bool(row[7]) == bool(np.isfinite(mat[:, j]).any())
        checked = [0, 1, 2, 3, 6]
        if row[8] or row[9]:
            # Only a zero extreme with both signed zeros present goes back.
            assert {row[0], row[1]} & {0.0}
            checked = [2, 3, 6]
        if FORMULA != "none" and not row[10]:
            checked += [4, 5]
        checked = [i for i in checked if (i, 1.0) not in {(2, row[11]), (6, row[12]), (3, row[13])}]
        for i in checked:
            assert bits_equal(row[i], expected[i]), (j, i, row[i], expected[i])


class LibraryPath(profilon.EDA):
    """Takes the step's Python path: an override, however faithful, is not the class's own."""

    def _safe_skew(self, x):
        return super()._safe_skew(x)


def frame(rng, n):
    cols = {f"f{j}": random_column(rng, n, KINDS[j % len(KINDS)]) for j in range(len(KINDS))}
    nullable = pd.array(rng.integers(-3, 3, size=n), dtype="Int64")
    nullable[rng.random(n) < 0.3] = pd.NA
    cols.update(
        f32=rng.normal(size=n).astype(np.float32),
        i64=rng.integers(-(2**62), 2**62, size=n),
        u8=rng.integers(0, 255, size=n).astype(np.uint8),
        nullable=nullable,
        flag=rng.random(n) < 0.5,
        text=np.array(["a", "b"])[rng.integers(0, 2, size=n)],
    )
    return pd.DataFrame(cols)


def assert_same_distributions(got, expected):
    assert list(got["numeric_summary"]) == list(expected["numeric_summary"])
    for col, figures in expected["numeric_summary"].items():
        assert list(got["numeric_summary"][col]) == list(figures)
        for key, value in figures.items():
            got_value = got["numeric_summary"][col][key]
            assert type(got_value) is type(value), (col, key)
            assert value is None or bits_equal(got_value, value), (col, key, got_value, value)
    for key in ("outlier_share_overall", "scale_spread_ratio"):
        assert bits_equal(got[key], expected[key]), key


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("n", [1, 2, 7, 400, 10000])
def test_report_matches_the_library_path(monkeypatch, threads, n):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    df = frame(np.random.default_rng(n + 11), n)
    with warnings.catch_warnings(record=True) as got_warnings:
        warnings.simplefilter("always")
        got = profilon.EDA().eda_report_and_score(df).distributions
    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        expected = LibraryPath().eda_report_and_score(df).distributions
    assert_same_distributions(got, expected)
    # Where the library warns (overflow, catastrophic cancellation), it still does.
    assert {str(w.message) for w in got_warnings} == {str(w.message) for w in expected_warnings}


def test_results_do_not_depend_on_the_thread_count(test_entries, monkeypatch):
    rng = np.random.default_rng(4)
    mat = np.ascontiguousarray(np.column_stack([random_column(rng, 3000, KINDS[j % len(KINDS)]) for j in range(40)]))
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
        results.append(run_kernel(test_entries, mat))
    assert all(np.array_equal(r, results[0], equal_nan=True) for r in results)


def kurtosis_is(value):
    return lambda dist: all(s["kurtosis"] == value for s in dist["numeric_summary"].values())


@pytest.mark.parametrize(
    "owner, name, replacement, check",
    [
        ("EDA", "_iqr_outlier_share", lambda self, arr: 0.5, lambda d: d["outlier_share_overall"] == 0.5),
        ("EDA", "_safe_kurtosis", lambda self, x: 7.0, kurtosis_is(7.0)),
        ("module", "scipy_kurtosis", lambda x, **kw: 4.0, kurtosis_is(4.0)),
    ],
    ids=["method-on-class", "another-method-on-class", "module-global"],
)
def test_rebound_calls_are_made(monkeypatch, owner, name, replacement, check):
    monkeypatch.setattr(profilon.EDA if owner == "EDA" else profilon, name, replacement)
    df = pd.DataFrame({"a": np.arange(20.0), "b": np.arange(20.0) ** 2})
    assert check(profilon.EDA().eda_report_and_score(df).distributions)


def test_subclass_override_is_called():
    class Skewed(profilon.EDA):
        def _safe_skew(self, x):
            return -1.0

    df = pd.DataFrame({"a": np.arange(20.0), "b": np.arange(20.0) ** 2})
    dist = Skewed().eda_report_and_score(df).distributions
    assert all(s["skew"] == -1.0 for s in dist["numeric_summary"].values())


def test_ctrl_c_ends_the_kernel(test_entries, monkeypatch, prompt):
    # The power-based moments make this a few seconds of work.
    monkeypatch.setenv("PROFILON_NUM_THREADS", "2")
    mat = np.random.default_rng(1).normal(size=(100_000, 300))
    finished = []
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.summary(mat, 0, "powers")
            finished.append(True)
            time.sleep(10)
    finally:
        timer.cancel()
    assert not finished, "the kernel ran to its end before the interrupt"
    assert time.monotonic() - start < prompt(2.0)
