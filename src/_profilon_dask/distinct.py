"""Distinct counts of every column and rare-level shares of the categorical
columns: one read of the data, joined to whichever pass the caller gives.

The in-memory schema step takes `df[c].nunique(dropna=True)` of every column
(its native kernel counts the same thing) and, for each of the first
`max_cat_features` categorical columns, `vc = df[c].value_counts(dropna=False)`,
`thr = max(int(0.01 * vc.sum()), 2)` and the share `vc[vc <= thr].sum() /
vc.sum()`, leaving out a column with no rows. Both are functions of one
table per column: how many cells hold each level. Each partition counts its
own levels; the counts are united by level, on the workers, so that the
client receives two integers per column and range.

A column's levels are routed to `ranges` ranges by a hash of their value,
and each range is united in a tree of its own: no task ever holds more than
its range's share of a column's distinct values (the largest table a task
holds is one range's levels, over `split_every` partial tables). The route
must give equal levels (as pandas' hash tables compare them: -0.0 is 0.0,
1 is 1.0 is True in an object column) the same range on every worker, so it
never uses Python's `hash` of a text, which is seeded per process.

Numbers, booleans and dates (NumPy's, tz-aware, nullable integers and
booleans) are counted by a native kernel: it knows each level by pandas'
hash_array of its value in the column's dtype (the two zeros as one), a
bijection of 64-bit words, so the hashes stand for the levels, route them as
the Python path does and are united natively. Everything else (text,
objects, categories, nullable floats, a partition whose dtype is not the
metadata's) keeps the pandas path below.
"""

from __future__ import annotations

import numbers
import zlib
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .arrow_text import text_codes
from .passes import Pass
from .tables import Tables

# Levels are spread over this many ranges; each range is united by tasks of
# its own.
DISTINCT_RANGES = 8
# Partial tables united per task on the way to a range's total.
DISTINCT_SPLIT_EVERY = 8


def _numeric_hash(value: object) -> int | None:
    """Python's hash of a number: fixed across processes and consistent with
    equality across number types (hash(1) == hash(1.0) == hash(True) ==
    hash(Decimal(1))). None for anything else (a date's or a text's hash is
    seeded per process)."""
    if isinstance(value, (str, bytes)) or not isinstance(value, (numbers.Number, np.number, np.bool_)):
        return None
    try:
        return hash(value)
    except TypeError:
        return None


def _no_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeError:
        return True
    return False


def _native_kind(dtype: Any) -> str | None:
    """How the level-count kernel reads a column of `dtype`: "values" (a
    NumPy number or bool array), "masked" (a nullable integer or boolean
    array: values and mask), "dates" (int64 with NaT), "tz" (tz-aware dates
    as their UTC int64), or None when the column stays on the Python path
    (text, objects, categories, nullable floats, whose unmasked NaN pandas
    versions treat apart, Arrow-backed numbers, ...)."""
    if isinstance(dtype, np.dtype):
        if not dtype.isnative:
            # The kernel reads numbers in the machine's byte order only.
            return None
        if dtype.kind in "mM":
            return "dates"
        if dtype.kind == "b" or (dtype.kind in "iu" and dtype.itemsize <= 8) or dtype in _NATIVE_FLOATS:
            return "values"
        return None
    if isinstance(dtype, pd.DatetimeTZDtype):
        return "tz"
    if isinstance(dtype, _MASKED_DTYPES):
        return "masked"
    return None


_NATIVE_FLOATS = (np.dtype(np.float32), np.dtype(np.float64))
_MASKED_DTYPES = (
    pd.BooleanDtype,
    pd.Int8Dtype,
    pd.Int16Dtype,
    pd.Int32Dtype,
    pd.Int64Dtype,
    pd.UInt8Dtype,
    pd.UInt16Dtype,
    pd.UInt32Dtype,
    pd.UInt64Dtype,
)


