"""The page's figures of the columns that are not numeric and of the
targets' series (the numeric columns' ride with the summaries), in passes 1
and 2 with the page kernels (docs/distributed.md tells what each reads)."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .distinct import _level_counts
from .native_hashes import Inputs, read
from .passes import Pass, combine_tree
from .tables import Tables


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


def _per_column(nodes: list[dict[str, Any]], key: str, merge: Any) -> list[Any]:
    return [_merged(merge, list(states)) for states in zip(*(n[key] for n in nodes), strict=True)]


def _unite(parts: list[tuple[pd.Series, int]]) -> tuple[pd.Series, int]:
    # In part order, so each level keeps the place of its first count.
    joined = pd.concat([counts for counts, _ in parts])
    return joined.groupby(level=0, sort=False, dropna=False).sum().astype(np.int64), sum(m for _, m in parts)


def _first_leaf(part: pd.DataFrame, times: list, coded: list, axis: Any) -> dict[str, Any]:
    def stamps(values: Any) -> Any:
        return kernels.page_stamps_partial(read(values, "stamps"))

    return {
        "times": [_kept(lambda c: stamps(part[c]), c) for c in times],
        "levels": [_kept(_levels, part[c], ranked) for c, ranked in coded],
        "axis": None if axis is False else _kept(lambda: stamps(part.index if axis is None else part[axis])),
    }


def _first_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    return {
        "times": _per_column(nodes, "times", kernels.page_stamps_merge),
        "levels": _per_column(nodes, "levels", _unite),
        "axis": _merged(kernels.page_stamps_merge, [n["axis"] for n in nodes]),
    }


def _first_finish(merged: dict[str, Any], coded: list, stable: bool) -> dict[str, Any]:
    """The merged level counts reduced, on the worker, to the listed levels
    (keys, counts), the distinct count and the missing cells."""
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
        codes, listed, distinct = kernels.page_top_levels(counts.to_numpy(), ranked)
        levels.append((counts.index[codes], listed, distinct, missing))
    return {**merged, "levels": levels}


def _second_leaf(part: pd.DataFrame, times: list, ranges: list, axis: Any, span: Any, targets: list, row: int):
    inputs = Inputs(part)

    def periods(c: Any, r: Any) -> Any:
        return None if r is None else kernels.page_periods_partial(r, inputs(c, "stamps"))

    def series(y: Any) -> Any:
        t = read(part.index, "stamps") if axis is None else inputs(axis, "stamps")
        return kernels.page_series_partial(span, t, inputs(y, "column"), row)

    return {
        "periods": [_kept(periods, c, r) for c, r in zip(times, ranges, strict=True)],
        "series": [None if span is None else _kept(series, y) for y in targets],
    }


def _second_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    return {
        "periods": _per_column(nodes, "periods", kernels.page_counts_merge),
        "series": _per_column(nodes, "series", kernels.page_series_merge),
    }


class PageFigures:
    """The page's group of figures over the passes, as analysis.py's steps:
    its work joins passes 1 and 2, and at pass 3, after the summaries have
    filled `page_numeric`, it sets `tables.page`."""

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

    def reads(self, number: int, tables: Tables | None, kept: Any) -> set[Hashable] | None:
        return None if number < 3 else set()

    def first(self, p: Pass, tables: Any, kept: Any) -> Any:
        import dask

        parts = p.tasks(self.ddf, _first_leaf, self.times, self.coded, self.axis)
        stable = kernels.release_window("pandas_value_counts_stable", pd)
        finish = dask.delayed(_first_finish, pure=True)
        at = p.add(finish(combine_tree(parts, _first_merge), self.coded, stable))
        return lambda results, tables: results[at]

    def second(self, p: Pass, tables: Tables, first: dict[str, Any]) -> Any:
        import dask

        at = None
        # A pass 2 with nothing else to do is not run for this.
        if self.times or self.targets:
            leaf = dask.delayed(_second_leaf, pure=True)
            offsets = tables.partition_offsets
            parts = [
                leaf(part, self.times, first["times"], self.axis, first["axis"], self.targets, int(offsets[i]))
                for i, part in enumerate(p.partitions(self.ddf))
            ]
            at = p.add(combine_tree(parts, _second_merge))

        def fill(results: list[Any], tables: Tables) -> Any:
            found = {"periods": [], "series": []} if at is None else results[at]
            states = zip(self.targets, found["series"], strict=True)
            series = {t: None if state is None else kernels.page_series_finish(state)[:2] for t, state in states}
            return first, found["periods"], series

        return fill

    def third(self, p: Pass, tables: Tables, kept: Any) -> Any:
        first, periods, series = kept

        def fill(results: list[Any], tables: Tables) -> None:
            levels = first["levels"]
            tables.page = {
                "numeric": tables.page_numeric or {},
                "levels": {c: levels[j] for j, (c, _) in enumerate(self.coded)},
                "datetime": {c: (first["times"][j], periods[j]) for j, c in enumerate(self.times)},
                "series": series,
            }

        return fill
