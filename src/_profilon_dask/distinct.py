"""Distinct counts of every column and rare-level shares of the categorical
columns: one read of the data, joined to whichever pass the caller gives,
each range of level hashes united in a tree of its own on the workers
(docs/distributed.md, "The level counts").
"""

from __future__ import annotations

import functools
import numbers
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .arrow_text import kernels, native_input, native_kind, text_codes
from .passes import Pass, combine_tree
from .tables import Tables

# Levels are spread over this many ranges; each range is united by tasks of
# its own.
DISTINCT_RANGES = 8
# Partial tables united per task on the way to a range's total.
DISTINCT_SPLIT_EVERY = 8
# The keys whose interpreter's hash routes them (fixed across processes,
# equal for equal numbers of any type).
_NUMBERS = (numbers.Number, np.number, np.bool_)
# The kernel's missing kinds but the fourth, a float NaN: each is one level
# of value_counts(dropna=False) however many objects stand for it.
_MISSING_KINDS = (None, pd.NA, pd.NaT)


def _key_hashes(keys: pd.Index, dtype: Any) -> np.ndarray | None:
    """pandas' hash of each present key in the number, bool or date `dtype`,
    as the kernel hashes it (the UTC int64 of a date, the two zeros as one);
    None for other dtypes."""
    from pandas.util import hash_array

    numpy_dtype = dtype if isinstance(dtype, np.dtype) else getattr(dtype, "numpy_dtype", None)
    if isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "mM"):
        return hash_array(np.asarray(keys.asi8))
    if numpy_dtype is None or isinstance(dtype, pd.StringDtype) or numpy_dtype.kind not in "fciub":
        return None
    values = keys.to_numpy(dtype=numpy_dtype)
    return hash_array(values + 0.0 if numpy_dtype.kind in "fc" else values)


def _routes(keys: pd.Index, dtype: Any, ranges: int) -> np.ndarray:
    """The range of each present key of a column of the metadata's `dtype`,
    the same on every worker for equal keys: the kernel's hash for its
    dtypes, else natively by the key's kind (`level_routes`)."""
    if ranges == 1 or len(keys) == 0:
        return np.zeros(len(keys), dtype=np.intp)
    hashed = _key_hashes(keys, dtype)
    if hashed is None:
        return kernels().level_routes(np.asarray(keys.astype(object), dtype=object), ranges, _NUMBERS)
    return (hashed % np.uint64(ranges)).astype(np.intp)


def _level_counts(s: pd.Series) -> tuple[np.ndarray | pd.Index, np.ndarray]:
    """value_counts(dropna=False) of a share, as keys and counts. An object
    column's keys stay the objects the hash table kept: value_counts would
    infer a dtype for its index (and warn), which changes what its missing
    keys are."""
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


def _pandas_levels(s: pd.Series) -> tuple[pd.Series, np.ndarray, np.ndarray]:
    """A share's present levels as pandas counts them (a category's
    unobserved ones left out), the cells of its missing kinds, and the
    counts of its missing keys only equal to themselves."""
    keys, counts = _level_counts(s)
    keys, counts = keys[counts > 0], counts[counts > 0]
    keys = keys.astype(object) if isinstance(keys, pd.CategoricalIndex) else keys
    keys = pd.Index(keys, dtype=object) if isinstance(keys, np.ndarray) else keys
    missing = np.asarray(pd.isna(keys), dtype=bool)
    kinds, lone = kernels().level_missing(list(keys[missing]), counts[missing], _MISSING_KINDS)
    return pd.Series(counts[~missing], index=keys[~missing], dtype=np.int64), kinds, lone


def _text_levels(s: pd.Series, dtype: Any, ranges: int) -> tuple[pd.Series, np.ndarray, np.ndarray] | None:
    """What `_pandas_levels` and `_routes` give a share of Arrow-backed text
    of the metadata's dtype, from the native text codes: the counts by text
    (first-seen order, the share's dtype), the missing kinds, the ranges."""
    coded = text_codes(s, codes=False, hashes=ranges > 1) if s.dtype == dtype else None
    if coded is None:
        return None
    kinds, lone = kernels().level_missing([dtype.na_value], [coded.missing], _MISSING_KINDS)
    if len(lone):
        return None
    present = pd.Series(coded.counts, index=pd.Index(s.iloc[coded.first].array, name=s.name), dtype=np.int64)
    route = (coded.hashes % np.uint64(ranges)).astype(np.intp) if ranges > 1 else np.zeros(len(present), np.intp)
    return present, kinds, route


