"""The data behind the leakage hints, on every row, in two passes: per
target, the numeric candidate features whose Pearson correlation with it
reaches 0.99 in absolute value, and the candidates identical to it.

The in-memory check correlates each numeric candidate (`select_dtypes`
with np.number, targets dropped) that shares at least two complete rows
with the target, by `Series.corr`. Pass 1 counts and sums the complete
pairs of each partition, pass 2 sums the centred products around the
pairs' means; the kernels (`pair_sums`, merged by `pair_means` and
`pair_hit`) use compensated sums, in another order than corrcoef's, so a
coefficient agrees with the library's within rounding, which decides a hit
only for a coefficient within about 1e-15 of the threshold.

Identity is pandas' `Series.equals`: elementwise, so it holds for the whole
column exactly when it holds in every partition (an empty one included).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels

from .passes import Pass
from .tables import Tables

HIT_THRESHOLD = _profilon_kernels.rules()["leakage_correlation"]


class _Columns:
    """One partition's columns as float64 (NaN where missing), each
    converted once however many pairs read it; a float64 column is read in
    place."""

    def __init__(self, part: pd.DataFrame) -> None:
        self.part = part
        self._held: dict[int, tuple[Any, np.ndarray]] = {}

    def __getitem__(self, label: Any) -> np.ndarray:
        held = self._held.get(id(label))
        if held is None or held[0] is not label:
            values = np.ascontiguousarray(self.part[label].to_numpy(dtype=np.float64, na_value=np.nan))
            held = self._held[id(label)] = (label, values)
        return held[1]


def _first(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]], same: Sequence[tuple[Any, Any]]) -> tuple[Any, Any]:
    columns = _Columns(part)
    sums = [_profilon_kernels.pair_sums(columns[c], columns[t], None) for c, t in pairs]
    equal = [bool(part[c].equals(part[t])) for c, t in same]
    return sums, equal


def _second(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]], means: Sequence[tuple[float, float] | None]) -> list:
    columns = _Columns(part)
    return [
        None if m is None else _profilon_kernels.pair_sums(columns[c], columns[t], m)
        for (c, t), m in zip(pairs, means, strict=True)
    ]


class LeakageChecks:
    """Both checks for every target in `targets` against the candidate
    features: every other column but the targets for identity, the numeric
    ones (as `select_dtypes(include=[np.number])` picks them on the frame's
    metadata) for correlation, when the target itself is numeric."""

    def __init__(self, ddf: Any, targets: Sequence[Any]) -> None:
        self._ddf = ddf
        self.targets = list(targets)
        meta = ddf._meta
        candidates = meta.drop(columns=self.targets, errors="ignore")
        numeric = list(candidates.select_dtypes(include=[np.number]).columns)
        self.same = [(c, t) for t in self.targets for c in candidates.columns]
        self.pairs = [(c, t) for t in self.targets if pd.api.types.is_numeric_dtype(meta[t]) for c in numeric]

    def add_first(self, p: Pass) -> None:
        import dask

        first = dask.delayed(_first, pure=True)
        self._at = p.add([first(part, self.pairs, self.same) for part in p.partitions(self._ddf)])

    def add_second(self, p: Pass, results: list[Any]) -> None:
        import dask

        per_part = results[self._at]
        self._equal = [all(r[1][j] for r in per_part) for j in range(len(self.same))]
        # Per pair, the means of both sides, None under two complete pairs.
        self._means = [_profilon_kernels.pair_means([r[0][j] for r in per_part]) for j in range(len(self.pairs))]
        second = dask.delayed(_second, pure=True)
        self._at = p.add([second(part, self.pairs, self._means) for part in p.partitions(self._ddf)])

    def fill(self, results: list[Any], tables: Tables) -> None:
        per_part = results[self._at]
        hits: dict[Any, list[Any]] = {t: [] for t in self.targets if pd.api.types.is_numeric_dtype(self._ddf._meta[t])}
        for j, (c, t) in enumerate(self.pairs):
            # Infinite values make the sums inf or NaN and the coefficient
            # NaN: no hit, as for the library, whose warnings stay quiet.
            if self._means[j] is not None and _profilon_kernels.pair_hit([r[j] for r in per_part], HIT_THRESHOLD):
                hits[t].append(c)
        identical: dict[Any, list[Any]] = {t: [] for t in self.targets}
        for (c, t), equal in zip(self.same, self._equal, strict=True):
            if equal:
                identical[t].append(c)
        tables.leakage_corr_hits = hits
        tables.target_identical_cols = identical
