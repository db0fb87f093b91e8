"""The correlation ratio of each numeric target over each categorical
feature, on every row, in three passes: pass 1 counts the kept rows (neither
value missing), pass 2 sums the target (NumPy's pairwise tree nodes) and
each partition's share of every group, merged natively by the codes pandas'
factorize gives the keys, pass 3 the squared deviations from the mean. How
each sum keeps the library's bits is told in docs/distributed.md ("The
correlation ratio").
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .arrow_text import arrow_text_codes, kernels
from .passes import Pass, combine_tree
from .summaries import _sum_block
from .tables import Tables

_UNREAD = object()


class _Reader:
    """One partition's targets, each read once however many pairs ask, and
    one column at a time (walked in `_column_order`)."""

    def __init__(self, part: pd.DataFrame) -> None:
        self.part = part
        self._targets: dict[Any, tuple[np.ndarray, np.ndarray]] = {}
        self._column: Any = _UNREAD
        self._missing = np.zeros(0, dtype=bool)
        self._coded: Any = _UNREAD

    def target(self, t: Any) -> tuple[np.ndarray, np.ndarray]:
        """The target's values as float64 and its missing cells."""
        if t not in self._targets:
            yv = pd.to_numeric(self.part[t], errors="coerce")
            self._targets[t] = (yv.to_numpy(dtype=np.float64, na_value=np.nan), yv.isna().to_numpy())
        return self._targets[t]

    def _switch(self, c: Any) -> None:
        # The pairs hold each column's label object; any other object (even
        # an equal one) is read afresh, which is never wrong.
        if self._column is not c:
            self._column, self._missing, self._coded = c, self.part[c].isna().to_numpy(), _UNREAD

    def kept(self, t: Any, c: Any) -> np.ndarray:
        """The rows the ratio keeps: neither the target nor the column
        missing (the in-memory method groups `x.astype("category")`)."""
        self._switch(c)
        return ~(self.target(t)[1] | self._missing)

    def coded(self, c: Any) -> tuple[np.ndarray, np.ndarray] | None:
        """`arrow_text_codes` of column `c`."""
        self._switch(c)
        if self._coded is _UNREAD:
            self._coded = arrow_text_codes(self.part[c])
        return self._coded


def _column_order(pairs: Sequence[tuple[Any, Any]]) -> list[int]:
    """The pairs' indices, each column's side by side."""
    by_column: dict[Any, list[int]] = {}
    for j, (_, c) in enumerate(pairs):
        by_column.setdefault(c, []).append(j)
    return [j for js in by_column.values() for j in js]


def _block(dtype: Any) -> int:
    """How NumPy splits the sum of a column of `dtype` taken as float64:
    one piece for float64 itself, buffer-sized pieces for a cast."""
    if isinstance(dtype, np.dtype) and dtype == np.float64:
        return 0
    return _sum_block(kernels())


@functools.cache
def _reduce_block() -> int | None:
    """How the running NumPy's add.reduce cuts a float64 array; None where
    the probe cannot tell."""
    return kernels().numpy_sum_block()


def _count_kept(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]]) -> list[int]:
    reader = _Reader(part)
    out = [0] * len(pairs)
    for j in _column_order(pairs):
        out[j] = int(np.count_nonzero(reader.kept(*pairs[j])))
    return out


# One partition's (or several partitions') groups of one pair: the keys in
# first-seen order, each one's count and sum.
_Groups = tuple[np.ndarray, np.ndarray, np.ndarray]


def _groups(y: np.ndarray, codes: np.ndarray, uniques: np.ndarray) -> _Groups:
    """The groups of `y` by `codes` into `uniques`, each sum one add.reduce
    of the group's values in row order, as the library sums a group."""
    block = _reduce_block()
    if block is not None:
        order, counts, sums = kernels().group_sums(y, codes, len(uniques), block)
        return uniques[order], counts, sums
    # The running NumPy's cut is not known: NumPy sums each group's run.
    codes, order = pd.factorize(codes, sort=False)
    counts = np.bincount(codes, minlength=len(order)).astype(np.int64)
    grouped = y[np.argsort(codes, kind="stable")]
    starts = np.cumsum(counts) - counts
    sums = [np.add.reduce(grouped[a : a + n]) for a, n in zip(starts, counts, strict=True)]
    return uniques[order], counts, np.array(sums, dtype=np.float64)


