"""The native correlation ratio of a numeric target over a categorical column
against the pandas path of `_correlation_ratio_num_cat`, bit for bit.

The pandas path runs when the module global `np` is not NumPy itself, so the
reference is the same method with `np` rebound to a stand-in that forwards to
NumPy for the length of the call.
"""

import os
import struct
import types

import numpy as np
import pandas as pd
import pytest

import profilon

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


class NumpyStandIn(types.ModuleType):
    def __getattr__(self, name):
        return getattr(np, name)


def library_ratio(y, x):
    saved = profilon.np
    profilon.np = NumpyStandIn("numpy")
    try:
        return profilon.EDA()._correlation_ratio_num_cat(y, x)
    finally:
        profilon.np = saved


def native_ratio(monkeypatch, y, x):
    """The method's answer, and whether pandas' path ran for it."""
    calls = []
    to_numeric = pd.to_numeric
    monkeypatch.setattr(pd, "to_numeric", lambda *a, **k: calls.append(1) or to_numeric(*a, **k))
    got = profilon.EDA()._correlation_ratio_num_cat(y, x)
    monkeypatch.setattr(pd, "to_numeric", to_numeric)
    return got, bool(calls)


def bits(v):
    return None if v is None else struct.pack("<d", v)


KEYS = ["b", "a", "ab", "B", "", "é", "z\u00e9", "\U0001f600", "a\U0001f600", "\u4e2d", "aa", "a "]


def text_column(rng, n, levels, kind):
    keys = np.array(KEYS + [f"k{i}" for i in range(levels)], dtype=object)[: max(levels, 1)]
    values = rng.choice(keys, size=n).astype(object)
    missing = rng.random(n) < 0.15
    if kind == "object":
        values[missing] = rng.choice(np.array([None, np.nan, pd.NA], dtype=object), size=int(missing.sum()))
        return pd.Series(values)
    if kind == "object_odd_missing":
        # Missing values pandas knows but the native factorization leaves to
        # pandas' own.
        odd = np.array([pd.NaT, np.float64("nan"), None], dtype=object)
        values[missing] = rng.choice(odd, size=int(missing.sum()))
        return pd.Series(values)
    if kind in ("string", "string_arrow"):
        values[missing] = None
        storage = "pyarrow" if kind == "string_arrow" else "python"
        return pd.Series(values, dtype=pd.StringDtype(storage))
    # Categorical with its levels in no particular order and some unused.
    values[missing] = None
    cats = list(rng.permutation(np.concatenate([keys, ["unused_1", "unused_0"]])))
    return pd.Series(pd.Categorical(values, categories=cats))


