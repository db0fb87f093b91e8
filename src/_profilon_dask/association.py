"""The correlation ratio of each numeric target over each categorical
feature, on every row, in three passes of the group-sums kernel
(`kernels/group_sums`): pass 1 counts each pair's kept rows (neither value
missing), pass 2 sums the target (NumPy's pairwise tree nodes) and each
partition's share of every group, pass 3 the squared deviations from the
mean. This module reads the columns each pass needs, with the pandas calls
that define missing values and equal keys, and merges the groups by the keys
pandas finds equal; docs/distributed.md ("The correlation ratio") tells how
each sum keeps the library's bits.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .arrow_text import arrow_text_codes
from .native_hashes import Inputs
from .passes import Pass, combine_tree
from .summaries import _sum_block
from .tables import Tables


def _missing(s: pd.Series) -> np.ndarray:
    return s.isna().to_numpy()


def _codes(s: pd.Series) -> tuple[np.ndarray, np.ndarray]:
    """The column's int64 codes in first-seen order (-1: missing) and its
    distinct values: Arrow text by its buffers, else by pandas' factorize."""
    coded = arrow_text_codes(s)
    if coded is None:
        codes, uniques = pd.factorize(s.to_numpy(), sort=False)
        coded = codes.astype(np.int64, copy=False), np.asarray(uniques)
    return coded


def _read(part: pd.DataFrame, targets: Sequence[Any], columns: Sequence[Any], read: Callable, wanted: Any) -> tuple:
    """The targets and `read` of the columns that the `wanted` pairs (a
    targets x columns matrix, or its two margins) need; None for the
    others."""
    ys_wanted, xs_wanted = (wanted.any(axis=1), wanted.any(axis=0)) if isinstance(wanted, np.ndarray) else wanted
    inputs = Inputs(part)
    ys = [inputs(t, "target") if w else None for t, w in zip(targets, ys_wanted, strict=True)]
    return ys, [read(part[c]) if w else None for c, w in zip(columns, xs_wanted, strict=True)]


def _count_kept(part: pd.DataFrame, targets: Sequence[Any], columns: Sequence[Any]) -> np.ndarray:
    return kernels.ratio_kept(*_read(part, targets, columns, _missing, np.ones((len(targets), len(columns)), bool)))


def _sum_partial(part: pd.DataFrame, targets: Sequence[Any], columns: Sequence[Any], *places: Any) -> list[Any]:
    """Per pair: this partition's share of the sum of all kept values (its
    tree nodes) and its groups (keys, counts, sums); `places` as ratio_sums
    takes them."""
    ys, coded = _read(part, targets, columns, _codes, np.reshape(places[2], (len(targets), -1)) >= 2)
    sums = kernels.ratio_sums(ys, [None if k is None else k[0] for k in coded], *places)
    return [None if r is None else ([r[0]], (coded[j % len(columns)][1][r[1]], *r[2:])) for j, r in enumerate(sums)]


def _square_partial(
    part: pd.DataFrame, targets: Sequence[Any], columns: Sequence[Any], complete: Any, *places: Any
) -> list[Any]:
    # A column without a missing cell keeps the target's rows: it is not
    # read at all.
    wanted = np.reshape([mu is not None for mu in places[-1]], (len(targets), -1))
    ys, missing = _read(part, targets, columns, _missing, (wanted.any(axis=1), wanted.any(axis=0) & ~complete))
    return kernels.ratio_squares(ys, missing, *places)


def _merge_groups(parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]]) -> tuple[np.ndarray, ...]:
    """Groups of consecutive partitions as one, the keys that pandas'
    factorize finds equal added natively in partition order."""
    kept = [g for g in parts if len(g[0])]
    if len(kept) <= 1:
        return kept[0] if kept else parts[0]
    codes, keys = pd.factorize(np.concatenate([g[0] for g in kept]), sort=False)
    counts, sums = kernels.group_merge(codes, *[np.concatenate([g[i] for g in kept]) for i in (1, 2)], len(keys))
    return np.asarray(keys), counts, sums


def _merge_sums(nodes: list[list[Any]]) -> list[Any]:
    """Per pair: the nodes' tree nodes, and their groups merged."""
    merged: list[Any] = []
    for parts in zip(*nodes, strict=True):
        if parts[0] is None:
            merged.append(None)
        else:
            merged.append(([p for part in parts for p in part[0]], _merge_groups([part[1] for part in parts])))
    return merged