def _key_hashes(keys: pd.Index, dtype: Any) -> np.ndarray | None:
    """pandas' hash of each (non-missing) key of a column of a number, bool
    or date `dtype`, in that dtype, as the level-count kernel hashes it;
    None for other dtypes."""
    from pandas.util import hash_array

    numpy_dtype = dtype if isinstance(dtype, np.dtype) else getattr(dtype, "numpy_dtype", None)
    is_string = isinstance(dtype, pd.StringDtype)
    if isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "mM"):
        # The UTC int64 values, as unique() compares dates.
        return hash_array(np.asarray(keys.asi8))
    if numpy_dtype is not None and not is_string and numpy_dtype.kind in "fc":
        # -0.0 + 0.0 is 0.0: the two zeros are one key.
        return hash_array(keys.to_numpy(dtype=numpy_dtype) + 0.0)
    if numpy_dtype is not None and not is_string and numpy_dtype.kind in "iub":
        return hash_array(keys.to_numpy(dtype=numpy_dtype))
    return None


def _routes(keys: pd.Index, dtype: Any, ranges: int) -> np.ndarray:
    """The range of each (non-missing) key, by a hash that gives equal keys
    the same range on every worker.

    `dtype` is the column's dtype in the frame's metadata, so that every
    partition routes the same way whatever its keys' own index infers.
    """
    n = len(keys)
    if ranges == 1 or n == 0:
        return np.zeros(n, dtype=np.intp)
    from pandas.util import hash_array

    hashed = _key_hashes(keys, dtype)
    if hashed is None:
        values = np.asarray(keys.astype(object), dtype=object)
        hashed = np.zeros(n, dtype=np.uint64)
        text = np.fromiter((isinstance(v, str) for v in values), dtype=bool, count=n)
        if text.any():
            try:
                hashed[text] = hash_array(values[text], categorize=False)
            except UnicodeError:
                # A lone surrogate has no UTF-8 form: such texts take another
                # process-independent hash, the others the same as anywhere.
                at = np.flatnonzero(text)
                odd = np.fromiter((_no_utf8(v) for v in values[at]), dtype=bool, count=len(at))
                hashed[at[~odd]] = hash_array(values[at[~odd]], categorize=False)
                hashed[at[odd]] = [zlib.crc32(v.encode("utf-8", "surrogatepass")) for v in values[at[odd]]]
        # Other objects (dates, tuples, ...) have no hash that is both
        # process-independent and faithful to equality; they share range 0.
        for i in np.flatnonzero(~text):
            h = _numeric_hash(values[i])
            if h is not None:
                hashed[i] = h % ranges
    return (hashed % np.uint64(ranges)).astype(np.intp)


def _missing_token(key: object) -> object | None:
    """The level a missing key of value_counts(dropna=False) stands for, or
    None for a key that is a level of its own.

    pandas' object hash table keeps None, NaN, NaT and pd.NA apart, counts
    every Python float NaN as one level (it hashes and compares them as
    equal), and any other missing object (a NumPy float NaN scalar, a NumPy
    NaT, a Decimal NaN) only as equal to itself. The dtypes' own missing
    values (of floats, dates, categoricals, nullable arrays) come out as one
    of the first four.
    """
    if key is None:
        return ("None",)
    if key is pd.NA:
        return ("NA",)
    if key is pd.NaT:
        return ("NaT",)
    if type(key) is float:
        return ("nan",)
    return None


def _level_counts(s: pd.Series) -> tuple[np.ndarray | pd.Index, np.ndarray]:
    """value_counts(dropna=False) of one share of a column, as keys and
    counts. An object column's keys stay the objects the hash table kept:
    value_counts would infer a dtype for its index (and warn that it will
    stop), which changes no count but does change what its missing keys
    are."""
    if s.dtype == object:
        try:
            from pandas.core.algorithms import value_counts_arraylike
        except ImportError:  # pragma: no cover - other pandas versions
            value_counts_arraylike = None
        if value_counts_arraylike is not None:
            keys, counts, _ = value_counts_arraylike(s.to_numpy(), dropna=False)
            return keys, np.asarray(counts, dtype=np.int64)
    counts = s.value_counts(dropna=False, sort=False)
    return counts.index, counts.to_numpy(dtype=np.int64)


