"""The numeric column summaries, over every row, in three passes.

Per numeric column, on its values as `df[c].astype(float).values` holds
them: np.nanmin, np.nanmax, np.nanmedian and np.nanstd of the column (NaN
when it has no finite value), SciPy's biased skew and Fisher kurtosis of its
finite values (NaN where SciPy finds no second moment), the quartiles of the
finite values by np.percentile and the share of them outside the
1.5-interquartile fences (0.0 under five finite values or for a zero-width
box). Per target, on `pd.to_numeric(y, errors="coerce")` as float64: the
same skew and kurtosis, and the count of its missing or zero values.

The summary kernel (kernels/summary.hpp) does the work of every pass: pass 1
counts the values and scans their quantile buckets, and its plan knows which
buckets hold the wanted ranks; pass 2 takes NumPy's pairwise sums for the
means and gathers the planned buckets' values (or scans a bucket too full
for `bucket_cap` one level deeper); pass 3 sums the deviations for nanstd
and SciPy's moments, gathers the refined buckets and counts the outliers
against brackets of the fences. This module reads each partition's columns
into the kernel's input, wires the passes and turns the kernel's figures
into the tables; the states between the workers are the kernel's bytes.

The extremes stay with NumPy: a partition's zero extreme, where both zeros
occur, is np.min's or np.max's, and the partitions' extremes are merged by
np.fmin and np.fmax as the whole column's nanmin and nanmax would be. The
sign of a zero that is an extreme, the median or a quartile of a column
holding both zeros may still differ from NumPy's, whose answer depends on
the zeros' places in the whole column; everything else is NumPy's and
SciPy's own bits. A target that is text is converted partition by
partition, which equals the whole column's conversion unless the text holds
integers beyond 2**53 that the whole column would parse differently.

The page's figures of each column ride along: pass 1 merges the page
kernels' range of the finite values, pass 2 counts the histogram in the
bins that range plans, and the kernel's finish gives the 5/25/50/75/95%
quantiles of the finite values with the others.

Intermediate results travel between the passes in `Tables.summary_work`.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .passes import Pass, combine_tree
from .settings import Settings, read_settings
from .tables import Tables

# The conversions of a column: a numeric column as the distribution step
# reads it, a target as the target diagnostics read it.
COLUMN = "column"
TARGET = "target"

# The first 16 of the kernel's figures per entry, in its order, and their
# types; then the missing-or-zero count and the five page percentiles.
_FIELDS = {
    "count": np.int64,
    "finite": np.int64,
    "neg_inf": np.int64,
    "pos_inf": np.int64,
    "zeros": np.int64,
    "min": np.float64,
    "max": np.float64,
    "median": np.float64,
    "std": np.float64,
    "mean": np.float64,
    "skew": np.float64,
    "kurtosis": np.float64,
    "q1": np.float64,
    "q3": np.float64,
    "outliers": np.int64,
    "outlier_share": np.float64,
}
_ZEROS_AT = len(_FIELDS)


def _values(part: pd.DataFrame, label: Any, kind: str) -> np.ndarray:
    """The column's values as the step reads them; a float64 column's own
    buffer (never written to), not a copy."""
    s = part[label]
    if kind == COLUMN:
        if s.dtype == np.float64:
            return np.ascontiguousarray(s.to_numpy())
        return np.ascontiguousarray(s.astype(float).to_numpy(), dtype=np.float64)
    numeric = pd.to_numeric(s, errors="coerce")
    return np.ascontiguousarray(numeric.to_numpy(dtype="float64", na_value=np.nan))


def _kernels() -> Any:
    import _profilon_kernels

    return _profilon_kernels


@dataclass
class _ColumnWork:
    """A look at one column's plan: its refined buckets' (level, prefix)
    and the brackets of its fences (None: no outlier count)."""

    refinements: list[tuple[int, int]]
    brackets: tuple[float, float, float, float] | None


@dataclass
class SummaryWork:
    """What the summaries carry from one pass to the next: the kernel's
    work, the extremes NumPy merged and the page's states."""

    entries: list[tuple[Any, str]]
    native: Any
    lo: np.ndarray
    hi: np.ndarray
    ranges: list[Any]  # the page's range state per COLUMN entry
    histograms: list[Any] = field(default_factory=list)  # and its merged histogram counts

    @property
    def columns(self) -> list[_ColumnWork]:
        return [_ColumnWork(list(r), b) for r, b in _kernels().summary_inspect(self.native)]

    def column_entries(self) -> list[int]:
        return [j for j, (_, kind) in enumerate(self.entries) if kind == COLUMN]