def _distinct_partial(
    part: pd.DataFrame, dtypes: list[Any], ranges: int, columns: Sequence[int] | None = None
) -> tuple[Any, ...]:
    """Pass work on one partition: its rows, then per range the kernel's
    state of the columns of `columns` (positions; default all) and, by their
    place in it, the present levels of the columns pandas counts."""
    counted = range(len(dtypes)) if columns is None else columns
    args: list[tuple[Any, ...]] = []
    tables: dict[int, list[pd.Series]] = {}
    for i, j in enumerate(counted):
        s, dtype = part.iloc[:, j], dtypes[j]
        arg = native_input(s, dtype)
        if arg is not None:
            args.append(arg)
            continue
        text = _text_levels(s, dtype, ranges)
        if text is None:
            present, kinds, lone = _pandas_levels(s)
            route = _routes(present.index, dtype, ranges)
        else:
            (present, kinds, route), lone = text, np.zeros(0, dtype=np.int64)
        args.append((kinds, lone))
        tables[i] = [present[route == r] if ranges > 1 else present for r in range(ranges)]
    # One column at a time on the task's own thread: Dask runs a task per
    # core, and a worker near its memory limit must not hold every column's
    # working tables at once.
    states = kernels().level_partial(args, ranges)
    return (len(part), *[(states[r], {i: t[r] for i, t in tables.items()}) for r in range(ranges)])


def _unite(series: list[pd.Series]) -> pd.Series:
    """The union of tables of one column's levels pandas counted."""
    kept = [s for s in series if len(s)]
    if len(kept) <= 1:
        return kept[0] if kept else series[0]
    # The grouping's hash table compares keys as value_counts' does. Object
    # keys stay objects: pandas 3 would otherwise infer its text dtype for
    # them, which cannot hold every text (a lone surrogate).
    if all(s.index.dtype == object for s in kept):
        index = pd.Index(np.concatenate([s.index.to_numpy() for s in kept]), dtype=object)
        joined = pd.Series(np.concatenate([s.to_numpy() for s in kept]), index=index)
    else:
        joined = pd.concat(kept)
    return joined.groupby(level=0, sort=False).sum()


def _distinct_combine(pieces: list[Any], dtypes: list[Any]) -> tuple[Any, dict[int, pd.Series]]:
    state = kernels().level_merge([p[0] for p in pieces])
    begin = state[2]
    keys = sorted(set().union(*(p[1] for p in pieces)))
    tables = {i: _unite([p[1][i] for p in pieces if i in p[1]]) for i in keys}
    # A partition whose dtype was not the metadata's was counted by pandas;
    # where the kernel counted others of the column, its levels join theirs
    # by their hash in the metadata's dtype.
    joined = [i for i in keys if begin[i + 1] > begin[i]]
    if joined:
        args: list[tuple[Any, ...]] = [(np.zeros(4, dtype=np.int64), np.zeros(0, dtype=np.int64))] * (len(begin) - 1)
        for i in joined:
            t = tables.pop(i)
            args[i] = (_key_hashes(t.index, dtypes[i]), None, "hashed", t.to_numpy(dtype=np.int64))
        state = kernels().level_merge([state, kernels().level_partial(args, 1)[0]])
    return state, tables