def _kept(values: np.ndarray, kept: np.ndarray | None) -> np.ndarray:
    # None keeps every row, without a copy.
    return values if kept is None else values[kept]


def _kept_groups(reader: _Reader, c: Any, kept: np.ndarray | None, y: np.ndarray) -> _Groups:
    """The groups of the kept rows `y` of column `c` (`kept` None: every
    row), by its Arrow codes where it has them."""
    coded = reader.coded(c)
    if coded is not None:
        codes, uniques = coded
        codes = _kept(codes, kept)
        # A kept row the coding calls missing is a case to leave to pandas.
        if not (codes < 0).any():
            return _groups(y, codes, uniques)
    codes, uniques = pd.factorize(_kept(reader.part[c].to_numpy(), kept), sort=False)
    return _groups(y, codes.astype(np.int64, copy=False), np.asarray(uniques))


def _sum_partial(
    part: pd.DataFrame,
    pairs: Sequence[tuple[Any, Any]],
    offsets: Sequence[int],
    totals: Sequence[int],
    blocks: Sequence[int],
) -> list[Any]:
    """Per pair: this partition's share of the sum of all kept values (its
    tree nodes) and its groups."""
    reader = _Reader(part)
    out: list[Any] = [None] * len(pairs)
    for j in _column_order(pairs):
        if totals[j] < 2:
            continue
        t, c = pairs[j]
        kept: np.ndarray | None = reader.kept(t, c)
        if kept.all():
            kept = None
        y = _kept(reader.target(t)[0], kept)
        partial = kernels().pairwise_partial(y, offsets[j], totals[j], blocks[j])
        out[j] = ([partial], _kept_groups(reader, c, kept, y))
    return out


def _merge_groups(parts: list[_Groups]) -> _Groups:
    """Groups of consecutive partitions as one, the keys that pandas'
    factorize finds equal added natively in partition order."""
    kept = [g for g in parts if len(g[0])]
    if len(kept) <= 1:
        return kept[0] if kept else parts[0]
    codes, keys = pd.factorize(np.concatenate([g[0] for g in kept]), sort=False)
    counts, sums = kernels().group_merge(codes, *[np.concatenate([g[i] for g in kept]) for i in (1, 2)], len(keys))
    return np.asarray(keys), counts, sums


def _merge_sums(nodes: list[list[Any]]) -> list[Any]:
    """Per pair: the nodes' tree nodes, and their groups merged."""
    out = []
    for j in range(len(nodes[0])):
        parts = [node[j] for node in nodes]
        if parts[0] is None:
            out.append(None)
            continue
        out.append(([p for part in parts for p in part[0]], _merge_groups([part[1] for part in parts])))
    return out


def _square_partial(
    part: pd.DataFrame,
    pairs: Sequence[tuple[Any, Any]],
    offsets: Sequence[int],
    totals: Sequence[int],
    mus: Sequence[float | None],
    complete: Sequence[bool],
) -> list[Any]:
    reader = _Reader(part)
    out: list[Any] = [None] * len(pairs)
    for j in _column_order(pairs):
        if mus[j] is None:
            continue
        t, c = pairs[j]
        # A column without a missing cell keeps the target's rows: it is
        # not read at all.
        y, missing = reader.target(t)
        y = y[~missing] if complete[j] else y[reader.kept(t, c)]
        # float64 deviations: their squares are summed in one piece.
        out[j] = kernels().pairwise_partial((y - mus[j]) ** 2, offsets[j], totals[j], 0)
    return out