def _kinds(entries: list[tuple[Any, str]]) -> np.ndarray:
    return np.array([kind == TARGET for _, kind in entries], dtype=np.uint8)


# ---------------------------------------------------------------- pass 1


def _scan_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]]) -> tuple[Any, ...]:
    k = _kernels()
    xs = [_values(part, label, kind) for label, kind in entries]
    state, lo, hi, zero_sign = k.summary_scan(xs, _kinds(entries))
    for j in np.flatnonzero(zero_sign):
        # np.nanmin of the column: infinities count, NaN does not; which
        # zero NumPy answers is its own reduction's business.
        present = xs[j][~np.isnan(xs[j])]
        lo[j], hi[j] = np.min(present), np.max(present)
    ranges = [k.page_range_partial(x) for x, (_, kind) in zip(xs, entries, strict=True) if kind == COLUMN]
    return state, lo, hi, ranges


def _scan_merge(nodes: list[tuple[Any, ...]]) -> tuple[Any, ...]:
    k = _kernels()
    return (
        k.summary_scan_merge([n[0] for n in nodes]),
        np.fmin.reduce([n[1] for n in nodes]),
        np.fmax.reduce([n[2] for n in nodes]),
        [k.page_range_merge([n[3][j] for n in nodes]) for j in range(len(nodes[0][3]))],
    )


def _sum_block(k: Any) -> int:
    block = k.numpy_sum_block()
    # A NumPy whose summation order is unknown: the whole-array tree is then
    # one pairwise order among others, the sums within rounding of its own.
    return 0 if block is None else int(block)


def add_summary_scan(
    p: Pass,
    ddf: Any,
    columns: Sequence[Any] | None = None,
    targets: Sequence[Any] = (),
    settings: Settings | None = None,
) -> Callable[[list[Any], Tables], None]:
    """Pass 1 of the summaries of `columns` (default: the columns pandas'
    is_numeric_dtype takes, booleans included, as the analysis picks its
    numeric columns) and of the `targets`' moments and zeros."""
    import dask

    if columns is None:
        meta = ddf._meta
        columns = [c for c in meta.columns if pd.api.types.is_numeric_dtype(meta[c].dtype)]
    entries = [(c, COLUMN) for c in columns] + [(t, TARGET) for t in targets]
    cap = (settings or read_settings()).bucket_cap
    leaf = dask.delayed(_scan_leaf, pure=True)
    at = p.add(combine_tree([leaf(part, entries) for part in p.partitions(ddf)], _scan_merge))

    def fill(results: list[Any], tables: Tables) -> None:
        k = _kernels()
        state, lo, hi, ranges = results[at]
        native = k.summary_plan(state, cap, _sum_block(k))
        tables.summary_work = SummaryWork(entries, native, lo, hi, ranges)

    return fill


# ---------------------------------------------------------------- passes 2 and 3


def _sums_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]], plan: bytes, ranges: list[Any]) -> Any:
    k = _kernels()
    xs = [_values(part, label, kind) for label, kind in entries]
    columns = [x for x, (_, kind) in zip(xs, entries, strict=True) if kind == COLUMN]
    hists = [k.page_histogram_partial(r, x) for r, x in zip(ranges, columns, strict=True)]
    return k.summary_sums_partial(plan, xs), hists


