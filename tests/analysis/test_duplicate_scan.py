"""The duplicate-column scan keeps one digest per column, not its row hashes:
at most the new column's hashes and one earlier column's are alive at once,
and the pairs found are the ones a comparison of all hashes finds."""

import weakref

import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def live_hashes(monkeypatch):
    """Wraps pandas' row hashing; records how many earlier hash arrays are
    still alive whenever a column is hashed."""
    original = pd.util.hash_pandas_object
    alive = set()
    seen = []

    def tracked(obj, *args, **kwargs):
        seen.append((obj.name, len(alive)))
        arr = original(obj, *args, **kwargs).to_numpy().copy()
        key = id(arr)
        alive.add(key)
        weakref.finalize(arr, alive.discard, key)
        return pd.Series(arr, copy=False)

    monkeypatch.setattr(pd.util, "hash_pandas_object", tracked)
    return seen


def test_one_earlier_column_alive_at_most(analyse, live_hashes):
    rng = np.random.default_rng(0)
    base = rng.normal(size=50)
    df = pd.DataFrame({f"u{i}": rng.normal(size=50) for i in range(4)})
    df["a"] = base
    df["b"] = base.copy()
    df["c"] = base.copy()
    assert analyse(df).schema["duplicate_cols_examples"] == [("b", "a"), ("c", "a")]
    scan = [entry for entry in live_hashes if entry[0] in df.columns]
    assert max(count for _, count in scan) <= 1
    # Every column is hashed once; an earlier one again only to confirm a match.
    assert [name for name, _ in scan] == ["u0", "u1", "u2", "u3", "a", "b", "a", "c", "a"]


@pytest.mark.parametrize(
    "columns, expected",
    [
        # equal contents, different dtypes: the float copy of integers differs
        # in its hashes, the nullable copy with missing cells hashes as objects
        (
            {
                "i": [1, 2, 3, 4],
                "f": [1.0, 2.0, 3.0, 4.0],
                "n": pd.array([1, 2, 3, 4], dtype="Int64"),
                "f2": [1.0, 2.0, 3.0, 4.0],
            },
            [("n", "i"), ("f2", "f")],
        ),
        (
            {
                "m": pd.array([1, None, 3, 4], dtype="Int64"),
                "g": [1.0, np.nan, 3.0, 4.0],
                "m2": pd.array([1, None, 3, 4], dtype="Int64"),
                "g2": [1.0, np.nan, 3.0, 4.0],
            },
            [("m2", "m"), ("g2", "g")],
        ),
    ],
)
def test_pairs_across_dtypes_and_missing_cells(analyse, columns, expected):
    df = pd.DataFrame(columns)
    pairs = analyse(df).schema["duplicate_cols_examples"]
    assert pairs == expected


def numbers_frame():
    rng = np.random.default_rng(1)
    x = rng.normal(size=40)
    ints = rng.integers(-5, 5, size=40)
    return pd.DataFrame(
        {
            "f": x,
            "o": pd.Series(x, dtype=object),  # hashed by pandas after its float inference
            "zero": np.where(x > 0, x, 0.0),
            "negzero": np.where(x > 0, x, -0.0),  # one value for pandas 3, other bits for 2
            "f32": x.astype(np.float32),
            "f32b": x.astype(np.float32),
            "i64": ints,
            "i32": ints.astype(np.int32),  # negative values widen to other bits
            "u8": np.abs(ints).astype(np.uint8),
            "i16": np.abs(ints).astype(np.int16),
            "i64b": ints.copy(),
        }
    )


@pytest.fixture
def hash_calls(monkeypatch):
    """Counts pandas' row hashing while leaving it pandas' own function to the
    scan (both names rebound to one wrapper)."""
    from pandas.core.util import hashing

    original = hashing.hash_pandas_object
    calls = []

    def counted(obj, *args, **kwargs):
        calls.append(obj.name)
        return original(obj, *args, **kwargs)

    monkeypatch.setattr(hashing, "hash_pandas_object", counted)
    monkeypatch.setattr(pd.util, "hash_pandas_object", counted)
    return calls


def test_digests_from_buffers_find_the_pairs_hashing_finds(analyse, hash_calls, monkeypatch):
    df = numbers_frame()
    # pandas 3.1 hashes -0.0 as 0.0; earlier releases hash the bits
    zeros = [("negzero", "zero")] if tuple(int(p) for p in pd.__version__.split(".")[:2]) >= (3, 1) else []
    expected = [("o", "f"), *zeros, ("f32b", "f32"), ("i16", "u8"), ("i64b", "i64")]
    assert analyse(df).schema["duplicate_cols_examples"] == expected
    # Number columns are hashed only to confirm a matching digest: the later
    # column, then its earlier partner.
    assert hash_calls == [name for pair in expected for name in pair]
    # A hash function other than pandas' own is called for every column and
    # finds the same pairs.
    hash_calls.clear()
    original = pd.util.hash_pandas_object
    monkeypatch.setattr(pd.util, "hash_pandas_object", lambda obj, **kw: original(obj, **kw))
    assert analyse(df).schema["duplicate_cols_examples"] == expected
    assert len(hash_calls) == len(df.columns) + len(expected)


