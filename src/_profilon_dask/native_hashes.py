"""Kernel inputs from a partition's columns, and the duplicate scan's
native roads for the shares pandas hashes slowly (texts, floats with missing
cells, plain numbers): each gives the very hashes `pd.util.hash_pandas_object`
gives the filled share, or the duplicate kernel's input to digest; anything
else answers None and takes pandas' road."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels


def _as_float(s: pd.Series) -> np.ndarray:
    # The distribution step's `astype(float)`; a float64 column's own buffer.
    return s.to_numpy() if s.dtype == np.float64 else np.asarray(s.astype(float).to_numpy(), dtype=np.float64)


# How the figures read a column, each as its in-memory step does: "column"
# as the distribution step, "target" as the target diagnostics, "float" as
# the leakage check's `to_numpy(float64)`, "stamps" as nanoseconds since the
# epoch (UTC; NaT the smallest int64).
_READS = {
    "column": _as_float,
    "target": lambda s: pd.to_numeric(s, errors="coerce").to_numpy(dtype="float64", na_value=np.nan),
    "float": lambda s: s.to_numpy(dtype=np.float64, na_value=np.nan),
    "stamps": lambda s: pd.DatetimeIndex(s).as_unit("ns").asi8,
}


def read(values: Any, how: str) -> np.ndarray:
    """A column (or index) as the kernel input `how` names, contiguous and
    never written to."""
    return np.ascontiguousarray(_READS[how](values))


class Inputs:
    """A partition's columns as kernel inputs, each conversion made once
    however many figures read it."""

    def __init__(self, part: pd.DataFrame) -> None:
        self.part = part
        self._held: dict[tuple[int, str], tuple[Any, np.ndarray]] = {}

    def __call__(self, label: Any, how: str) -> np.ndarray:
        # By identity: labels such as 1 and True are one dict key.
        held = self._held.get((id(label), how))
        if held is None or held[0] is not label:
            held = self._held[id(label), how] = (label, read(self.part[label], how))
        return held[1]


def _canonical_floats() -> bool | None:
    """Whether the running pandas hashes -0.0 as 0.0 and every NaN alike
    (3.1) or takes the bits as they are; None for one whose hashing was not
    read, or whose deprecated option makes ±inf missing (and so filled)."""
    from pandas.core.util import hashing

    missing = __import__("pandas.core.dtypes.missing", fromlist=["INF_AS_NA"])
    if pd.util.hash_pandas_object is not hashing.hash_pandas_object or getattr(missing, "INF_AS_NA", False):
        return None
    if not kernels.release_window("pandas_row_hashes", pd):
        return None
    return kernels.release_window("pandas_hashes_zero_as_positive", pd)


def _u64(raw: bytes) -> np.ndarray:
    return np.frombuffer(raw, dtype=np.uint64)


def _plain_numbers(s: pd.Series) -> np.ndarray | None:
    """A share of NumPy numbers (dates and durations as int64 ticks)."""
    kind, size = (s.dtype.kind, s.dtype.itemsize) if isinstance(s.dtype, np.dtype) else ("", 0)
    if not (kind and kind in "iubmM" or (kind == "f" and size in (4, 8))):
        return None
    return s.to_numpy().view(np.int64) if kind in "mM" else s.to_numpy()


def native_row_hashes(
    s: pd.Series, has_missing: bool, fill: str, zero: float | None = None
) -> tuple[np.ndarray, str] | None:
    """The duplicate scan's row hashes of the share `s` of a column whose
    missing flag is `has_missing` and str() of the filled share's dtype, or
    None. `zero`: the whole column's first zero for floats with missing
    cells, whose text every zero takes."""
    canonical = _canonical_floats()
    if not len(s) or canonical is None:
        return None
    dtype, values = s.dtype, _plain_numbers(s)
    if isinstance(dtype, pd.StringDtype):
        # Missing cells are always filled, whatever the flag says.
        raw = kernels.text_row_hashes(s, fill.encode("utf-8"))
        if raw is None:
            raw = kernels.object_text_row_hashes(s.to_numpy(dtype=object, na_value=None), fill)
        return None if raw is None else (_u64(raw), str(dtype))
    if values is not None and not has_missing:
        return _u64(kernels.row_hashes(values, dtype.kind == "f", canonical)), str(dtype)
    if values is not None and dtype.kind == "f":
        return _u64(kernels.float_text_row_hashes(values, fill, zero)), "object"
    objects = isinstance(dtype, np.dtype) and dtype.kind == "O"
    raw = kernels.object_text_row_hashes(s.to_numpy(), fill if has_missing else None) if objects else None
    if raw is None:
        return None
    # Texts and missing cells alone: the dtype pandas makes of them once filled.
    from .duplicates import _filled_column, _Stage

    return _u64(raw), str(_filled_column(s.iloc[:1], has_missing, _Stage([])).dtype)


def could_be_float_texts(s: pd.Series, fill: str) -> bool:
    """Whether the share `s`, filled with `fill`, could hash in every row as
    a float's str() or `fill` does: False only when a text of it rules that
    out. Shares of other than texts or objects could."""
    if not fill or not len(s):
        return True
    try:
        dtype, could = s.dtype, kernels.text_could_be_float_texts(s, fill)
        if could is not None:
            return could
        if isinstance(dtype, pd.CategoricalDtype):
            if s.cat.categories.inferred_type != "string":
                return True
            # The other rows are texts of the categories they use.
            codes = s.cat.codes.to_numpy()
            values = np.asarray(s.cat.categories, dtype=object)[np.unique(codes[codes >= 0])]
        elif isinstance(dtype, pd.StringDtype):
            values = s.to_numpy(dtype=object, na_value=None)
        elif isinstance(dtype, np.dtype) and dtype.kind == "O":
            values = s.to_numpy()
        else:
            return True
        return kernels.objects_could_be_float_texts(values, fill)
    except Exception:
        return True


def share_road(s: pd.Series, has_missing: bool, fill: str) -> tuple[Any, ...] | None:
    """The duplicate kernel's road of the share `s` (column's missing flag
    `has_missing`; `kernels.duplicate_partial`), or None: pandas' road."""
    canonical, values = _canonical_floats(), _plain_numbers(s)
    if canonical is None:
        return None
    if values is not None and has_missing and s.dtype.kind == "f":
        return ("values", values)
    if values is not None and len(s) and not has_missing:
        return ("numbers", values, s.dtype.kind == "f", canonical, str(s.dtype))
    native = native_row_hashes(s, has_missing, fill)
    # Texts alone: their facts are the kernel's defaults, and the first text is their witness.
    objects = s.to_numpy() if native is not None and s.dtype == object else None
    return None if native is None else ("hashes", *native, could_be_float_texts(s, fill), None, objects)
