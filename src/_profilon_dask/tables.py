"""What the passes found, in the form the native analysis steps read."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd


@dataclass(eq=False)
class Tables:
    """What the passes found, as plain pandas, NumPy and Python values, for
    the native analysis steps to read.

    Columns are in the order of the frame's metadata (`ddf.columns`);
    per-partition arrays are in partition order.

    Counts and positions (pass 1):
      n_rows                    rows of the whole frame (int)
      n_cols                    columns (int)
      partition_lengths         rows per partition (int64 array)
      partition_offsets         global position of each partition's first
                                row (int64 array; a partition covers
                                offsets[i] .. offsets[i] + lengths[i])
      missing_counts            missing cells per column (int64 Series,
                                indexed by the column labels)
      non_missing_counts        n_rows - missing_counts
      partition_missing_counts  missing cells per partition and column
                                (int64 array, partitions x columns)
      rows_with_any_missing     rows with at least one missing cell (int)

    The fields below belong to the later passes, which are not built yet;
    they stay None until then:
      nunique_by_col            distinct non-missing values per column
      rare_share_by_col         share of rare levels per categorical column
      duplicate_pairs           pairs of identical columns, in scan order
      column_summaries          per numeric column: counts of finite and
                                infinite values, extrema, median, standard
                                deviation, skew, kurtosis, quartiles and
                                outlier share
      corr_matrix               correlation matrix of the numeric columns
                                (on the correlation sample)
      mi_sample                 the mutual-information sample rows (pandas
                                DataFrame, in draw order)
      cat_corr_ratio            correlation ratio per (target, categorical
                                column)
      target_moments            skew and kurtosis per target
      target_zero_counts        zero-or-missing values per target
      time_axis                 the axis facts (filled by
                                `time_axis.TimeAxis`, whose docstring lists
                                the keys): which axis, its stamps, NaT and
                                distinct periods, min and max, pandas'
                                inferred frequency, the most common gap
                                and the irregular share
      ts_series                 per target, its most recent points in time
                                order (pandas Series)
      leakage_corr_hits         per target, the numeric features whose
                                |Pearson r| is at least 0.99
      target_identical_cols     per target, the columns equal to it
      sample_notes              which figures were computed on a sample,
                                of how many rows out of how many
    """

    n_rows: int
    n_cols: int
    partition_lengths: np.ndarray
    partition_offsets: np.ndarray
    missing_counts: pd.Series
    non_missing_counts: pd.Series
    partition_missing_counts: np.ndarray
    rows_with_any_missing: int

    nunique_by_col: Any = None
    rare_share_by_col: Any = None
    duplicate_pairs: Any = None
    column_summaries: Any = None
    corr_matrix: Any = None
    mi_sample: Any = None
    cat_corr_ratio: Any = None
    target_moments: Any = None
    target_zero_counts: Any = None
    time_axis: Any = None
    ts_series: Any = None
    leakage_corr_hits: Any = None
    target_identical_cols: Any = None
    sample_notes: Any = None

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
