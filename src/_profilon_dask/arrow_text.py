"""A partition's columns as the native kernels read them, for the figures
of every pass: plain, masked and date numbers as buffers (`native_input`),
Arrow-backed text from its chunks' buffers (`arrow_text`, `text_chunks`) and
its distinct texts coded in first-seen order (`text_codes`,
`arrow_text_codes`), which stands for a dictionary encoding or value_counts
without a Python object per row."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

_NATIVE_FLOATS = (np.dtype(np.float32), np.dtype(np.float64))
_MASKED_DTYPES = (pd.BooleanDtype, pd.Int8Dtype, pd.Int16Dtype, pd.Int32Dtype, pd.Int64Dtype)
_MASKED_DTYPES += (pd.UInt8Dtype, pd.UInt16Dtype, pd.UInt32Dtype, pd.UInt64Dtype)


def native_kind(dtype: Any) -> str | None:
    """How the kernels read a column of `dtype` ("values", "masked", "dates",
    "tz"), or None: nullable floats (pandas versions differ on their unmasked
    NaN), Arrow-backed numbers, text, objects, swapped byte orders."""
    if isinstance(dtype, np.dtype):
        if not dtype.isnative:
            return None
        if dtype.kind in "mM":
            return "dates"
        ok = dtype.kind == "b" or (dtype.kind in "iu" and dtype.itemsize <= 8) or dtype in _NATIVE_FLOATS
        return "values" if ok else None
    if isinstance(dtype, pd.DatetimeTZDtype):
        return "tz"
    return "masked" if isinstance(dtype, _MASKED_DTYPES) else None


def native_input(s: pd.Series, dtype: Any) -> tuple[Any, ...] | None:
    """(values, mask, missing) of a share as the kernels read it; None for a
    share whose dtype is not the metadata's `dtype`."""
    kind = native_kind(dtype)
    if kind is None or s.dtype != dtype:
        return None
    if kind == "values":
        return s.to_numpy(), None, ""
    if kind == "dates":
        return s.to_numpy().view(np.int64), None, "nat"
    if kind == "tz":
        return s.array.asi8, None, "nat"
    numpy_dtype = dtype.numpy_dtype
    return s.to_numpy(dtype=numpy_dtype, na_value=numpy_dtype.type(0)), s.isna().to_numpy(), ""


def arrow_text(s: pd.Series) -> Any | None:
    """The pyarrow ChunkedArray of a Series of Arrow-backed text (string or
    large_string chunks), else None."""
    dtype = s.dtype
    arrow_backed = isinstance(dtype, pd.StringDtype) and dtype.storage != "python"
    if not arrow_backed and isinstance(dtype, pd.ArrowDtype):
        arrow_backed = True
    if not arrow_backed:
        return None
    import pyarrow as pa

    data = getattr(s.array, "_pa_array", None)
    if data is None:
        data = s.array.__arrow_array__()
    if isinstance(data, pa.Array):
        data = pa.chunked_array([data])
    if not (pa.types.is_string(data.type) or pa.types.is_large_string(data.type)):
        return None
    return data


def text_chunks(data: Any) -> list[tuple[np.ndarray, np.ndarray, np.ndarray | None]]:
    """(offsets, data, missing) of each chunk, the buffers read in place."""
    import pyarrow as pa

    width = np.int64 if pa.types.is_large_string(data.type) else np.int32
    out = []
    for chunk in data.chunks:
        buffers = chunk.buffers()
        n = len(chunk)
        offsets = np.frombuffer(buffers[1], dtype=width, count=n + 1, offset=chunk.offset * np.dtype(width).itemsize)
        raw = np.frombuffer(buffers[2], dtype=np.uint8) if buffers[2] is not None else np.zeros(0, np.uint8)
        missing = chunk.is_null().to_numpy(zero_copy_only=False) if chunk.null_count else None
        out.append((offsets, raw, missing))
    return out


@dataclass
class TextCodes:
    codes: np.ndarray | None  # int64 per row, -1 where missing (when asked for)
    first: np.ndarray  # per code, the row it first occurs at
    counts: np.ndarray  # per code
    missing: int
    hashes: np.ndarray | None  # pandas' hash of each distinct text


def text_codes(s: pd.Series, codes: bool = True, hashes: bool = False) -> TextCodes | None:
    """The distinct texts of Arrow-backed text `s` in first-seen order (as
    a dictionary encoding numbers them), None for any other Series. Arrow
    text is UTF-8, so two texts are equal exactly where the str objects
    pandas would build from them are."""
    data = arrow_text(s)
    if data is None:
        return None
    return TextCodes(*kernels.text_codes(text_chunks(data), codes, hashes))


def arrow_text_codes(col: pd.Series) -> tuple[np.ndarray, np.ndarray] | None:
    """Arrow-backed text as (int64 codes in first-seen order, -1 where
    missing; the distinct values as str objects), None for any other
    Series: a Python object per distinct value only."""
    coded = text_codes(col)
    if coded is None:
        return None
    import pyarrow as pa

    uniques = arrow_text(col).take(pa.array(coded.first)).combine_chunks().to_numpy(zero_copy_only=False)
    return coded.codes, uniques
