"""A partition's columns as the native kernels read them, for the figures
of every pass: plain, masked and date numbers as buffers (`native_input`),
and the distinct texts of Arrow-backed text, read from its buffers by the
kernels as in memory, coded in first-seen order (`text_levels`,
`arrow_text_codes`), which stands for a dictionary encoding or value_counts
without a Python object per row."""

from __future__ import annotations

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


def text_levels(s: pd.Series) -> tuple[np.ndarray, np.ndarray, int] | None:
    """The distinct texts of Arrow-backed text `s` in first-seen order (as
    a dictionary encoding numbers them): (the row each first occurs at, its
    count, the missing cells); None for any other Series. Arrow text is
    UTF-8, so two texts are equal exactly where the str objects pandas would
    build from them are."""
    coded = kernels.text_codes(s, False)
    return None if coded is None else coded[1:]


def arrow_text_codes(col: pd.Series) -> tuple[np.ndarray, np.ndarray] | None:
    """Arrow-backed text as (int64 codes in first-seen order, -1 where
    missing; the distinct values as str objects), None for any other
    Series: a Python object per distinct value only."""
    coded = kernels.text_codes(col, True)
    return None if coded is None else (coded[0], col.iloc[coded[1]].to_numpy(dtype=object))
