"""The correlation ratio of each numeric target over each categorical
feature, on every row, in three passes.

The in-memory analysis computes it as

    yv = pd.to_numeric(y, errors="coerce"); g = x.astype("category")
    keep the rows where neither is missing (at least two, else None)
    mu = yv.mean()
    ss_between = sum of n_g * (mean_g - mu) ** 2, groups in groupby's key order
    ss_total = ((yv - mu) ** 2).sum()     (0 gives 0.0)
    ratio = ss_between / ss_total

Both totals are NumPy's pairwise sums over the kept rows, so a partition
that knows where its kept rows sit among all of them (pass 1 counts them)
contributes the tree nodes it holds (`pairwise_partial`), and the merge is
NumPy's own sum, bit for bit: `mu` after pass 2, `ss_total` after pass 3.
A group's mean is its values' sum in row order over its count, a pairwise
sum too: pass 1 also counts each partition's rows of each group, so that
pass 2 can hand over each group's tree nodes the same way. The client holds
those counts, one per partition and group of each (target, column) pair.

Integer targets (plain or nullable) are summed in float64, as pandas' mean
does, through NumPy's buffered casts (`numpy_sum_block`). Other non-float64
targets (float32, booleans) are summed in float64 too, where pandas keeps
their own precision: their ratios are not the library's to the last bits.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .passes import Pass
from .tables import Tables


def _kept(part: pd.DataFrame, target: Any, column: Any) -> tuple[np.ndarray, np.ndarray]:
    """The target's values (float64) and the group keys of the rows the
    ratio keeps, in row order."""
    yv = pd.to_numeric(part[target], errors="coerce")
    gv = part[column].astype("category")
    valid = ~(yv.isna() | gv.isna())
    keys = gv[valid].to_numpy()
    return yv[valid].to_numpy(dtype=np.float64), keys


def _block(dtype: Any) -> int:
    """How NumPy splits the sum of a column of `dtype` taken as float64:
    one piece for float64 itself, buffer-sized pieces for a cast."""
    if isinstance(dtype, np.dtype) and dtype == np.float64:
        return 0
    import _profilon_kernels

    return int(_profilon_kernels.numpy_sum_block())


def _groups(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The distinct keys in first-seen order, each one's count, and the row
    order that lists each group's rows together (stable)."""
    codes, uniques = pd.factorize(keys, sort=False)
    counts = np.bincount(codes, minlength=len(uniques)).astype(np.int64)
    return np.asarray(uniques), counts, np.argsort(codes, kind="stable")


def _count_groups(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]]) -> list[tuple[np.ndarray, np.ndarray]]:
    out = []
    for t, c in pairs:
        _, keys = _kept(part, t, c)
        uniques, counts, _ = _groups(keys)
        out.append((uniques, counts))
    return out


def _sum_partial(
    part: pd.DataFrame,
    pairs: Sequence[tuple[Any, Any]],
    offsets: Sequence[int],
    totals: Sequence[int],
    blocks: Sequence[int],
    group_offsets: Sequence[np.ndarray],
    group_totals: Sequence[np.ndarray],
) -> list[Any]:
    """Per pair: this partition's share of the sum of all kept values, and of
    each of its groups' sums (in its own first-seen order of the keys, which
    is the order pass 1 reported: the same data factorises the same way)."""
    import _profilon_kernels

    partial = _profilon_kernels.pairwise_partial
    out = []
    for j, (t, c) in enumerate(pairs):
        y, keys = _kept(part, t, c)
        if totals[j] < 2:
            out.append(None)
            continue
        _, counts, order = _groups(keys)
        grouped = y[order]
        ends = np.cumsum(counts)
        shares = [
            partial(grouped[e - n : e], int(o), int(g), blocks[j])
            for n, e, o, g in zip(counts, ends, group_offsets[j], group_totals[j], strict=True)
        ]
        out.append((partial(y, offsets[j], totals[j], blocks[j]), shares))
    return out


def _square_partial(
    part: pd.DataFrame,
    pairs: Sequence[tuple[Any, Any]],
    offsets: Sequence[int],
    totals: Sequence[int],
    mus: Sequence[float],
) -> list[Any]:
    import _profilon_kernels

    out = []
    for (t, c), offset, total, mu in zip(pairs, offsets, totals, mus, strict=True):
        if mu is None:
            out.append(None)
            continue
        y, _ = _kept(part, t, c)
        # float64 deviations: their squares are summed in one piece.
        out.append(_profilon_kernels.pairwise_partial((y - mu) ** 2, offset, total, 0))
    return out


def _merge_groups(groups: list[tuple[np.ndarray, np.ndarray]]) -> tuple[pd.Index, list[np.ndarray], np.ndarray]:
    """All partitions' keys as one index (first-seen order), where each
    partition's keys sit in it, and each key's count over all partitions."""
    kept = [u for u, _ in groups if len(u)]
    keys = (pd.unique(np.concatenate(kept)) if len(kept) > 1 else kept[0]) if kept else np.zeros(0)
    index = pd.Index(keys)
    where = [index.get_indexer(u) if len(u) else np.zeros(0, dtype=np.intp) for u, _ in groups]
    totals = np.zeros(len(index), dtype=np.int64)
    for w, (_, counts) in zip(where, groups, strict=True):
        totals[w] += counts
    return index, where, totals