def target(rng, n, kind):
    if kind == "float":
        y = rng.normal(size=n) * 10.0 ** rng.integers(-3, 4)
        y[rng.random(n) < 0.1] = np.nan
        return pd.Series(y)
    if kind == "ties":
        return pd.Series(rng.integers(0, 3, size=n).astype(float))
    if kind == "constant":
        return pd.Series(np.full(n, 2.5))
    if kind == "all_missing":
        return pd.Series(np.full(n, np.nan))
    if kind == "inf":
        y = rng.normal(size=n)
        y[:: max(n // 3, 1)] = np.inf
        return pd.Series(y)
    if kind == "int":
        return pd.Series(rng.integers(-4, 4, size=n))
    if kind == "int_wide":
        # Beyond 2**53 the cast to float64 rounds, as NumPy's does.
        return pd.Series(rng.integers(-(2**62), 2**62, size=n) >> rng.integers(0, 60, size=n))
    if kind == "int_offset":
        # Large values spread little: where NumPy cuts the mean's sum shows
        # in the last bits of every deviation.
        return pd.Series(2**58 + rng.integers(0, 2**40, size=n))
    if kind == "uint8":
        return pd.Series(rng.integers(0, 255, size=n, dtype=np.uint8))
    if kind == "bool":
        return pd.Series(rng.random(n) < 0.4)
    if kind == "nullable":
        return pd.Series(pd.array(rng.integers(0, 9, size=n), dtype="Int64")).where(rng.random(n) > 0.2)
    if kind == "float32":
        return pd.Series(rng.normal(size=n).astype(np.float32))
    raise AssertionError(kind)


# Targets the kernel takes; the others are pandas' to compute.
NATIVE_TARGETS = {"float", "ties", "constant", "all_missing", "int", "int_wide", "int_offset", "uint8"}


@pytest.mark.parametrize("x_kind", ["object", "object_odd_missing", "string", "string_arrow", "categorical"])
@pytest.mark.parametrize(
    "y_kind",
    ["float", "ties", "constant", "all_missing", "inf", "int", "int_wide", "int_offset", "uint8", "bool", "nullable"]
    + ["float32"],
)
# 20,000 rows: sums of more than one of NumPy's 8,192-element buffers.
@pytest.mark.parametrize(
    "n,levels", [(0, 3), (1, 2), (2, 2), (3, 1), (40, 5), (3000, 2), (3000, 400), (20_000, 3), (20_000, 90)]
)
def test_matches_the_pandas_path(monkeypatch, x_kind, y_kind, n, levels):
    if x_kind == "string_arrow":
        pytest.importorskip("pyarrow")
    rng = np.random.default_rng(n * 31 + levels)
    y, x = target(rng, n, y_kind), text_column(rng, n, levels, x_kind)
    got, through_pandas = native_ratio(monkeypatch, y, x)
    want = library_ratio(y, x)
    assert bits(got) == bits(want), (got, want)
    # Infinities on complete rows stay with pandas, which warns about them.
    inf_kept = y_kind == "inf" and not np.isinf(y.to_numpy()[x.notna().to_numpy()]).any()
    assert through_pandas != (y_kind in NATIVE_TARGETS or inf_kept), (got, want)


@pytest.mark.parametrize(
    "x",
    [
        pd.Series(["a", 1, "b", 1.0, "a", "b"] * 5, dtype=object),  # mixed keys
        pd.Series([b"a", b"b"] * 15, dtype=object),  # bytes
        pd.Series(pd.Categorical([3, 1, 2] * 10)),  # numeric categories
        pd.Series([1.5, 2.5, np.nan] * 10),  # numeric column
        pytest.param(
            pd.Series(["a", "\ud800", "b"] * 10, dtype=object),  # not encodable as UTF-8
            # pandas' own hash table reads freed memory when it factorizes a
            # lone surrogate (AddressSanitizer shows it without profilon
            # loaded), so the sanitizer run cannot take pandas' path here.
            marks=pytest.mark.skipif(
                "libasan" in os.environ.get("LD_PRELOAD", ""), reason="pandas' factorize of a lone surrogate"
            ),
        ),
    ],
    ids=["mixed", "bytes", "int_categories", "float", "surrogate"],
)
def test_other_columns_stay_with_pandas(monkeypatch, x):
    y = pd.Series(np.random.default_rng(5).normal(size=len(x)))
    got, through_pandas = native_ratio(monkeypatch, y, x)
    assert through_pandas
    assert bits(got) == bits(library_ratio(y, x))


def test_a_different_index_stays_with_pandas(monkeypatch):
    y = pd.Series([1.0, 2.0, 4.0, 8.0, 16.0], index=[0, 1, 2, 3, 4])
    x = pd.Series(["a", "b", "a", "b", "c"], index=[4, 3, 2, 1, 0])
    got, through_pandas = native_ratio(monkeypatch, y, x)
    assert through_pandas
    assert bits(got) == bits(library_ratio(y, x))


def test_rebound_pandas_takes_the_pandas_path(monkeypatch):
    y = pd.Series([1.0, 2.0, 3.0, 5.0])
    x = pd.Series(["a", "a", "b", "b"])
    stand_in = types.ModuleType("pandas")
    stand_in.__getattr__ = lambda name: getattr(pd, name)
    monkeypatch.setattr(profilon, "pd", stand_in)
    assert native_ratio(monkeypatch, y, x)[1]


def test_thread_count_does_not_change_bits(monkeypatch, kernels, test_entries):
    rng = np.random.default_rng(11)
    n, groups = 200_000, 700
    y = rng.normal(size=n) * 1e3
    y[rng.random(n) < 0.05] = np.nan
    codes = rng.integers(-1, groups, size=n)
    rank = rng.permutation(groups)
    results = set()
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
        for split in (0, None):
            status, value = test_entries.correlation_ratio(y, codes, rank, kernels.numpy_sum_block(), split)
            assert status == "ok"
            results.add(bits(value))
    assert len(results) == 1
    # The same ratio through the method, the keys sorting as the ranks say.
    keys = np.array([f"g{r:04d}" for r in rank], dtype=object)
    x = pd.Series(np.where(codes < 0, None, keys[np.maximum(codes, 0)]), dtype=object)
    assert results == {bits(library_ratio(pd.Series(y), x))}


@pytest.mark.parametrize(
    "y,codes,rank,status",
    [
        ([1.0, 2.0, 3.0], [0, 1, 5], [0, 1], "bad_input"),  # code without a group
        ([1.0, 2.0, 3.0], [0, 1, 1], [0, 0], "bad_input"),  # ranks not a permutation
        ([1.0, 2.0, np.nan], [0, -1, 1], [1, 0], "too_few"),
        ([1.0, 1e308, 1e308], [0, 1, 1], [0, 1], "not_finite"),  # the mean overflows
    ],
)
def test_kernel_refuses_what_pandas_would_not_compute_alike(test_entries, y, codes, rank, status):
    assert test_entries.correlation_ratio(np.array(y), codes, rank, 0)[0] == status


def test_analysis_report_unchanged():
    rng = np.random.default_rng(4)
    n = 2000
    df = pd.DataFrame({"y": rng.normal(size=n), "y2": rng.normal(size=n)})
    for j in range(6):
        df[f"c{j}"] = text_column(rng, n, 3 + 40 * j, ["object", "categorical"][j % 2])
    df["y"] += df["c0"].map({k: i for i, k in enumerate(KEYS)}).astype(float).to_numpy()

    class Reference(profilon.EDA):
        def _correlation_ratio_num_cat(self, y, x_cat):
            return library_ratio(y, x_cat)

    native = profilon.EDA().eda_report_and_score(df, target=["y", "y2"])
    reference = Reference().eda_report_and_score(df, target=["y", "y2"])
    assert repr(native) == repr(reference)
    assert "c0" in repr(native)


def _arrow_text(pa, layout, rng, n):
    keys = np.array(KEYS + ["k1", "k2"], dtype=object)
    values = rng.choice(keys, size=n).astype(object)
    values[rng.random(n) < 0.15] = None
    # pandas keeps its text in large_string chunks whatever it is given.
    kind = pa.large_string()
    if layout == "chunks":
        cuts = sorted(rng.choice(np.arange(1, n), size=3, replace=False))
        pieces = np.split(values, cuts)
        return pa.chunked_array([pa.array(list(p), type=kind) for p in pieces], type=kind)
    if layout == "slice":
        # A chunk that starts inside its buffers.
        whole = pa.array([None, "pad"] + list(values) + ["pad"], type=kind)
        return pa.chunked_array([whole.slice(2, n)])
    return pa.chunked_array([pa.array(list(values), type=kind)])


@pytest.mark.parametrize("layout", ["one_chunk", "chunks", "slice"])
@pytest.mark.parametrize("na_value", ["NA", "nan"])
def test_arrow_text_is_coded_from_its_buffers(monkeypatch, layout, na_value):
    pa = pytest.importorskip("pyarrow")
    from pandas.core.arrays.string_arrow import ArrowStringArray

    rng = np.random.default_rng(len(layout))
    n = 600
    try:
        dtype = pd.StringDtype("pyarrow", na_value=np.nan if na_value == "nan" else pd.NA)
    except TypeError:  # pandas before 2.3 has no NaN-valued string dtype
        if na_value == "nan":
            pytest.skip("this pandas has no string dtype with NaN for missing")
        dtype = pd.StringDtype("pyarrow")
    array = ArrowStringArray(_arrow_text(pa, layout, rng, n))
    x = pd.Series(array.astype(dtype))
    y = target(rng, n, "float")
    factorized = []
    factorize = pd.factorize
    monkeypatch.setattr(pd, "factorize", lambda *a, **k: factorized.append(1) or factorize(*a, **k))
    got, through_pandas = native_ratio(monkeypatch, y, x)
    monkeypatch.setattr(pd, "factorize", factorize)
    assert not through_pandas and not factorized
    assert bits(got) == bits(library_ratio(y, x))
