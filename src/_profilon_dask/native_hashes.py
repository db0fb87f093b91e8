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

The candidate pass needs less than the hashes: a digest that is equal for
every two columns whose hashes are equal (`native_digest`). Plain numbers
are digested block by block without the hash array. Floats with missing
cells are digested by their values instead of the texts of their values:
str() tells every two floats apart except the zeros, which pandas gives the
text of the column's first zero, so the values (float32 widened exactly,
every NaN alike, every zero as +0.0) are equal wherever the texts are. Such
a digest can no longer meet the digest of a text column holding those very
texts, so each share also tells whether it could hold them at all
(`could_be_float_texts`): the pairs it might make are compared by their
hashes in the confirm pass.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from itertools import repeat
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
    2.3, 3.0), None for a version whose hashing was not read."""
    from pandas.core.util import hashing

    if pd.util.hash_pandas_object is not hashing.hash_pandas_object:
        return None
    # pandas 2's deprecated option makes ±inf missing, and so filled.
    missing = __import__("pandas.core.dtypes.missing", fromlist=["INF_AS_NA"])
    if getattr(missing, "INF_AS_NA", False):
        return None
    import _profilon_kernels

    if not _profilon_kernels.release_window("pandas_row_hashes", pd):
        return None
    return _profilon_kernels.release_window("pandas_hashes_zero_as_positive", pd)


def _u64(raw: bytes) -> np.ndarray:
    return np.frombuffer(raw, dtype=np.uint64)


def hashes_digest(words: np.ndarray) -> bytes:
    """The digest of a share's 8-byte words (row hashes, or float values):
    the native FNV over them, a pass as fast as reading them (equal digests
    are only candidates; the confirm pass compares the hashes themselves)."""
    import _profilon_kernels as kernels

    return int(kernels.fnv_digest(np.ascontiguousarray(words, dtype=np.uint64))).to_bytes(8, "little")


def _first_text(values: np.ndarray) -> dict[Any, Any]:
    for v in values:
        if type(v) is str:
            return {("first", str, None): v}
    return {}


def _arrow_text_hashes(s: pd.Series, fill: str) -> np.ndarray | None:
    import _profilon_kernels as kernels

    from .arrow_text import arrow_text, text_chunks

    data = arrow_text(s)
    if data is None:
        return None
    out = [_u64(kernels.text_row_hashes(*chunk, fill.encode("utf-8"))) for chunk in text_chunks(data)]
    return np.concatenate(out) if out else np.zeros(0, np.uint64)


def _with_first_zero(values: np.ndarray, hashes: np.ndarray, zero: float, fill: str) -> np.ndarray:
    import _profilon_kernels as kernels

    is_zero = values == 0
    if not is_zero.any() or np.signbit(values[np.argmax(is_zero)]) == np.signbit(zero):
        return hashes
    out = hashes.copy()
    out[is_zero] = _u64(kernels.float_text_row_hashes(np.array([zero]), fill))[0]
    return out


def native_row_hashes(s: pd.Series, has_missing: bool, fill: str, zero: float | None = None) -> NativeHashes | None:
    """The duplicate scan's row hashes of the share `s` of a column whose
    missing flag (over the whole column) is `has_missing`, or None. `zero`
    is the whole column's first zero (0.0 or -0.0) for a float column with
    missing cells: pandas gives every zero the text of that one, where the
    share alone would give them the text of its own first zero."""
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
        if zero is not None:
            hashes = _with_first_zero(values, hashes, zero, fill)
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


# The characters a float's str() can start with: a digit, a sign or "inf".
_FLOAT_TEXT_STARTS = "0123456789-i"


def _arrow_could_be_float_texts(data: Any, fill: str) -> bool:
    from .arrow_text import text_chunks

    allowed = np.zeros(256, dtype=bool)
    # Every start is ASCII, but the fill's: its first byte is a lead byte,
    # which is as good a necessary condition.
    allowed[np.frombuffer((_FLOAT_TEXT_STARTS + fill[0]).encode("utf-8"), dtype=np.uint8)] = True
    for offsets, raw, missing in text_chunks(data):
        starts, ends = offsets[:-1], offsets[1:]
        if missing is not None:
            starts, ends = starts[~missing], ends[~missing]
        if not len(starts):
            continue
        # The first text mostly settles it; an empty text is no float's.
        if ends[0] == starts[0] or not allowed[raw[starts[0]]]:
            return False
        if (ends == starts).any() or not allowed[raw[starts]].all():
            return False
    return True


def _objects_could_be_float_texts(values: np.ndarray, fill: str) -> bool:
    starts = _FLOAT_TEXT_STARTS + fill[0]
    # A text keeps its own hash whether or not pandas hashes the share
    # through the texts of its items: one text that no float's str() can be
    # rules the share out.
    first = next((v for v in values if type(v) is str), None)
    if first is not None and (not first or first[0] not in starts):
        return False
    present = values[~pd.isna(values)]
    try:
        # Items that are not str (whose texts are their str(), or bytes
        # hashed as they are) are not inspected: the share could.
        firsts = "".join(map(str.__getitem__, present, repeat(0)))
    except TypeError:
        return True
    except IndexError:
        return False
    return re.fullmatch("[" + "".join(map(re.escape, starts)) + "]*", firsts) is not None


def _categories_could_be_float_texts(s: pd.Series, fill: str) -> bool:
    categories = s.cat.categories
    if categories.inferred_type != "string":
        return True
    # A missing cell becomes the fill; the other rows are texts of the
    # categories they use.
    codes = s.cat.codes.to_numpy()
    used = np.bincount(codes[codes >= 0], minlength=len(categories)) > 0
    return _objects_could_be_float_texts(np.asarray(categories, dtype=object)[used], fill)


def could_be_float_texts(s: pd.Series, fill: str) -> bool:
    """Whether the share `s`, filled with `fill`, could hash in every row as
    the str() of a float or `fill` does: False only when some text of it
    rules that out (an empty text, or one that starts where none of those
    starts). Shares that are not texts, objects or categoricals of texts
    count as could; so do all shares when the fill is empty."""
    if not fill or not len(s):
        return True
    from .arrow_text import arrow_text

    dtype = s.dtype
    try:
        data = arrow_text(s)
        if data is not None:
            return _arrow_could_be_float_texts(data, fill)
        if isinstance(dtype, pd.StringDtype):
            return _objects_could_be_float_texts(s.to_numpy(dtype=object, na_value=None), fill)
        if isinstance(dtype, pd.CategoricalDtype):
            return _categories_could_be_float_texts(s, fill)
        if isinstance(dtype, np.dtype) and dtype.kind == "O":
            return _objects_could_be_float_texts(s.to_numpy(), fill)
    except Exception:
        return True
    return True


@dataclass
class NativeDigest:
    """A share's candidate digest and the facts of its filled share."""

    digest: bytes
    # "values": the digest of a float share's values; "hashes": of its row
    # hashes as pandas makes them
    road: str
    # str() of the filled share's dtype; None for an empty share, whose
    # facts are not recorded
    dtype: str | None
    text_fallback: bool = False
    bytes_without_fallback: bool = False
    witnesses: dict[Any, Any] = field(default_factory=dict)
    # False for the roads that never hash through texts: a plain number's
    # hash mixes its bits, and a float share digested by its values is
    # compared with the others by that digest
    could_be_float_texts: bool = False
    # the share's first zero, 0.0 or -0.0 ("values" road), None without one
    first_zero: float | None = None