def _sums_merge(nodes: list[Any]) -> Any:
    k = _kernels()
    hists = [k.page_counts_merge([n[1][j] for n in nodes]) for j in range(len(nodes[0][1]))]
    return k.summary_sums_merge([n[0] for n in nodes]), hists


def _moments_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]], plan: bytes) -> Any:
    return _kernels().summary_moments_partial(plan, [_values(part, label, kind) for label, kind in entries])


def _moments_merge(nodes: list[Any]) -> Any:
    return _kernels().summary_moments_merge(nodes)


def add_summary_sums(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 2: the sums for the means and the gathered quantile values (the
    plan comes from pass 1, filled into `tables`)."""
    import dask

    work: SummaryWork = tables.summary_work
    # Each partition's plan holds its own place in the column only.
    plans = _kernels().summary_read_plans(work.native, 2)
    leaf = dask.delayed(_sums_leaf, pure=True)
    leaves = [leaf(part, work.entries, plan, work.ranges) for part, plan in zip(p.partitions(ddf), plans, strict=True)]
    at = p.add(combine_tree(leaves, _sums_merge))

    def fill(results: list[Any], tables: Tables) -> None:
        merged, work.histograms = results[at]
        _kernels().summary_sums_finish(work.native, merged)

    return fill


def add_summary_moments(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 3: the centred sums, the refined buckets' values and the outlier
    counts; its fill writes `column_summaries`, `target_moments` and
    `target_zero_counts`."""
    import dask

    work: SummaryWork = tables.summary_work
    plans = _kernels().summary_read_plans(work.native, 3)
    leaf = dask.delayed(_moments_leaf, pure=True)
    leaves = [leaf(part, work.entries, plan) for part, plan in zip(p.partitions(ddf), plans, strict=True)]
    at = p.add(combine_tree(leaves, _moments_merge))

    def fill(results: list[Any], tables: Tables) -> None:
        figures = _kernels().summary_finish(work.native, results[at], work.lo, work.hi)
        column_entries = work.column_entries()
        rows = {work.entries[j][0]: dict(zip(_FIELDS, figures[j, :_ZEROS_AT], strict=True)) for j in column_entries}
        tables.column_summaries = pd.DataFrame.from_dict(rows, orient="index", columns=list(_FIELDS))
        for name, dtype in _FIELDS.items():
            tables.column_summaries[name] = tables.column_summaries[name].astype(dtype)
        targets = [(j, label) for j, (label, kind) in enumerate(work.entries) if kind == TARGET]
        if targets:
            skew, kurt = list(_FIELDS).index("skew"), list(_FIELDS).index("kurtosis")
            tables.target_moments = {
                label: {"skew": float(figures[j, skew]), "kurtosis": float(figures[j, kurt])} for j, label in targets
            }
            tables.target_zero_counts = {label: int(figures[j, _ZEROS_AT]) for j, label in targets}
        tables.page_numeric = {
            work.entries[j][0]: (work.ranges[s], work.histograms[s], [float(v) for v in figures[j, _ZEROS_AT + 1 :]])
            for s, j in enumerate(column_entries)
        }
        tables.summary_work = None

    return fill


def column_summaries(
    ddf: Any,
    columns: Sequence[Any] | None = None,
    targets: Sequence[Any] = (),
    settings: Settings | None = None,
    scheduler: Callable[..., Any] | None = None,
) -> Tables:
    """The three passes on their own (pass 1 with the scan of scan.py): the
    `Tables` with `column_summaries` (and the target fields) filled."""
    from .passes import pinned_scheduler
    from .scan import add_scan

    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    first = Pass(scheduler)
    fill_scan = add_scan(first, ddf)
    fill1 = add_summary_scan(first, ddf, columns, targets, settings)
    results = first.run()
    tables = fill_scan(results)
    fill1(results, tables)
    for add in (add_summary_sums, add_summary_moments):
        p = Pass(scheduler)
        fill = add(p, ddf, tables)
        fill(p.run(), tables)
    return tables
