"""What the passes found, in the form the native analysis steps read."""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .summaries import SummaryWork


@dataclass(eq=False)
class Tables:
    """What the passes found, as plain pandas, NumPy and Python values, for
    the native analysis steps to read (each field's meaning:
    docs/distributed.md, "The tables the passes hand over").

    Columns are in the order of the frame's metadata (`ddf.columns`);
    per-partition arrays are in partition order.
    """

    n_rows: int
    n_cols: int
    partition_lengths: np.ndarray
    partition_offsets: np.ndarray
    missing_counts: pd.Series
    rows_with_any_missing: int

    # Filled by the passes (None until then).
    nunique_by_col: pd.Series | None = None
    rare_share_by_col: dict[Hashable, float] | None = None
    duplicate_pairs: list[tuple[Hashable, Hashable]] | None = None
    column_summaries: pd.DataFrame | None = None
    mi_sample: pd.DataFrame | None = None
    corr_sample: pd.DataFrame | None = None
    cat_corr_ratio: dict[Hashable, dict[Hashable, float | None]] | None = None
    target_moments: dict[Hashable, dict[str, float | None]] | None = None
    target_zero_counts: dict[Hashable, int] | None = None
    time_axis: dict[str, object] | None = None
    ts_series: dict[Hashable, pd.Series | None] | None = None
    leakage_corr_hits: dict[Hashable, list[Hashable]] | None = None
    target_identical_cols: dict[Hashable, list[Hashable]] | None = None
    sample_notes: dict[str, dict[Hashable, object]] | None = None
    summary_work: SummaryWork | None = None
    page_numeric: dict[Hashable, tuple[object, np.ndarray, list[float]]] | None = None
    page: dict[str, object] | None = None

    # The shares below are what pandas and NumPy compute from the missing
    # mask of the whole frame: the mean of a boolean column (or array) sums
    # its 0/1 values in float64, which is exact below 2**53 cells, and
    # divides once, so the count over the size is the very same float.

    @property
    def miss_by_col(self) -> pd.Series:
        """`df.isna().mean()`: the missing share per column (NaN for no rows)."""
        if self.n_rows == 0:
            return pd.Series(np.nan, index=self.missing_counts.index, dtype=np.float64)
        return self.missing_counts.astype(np.float64) / self.n_rows

    @property
    def miss_total(self) -> float:
        """`np.mean(df.isna().values)` (NaN when there are no cells)."""
        cells = self.n_rows * self.n_cols
        return float(int(self.missing_counts.sum()) / cells) if cells else float("nan")

    @property
    def rows_with_any_na(self) -> float:
        """`df.isna().any(axis=1).mean()` (NaN for no rows)."""
        return self.rows_with_any_missing / self.n_rows if self.n_rows else float("nan")

    @property
    def col_has_missing(self) -> list[bool]:
        """`df.isna().any().tolist()`."""
        return (self.missing_counts > 0).tolist()