class _Hashed:
    """One range's levels of a column as the level-count kernel counts them:
    each level's hash (see `_key_hashes`; within a dtype, equal hashes are
    equal levels) and its count. Stands in for the Series of counts by level
    that the Python path holds."""

    __slots__ = ("hashes", "counts")

    def __init__(self, hashes: np.ndarray, counts: np.ndarray) -> None:
        self.hashes = hashes
        self.counts = counts

    def __len__(self) -> int:
        return len(self.hashes)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Hashed, (self.hashes, self.counts))

    def __sizeof__(self) -> int:
        # What Dask's memory accounting reads (through sys.getsizeof): a
        # range of a million levels is 16 MB, and a worker that believed it
        # a few bytes would neither spill nor pause for it.
        return object.__sizeof__(self) + self.hashes.nbytes + self.counts.nbytes


_Levels = pd.Series | _Hashed

# One range's share of a partition (or of several): per column, the counts
# of its non-missing levels, the counts of its missing kinds that merge
# across partitions, and how many missing levels of their own have each
# count (the last two are filled in range 0 only).
_Piece = tuple[list[_Levels], list[dict[object, int]], list[dict[int, int]]]


def _kernels() -> Any:
    import _profilon_kernels

    return _profilon_kernels


def _native_input(s: pd.Series, dtype: Any) -> tuple[np.ndarray, np.ndarray | None, str] | None:
    """(values, mask, missing) of one share of a column, as the level-count
    kernel reads it; None when the column stays on the Python path (a share
    whose dtype is not the metadata's, a dtype the kernel does not read)."""
    kind = _native_kind(dtype)
    if kind is None or s.dtype != dtype:
        return None
    if kind == "values":
        return s.to_numpy(), None, ""
    if kind == "dates":
        return s.to_numpy().view(np.int64), None, "nat"
    if kind == "tz":
        values = getattr(s.array, "asi8", None)
        return None if values is None else (values, None, "nat")
    numpy_dtype = dtype.numpy_dtype
    return s.to_numpy(dtype=numpy_dtype, na_value=numpy_dtype.type(0)), s.isna().to_numpy(), ""


def _native_levels(result: Any, ranges: int) -> tuple[list[_Hashed], dict[object, int]]:
    """The kernel's counts of one share of a column: its levels range by
    range, and the counts of its missing kinds."""
    hashes, counts, begin, nan, masked, nat = result
    # The tokens of `_missing_token` for the keys value_counts gives these
    # dtypes' missing cells: a float NaN, pd.NA, pd.NaT.
    kinds = {token: count for token, count in ((("nan",), nan), (("NA",), masked), (("NaT",), nat)) if count}
    # Each range its own copy: a view would keep the whole column's arrays
    # alive with every range (and Dask, which weighs and spills the ranges
    # one by one, would see a fraction of what they hold).
    levels = [
        _Hashed(hashes[begin[r] : begin[r + 1]].copy(), counts[begin[r] : begin[r + 1]].copy()) for r in range(ranges)
    ]
    return levels, kinds


def _text_levels(s: pd.Series, dtype: Any, ranges: int) -> tuple[pd.Series, dict[object, int], np.ndarray] | None:
    """What value_counts(dropna=False) and `_routes` give one share of
    Arrow-backed text of the metadata's dtype, from the native text codes:
    the counts by text (first-seen order, the share's own dtype), the count
    of its missing kind, and each text's range by pandas' hash of it."""
    if s.dtype != dtype:
        return None
    coded = text_codes(s, codes=False, hashes=ranges > 1)
    if coded is None:
        return None
    present = pd.Series(coded.counts, index=pd.Index(s.iloc[coded.first].array, name=s.name), dtype=np.int64)
    kinds = {_missing_token(dtype.na_value): coded.missing} if coded.missing else {}
    if ranges == 1:
        return present, kinds, np.zeros(len(present), dtype=np.intp)
    return present, kinds, (coded.hashes % np.uint64(ranges)).astype(np.intp)