def _float_values_digest(values: np.ndarray) -> NativeDigest:
    nan = np.isnan(values)
    # Widened exactly; -0.0 + 0.0 is +0.0. Each NaN pattern as the one NaN.
    canonical = np.where(nan, np.nan, np.add(values, 0.0, dtype=np.float64))
    digest = hashes_digest(canonical.view(np.uint64))
    if not len(values):
        # An empty share rules nothing out, whatever its column holds.
        return NativeDigest(digest, "values", None, could_be_float_texts=True)
    is_zero = canonical == 0.0
    first_zero = float(values[np.argmax(is_zero)]) if is_zero.any() else None
    first = int(np.argmin(nan))
    present = not nan[first]
    witnesses = {("first", float, None): float(values[first])} if present else {}
    return NativeDigest(digest, "values", "object", text_fallback=present, witnesses=witnesses, first_zero=first_zero)


def native_digest(s: pd.Series, has_missing: bool, fill: str) -> NativeDigest | None:
    """The duplicate scan's candidate digest of the share `s` of a column
    whose missing flag is `has_missing`, or None (pandas' road). Two columns
    whose filled row hashes are equal in every share get equal digests:
    both by their row hashes, or both floats with missing cells digested by
    their values; a float column's hashes can also equal those of a column
    whose shares all could hold their texts."""
    canonical = _canonical_floats()
    if canonical is None:
        return None
    dtype = s.dtype
    if isinstance(dtype, np.dtype):
        kind = dtype.kind
        if kind == "f" and dtype.itemsize in (4, 8) and has_missing:
            return _float_values_digest(s.to_numpy())
        if len(s) and not has_missing and (kind in "iubmM" or (kind == "f" and dtype.itemsize in (4, 8))):
            import _profilon_kernels as kernels

            values = s.to_numpy()
            if kind in "mM":
                values = values.view(np.int64)
            digest = int(kernels.row_hash_digest(values, kind == "f", canonical)).to_bytes(8, "little")
            return NativeDigest(digest, "hashes", str(dtype))
    native = native_row_hashes(s, has_missing, fill)
    if native is None:
        return None
    return NativeDigest(
        hashes_digest(native.hashes),
        "hashes",
        native.dtype,
        native.text_fallback,
        native.bytes_without_fallback,
        native.witnesses,
        could_be_float_texts=could_be_float_texts(s, fill),
    )
