"""The page's figures of the columns that are not numeric and of the
targets' series (the numeric columns' ride with the summaries), in passes 1
and 2, which read every column anyway.

Pass 1 merges each time column's stamp range (and the time axis') with the
page kernels, and each coded column's level counts in the order the
in-memory step ranks them: value_counts(dropna=False, sort=False)'s for the
columns whose value counts the schema step takes (their ties fall as that
step's own sort leaves them), first appearance (pd.factorize's codes) for
the others. Pass 2 counts the stamps per calendar period of the merged
range, and keeps each numeric target's extremes per time bucket, numbered by
the rows before its partition so that ties resolve as in the whole frame.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .distinct import _level_counts
from .passes import Pass, combine_tree
from .summaries import COLUMN, _values
from .tables import Tables


def _kernels() -> Any:
    import _profilon_kernels

    return _profilon_kernels


def _stamps(values: Any) -> np.ndarray:
    """Nanoseconds since the epoch (UTC), NaT the smallest int64."""
    return np.asarray(pd.DatetimeIndex(values).as_unit("ns").asi8)


def _levels(s: pd.Series, ranked: bool) -> tuple[pd.Series, int]:
    """One part's level counts (missing levels among them when `ranked`),
    and its missing cells."""
    if ranked:
        keys, counts = _level_counts(s)
        return pd.Series(counts, index=pd.Index(np.asarray(keys, dtype=object), dtype=object), dtype=np.int64), 0
    codes, uniques = pd.factorize(s, use_na_sentinel=True)
    counts = np.bincount(codes[codes >= 0], minlength=len(uniques))
    index = pd.Index(np.asarray(uniques, dtype=object), dtype=object)
    return pd.Series(counts, index=index, dtype=np.int64), int(np.count_nonzero(codes < 0))


def _kept(figure: Any, *args: Any) -> Any:
    """A part's figure, or None where the column cannot be read so: as in
    the in-memory page, the column keeps its panel with its missing count
    (and a target its panel without the series), never failing the pass."""
    try:
        return figure(*args)
    except Exception:
        return None


def _merged(merge: Any, states: list[Any]) -> Any:
    return None if any(s is None for s in states) else merge(states)


def _first_leaf(part: pd.DataFrame, times: list, coded: list, axis: Any) -> dict[str, Any]:
    k = _kernels()
    return {
        "times": [_kept(lambda c: k.page_stamps_partial(_stamps(part[c])), c) for c in times],
        "levels": [_kept(_levels, part[c], ranked) for c, ranked in coded],
        "axis": None
        if axis is False
        else _kept(lambda: k.page_stamps_partial(_stamps(part.index if axis is None else part[axis]))),
    }


def _first_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    k = _kernels()
    levels = []
    for j in range(len(nodes[0]["levels"])):
        parts = [n["levels"][j] for n in nodes]
        if any(p is None for p in parts):
            levels.append(None)
            continue
        # In part order, so each level keeps the place of its first count.
        joined = pd.concat([counts for counts, _ in parts])
        united = joined.groupby(level=0, sort=False, dropna=False).sum().astype(np.int64)
        levels.append((united, sum(missing for _, missing in parts)))
    return {
        "times": [_merged(k.page_stamps_merge, [n["times"][j] for n in nodes]) for j in range(len(nodes[0]["times"]))],
        "levels": levels,
        "axis": _merged(k.page_stamps_merge, [n["axis"] for n in nodes]),
    }


def _first_finish(merged: dict[str, Any], coded: list, stable: bool) -> dict[str, Any]:
    """The merged level counts reduced, on the worker, to the listed levels
    (keys, counts), the distinct count and the missing cells."""
    k = _kernels()
    levels = []
    for united, (_, ranked) in zip(merged["levels"], coded, strict=True):
        if united is None:
            levels.append(None)
            continue
        counts, missing = united
        if ranked:
            # value_counts' own sort of the same counts in the same order.
            counts = counts.sort_values(ascending=False, kind="stable" if stable else "quicksort")
            na = np.asarray(counts.index.isna(), dtype=bool)
            missing = int(counts.to_numpy()[na].sum())
            counts = counts[~na]
        codes, listed, distinct = k.page_top_levels(counts.to_numpy(), ranked)
        levels.append((counts.index[codes], listed, distinct, missing))
    return {**merged, "levels": levels}


def _second_leaf(part: pd.DataFrame, times: list, ranges: list, axis: Any, span: Any, targets: list, row: int):
    k = _kernels()

    def periods(c: Any, r: Any) -> Any:
        return None if r is None else k.page_periods_partial(r, _stamps(part[c]))

    def series(y: Any) -> Any:
        t = _stamps(part.index if axis is None else part[axis])
        return k.page_series_partial(span, t, _values(part, y, COLUMN), row)

    return {
        "periods": [_kept(periods, c, r) for c, r in zip(times, ranges, strict=True)],
        "series": [None if span is None else _kept(series, y) for y in targets],
    }


def _second_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    k = _kernels()
    return {
        key: [_merged(merge, [n[key][j] for n in nodes]) for j in range(len(nodes[0][key]))]
        for key, merge in (("periods", k.page_counts_merge), ("series", k.page_series_merge))
    }


class PageFigures:
    """The page's group of figures over the passes (the protocol of
    analysis.py's groups): its work joins passes 1 and 2, and at pass 3,
    after the summaries have filled `page_numeric`, it sets `tables.page`."""

    def __init__(self, ddf: Any, request: Any, targets: Sequence[Hashable]) -> None:
        columns = list(ddf._meta.columns)
        numeric, boolean, times = set(request.numeric), set(request.boolean), set(request.datetime)
        ranked = set(request.levels)
        self.ddf = ddf
        self.times = [c for c in columns if c in times]
        self.coded = [(c, c in ranked) for c in columns if c not in times and (c not in numeric or c in boolean)]
        self.targets = [t for t in targets if t in numeric] if request.has_axis else []
        # The axis of the targets' series: a column, None for the frame's
        # index, False for no series.
        self.axis = request.time_col if self.targets else False

    def reads(self, number: int, tables: Tables | None) -> set[Hashable] | None:
        return None if number < 3 else set()

    def add(self, number: int, p: Pass, previous: list[Any] | None, tables: Tables | None) -> None:
        import dask

        if number == 1:
            leaf = dask.delayed(_first_leaf, pure=True)
            parts = [leaf(part, self.times, self.coded, self.axis) for part in p.partitions(self.ddf)]
            stable = _kernels().release_window("pandas_value_counts_stable", pd)
            finish = dask.delayed(_first_finish, pure=True)
            self._at = p.add(finish(combine_tree(parts, _first_merge), self.coded, stable))
        elif number == 2:
            first = self.first = previous[self._at]
            if not (self.times or self.targets):
                return  # a pass 2 with nothing else to do is not run for this
            leaf = dask.delayed(_second_leaf, pure=True)
            offsets = tables.partition_offsets
            parts = [
                leaf(part, self.times, first["times"], self.axis, first["axis"], self.targets, int(offsets[i]))
                for i, part in enumerate(p.partitions(self.ddf))
            ]
            self._at = p.add(combine_tree(parts, _second_merge))

    def fill(self, number: int, results: list[Any], tables: Tables) -> None:
        if number == 2:
            found = results[self._at] if self.times or self.targets else {"periods": [], "series": []}
            k = _kernels()
            states = zip(self.targets, found["series"], strict=True)
            self.series = {t: None if state is None else k.page_series_finish(state)[:2] for t, state in states}
            self.periods = found["periods"]
        elif number == 3:
            levels = self.first["levels"]
            tables.page = {
                "numeric": tables.page_numeric or {},
                "levels": {c: levels[j] for j, (c, _) in enumerate(self.coded)},
                "datetime": {c: (self.first["times"][j], self.periods[j]) for j, c in enumerate(self.times)},
                "series": self.series,
            }
