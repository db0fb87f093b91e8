"""Which steps the kernels ran. The analysis tells a callable bound to the
module global `_kernel_declines` the name of every kernel that left a step,
or a column of one, to the library: on releases inside every window the
bench frames leave nothing to it."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest

import _profilon_kernels
import profilon

PANDAS_WINDOWS = (
    "pandas_distinct_counts",
    "pandas_row_hashes",
    "pandas_spearman",
    "pandas_pearson",
    "pandas_leakage_screen",
    "pandas_group_means",
)


def _outside_windows():
    import sklearn

    libraries = [(w, pd) for w in PANDAS_WINDOWS]
    libraries += [("numpy_summaries", np), ("sklearn_mutual_info", sklearn)]
    return [w for w, lib in libraries if not _profilon_kernels.release_window(w, lib)]


def _moments_by_kernel():
    """Whether SciPy's skew and kurtosis are the kernel's here: the running
    SciPy's formula is one the kernel reproduces (on NumPy's own power loop
    where SciPy raises with it)."""
    # The kernel's formula follows the releases (test_moment_kernel.py).
    from moment_release import expected_formula

    return _profilon_kernels.numpy_sum_block() is not None and expected_formula() != "none"


@pytest.fixture
def declines(monkeypatch):
    seen = []
    monkeypatch.setattr(profilon, "_kernel_declines", seen.append, raising=False)
    return seen


def _analyse(df, kwargs):
    np.random.seed(0)
    return profilon.EDA().eda_report_and_score(df, **kwargs)


# The million-row frames take a minute each on two shared cores; the five
# below hold every kind of column and step the bench has (dates, texts with
# and without missing cells, categories, several targets, a long series).
BENCH_FRAMES = ["typical", "typical_3_targets", "wide", "many_categoricals", "long_time_series"]


def _unread_columns(df):
    """What text columns of pandas' string dtype held as Python strings (no
    pyarrow installed) leave to the library: their distinct counts and,
    within the duplicate scan's 200 columns, their row hashes are pandas'
    own. Arrow-backed ones are read from their buffers."""
    texts = sum(isinstance(dtype, pd.StringDtype) and dtype.storage == "python" for dtype in df.dtypes)
    expected = Counter({"distinct_counts": texts})
    if df.shape[1] <= 200:
        expected["row_hashes"] = texts
    return +expected


@pytest.mark.parametrize("name", BENCH_FRAMES)
def test_bench_frames_take_no_step_the_library_way(bench_frames, declines, name):
    outside = _outside_windows()
    if outside:
        pytest.skip(f"the running releases are outside {', '.join(outside)}")
    df, kwargs = bench_frames[name]()
    _analyse(df, kwargs)
    left = Counter(k for k in declines if k != "moments" or _moments_by_kernel())
    assert left == _unread_columns(df)


def _float16_column(df):
    df["half"] = df["x"].astype(np.float16)
    return df


def _dates_with_gaps(df):
    df["when"] = pd.Series(pd.date_range("2020-01-01", periods=len(df), freq="D")).where(df["x"] > 0)
    return df


@pytest.mark.parametrize(
    ("change", "rebind", "kernel"),
    [
        # no kernel reads float16
        (_float16_column, None, "summaries"),
        # pandas fills missing dates with a text before hashing them
        (_dates_with_gaps, None, "row_hashes"),
        # a rebound library function is called as it is
        (None, "_adfuller", "adf"),
        (None, "scipy_skew", "summaries"),
    ],
)
def test_declines_are_told(declines, monkeypatch, change, rebind, kernel):
    rng = np.random.default_rng(0)
    n = 400
    df = pd.DataFrame({"t": pd.date_range("2021-01-01", periods=n, freq="D"), "y": np.cumsum(rng.normal(size=n))})
    df["x"] = rng.normal(size=n)
    kwargs = {"target": "y", "datetime_col": "t"}
    if not _outside_windows():
        _analyse(df.copy(), kwargs)
        assert [k for k in declines if k != "moments"] == []
    if change:
        df = change(df)
    if rebind:
        original = getattr(profilon, rebind)
        monkeypatch.setattr(profilon, rebind, lambda *a, **kw: original(*a, **kw))
    _analyse(df, kwargs)
    assert kernel in declines