def _distinct_partial(
    part: pd.DataFrame, dtypes: list[Any], ranges: int, columns: Sequence[int] | None = None
) -> tuple[Any, ...]:
    """Pass work on one partition: its rows, then one piece per range, each
    with an entry per column of `columns` (positions; default all)."""
    pieces: list[_Piece] = [([], [], []) for _ in range(ranges)]
    counted = range(len(dtypes)) if columns is None else columns
    # The columns the kernel reads are counted one at a time on the task's
    # own thread: Dask already runs a task per core, and a worker near its
    # memory limit must not hold every column's hash table at once on top of
    # the tables the pass keeps (a million distinct values are tens of MB).
    native = {}
    for j in counted:
        arg = _native_input(part.iloc[:, j], dtypes[j])
        if arg is not None:
            native[j] = _kernels().level_counts_columns([arg], ranges, 1)[0]
    for j in counted:
        dtype = dtypes[j]
        if native.get(j) is not None:
            levels, kinds = _native_levels(native[j], ranges)
            for r in range(ranges):
                pieces[r][0].append(levels[r])
                pieces[r][1].append(kinds if r == 0 else {})
                pieces[r][2].append({})
            continue
        text = _text_levels(part.iloc[:, j], dtype, ranges)
        if text is not None:
            present, kinds, route = text
            for r in range(ranges):
                pieces[r][0].append(present[route == r] if ranges > 1 else present)
                pieces[r][1].append(kinds if r == 0 else {})
                pieces[r][2].append({})
            continue
        keys, counts = _level_counts(part.iloc[:, j])
        # A category's unobserved levels count 0: not a distinct value, and
        # nothing in a sum of rare counts.
        observed = counts > 0
        keys, counts = keys[observed], counts[observed]
        if isinstance(keys, pd.CategoricalIndex):
            keys = keys.astype(object)
        keys = pd.Index(keys, dtype=object) if isinstance(keys, np.ndarray) else keys
        missing = np.asarray(pd.isna(keys), dtype=bool)
        kinds = {}
        lone: dict[int, int] = {}
        for key, count in zip(keys[missing], counts[missing], strict=True):
            token = _missing_token(key)
            if token is None:
                lone[int(count)] = lone.get(int(count), 0) + 1
            else:
                kinds[token] = kinds.get(token, 0) + int(count)
        present = pd.Series(counts[~missing], index=keys[~missing], dtype=np.int64)
        route = _routes(present.index, dtype, ranges)
        for r in range(ranges):
            pieces[r][0].append(present[route == r])
            pieces[r][1].append(kinds if r == 0 else {})
            pieces[r][2].append(lone if r == 0 else {})
    return (len(part), *pieces)


def _unite(series: list[_Levels]) -> _Levels:
    """The Python path's union of tables of one column's levels (at most one
    of them non-empty if any was counted natively: see `_distinct_combine`)."""
    kept = [s for s in series if len(s)]
    if not kept:
        return series[0].iloc[:0] if series and isinstance(series[0], pd.Series) else pd.Series([], dtype=np.int64)
    if len(kept) == 1:
        return kept[0]
    # The grouping's hash table compares keys as value_counts' does. Object
    # keys stay objects: pandas 3 would otherwise infer its text dtype for
    # them, which cannot hold every text (a lone surrogate).
    if all(s.index.dtype == object for s in kept):
        index = pd.Index(np.concatenate([s.index.to_numpy() for s in kept]), dtype=object)
        joined = pd.Series(np.concatenate([s.to_numpy() for s in kept]), index=index)
    else:
        joined = pd.concat(kept)
    return joined.groupby(level=0, sort=False).sum()


def _hashed_input(kept: list[_Levels], dtype: Any) -> tuple[np.ndarray, None, str, np.ndarray]:
    """The kernel's input that unites tables of one column's levels, some
    counted natively. Shares counted in Python (a partition whose dtype was
    not the metadata's) take the kernel's hashes of their keys in the
    metadata's dtype."""
    hashed = [s if isinstance(s, _Hashed) else _Hashed(_key_hashes(s.index, dtype), s.to_numpy()) for s in kept]
    return np.concatenate([s.hashes for s in hashed]), None, "hashed", np.concatenate([s.counts for s in hashed])


