"""The comparison's column states of a Dask frame: per partition, the drift
kernel's numeric state (distinct values with their counts), the level counts
and the time span of each column; merged on the workers in a tree. The
merge is exact, so the figures finished from these states are the ones the
whole frame in memory gives."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .passes import combine_tree, pinned_scheduler


def _kernels() -> Any:
    import _profilon_kernels

    return _profilon_kernels


def _partial(part: pd.DataFrame, kinds: Sequence[str]) -> tuple[int, list[Any]]:
    kernels = _kernels()
    states: list[Any] = []
    for j, kind in enumerate(kinds):
        s = part.iloc[:, j]
        if kind == "numeric":
            states.append(kernels.drift_value_counts(s.to_numpy(dtype="float64", na_value=np.nan)))
        elif kind == "categorical":
            counts = s.value_counts(dropna=True)
            # A categorical dtype lists its unobserved categories with zero.
            counts = counts[counts > 0]
            states.append((dict(zip(counts.index.tolist(), counts.tolist(), strict=True)), int(s.isna().sum())))
        elif kind == "datetime":
            missing = int(s.isna().sum())
            states.append((s.min(), s.max(), missing) if missing < len(s) else (None, None, missing))
        else:
            states.append(None)
    return len(part), states


def _merge_levels(a: dict[Any, int], b: dict[Any, int]) -> dict[Any, int]:
    out = dict(a)
    for level, count in b.items():
        out[level] = out.get(level, 0) + count
    return out


def _span(a: tuple[Any, Any, int], b: tuple[Any, Any, int]) -> tuple[Any, Any, int]:
    firsts = [x for x in (a[0], b[0]) if x is not None]
    lasts = [x for x in (a[1], b[1]) if x is not None]
    return (min(firsts) if firsts else None, max(lasts) if lasts else None, a[2] + b[2])


def _combine(items: list[tuple[int, list[Any]]], kinds: Sequence[str]) -> tuple[int, list[Any]]:
    kernels = _kernels()
    rows, merged = items[0][0], list(items[0][1])
    for n, states in items[1:]:
        rows += n
        for j, kind in enumerate(kinds):
            if kind == "numeric":
                merged[j] = kernels.drift_merge(merged[j], states[j])
            elif kind == "categorical":
                merged[j] = (_merge_levels(merged[j][0], states[j][0]), merged[j][1] + states[j][1])
            elif kind == "datetime":
                merged[j] = _span(merged[j], states[j])
    return rows, merged


def column_states(ddf: Any, kinds: Sequence[str]) -> tuple[int, list[Any]]:
    """The row count and one state per column of `ddf` (its kind in `kinds`):
    numeric (values, counts, observations, missing); categorical (levels,
    counts, missing), the levels by descending count as value_counts orders
    them; datetime (first, last, missing)."""
    import dask

    kinds = list(kinds)
    parts = [dask.delayed(_partial, pure=True)(p, kinds) for p in ddf.to_delayed()]
    if not parts:
        return 0, [_partial(ddf._meta, kinds)[1]]
    tree = combine_tree(parts, lambda items: _combine(items, kinds))
    ((rows, states),) = dask.compute(tree, scheduler=pinned_scheduler(ddf))
    out: list[Any] = []
    for kind, state in zip(kinds, states, strict=True):
        if kind == "categorical":
            # Stable: equal counts keep the order the partitions met them in.
            ordered = sorted(state[0].items(), key=lambda kv: kv[1], reverse=True)
            out.append(([k for k, _ in ordered], [c for _, c in ordered], state[1]))
        else:
            out.append(state)
    return rows, out


def _take(part: pd.DataFrame, positions: np.ndarray, columns: list[Any]) -> pd.DataFrame:
    return part.iloc[positions][columns]


def take_rows(ddf: Any, positions: np.ndarray, columns: list[Any]) -> pd.DataFrame:
    """The rows of `ddf` at the ascending frame-wide `positions`, only
    `columns`: the rows `frame.iloc[positions][columns]` gives for the same
    data in memory."""
    import dask

    scheduler = pinned_scheduler(ddf)
    parts = ddf.to_delayed()
    lengths = dask.compute(*[dask.delayed(len)(p) for p in parts], scheduler=scheduler)
    starts = np.concatenate([[0], np.cumsum(lengths)])
    positions = np.asarray(positions, dtype=np.int64)
    pieces = []
    for i, part in enumerate(parts):
        lo, hi = np.searchsorted(positions, [starts[i], starts[i + 1]])
        if hi > lo:
            pieces.append(dask.delayed(_take, pure=True)(part, positions[lo:hi] - starts[i], columns))
    frames = dask.compute(*pieces, scheduler=scheduler)
    if not frames:
        return ddf._meta[columns]
    return pd.concat(frames)