def texts_frame():
    rng = np.random.default_rng(2)
    n = 60
    x = rng.normal(size=n) * 1e3
    x[::7] = np.nan
    words = pd.Series([f"w{k % 9}é" for k in range(n)], dtype=object)
    with_none = words.where(np.arange(n) % 5 != 0, None)
    zeros = np.tile([np.nan, -0.0, 0.0, 1.5], n // 4)
    return pd.DataFrame(
        {
            "g": x,
            "g_objects": pd.Series(x, dtype=object),
            "g_texts": pd.Series([None if np.isnan(v) else repr(v) for v in x], dtype=object),
            "g32": x.astype(np.float32),
            "g32b": x.astype(np.float32),
            "z_neg_first": zeros,
            "z_pos_first": np.tile([np.nan, 0.0, -0.0, 1.5], n // 4),
            "z_all_neg": np.tile([np.nan, -0.0, -0.0, 1.5], n // 4),
            "t": words,
            "t_arrow": words.astype("string[pyarrow]"),
            "t_arrow_none": with_none.astype("string[pyarrow]"),
            "t_arrow_alone": pd.Series([f"v{k % 7}" for k in range(n)], dtype="string[pyarrow]"),
            "t_cat": words.astype("category"),
            "t_cat_none": with_none.astype(pd.CategoricalDtype([*words.unique(), "never", "__NAN__"])),
            "t_cat_wide": pd.Categorical(words, categories=[f"c{k}" for k in range(300)] + list(words.unique())),
            "t_cat_alone": pd.Categorical([f"a{k % 4}" for k in range(n)]),
            "n_cat": pd.Categorical(np.arange(n) % 3),
            "t_none": with_none,
            "t_nan": with_none.fillna(np.nan),
            "t_literal": with_none.fillna("__NAN__"),
            "t_surrogate": words.where(np.arange(n) != 3, "\ud800"),
            "t_surrogate_b": words.where(np.arange(n) != 3, "\ud800"),
        }
    )


def dates_frame():
    rng = np.random.default_rng(2)
    ints = rng.integers(-5, 5, size=40)
    when = pd.date_range("2020-01-01", periods=40, freq="h")
    # in nanoseconds on every release (pandas 3.0 would keep seconds, ticks
    # equal to the integers)
    lag = pd.to_timedelta(ints, unit="s").astype("timedelta64[ns]")
    return pd.DataFrame(
        {
            "when": when,
            "i": ints,
            "when_b": when.copy(),
            # a duration hashes as its int64 ticks, so it pairs with them
            "lag": lag,
            "lag_ticks": lag.to_numpy().view(np.int64),
            # a missing date is filled with a text first: pandas hashes it
            "gaps": pd.Series(when).where(ints > 0),
            "gaps_b": pd.Series(when).where(ints > 0),
        }
    )


def test_date_digests_find_the_pairs_hashing_finds(analyse, hash_calls, monkeypatch):
    df = dates_frame()
    expected = [("when_b", "when"), ("lag_ticks", "lag"), ("gaps_b", "gaps")]
    assert analyse(df).schema["duplicate_cols_examples"] == expected
    # Dates and durations without missing cells are digested from their
    # buffers: pandas hashes them only to confirm a match.
    assert hash_calls == ["when_b", "when", "lag_ticks", "lag", "gaps", "gaps_b", "gaps"]
    hash_calls.clear()
    original = pd.util.hash_pandas_object
    monkeypatch.setattr(pd.util, "hash_pandas_object", lambda obj, **kw: original(obj, **kw))
    assert analyse(df).schema["duplicate_cols_examples"] == expected
    assert len(hash_calls) == len(df.columns) + len(expected)


@pytest.mark.parametrize(
    "columns, must_find",
    [
        (
            ["g", "g_objects", "g_texts", "g32", "g32b", "z_neg_first", "z_pos_first", "z_all_neg"],
            [("g_objects", "g"), ("g_texts", "g"), ("g32b", "g32"), ("z_all_neg", "z_neg_first")],
        ),
        (
            ["t", "t_arrow", "t_cat", "t_none", "t_nan", "t_literal", "t_surrogate", "t_surrogate_b"],
            [("t_arrow", "t"), ("t_cat", "t"), ("t_nan", "t_none"), ("t_literal", "t_none")],
        ),
        (
            ["t", "t_none", "t_cat", "t_cat_none", "t_cat_wide", "t_cat_alone", "n_cat", "t_surrogate"],
            [("t_cat", "t"), ("t_cat_none", "t_none"), ("t_cat_wide", "t")],
        ),
        (
            ["t_arrow_alone", "t_none", "t_arrow", "t_arrow_none", "t", "t_literal"],
            [("t_arrow_none", "t_none"), ("t", "t_arrow"), ("t_literal", "t_none")],
        ),
    ],
    ids=["floats-with-missing", "texts", "categories", "arrow-texts"],
)
def test_native_text_digests_find_the_pairs_hashing_finds(analyse, hash_calls, monkeypatch, columns, must_find):
    native_pairs = analyse(texts_frame()[columns]).schema["duplicate_cols_examples"]
    native_calls = list(hash_calls)
    # The same scan with every column hashed by pandas.
    hash_calls.clear()
    original = pd.util.hash_pandas_object
    monkeypatch.setattr(pd.util, "hash_pandas_object", lambda obj, **kw: original(obj, **kw))
    assert analyse(texts_frame()[columns]).schema["duplicate_cols_examples"] == native_pairs
    df = texts_frame()
    filled = pd.util.hash_pandas_object(df["g"].astype(object).fillna("__NAN__"), index=False)
    texts = pd.util.hash_pandas_object(df["g_texts"].fillna("__NAN__"), index=False)
    if not filled.equals(texts):
        # NumPy 2 writes repr(np.float64) as "np.float64(...)", and pandas 3
        # hashes float objects otherwise than their texts: no such pair.
        must_find = [pair for pair in must_find if pair != ("g_texts", "g")]
    assert set(must_find) <= set(native_pairs)
    # Floats with missing cells, object texts and text categories are
    # digested natively: pandas hashes only the others and the matches to
    # confirm.
    assert len(native_calls) < len(hash_calls)
    assert "t_cat_alone" not in native_calls
    assert "t_arrow_alone" not in native_calls
