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

    The samples (taken in pass 2, samples.py):
      mi_sample                 the mutual-information rows: pandas'
                                `sample(8000, random_state=0)` positions
                                (every row when there are no more), in draw
                                order, of the numeric features then the
                                numeric targets, with the rows' own index
                                labels (DataFrame; None when there is no
                                numeric target or no numeric feature)
      corr_sample               the correlation rows: up to corr_rows rows
                                drawn with a fixed seed (every row when
                                there are no more), in frame order, of the
                                columns the matrix is computed on
                                (DataFrame); the correlation matrix is
                                computed from it
      ts_series                 per target, its most recent ts_points
                                points in time order, as the in-memory
                                diagnostics order them (dict target ->
                                Series indexed by the time axis; None for a
                                target that is the time column itself)
      sample_notes              which figures were computed on a sample:
                                figure name -> {"rows_used", "rows_total"}
                                ("mutual_information", "correlation"), and
                                "time_series" -> target -> the same pair
                                (points kept, points of the whole series)

    Numeric summaries (passes 1 to 3, summaries.py), each figure the one the
    distribution step takes of `x = df[c].astype(float).values`:
      column_summaries          pandas DataFrame, one row per numeric column
                                (indexed by its label, in the order asked),
                                with the columns
          count      non-missing values (int)
          finite     finite values (int)
          neg_inf    values equal to -inf (int)
          pos_inf    values equal to +inf (int)
          zeros      values equal to 0 (either sign; int)
          min, max   np.nanmin(x), np.nanmax(x) (infinities count), NaN
                     when x has no finite value
          median     np.nanmedian(x) (infinities count), NaN likewise
          std        np.nanstd(x), NaN likewise
          mean       the mean of x's finite values, np.mean(x[isfinite(x)])
                     (NaN for none): the mean skew and kurtosis centre on
          skew       scipy.stats.skew(x[isfinite(x)]) (biased), NaN for no
                     finite value or a variance SciPy counts as zero
          kurtosis   scipy.stats.kurtosis(x[isfinite(x)]) (Fisher, biased),
                     NaN likewise
          q1, q3     np.percentile(x[isfinite(x)], [25, 75]), NaN under five
                     finite values (where the outlier rule takes none)
          outliers   finite values below q1 - 1.5 * iqr or above
                     q3 + 1.5 * iqr (int; 0 under five finite values or
                     when q1 == q3)
          outlier_share  outliers / finite (0.0 where outliers is 0 by rule)
      target_moments            {target label: {"skew": s, "kurtosis": k}},
                                the same figures of
                                pd.to_numeric(y, errors="coerce") as
                                float64 (None when no targets were asked)
      target_zero_counts        {target label: values of that vector that
                                are missing or zero} (int; the zero share
                                is this over n_rows)
      summary_work              between the passes, the summaries' partial
                                results (summaries.SummaryWork); None
                                before pass 1 and after pass 3

    The page's figures (`page`; numeric ones from the summaries):
      page_numeric              {numeric column: (range state, histogram
                                counts, 5/25/50/75/95% quantiles)}, the
                                page kernels' merged states
      page                      what the native page step reads (see
                                figures.hpp): "numeric", "levels",
                                "datetime", "series"; None when the frame's
                                page figures could not be computed

    Levels (`distinct.add_distinct_counts`, in whichever pass it joins):
      nunique_by_col            `df[c].nunique()` per column (int64 Series,
                                indexed by the column labels); capped at 2
                                for the columns outside the request's
                                `categorical`, of which only constancy is
                                asked
      rare_share_by_col         dict, for the categorical columns the fill
                                was given, in that order: the share of
                                cells whose level (missing kinds included,
                                as value_counts(dropna=False) counts them)
                                occurs at most max(int(0.01 * n_rows), 2)
                                times; empty when the frame has no rows

    Duplicate columns (`duplicates`: candidates in pass 2, confirmed in
    pass 3):
      duplicate_pairs           list of (column, the first earlier column
                                with the same row hashes), in column order;
                                empty for no rows or more than 200 columns

    Correlation ratios (`association.CorrelationRatios`, passes 1 to 3):
      cat_corr_ratio            {target: {column: the ratio, or None where
                                the in-memory method answers None}}

    Leakage checks (`leakage.LeakageChecks`, passes 1 and 2):
      leakage_corr_hits         {numeric target: the numeric candidates
                                whose |Pearson r| with it is at least 0.99,
                                in column order}
      target_identical_cols     {target: the candidates `equals` it}

    Time axis (`time_axis.TimeAxis`, passes 1 to 3):
      time_axis                 the axis facts, a dict whose keys the
                                class's docstring lists: which axis, its
                                stamps, NaT and distinct periods, min and
                                max, pandas' inferred frequency, the most
                                common gap and the irregular share
    """

    n_rows: int
    n_cols: int
    partition_lengths: np.ndarray
    partition_offsets: np.ndarray
    missing_counts: pd.Series
    non_missing_counts: pd.Series
    partition_missing_counts: np.ndarray
    rows_with_any_missing: int

    # Filled by the passes (None until then); the docstring says by which.
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