def _between(index: pd.Index, sums: np.ndarray, totals: np.ndarray, mu: float) -> float | None:
    """ss_between in groupby's key order; None where that order cannot be
    had (keys that do not sort, which the library's grouping refuses too)."""
    if len(index) == 0:
        return 0.0
    try:
        _, ordered = pd.factorize(index.to_numpy(), sort=True)
    except TypeError:
        return None
    ss = 0.0
    for j in index.get_indexer(ordered):
        d = sums[j] / float(totals[j]) - mu
        ss += float(totals[j]) * d**2
    return ss


class CorrelationRatios:
    """The ratio of every target in `targets` over every column of `columns`
    (the caller keeps to numeric targets and categorical columns), over
    three passes: each `add_*` adds this group's work to the pass given,
    built from the results of the pass before, and `fill` writes
    `Tables.cat_corr_ratio` from the last pass's results."""

    def __init__(self, ddf: Any, targets: Sequence[Any], columns: Sequence[Any]) -> None:
        self._ddf = ddf
        self.pairs = [(t, c) for t in targets for c in columns]
        dtypes = ddf.dtypes
        self._blocks = [_block(dtypes[t]) for t, _ in self.pairs]

    def add_first(self, p: Pass) -> None:
        import dask

        count = dask.delayed(_count_groups, pure=True)
        self._at = p.add([count(part, self.pairs) for part in p.partitions(self._ddf)])

    def add_second(self, p: Pass, results: list[Any]) -> None:
        import dask

        per_part = results[self._at]
        n_parts = len(per_part)
        self._totals: list[int] = []
        self._offsets = np.zeros((n_parts, len(self.pairs)), dtype=np.int64)
        self._groups: list[tuple[pd.Index, list[np.ndarray], np.ndarray]] = []
        # Per partition and pair: where each of its groups starts among the
        # group's rows of all partitions.
        group_offsets: list[list[np.ndarray]] = [[] for _ in range(n_parts)]
        group_totals: list[list[np.ndarray]] = [[] for _ in range(n_parts)]
        for j in range(len(self.pairs)):
            groups = [r[j] for r in per_part]
            index, where, totals = _merge_groups(groups)
            self._groups.append((index, where, totals))
            seen = np.zeros(len(index), dtype=np.int64)
            kept = 0
            for i, (w, (_, counts)) in enumerate(zip(where, groups, strict=True)):
                self._offsets[i, j] = kept
                kept += int(counts.sum())
                group_offsets[i].append(seen[w].copy())
                group_totals[i].append(totals[w])
                seen[w] += counts
            self._totals.append(kept)
        partial = dask.delayed(_sum_partial, pure=True)
        self._at = p.add(
            [
                partial(
                    part,
                    self.pairs,
                    self._offsets[i].tolist(),
                    self._totals,
                    self._blocks,
                    group_offsets[i],
                    group_totals[i],
                )
                for i, part in enumerate(p.partitions(self._ddf))
            ]
        )

    def add_third(self, p: Pass, results: list[Any]) -> None:
        import dask

        import _profilon_kernels

        combine = _profilon_kernels.pairwise_combine
        per_part = results[self._at]
        self._mus: list[float | None] = []
        self._between: list[float | None] = []
        for j, total in enumerate(self._totals):
            if total < 2:
                self._mus.append(None)
                self._between.append(None)
                continue
            block = self._blocks[j]
            mu = combine([r[j][0] for r in per_part], total, block) / total
            index, where, totals = self._groups[j]
            shares: list[list[Any]] = [[] for _ in range(len(index))]
            for w, r in zip(where, per_part, strict=True):
                for g, share in zip(w, r[j][1], strict=True):
                    shares[g].append(share)
            sums = np.array([combine(s, int(n), block) for s, n in zip(shares, totals, strict=True)], dtype=np.float64)
            between = _between(index, sums, totals, mu)
            self._mus.append(None if between is None else mu)
            self._between.append(between)
        square = dask.delayed(_square_partial, pure=True)
        self._at = p.add(
            [
                square(part, self.pairs, self._offsets[i].tolist(), self._totals, self._mus)
                for i, part in enumerate(p.partitions(self._ddf))
            ]
        )

    def fill(self, results: list[Any], tables: Tables) -> None:
        import _profilon_kernels

        per_part = results[self._at]
        ratios: dict[Any, dict[Any, float | None]] = {}
        for j, (t, c) in enumerate(self.pairs):
            value = None
            if self._mus[j] is not None:
                ss_total = _profilon_kernels.pairwise_combine([r[j] for r in per_part], self._totals[j], 0)
                between = self._between[j]
                value = 0.0 if ss_total == 0.0 else between / ss_total
            ratios.setdefault(t, {})[c] = value
        tables.cat_corr_ratio = ratios
