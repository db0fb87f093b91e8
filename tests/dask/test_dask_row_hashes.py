"""The native row hashes of the duplicate scan against pandas' own hashing,
kernel by kernel and as the scan records a share."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

pytest.importorskip("dask")

import _profilon_kernels as kernels  # noqa: E402
from _profilon_dask import duplicates  # noqa: E402
from _profilon_dask.native_hashes import native_row_hashes  # noqa: E402

FILL = duplicates.FILL_TEXT


def pandas_hashes(s: pd.Series) -> np.ndarray:
    return pd.util.hash_pandas_object(s, index=False).to_numpy()


def u64(raw):
    return np.frombuffer(raw, dtype=np.uint64)


def random_texts(n, seed):
    rng = np.random.default_rng(seed)
    alphabet = list("ab 0_") + ["é", "ß", "€", "中", "😀", "\x00"]
    return ["".join(rng.choice(alphabet, size=rng.integers(0, 20))) for _ in range(n)]


def random_floats(n, seed):
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2**63, size=n, dtype=np.int64).view(np.float64)
    special = [0.0, -0.0, 1e16, 1e15, 1e-5, 1e-4, 0.1, 5e-324, 1.7976931348623157e308, np.inf, -np.inf, 123.0]
    scaled = rng.standard_normal(n) * 10.0 ** rng.integers(-20, 20, size=n)
    out = np.concatenate([special, bits[: n // 2], scaled[: n // 2]])
    out[rng.random(len(out)) < 0.1] = np.nan
    return out


@pytest.mark.parametrize("seed", [0, 1])
def test_text_hashes_equal_pandas(seed):
    texts = random_texts(500, seed)
    texts[3] = None
    expected = pandas_hashes(pd.Series(texts, dtype=object).fillna(FILL))
    assert np.array_equal(u64(kernels.object_text_row_hashes(texts, FILL)), expected)
    for kind in (pa.string(), pa.large_string()):
        whole = pa.array(texts, kind)
        # A slice keeps the parent's buffers: the offsets start mid-buffer.
        part = whole.slice(7, 300)
        got, _ = native_row_hashes(pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array([part]))), False, FILL)
        assert np.array_equal(got, expected[7:307])


def test_float_texts_are_the_interpreters_repr(test_entries):
    values = random_floats(200_000, 3)
    values = values[~np.isnan(values)].tolist()
    assert [test_entries.float_repr(x) for x in values] == [repr(x) for x in values]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("zero_first", [0.0, -0.0])
def test_float_texts_equal_pandas(dtype, zero_first):
    with np.errstate(over="ignore"):
        # Doubles beyond float32's range become infinities, which it hashes too.
        values = random_floats(400, 2).astype(dtype)
    values[0], values[5] = zero_first, -zero_first
    filled = pd.Series(values).astype(object).fillna(FILL)
    assert np.array_equal(u64(kernels.float_text_row_hashes(values, FILL)), pandas_hashes(filled))


@pytest.mark.parametrize(
    "values, fill",
    [
        (["a", 1], None),
        (["a", b"b"], None),
        (["a", None], None),
        (["a", pd.NA], FILL),
        (["a", "\ud800"], None),
    ],
    ids=["number", "bytes", "missing-without-fill", "pandas-missing", "lone-surrogate"],
)
def test_object_texts_decline_what_pandas_hashes_otherwise(values, fill):
    assert kernels.object_text_row_hashes(values, fill) is None


@pytest.mark.parametrize(
    "offsets, read",
    [([0, 2, 1], False), ([1, 2], True), ([0, 5], None), ([-1, 0], None)],
    ids=["falling", "ok-inside", "past-end", "negative"],
)
def test_text_offsets_are_checked(offsets, read):
    # pyarrow builds an array of falling offsets without looking at them: the
    # kernel must not read such text, and leaves it to pandas. Offsets past
    # the data or below zero pyarrow refuses itself.
    offsets = np.array(offsets, dtype=np.int32)
    build = pa.StringArray.from_buffers
    if read is None:
        with pytest.raises(pa.ArrowInvalid):
            build(len(offsets) - 1, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"abc"))
        return
    rows = len(offsets) - 1
    s = pd.Series(pd.arrays.ArrowExtensionArray(build(rows, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"abc"))))
    got = kernels.text_row_hashes(s, b"")
    assert (u64(got).shape == (rows,)) if read else got is None


def share_cases():
    n = 60
    i = np.arange(n)
    floats = np.where(i % 7 == 0, np.nan, i / 4 - 3)
    floats[10], floats[12] = -0.0, 0.0
    texts = pd.Series([f"t{k % 5}é" for k in i], dtype=object)
    return {
        "ints": (pd.Series(i % 9), False),
        "int32": (pd.Series((i % 9).astype(np.int32)), False),
        "uint8": (pd.Series((i % 9).astype(np.uint8)), False),
        "bools": (pd.Series(i % 2 == 0), False),
        "floats-whole": (pd.Series(i / 3 - 1), False),
        "floats-signed-zeros": (pd.Series(np.where(i % 2 == 0, -0.0, 0.0)), False),
        "float32": (pd.Series((i / 3).astype(np.float32)), False),
        "dates": (pd.Series(pd.date_range("2024-01-01", periods=n, freq="h")), False),
        "floats-missing": (pd.Series(floats), True),
        "floats-missing-elsewhere": (pd.Series(i / 8.0), True),
        "floats-all-missing": (pd.Series(np.full(n, np.nan)), True),
        "float32-missing": (pd.Series(floats.astype(np.float32)), True),
        "object-text": (texts, False),
        "object-text-missing": (texts.where(i % 6 != 0), True),
        "object-text-missing-elsewhere": (texts, True),
        "string-arrow": (texts.where(i % 6 != 0).astype("string[pyarrow]"), True),
        "string-python": (texts.where(i % 6 != 0).astype("string[python]"), True),
    }


CASES = share_cases()


@pytest.mark.parametrize("name", list(CASES))
def test_shares_are_recorded_as_pandas_records_them(name):
    s, has_missing = CASES[name]
    native = native_row_hashes(s, has_missing, FILL)
    # Every case above is one the native road takes.
    assert native is not None
    hashes, stage = duplicates._column_row_hashes(s, has_missing, [])
    assert np.array_equal(native[0], hashes)
    assert native[1] == str(stage.filled.dtype)


@pytest.mark.parametrize(
    "s, has_missing",
    [
        (pd.Series([1, 2], dtype=object), False),
        (pd.Series(pd.array([1, None], dtype="Int64")), True),
        (pd.Series(pd.Categorical(["a", "b"])), False),
        (pd.Series(pd.date_range("2024", periods=2, tz="UTC")), False),
        (pd.Series(pd.to_datetime(["2024-01-01", None])), True),
        (pd.Series([], dtype=np.float64), True),
    ],
    ids=["object-numbers", "nullable-ints", "categorical", "tz-dates", "dates-missing", "empty"],
)
def test_other_shares_take_pandas_road(s, has_missing):
    assert native_row_hashes(s, has_missing, FILL) is None