def _between(groups: tuple[np.ndarray, ...], mu: float, total: int, whole_sum: float) -> float | None:
    """ss_between in groupby's key order; None where that order cannot be
    had (keys that do not sort, which the library's grouping refuses too)."""
    keys, counts, sums = groups
    try:
        rank, _ = pd.factorize(keys, sort=True)
    except TypeError:
        return None
    return kernels.group_between(sums, counts, rank, mu, total, whole_sum)


class CorrelationRatios:
    """The ratio of every (numeric) target over every (categorical) column:
    each `add_*` adds its pass's work from the results of the pass before,
    `fill` writes `Tables.cat_corr_ratio`."""

    def __init__(self, ddf: Any, targets: Sequence[Any], columns: Sequence[Any]) -> None:
        self._ddf, self._targets, self._columns = ddf, list(targets), list(columns)
        self.pairs = [(t, c) for t in self._targets for c in self._columns]
        # How NumPy cuts the sums: a float64 target's whole sum in one
        # piece, a cast one's and every group's as the running NumPy does.
        self._group_block = _sum_block(kernels)
        float64 = [isinstance(d, np.dtype) and d == np.float64 for d in (ddf.dtypes[t] for t in self._targets)]
        self._blocks = np.repeat([0 if f else self._group_block for f in float64], len(self._columns))
        # Per column, whether it has no missing cell (so pass 3 need not read
        # it); set from pass 1's counts when pass 3 is planned.
        self._complete = np.zeros(len(self._columns), dtype=bool)

    def _add(self, p: Pass, leaf: Callable, args: Callable[[int], tuple], merge: Callable | None = None) -> None:
        import dask

        task = dask.delayed(leaf, pure=True)
        parts = p.partitions(self._ddf)
        leaves = [task(part, self._targets, self._columns, *args(i)) for i, part in enumerate(parts)]
        self._at = p.add(combine_tree(leaves, merge) if merge else leaves)

    def add_first(self, p: Pass) -> None:
        self._add(p, _count_kept, lambda i: ())

    def add_second(self, p: Pass, results: list[Any]) -> None:
        self._counts = np.array(results[self._at], dtype=np.int64).reshape(-1, len(self.pairs))
        self._totals = self._counts.sum(axis=0)
        self._offsets = np.cumsum(self._counts, axis=0) - self._counts
        places = (self._totals, self._blocks, self._group_block)
        self._add(p, _sum_partial, lambda i: (self._counts[i], self._offsets[i], *places), _merge_sums)

    def add_third(self, p: Pass, results: list[Any]) -> None:
        self._mus: list[float | None] = []
        self._between: list[float | None] = []
        for j, merged in enumerate(results[self._at]):
            total, between, mu = int(self._totals[j]), None, None
            if merged is not None:
                whole_sum = kernels.pairwise_combine(merged[0], total, int(self._blocks[j]))
                between = _between(merged[1], whole_sum / total, total, whole_sum)
                mu = None if between is None else whole_sum / total
            self._mus.append(mu)
            self._between.append(between)
        places = (self._totals, self._mus)
        self._add(p, _square_partial, lambda i: (self._complete, self._counts[i], self._offsets[i], *places))

    def reads_third(self, tables: Tables) -> set[Any]:
        """The targets, and the columns whose missing cells drop rows."""
        columns = self._ddf.columns
        missing = dict(zip(columns, tables.col_has_missing, strict=True)) if columns.is_unique else {}
        self._complete = np.array([missing.get(c) is False for c in self._columns], dtype=bool)
        return set(self._targets) | {c for c, done in zip(self._columns, self._complete, strict=True) if not done}

    def fill(self, results: list[Any], tables: Tables) -> None:
        per_part = results[self._at]
        ratios: dict[Any, dict[Any, float | None]] = {}
        for j, (t, c) in enumerate(self.pairs):
            value = None
            if self._mus[j] is not None:
                ss_total = kernels.pairwise_combine([r[j] for r in per_part], int(self._totals[j]), 0)
                value = 0.0 if ss_total == 0.0 else self._between[j] / ss_total
            ratios.setdefault(t, {})[c] = value
        tables.cat_corr_ratio = ratios
