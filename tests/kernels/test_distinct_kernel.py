"""The schema step's native distinct counts against pandas' Series.nunique.

The kernel is run on each column's own buffers (values, the mask of nullable
arrays, category codes, the int64 view of dates) and compared with pandas on
the same column; the analysis is compared with the path that asks pandas.
"""

import os
import signal
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import profilon

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def with_payload(bits):
    return np.array([bits], dtype=np.uint64).view(np.float64)[0]


def random_series(rng, n, kind):
    """A column of `kind` drawing from a small pool, so ties are common, with
    the extremes and oddities of its type among the draws."""
    if kind in ("float64", "float32"):
        pool = np.array([0.0, -0.0, 1.5, -2.25, np.inf, -np.inf, np.nan, with_payload(0xFFF8000000000001), 3e300])
        values = rng.choice(pool, n).astype(kind)
        wide = rng.random(n) < 0.3
        values[wide] = rng.normal(size=n)[wide]
        return pd.Series(values)
    if kind.startswith(("int", "uint")):
        info = np.iinfo(kind)
        pool = np.array([info.min, info.max, 0, 1, info.max // 3], dtype=kind)
        values = rng.choice(pool, n)
        wide = rng.random(n) < 0.5
        values[wide] = rng.integers(info.min, info.max, size=n, dtype=kind, endpoint=True)[wide]
        return pd.Series(values)
    if kind == "bool":
        return pd.Series(rng.random(n) < 0.3)
    if kind in ("Int8", "Int64", "UInt32", "Float32", "Float64", "boolean"):
        if kind == "boolean":
            values = rng.random(n) < 0.5
        elif kind.startswith("Float"):
            values = rng.choice([0.0, -0.0, 1.5, -2.0], n)
        else:
            values = rng.integers(0 if kind.startswith("U") else -3, 3, size=n)
        arr = pd.array(values, dtype=kind)
        arr[rng.random(n) < 0.3] = pd.NA
        return pd.Series(arr)
    if kind in ("datetime", "datetime_s", "timedelta", "tz"):
        days = pd.to_datetime("2000-01-01") + pd.to_timedelta(rng.integers(0, 4, size=n), unit="D")
        s = pd.Series(days)
        s[rng.random(n) < 0.3] = pd.NaT
        if kind == "datetime_s":
            return s.astype("datetime64[s]")
        if kind == "timedelta":
            return s - pd.Timestamp("2000-01-02")
        return s.dt.tz_localize("Europe/Paris") if kind == "tz" else s
    if kind == "category":
        levels = [f"l{i}" for i in range(300)]  # more than int8 codes hold
        s = pd.Series(pd.Categorical(rng.choice(levels[:5], n), categories=levels))
        s[rng.random(n) < 0.3] = np.nan
        return s
    raise AssertionError(kind)


KINDS = [
    "float64",
    "float32",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "bool",
    "Int8",
    "Int64",
    "UInt32",
    "Float32",
    "Float64",
    "boolean",
    "datetime",
    "datetime_s",
    "timedelta",
    "tz",
    "category",
]


def buffers(s):
    """(values, mask, missing) as the schema step hands a column to the kernel."""
    arr = s.array
    if isinstance(s.dtype, pd.CategoricalDtype):
        return arr.codes, None, "codes"
    if s.dtype.kind in "Mm":
        return arr.asi8, None, "nat"
    if hasattr(arr, "_mask"):
        return arr._data, arr._mask, ""
    return s.to_numpy(), None, ""


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("n", [0, 1, 2, 7, 500])
def test_kernel_matches_nunique(kernels, threads, n):
    rng = np.random.default_rng(n * 10 + threads)
    for _ in range(3):
        columns = [random_series(rng, n, kind) for kind in KINDS]
        expected = [s.nunique(dropna=True) for s in columns]
        assert kernels.distinct_counts([buffers(s) for s in columns], threads) == expected


def test_all_distinct_values_and_strided_columns(kernels):
    # Many passes of the sort (values differing in every digit) and columns
    # read from a row-major block, one value every k.
    rng = np.random.default_rng(3)
    block = rng.normal(size=(20_000, 3))
    block[::7, 1] = np.nan
    block[:, 2] = np.round(block[:, 2], 2)
    df = pd.DataFrame(block)
    ints = rng.integers(-(2**62), 2**62, size=20_000)
    got = kernels.distinct_counts([(block[:, j], None, "") for j in range(3)] + [(ints, None, "")])
    assert got == [df[j].nunique() for j in range(3)] + [pd.Series(ints).nunique()]


def test_kernel_declines_an_unmasked_nan_in_a_nullable_float(kernels):
    # pandas versions disagree on whether such a NaN is a value or missing.
    data = np.array([1.0, np.nan, 2.0])
    assert kernels.distinct_counts([(data, np.zeros(3, dtype=bool), "")]) == [None]
    assert kernels.distinct_counts([(data, np.array([False, True, False]), "")]) == [2]


def mixed_frame(rng, n):
    df = pd.DataFrame({f"{kind}_": random_series(rng, n, kind) for kind in KINDS})
    df["text"] = rng.choice(["a", "b", None], n)
    df["text_arrow"] = df["text"].astype("string[pyarrow]")
    df["zeros"] = np.where(rng.random(n) < 0.5, 0.0, -0.0)  # one value for pandas: constant
    df["nat"] = pd.Series(pd.NaT, index=df.index, dtype="datetime64[ns]")
    df["y"] = rng.normal(size=n)
    return df


class Frame(pd.DataFrame):
    @property
    def _constructor(self):
        return Frame


@pytest.fixture
def nunique_calls(monkeypatch):
    calls = []
    original = pd.Series.nunique

    def nunique(self, *args, **kwargs):
        calls.append(self.name)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.Series, "nunique", nunique)
    return calls


# pandas 2.2.0 warns inside its own methods for every subclass that sets
# _constructor (fixed in 2.2.1); nothing of ours is involved.
@pytest.mark.filterwarnings("ignore:Passing a BlockManager to Frame:DeprecationWarning")
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("n", [1, 2, 300])
def test_analysis_matches_the_pandas_path(monkeypatch, nunique_calls, threads, n):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    df = mixed_frame(np.random.default_rng(n), n)
    native = profilon.EDA().eda_report_and_score(df, target="y")
    # Text columns are counted natively too, object ones and Arrow-backed
    # ones (pandas 3's own string dtype among them); a frame subclass goes to
    # pandas entirely.
    assert nunique_calls == []
    nunique_calls.clear()
    reference = profilon.EDA().eda_report_and_score(Frame(df), target="y")
    assert nunique_calls == list(df.columns)
    assert repr(native) == repr(reference)
    assert {"zeros", "nat"} <= set(native.schema["constant_cols"])


def texts_frame(n=3000):
    """Object columns of texts of every width the interpreter stores (one,
    two and four bytes a character), equal texts in distinct objects,
    missing cells of both kinds, and columns pandas must count itself."""
    rng = np.random.default_rng(5)
    pool = ["", "a", "é", "Ж", "😀", "a\ud800"] + [f"w{k}" for k in range(3000)] + [f"ж{k}" for k in range(40)]

    def texts(missing):
        picks = rng.integers(0, len(pool), n)
        # Built one by one, so equal texts are mostly distinct objects.
        items = ["".join(list(pool[k])) for k in picks]
        for i in np.flatnonzero(rng.random(n) < missing):
            items[i] = None if i % 2 else float("nan")
        return pd.Series(items, dtype=object)

    return pd.DataFrame(
        {
            "t1": texts(0.0),
            "t2": texts(0.2),
            "t3": texts(0.5),
            "one": pd.Series(["x"] * (n - 3) + [None, float("nan"), "x"], dtype=object),
            "missing": pd.Series([None] * n, dtype=object),
            "mixed": pd.Series([f"m{k % 1100}" if k % 7 else k for k in range(n)], dtype=object),
            "np_nan": pd.Series([f"q{k}" if k % 3 else np.float64("nan") for k in range(n)], dtype=object),
            "y": rng.normal(size=n),
        }
    )


def test_object_texts_counted_as_pandas_counts(nunique_calls):
    df = texts_frame()
    report = profilon.EDA().eda_report_and_score(df, target="y")
    # Items other than a str, None or a Python float NaN leave the column to
    # pandas (a NumPy NaN scalar is a float subclass).
    assert sorted(nunique_calls) == ["mixed", "np_nan"]
    cat_cols = [c for c in df.columns if c != "y"]
    counts = {c: df[c].nunique(dropna=True) for c in cat_cols}
    high = [(c, counts[c]) for c in cat_cols if counts[c] > 1000][:3]
    assert f"High-cardinality categoricals {high!r}; consider embeddings/target encoding." in report.recommendations
    assert report.schema["constant_cols"] == [c for c in cat_cols if counts[c] <= 1]


def test_buckets_that_outgrow_their_first_table(kernels):
    # Past about two million distinct keys a bucket holds more than its
    # first table: the table grows while counting.
    values = np.arange(2_500_000, dtype=np.int64) * 7919
    values[::50] = 11
    assert kernels.distinct_counts([(values, None, "")]) == [pd.Series(values).nunique()]


def test_ctrl_c_ends_the_kernel(kernels, monkeypatch, prompt):
    monkeypatch.setenv("PROFILON_NUM_THREADS", "2")
    column = (np.random.default_rng(0).normal(size=1_000_000), None, "")
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            kernels.distinct_counts([column] * 400)
            time.sleep(10)  # the kernel finished first: the signal lands here and the time check fails
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(1.5)


@pytest.mark.skipif(not pd.__version__.startswith("2."), reason="the option exists in pandas 2 only")
def test_infinities_as_missing_leave_the_counts_to_pandas():
    df = pd.DataFrame({"a": [1.0, np.inf, -np.inf], "y": [1.0, 2.0, 4.0]})
    # Looking the deprecated option up must not warn on every analysis.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert "a" not in profilon.EDA().eda_report_and_score(df, target="y").schema["constant_cols"]
    assert [w for w in caught if issubclass(w.category, (FutureWarning, DeprecationWarning))] == []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        with pd.option_context("mode.use_inf_as_na", True):
            assert "a" in profilon.EDA().eda_report_and_score(df, target="y").schema["constant_cols"]
