"""Distinct counts of every column and rare-level shares of the categorical
columns: one read of the data, joined to whichever pass the caller gives,
each range of level hashes united in a tree of its own on the workers
(docs/distributed.md, "The level counts").
"""

from __future__ import annotations

import numbers
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .arrow_text import native_input, native_kind, text_levels
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


def _pandas_levels(s: pd.Series, dtype: Any = None) -> tuple[Any, ...]:
    """A share's levels as pandas counts them (a category's unobserved ones
    left out), as the kernel takes them: the cells of its missing kinds, the
    counts of its missing keys only equal to themselves, its present keys
    (objects), their counts and their hashes in the metadata's `dtype`."""
    keys, counts = _level_counts(s)
    keys, counts = keys[counts > 0], counts[counts > 0]
    keys = keys.astype(object) if isinstance(keys, pd.CategoricalIndex) else keys
    keys = pd.Index(keys, dtype=object) if isinstance(keys, np.ndarray) else keys
    missing = np.asarray(pd.isna(keys), dtype=bool)
    kinds, lone = kernels.level_missing(list(keys[missing]), counts[missing], _MISSING_KINDS)
    present = keys[~missing]
    hashes = None if dtype is None else _key_hashes(present, dtype)
    return kinds, lone, present.to_numpy(dtype=object), counts[~missing], hashes


def _text_levels(s: pd.Series, dtype: Any) -> tuple[Any, ...] | None:
    """What `_pandas_levels` gives a share of Arrow-backed text of the
    metadata's dtype, from the native text codes (first-seen order)."""
    levels = text_levels(s) if s.dtype == dtype else None
    if levels is None:
        return None
    first, counts, missing = levels
    kinds, lone = kernels.level_missing([dtype.na_value], [missing], _MISSING_KINDS)
    return None if len(lone) else (kinds, lone, s.iloc[first].array.to_numpy(dtype=object), counts, None)


def _distinct_partial(
    part: pd.DataFrame, dtypes: list[Any], ranges: int, columns: Sequence[int] | None = None
) -> tuple[Any, ...]:
    """Pass work on one partition: its rows, then per range the kernel's
    state of the columns of `columns` (positions; default all)."""
    args = []
    for j in range(len(dtypes)) if columns is None else columns:
        s, dtype = part.iloc[:, j], dtypes[j]
        args.append(native_input(s, dtype) or _text_levels(s, dtype) or _pandas_levels(s, dtype))
    # One column at a time on the task's own thread: Dask runs a task per
    # core, and a worker near its memory limit must not hold every column's
    # working tables at once.
    return (len(part), *kernels.level_partial(args, ranges, _NUMBERS))


def _few_partial(part: pd.DataFrame, dtypes: list[Any], columns: Sequence[int]) -> tuple[np.ndarray, np.ndarray]:
    """Pass work on one partition for the columns whose distinct count
    matters only up to two: per column no value, one (its hash), or more. A
    share whose dtype is not the metadata's goes by its levels' hashes in
    the metadata's dtype, as `_distinct_partial` hands them over."""
    shares = [(part.iloc[:, j], dtypes[j]) for j in columns]
    args = [native_input(s, d) or (_pandas_levels(s, d)[4], None, "hashed") for s, d in shares]
    return kernels.few_levels(args)


def add_distinct_counts(
    p: Pass,
    ddf: Any,
    ranges: int = DISTINCT_RANGES,
    split_every: int = DISTINCT_SPLIT_EVERY,
    exact: Sequence[Any] | None = None,
    levels: Sequence[Any] = (),
) -> Callable[[list[Any], Tables], None]:
    """Adds to pass `p` the level counts of the columns of `ddf`.

    `exact` names the columns whose distinct count is wanted in full (the
    analysis: its categorical ones, for the cardinality score; None: all).
    Of the others a column the kernel reads is only asked whether it holds
    more than one value (`few_levels`); their counts stop at 2.

    Returns `fill(results, tables)`, which sets `tables.nunique_by_col` and
    `tables.rare_share_by_col` (for the columns of `levels`, the schema
    step's categorical ones; none when the frame has no rows).
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
    partials = p.tasks(ddf, _distinct_partial, dtypes, ranges, counted, nout=ranges + 1)
    n_rows = dask.delayed(sum, pure=True)([q[0] for q in partials])
    finish = dask.delayed(kernels.level_finish, pure=True)
    trees = [combine_tree([q[r + 1] for q in partials], kernels.level_merge, split_every) for r in range(ranges)]
    at = p.add((n_rows, [finish(tree, n_rows) for tree in trees]))
    if few:
        few_at = p.add(dask.delayed(kernels.few_merge, pure=True)(p.tasks(ddf, _few_partial, dtypes, few)))

    def fill(results: list[Any], tables: Tables) -> None:
        total_rows, per_range = results[at]
        distinct, rare = (np.sum([r[i] for r in per_range], axis=0, dtype=np.int64) for i in (0, 1))
        nunique = np.zeros(len(columns), dtype=np.int64)
        capped = distinct if wanted is None else np.where(np.isin(counted, list(wanted)), distinct, distinct.clip(0, 2))
        nunique[counted] = capped
        if few:
            nunique[few] = results[few_at]
        tables.nunique_by_col = pd.Series(nunique, index=columns, dtype=np.int64)
        position = {columns[j]: i for i, j in enumerate(counted)}
        # int64 over int64, as the Series' sum over its sum divides.
        rows = [np.int64(total_rows)] if total_rows > 0 else []
        tables.rare_share_by_col = {label: float(rare[position[label]] / n) for n in rows for label in levels}

    return fill
