"""The comparison's column states of a Dask frame: per partition, the drift
kernel's numeric state (distinct values with their counts), the level counts
and the time span of each column; merged on the workers in a tree. The
merge is exact, so the figures finished from these states are the ones the
whole frame in memory gives."""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .passes import Pass, combine_tree, pinned_scheduler
from .samples import rows_at


def _partial(part: pd.DataFrame, kinds: Sequence[str]) -> tuple[int, list[Any]]:
    states: list[Any] = []
    for j, kind in enumerate(kinds):
        s = part.iloc[:, j]
        if kind == "numeric":
            states.append(kernels.drift_value_counts(s.to_numpy(dtype="float64", na_value=np.nan)))
        elif kind == "categorical":
            counts = s.value_counts(dropna=True)
            # A categorical dtype lists its unobserved categories with zero.
            counts = counts[counts > 0]
            states.append(
                (Counter(dict(zip(counts.index.tolist(), counts.tolist(), strict=True))), int(s.isna().sum()))
            )
        elif kind == "datetime":
            missing = int(s.isna().sum())
            states.append((s.min(), s.max(), missing) if missing < len(s) else (None, None, missing))
        else:
            states.append(None)
    return len(part), states


def _merged(kind: str, a: Any, b: Any) -> Any:
    if kind == "numeric":
        return kernels.drift_merge(a, b)
    if kind == "categorical":
        # Counter's sum keeps the order the levels were met in: a's, then b's new ones.
        return a[0] + b[0], a[1] + b[1]
    if kind == "datetime":
        # A state's first is at most its last, and both are None or neither.
        ends = [x for x in (*a[:2], *b[:2]) if x is not None]
        return (min(ends), max(ends), a[2] + b[2]) if ends else (None, None, a[2] + b[2])
    return a


def _combine(items: list[tuple[int, list[Any]]], kinds: Sequence[str]) -> tuple[int, list[Any]]:
    rows, merged = items[0][0], list(items[0][1])
    for n, states in items[1:]:
        rows += n
        merged = [_merged(kind, m, s) for kind, m, s in zip(kinds, merged, states, strict=True)]
    return rows, merged


def column_states(ddf: Any, kinds: Sequence[str]) -> tuple[int, list[Any]]:
    """The row count and one state per column of `ddf` (its kind in `kinds`):
    numeric (values, counts, observations, missing); categorical (levels,
    counts, missing), the levels by descending count as value_counts orders
    them; datetime (first, last, missing)."""
    kinds = list(kinds)
    p = Pass(pinned_scheduler(ddf))
    parts = p.tasks(ddf, _partial, kinds)
    if not parts:
        return 0, [_partial(ddf._meta, kinds)[1]]
    at = p.add(combine_tree(parts, lambda items: _combine(items, kinds)))
    rows, states = p.run()[at]
    for j, kind in enumerate(kinds):
        if kind == "categorical":
            # Stable: equal counts keep the order the partitions met them in.
            ordered = sorted(states[j][0].items(), key=lambda kv: kv[1], reverse=True)
            states[j] = ([k for k, _ in ordered], [c for _, c in ordered], states[j][1])
    return rows, states


def take_rows(ddf: Any, positions: np.ndarray, columns: list[Any]) -> pd.DataFrame:
    """The rows of `ddf` at the frame-wide `positions`, only `columns`: the rows
    `frame.iloc[positions][columns]` gives for the same data in memory."""
    import dask

    scheduler = pinned_scheduler(ddf)
    lengths = dask.compute(*[dask.delayed(len)(p) for p in ddf.to_delayed()], scheduler=scheduler)
    p = Pass(scheduler)
    at = p.add(rows_at(p, ddf, np.array(lengths, dtype=np.int64), np.asarray(positions, dtype=np.int64), columns))
    return p.run()[at]
