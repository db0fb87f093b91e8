"""The data behind the leakage hints, on every row, in two passes: per
target, the numeric candidates whose Pearson correlation with it reaches
0.99 in absolute value (the pairs' compensated sums of `kernels/pearson_screen`
in pass 1, their centred products in pass 2), and the candidates identical to
it (`Series.equals` holds for the whole column exactly when it holds in every
partition, an empty one included)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import pandas as pd

import _profilon_kernels

from .native_hashes import Inputs
from .passes import Pass
from .tables import Tables

HIT_THRESHOLD = _profilon_kernels.rules()["leakage_correlation"]


def _first(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]], same: Sequence[tuple[Any, Any]]) -> tuple[Any, Any]:
    columns = Inputs(part)
    sums = [_profilon_kernels.pair_sums(columns(c, "float"), columns(t, "float"), None) for c, t in pairs]
    equal = [bool(part[c].equals(part[t])) for c, t in same]
    return sums, equal


def _second(part: pd.DataFrame, pairs: Sequence[tuple[Any, Any]], means: Sequence[tuple[float, float] | None]) -> list:
    columns = Inputs(part)
    return [
        None if m is None else _profilon_kernels.pair_sums(columns(c, "float"), columns(t, "float"), m)
        for (c, t), m in zip(pairs, means, strict=True)
    ]


class LeakageChecks:
    """Both checks for every target in `targets` against the candidate
    features: every other column but the targets for identity, the `numeric`
    features for correlation with each of the `numeric_targets`."""

    def __init__(self, ddf: Any, targets: Sequence, numeric: Sequence, numeric_targets: Sequence) -> None:
        self._ddf = ddf
        self.targets = list(targets)
        self._numeric_targets = [t for t in self.targets if t in numeric_targets]
        candidates = ddf._meta.drop(columns=self.targets, errors="ignore").columns
        self.same = [(c, t) for t in self.targets for c in candidates]
        self.pairs = [(c, t) for t in self._numeric_targets for c in numeric]

    def add_first(self, p: Pass) -> None:
        self._at = p.add(p.tasks(self._ddf, _first, self.pairs, self.same))

    def add_second(self, p: Pass, results: list[Any]) -> None:
        per_part = results[self._at]
        self._equal = [all(r[1][j] for r in per_part) for j in range(len(self.same))]
        # Per pair, the means of both sides, None under two complete pairs.
        self._means = [_profilon_kernels.pair_means([r[0][j] for r in per_part]) for j in range(len(self.pairs))]
        self._at = p.add(p.tasks(self._ddf, _second, self.pairs, self._means))

    def fill(self, results: list[Any], tables: Tables) -> None:
        per_part = results[self._at]
        hits: dict[Any, list[Any]] = {t: [] for t in self._numeric_targets}
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
