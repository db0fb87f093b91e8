"""The row hashes of a column's share through the native kernels, for the
columns pandas hashes slowly: texts (pandas factorizes them and hashes each
level's UTF-8 bytes), floats with missing cells (filled with a text, so
pandas turns every value into its str() before hashing it) and plain numbers.

Each road gives the very hashes `pd.util.hash_pandas_object` gives the
filled share, and the facts the duplicate scan records of the filled share
(its dtype, whether pandas hashed it through texts, the witnesses that steer
a later hashing). Anything else (other dtypes, objects that are not all
str, pandas versions whose hashing was not read) answers None and takes
pandas' own road.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd


@dataclass
class NativeHashes:
    hashes: np.ndarray
    # str() of the filled share's dtype
    dtype: str
    text_fallback: bool = False
    bytes_without_fallback: bool = False
    witnesses: dict[Any, Any] = field(default_factory=dict)


def _canonical_floats() -> bool | None:
    """How the running pandas hashes float bits: True when -0.0 is 0.0 and
    every NaN alike (3.1), False when the bits are taken as they are (2.2,
    2.3), None for a version whose hashing was not read."""
    from pandas.core.util import hashing

    if pd.util.hash_pandas_object is not hashing.hash_pandas_object:
        return None
    # pandas 2's deprecated option makes ±inf missing, and so filled.
    missing = __import__("pandas.core.dtypes.missing", fromlist=["INF_AS_NA"])
    if getattr(missing, "INF_AS_NA", False):
        return None
    major, minor = (int(x) for x in pd.__version__.split(".")[:2])
    if (major, minor) == (3, 1):
        return True
    if major == 2 and minor >= 2:
        return False
    return None


def _u64(raw: bytes) -> np.ndarray:
    return np.frombuffer(raw, dtype=np.uint64)


def _first_text(values: np.ndarray) -> dict[Any, Any]:
    for v in values:
        if type(v) is str:
            return {("first", str, None): v}
    return {}


def _arrow_text_hashes(s: pd.Series, fill: str) -> np.ndarray | None:
    import pyarrow as pa

    import _profilon_kernels as kernels

    chunked = s.array.__arrow_array__()
    out = []
    for chunk in chunked.chunks:
        if chunk.type == pa.string():
            width = np.int32
        elif chunk.type == pa.large_string():
            width = np.int64
        else:
            return None
        buffers = chunk.buffers()
        n = len(chunk)
        offsets = np.frombuffer(buffers[1], dtype=width, count=n + 1, offset=chunk.offset * np.dtype(width).itemsize)
        data = np.frombuffer(buffers[2], dtype=np.uint8) if buffers[2] is not None else np.zeros(0, np.uint8)
        missing = chunk.is_null().to_numpy(zero_copy_only=False) if chunk.null_count else None
        out.append(_u64(kernels.text_row_hashes(offsets, data, missing, fill.encode("utf-8"))))
    return np.concatenate(out) if out else np.zeros(0, np.uint64)


def native_row_hashes(s: pd.Series, has_missing: bool, fill: str) -> NativeHashes | None:
    """The duplicate scan's row hashes of the share `s` of a column whose
    missing flag (over the whole column) is `has_missing`, or None."""
    if not len(s):
        return None
    canonical = _canonical_floats()
    if canonical is None:
        return None
    import _profilon_kernels as kernels

    dtype = s.dtype
    if isinstance(dtype, pd.StringDtype):
        # Missing cells are always filled, whatever the flag says.
        if dtype.storage in ("pyarrow", "pyarrow_numpy"):
            hashes = _arrow_text_hashes(s, fill)
        else:
            raw = kernels.object_text_row_hashes(s.to_numpy(dtype=object, na_value=None), fill)
            hashes = None if raw is None else _u64(raw)
        return None if hashes is None else NativeHashes(hashes, str(dtype))
    if not isinstance(dtype, np.dtype):
        return None
    kind = dtype.kind
    plain = kind in "iubmM" or (kind == "f" and dtype.itemsize in (4, 8))
    if plain and not has_missing:
        values = s.to_numpy()
        if kind in "mM":
            values = values.view(np.int64)
        return NativeHashes(_u64(kernels.row_hashes(values, kind == "f", canonical)), str(dtype))
    if kind == "f" and plain:
        # Filled as objects: every float is hashed through its str().
        values = s.to_numpy()
        present = values[~np.isnan(values)]
        witnesses = {("first", float, None): float(present[0])} if len(present) else {}
        hashes = _u64(kernels.float_text_row_hashes(values, fill))
        return NativeHashes(hashes, "object", text_fallback=bool(len(present)), witnesses=witnesses)
    if kind == "O":
        values = s.to_numpy()
        raw = kernels.object_text_row_hashes(values, fill if has_missing else None)
        if raw is None:
            return None
        # Every item is a str (or a missing cell that becomes one): the
        # filled dtype is whatever pandas makes of a share of texts.
        from .duplicates import _filled_column, _Stage

        head = _filled_column(s.iloc[:1], has_missing, _Stage([]))
        return NativeHashes(_u64(raw), str(head.dtype), witnesses=_first_text(values))
    return None