def _add_counts(dicts: list[dict[Any, int]]) -> dict[Any, int]:
    merged: dict[Any, int] = {}
    for d in dicts:
        for key, count in d.items():
            merged[key] = merged.get(key, 0) + count
    return merged


def _distinct_combine(pieces: list[_Piece], dtypes: list[Any]) -> _Piece:
    k = len(pieces[0][0])
    tables = [[p[0][j] for p in pieces] for j in range(k)]
    # Columns with native tables are united by the kernel one at a time: near
    # the top of the tree a column's tables hold millions of levels, and all
    # columns' inputs and hash tables at once would exceed a worker's memory.
    counts: list[_Levels] = []
    for j in range(k):
        kept = [s for s in tables[j] if len(s)]
        if len(kept) > 1 and any(isinstance(s, _Hashed) for s in kept):
            united = _kernels().level_counts_columns([_hashed_input(kept, dtypes[j])], 1, 1)[0]
            counts.append(_Hashed(united[0], united[1]))
        else:
            counts.append(_unite(tables[j]))
    kinds = [_add_counts([p[1][j] for p in pieces]) for j in range(k)]
    lone = [_add_counts([p[2][j] for p in pieces]) for j in range(k)]
    return counts, kinds, lone


def _distinct_finish(pieces: list[_Piece], n_rows: int, dtypes: list[Any]) -> list[tuple[int, int]]:
    """Per column: the range's distinct non-missing values, and the sum of
    its level counts at or below the rare threshold of `n_rows` rows."""
    counts, kinds, lone = _distinct_combine(pieces, dtypes)
    # The schema step's own arithmetic: a float product, truncated.
    thr = max(int(0.01 * np.int64(n_rows)), 2)
    out = []
    for c, m, single in zip(counts, kinds, lone, strict=True):
        values = c.counts if isinstance(c, _Hashed) else c.to_numpy()
        rare = int(values[values <= thr].sum())
        rare += sum(v for v in m.values() if v <= thr)
        rare += sum(count * levels for count, levels in single.items() if count <= thr)
        out.append((len(c), rare))
    return out


# A share's answer for a column whose count matters only up to two: no
# value, more than one value, or the hash of its one value.
_MANY = "many"


def _few_state(s: pd.Series, dtype: Any) -> object:
    arg = _native_input(s, dtype)
    if arg is None:
        # A share whose dtype is not the metadata's: its levels as the
        # Python path counts them, each known by its hash in the metadata's
        # dtype (as `_hashed_input` unites such shares).
        keys, counts = _level_counts(s)
        keys = pd.Index(keys[counts > 0])
        keys = keys[~np.asarray(pd.isna(keys), dtype=bool)]
        hashes = np.unique(_key_hashes(keys, dtype)) if len(keys) else keys
        return None if len(hashes) == 0 else _MANY if len(hashes) > 1 else int(hashes[0])
    values, mask, missing = arg
    if mask is not None:
        kept = ~mask
    elif missing == "nat":
        kept = values != np.iinfo(np.int64).min
    elif values.dtype.kind == "f":
        kept = ~np.isnan(values)
    else:
        kept = None
    if len(values) == 0 or (kept is not None and not kept.any()):
        return None
    first = 0 if kept is None else int(np.argmax(kept))
    # == is pandas' level equality here: the two zeros are one value and
    # every missing cell was left out above.
    same = values == values[first]
    if not (same.all() if kept is None else (same | ~kept).all()):
        return _MANY
    return int(_key_hashes(pd.Index(s.iloc[first : first + 1]), dtype)[0])


def _few_partial(part: pd.DataFrame, dtypes: list[Any], columns: Sequence[int]) -> list[object]:
    """Pass work on one partition for the columns whose distinct count
    matters only up to two: one state per column (see `_few_state`)."""
    return [_few_state(part.iloc[:, j], dtypes[j]) for j in columns]