def _between(groups: _Groups, mu: float, total: int, whole_sum: float) -> float | None:
    """ss_between in groupby's key order; None where that order cannot be
    had (keys that do not sort, which the library's grouping refuses too)."""
    keys, counts, sums = groups
    try:
        rank, _ = pd.factorize(keys, sort=True)
    except TypeError:
        return None
    return kernels().group_between(sums, counts, rank, mu, total, whole_sum)


class CorrelationRatios:
    """The ratio of every (numeric) target over every (categorical) column:
    each `add_*` adds its pass's work from the results of the pass before,
    `fill` writes `Tables.cat_corr_ratio`."""

    def __init__(self, ddf: Any, targets: Sequence[Any], columns: Sequence[Any]) -> None:
        self._ddf = ddf
        self.pairs = [(t, c) for t in targets for c in columns]
        dtypes = ddf.dtypes
        self._blocks = [_block(dtypes[t]) for t, _ in self.pairs]
        # Per pair, whether its column has no missing cell (so pass 3 need
        # not read it); set from pass 1's counts when pass 3 is planned.
        self._complete = [False] * len(self.pairs)

    def add_first(self, p: Pass) -> None:
        import dask

        count = dask.delayed(_count_kept, pure=True)
        self._at = p.add([count(part, self.pairs) for part in p.partitions(self._ddf)])

    def add_second(self, p: Pass, results: list[Any]) -> None:
        import dask

        counts = np.array(results[self._at], dtype=np.int64).reshape(-1, len(self.pairs))
        self._totals = [int(t) for t in counts.sum(axis=0)]
        self._offsets = np.zeros_like(counts)
        if len(counts) > 1:
            np.cumsum(counts[:-1], axis=0, out=self._offsets[1:])
        partial = dask.delayed(_sum_partial, pure=True)
        leaves = [
            partial(part, self.pairs, self._offsets[i].tolist(), self._totals, self._blocks)
            for i, part in enumerate(p.partitions(self._ddf))
        ]
        self._at = p.add(combine_tree(leaves, _merge_sums))

    def add_third(self, p: Pass, results: list[Any]) -> None:
        import dask

        merged = results[self._at]
        self._mus: list[float | None] = []
        self._between: list[float | None] = []
        for j, total in enumerate(self._totals):
            if total < 2:
                self._mus.append(None)
                self._between.append(None)
                continue
            partials, groups = merged[j]
            whole_sum = kernels().pairwise_combine(partials, total, self._blocks[j])
            mu = whole_sum / total
            between = _between(groups, mu, total, whole_sum)
            self._mus.append(None if between is None else mu)
            self._between.append(between)
        square = dask.delayed(_square_partial, pure=True)
        self._at = p.add(
            [
                square(part, self.pairs, self._offsets[i].tolist(), self._totals, self._mus, self._complete)
                for i, part in enumerate(p.partitions(self._ddf))
            ]
        )

    def reads_third(self, tables: Tables) -> set[Any]:
        """The targets, and the columns whose missing cells drop rows."""
        columns = self._ddf.columns
        missing = dict(zip(columns, tables.col_has_missing, strict=True)) if columns.is_unique else {}
        self._complete = [missing.get(c) is False for _, c in self.pairs]
        return {t for t, _ in self.pairs} | {
            c for (_, c), done in zip(self.pairs, self._complete, strict=True) if not done
        }

    def fill(self, results: list[Any], tables: Tables) -> None:
        per_part = results[self._at]
        ratios: dict[Any, dict[Any, float | None]] = {}
        for j, (t, c) in enumerate(self.pairs):
            value = None
            if self._mus[j] is not None:
                ss_total = kernels().pairwise_combine([r[j] for r in per_part], self._totals[j], 0)
                between = self._between[j]
                value = 0.0 if ss_total == 0.0 else between / ss_total
            ratios.setdefault(t, {})[c] = value
        tables.cat_corr_ratio = ratios