def _distinct_finish(piece: tuple[Any, dict[int, pd.Series]], n_rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Per column: the range's distinct present levels, and the cells of its
    levels counted at or below the rare threshold of `n_rows` rows."""
    state, tables = piece
    extra = [tables[i].to_numpy(dtype=np.int64) if i in tables else None for i in range(len(state[2]) - 1)]
    return kernels().level_finish(state, n_rows, extra)


def _few_partial(part: pd.DataFrame, dtypes: list[Any], columns: Sequence[int]) -> tuple[np.ndarray, np.ndarray]:
    """Pass work on one partition for the columns whose distinct count
    matters only up to two: per column no value, one (its hash), or more."""
    args = [native_input(part.iloc[:, j], dtypes[j]) for j in columns]
    read = [i for i, a in enumerate(args) if a is not None]
    levels, hashes = np.zeros(len(args), dtype=np.uint8), np.zeros(len(args), dtype=np.uint64)
    if read:
        levels[read], hashes[read] = kernels().few_levels([args[i] for i in read])
    for i in (i for i, a in enumerate(args) if a is None):
        # A share whose dtype is not the metadata's: its levels by their
        # hash in the metadata's dtype, as `_distinct_partial` hands it over.
        present = _pandas_levels(part.iloc[:, columns[i]])[0]
        unique = np.unique(_key_hashes(present.index, dtypes[columns[i]]))
        levels[i], hashes[i] = min(len(unique), 2), unique[0] if len(unique) == 1 else 0
    return levels, hashes


def _few_counts(*per_partition: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    return kernels().few_merge(list(per_partition))


def _gather(n_rows: int, *per_range: tuple[np.ndarray, np.ndarray]) -> tuple[int, list[Any]]:
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
    analysis: its categorical ones, for the cardinality score; None: all).
    Of the others a column the kernel reads is only asked whether it holds
    more than one value (`few_levels`); their counts stop at 2.

    Returns `fill(results, tables, level_cols=())`, which sets
    `tables.nunique_by_col` and `tables.rare_share_by_col` (for the columns
    of `level_cols`, the schema step's categorical ones; none when the frame
    has no rows).
    """
    import dask

    if ranges < 1 or split_every < 2:
        raise ValueError("ranges must be at least 1 and split_every at least 2")
    columns = ddf.columns
    dtypes = list(ddf.dtypes)
    wanted = None if exact is None else set(columns.get_indexer(list(exact)))
    few = [] if wanted is None else [j for j, d in enumerate(dtypes) if j not in wanted and native_kind(d)]
    skipped = set(few)
    counted = [j for j in range(len(dtypes)) if j not in skipped]
    parts = p.partitions(ddf)
    partial = dask.delayed(_distinct_partial, pure=True, nout=ranges + 1)
    partials = [partial(part, dtypes, ranges, counted) for part in parts]
    n_rows = dask.delayed(sum, pure=True)([q[0] for q in partials])
    combine = functools.partial(_distinct_combine, dtypes=[dtypes[j] for j in counted])
    finish = dask.delayed(_distinct_finish, pure=True)
    finals = [finish(combine_tree([q[r + 1] for q in partials], combine, split_every), n_rows) for r in range(ranges)]
    at = p.add(dask.delayed(_gather, pure=True)(n_rows, *finals))
    if few:
        few_partial = dask.delayed(_few_partial, pure=True)
        few_at = p.add(dask.delayed(_few_counts, pure=True)(*[few_partial(part, dtypes, few) for part in parts]))

    def fill(results: list[Any], tables: Tables, level_cols: Sequence[Any] = ()) -> None:
        total_rows, per_range = results[at]
        nunique = [0] * len(columns)
        for i, j in enumerate(counted):
            nunique[j] = sum(int(r[0][i]) for r in per_range)
            if wanted is not None and j not in wanted:
                nunique[j] = min(nunique[j], 2)
        for j, count in zip(few, results[few_at] if few else [], strict=True):
            nunique[j] = int(count)
        tables.nunique_by_col = pd.Series(nunique, index=columns, dtype=np.int64)
        position = {columns[j]: i for i, j in enumerate(counted)}
        shares: dict[Any, float] = {}
        if total_rows > 0:
            for label in level_cols:
                rare = sum(int(r[1][position[label]]) for r in per_range)
                # int64 over int64, as the Series' sum over its sum divides.
                shares[label] = float(np.int64(rare) / np.int64(total_rows))
        tables.rare_share_by_col = shares

    return fill