def _few_counts(*per_partition: list[object]) -> list[int]:
    """Per column: 0, 1, or 2 for two or more distinct values."""
    out = []
    for states in zip(*per_partition, strict=True):
        if _MANY in states:
            out.append(2)
        else:
            out.append(min(len({h for h in states if h is not None}), 2))
    return out


def _gather(n_rows: int, *per_range: list[tuple[int, int]]) -> tuple[int, list[list[tuple[int, int]]]]:
    return n_rows, list(per_range)


def add_distinct_counts(
    p: Pass,
    ddf: Any,
    ranges: int = DISTINCT_RANGES,
    split_every: int = DISTINCT_SPLIT_EVERY,
    exact: Sequence[Any] | None = None,
) -> Callable[..., None]:
    """Adds to pass `p` the level counts of the columns of `ddf`.

    `exact` names the columns whose distinct count is wanted in full (the
    analysis: its categorical columns, whose count the cardinality score
    reads); None means every column. Of the others only whether they hold
    more than one value is asked (a constant column has at most one): a
    column the level-count kernel reads is then compared with its first
    value instead of counted, and its count stops at 2.

    Returns `fill(results, tables, level_cols=())`, which, given the pass's
    results, sets `tables.nunique_by_col` (what `Series.nunique()` gives,
    capped at 2 for the columns left out of `exact`) and
    `tables.rare_share_by_col` (for the columns of `level_cols`, in that
    order: the schema step's categorical columns, at most `max_cat_features`
    of them; no entry when the frame has no rows).
    """
    import dask

    if ranges < 1 or split_every < 2:
        raise ValueError("ranges must be at least 1 and split_every at least 2")
    columns = ddf.columns
    dtypes = list(ddf.dtypes)
    wanted = None if exact is None else set(columns.get_indexer(list(exact)))
    few = []
    if wanted is not None:
        few = [j for j, dtype in enumerate(dtypes) if j not in wanted and _native_kind(dtype) is not None]
    skipped = frozenset(few)
    counted = [j for j in range(len(dtypes)) if j not in skipped]
    parts = p.partitions(ddf)
    partial = dask.delayed(_distinct_partial, pure=True, nout=ranges + 1)
    partials = [partial(part, dtypes, ranges, counted) for part in parts]
    n_rows = dask.delayed(sum, pure=True)([q[0] for q in partials])
    combine = dask.delayed(_distinct_combine, pure=True)
    finish = dask.delayed(_distinct_finish, pure=True)
    counted_dtypes = [dtypes[j] for j in counted]
    finals = []
    for r in range(ranges):
        level = [q[r + 1] for q in partials]
        while len(level) > split_every:
            level = [combine(level[i : i + split_every], counted_dtypes) for i in range(0, len(level), split_every)]
        finals.append(finish(level, n_rows, counted_dtypes))
    at = p.add(dask.delayed(_gather, pure=True)(n_rows, *finals))
    if few:
        few_partial = dask.delayed(_few_partial, pure=True)
        few_at = p.add(dask.delayed(_few_counts, pure=True)(*[few_partial(part, dtypes, few) for part in parts]))

    def fill(results: list[Any], tables: Tables, level_cols: Sequence[Any] = ()) -> None:
        total_rows, per_range = results[at]
        nunique = [0] * len(columns)
        for i, j in enumerate(counted):
            nunique[j] = sum(r[i][0] for r in per_range)
            if wanted is not None and j not in wanted:
                nunique[j] = min(nunique[j], 2)
        if few:
            for j, count in zip(few, results[few_at], strict=True):
                nunique[j] = count
        tables.nunique_by_col = pd.Series(nunique, index=columns, dtype=np.int64)
        position = {columns[j]: i for i, j in enumerate(counted)}
        shares: dict[Any, float] = {}
        if total_rows > 0:
            for label in level_cols:
                j = position[label]
                rare = sum(r[j][1] for r in per_range)
                # int64 over int64, as the Series' sum over its sum divides.
                shares[label] = float(np.int64(rare) / np.int64(total_rows))
        tables.rare_share_by_col = shares

    return fill
