"""The numeric column summaries, over every row, in three passes.

Per numeric column, on its values as `df[c].astype(float).values` holds
them: np.nanmin, np.nanmax, np.nanmedian and np.nanstd of the column (NaN
when it has no finite value), SciPy's biased skew and Fisher kurtosis of its
finite values (NaN where SciPy finds no second moment), the quartiles of the
finite values by np.percentile and the share of them outside the
1.5-interquartile fences (0.0 under five finite values or for a zero-width
box). Per target, on `pd.to_numeric(y, errors="coerce")` as float64: the
same skew and kurtosis, and the count of its missing or zero values.

Pass 1 counts (values, finite values, infinities, zeros), takes the extrema
and the quantile buckets (`quantile_scan`). Pass 2, knowing where each
partition's values sit in the whole column, takes NumPy's pairwise sums of
the column (NaN as 0, for nanstd's mean) and of its finite values (for
SciPy's mean) with the pairwise-tree kernel, so the sums are NumPy's own
bits, and gathers the values of the buckets holding the wanted ranks
(`quantile_gather`), or scans one level deeper a bucket that would hand over
more than `bucket_cap` values from a partition. Pass 3 sums the deviations
from those exact means (squares for the deviation, their powers for the
moments, with the moment kernel in the running SciPy's formula: the power
sums from raw values would cancel), gathers the values of
the refined buckets and counts the values outside the fences.

A refined bucket's quartile is only bracketed when pass 3 starts, and so are
the fences computed from it; there pass 3 counts the values below and above
a bracket of each fence and returns the distinct values inside it with their
counts, which settle the count once the fences are known. The refined
bucket's values are gathered in pass 3 whatever their number: a further
level would cost a fourth pass, and that bucket spans 2**20 adjacent floats,
so only a column with more than `bucket_cap` values of one partition packed
that tightly around a quantile gathers more than the cap.

The sign of a zero that is an extreme, the median or a quartile of a column
holding both zeros may differ from NumPy's, whose answer
depends on the zeros' places in the whole column; everything else is NumPy's
and SciPy's own bits. A target that is text is converted partition by
partition, which equals the whole column's conversion unless the text holds
integers beyond 2**53 that the whole column would parse differently.

The page's figures of each column ride along: pass 1 merges the page
kernels' range of the finite values (their count, extrema, zeros and
row-order sum), pass 2 counts the histogram in the bins that range plans,
and the 5/25/50/75/95% quantiles of the finite values are ranks gathered
with the others.

Intermediate results travel between the passes in `Tables.summary_work`.
"""

from __future__ import annotations

import math
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

# Per entry (a column read as a column or as a target) and partition: non-missing values, finite values, -inf, zeros.
_NN, _NF, _NEG_INF, _ZEROS = range(4)

# The percentiles of the page's numeric panels.
_PAGE_PERCENTILES = (5.0, 25.0, 50.0, 75.0, 95.0)


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


# ---------------------------------------------------------------- pass 1


def _scan_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]]) -> dict[str, Any]:
    k = _kernels()
    counts = np.zeros((1, len(entries), 4), dtype=np.int64)
    lo = np.full(len(entries), np.nan)
    hi = np.full(len(entries), np.nan)
    scans, ranges = [], []
    for j, (label, kind) in enumerate(entries):
        x = _values(part, label, kind)
        *counts[0, j], lo[j], hi[j] = k.scan_counts(x)
        if lo[j] == 0 or hi[j] == 0:
            # np.nanmin of the column: infinities count, NaN does not; which
            # zero NumPy answers is its own reduction's business.
            present = x[~np.isnan(x)]
            lo[j], hi[j] = np.min(present), np.max(present)
        if kind == COLUMN:
            scans.append(k.quantile_scan([x])[0])
            ranges.append(k.page_range_partial(x))
    return {
        "lengths": np.array([len(part)], dtype=np.int64),
        "counts": counts,
        "lo": lo,
        "hi": hi,
        "scans": scans,
        "ranges": ranges,
    }


def _scan_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    k = _kernels()
    first = nodes[0]
    return {
        "lengths": np.concatenate([n["lengths"] for n in nodes]),
        "counts": np.concatenate([n["counts"] for n in nodes]),
        "lo": np.fmin.reduce([n["lo"] for n in nodes]),
        "hi": np.fmax.reduce([n["hi"] for n in nodes]),
        "scans": [k.quantile_merge([n["scans"][j] for n in nodes]) for j in range(len(first["scans"]))],
        "ranges": [k.page_range_merge([n["ranges"][j] for n in nodes]) for j in range(len(first["ranges"]))],
    }


@dataclass
class _Refinement:
    """Ranks of one bucket that was too full to gather: scanned one level
    deeper in pass 2, gathered in pass 3."""

    level: tuple[int, int]
    ranks: list[int]  # among the column's non-missing values
    inner: list[int]  # the same ranks inside the bucket
    scan: Any = None  # the merged deeper scan (after pass 2)
    plan: Any = None  # what pass 3 gathers


@dataclass
class _Column:
    """The quantile work of one numeric column."""

    median_ranks: tuple[int, int] | None = None
    quartile_plans: tuple[tuple[int, int, float], tuple[int, int, float]] | None = None
    page_plans: list[tuple[int, int, float]] = field(default_factory=list)
    gather_ranks: list[int] = field(default_factory=list)
    gather_plan: np.ndarray = field(default_factory=lambda: np.empty((0, 6), dtype=np.int64))
    refinements: list[_Refinement] = field(default_factory=list)
    values: dict[int, float] = field(default_factory=dict)  # value per rank, once known
    # Pass 3's outlier count: the brackets [lo_low, lo_high] and [hi_low,
    # hi_high] of the two fences, or None when no count is needed.
    brackets: tuple[float, float, float, float] | None = None
    outliers: int | None = None


@dataclass
class SummaryWork:
    """What the summaries carry from one pass to the next."""

    entries: list[tuple[Any, str]]
    block: int
    bucket_cap: int
    lengths: np.ndarray
    counts: np.ndarray  # partitions x entries x (non-missing, finite, -inf, zeros)
    lo: np.ndarray
    hi: np.ndarray
    scans: list[Any]  # per COLUMN entry, in entry order
    columns: list[_Column]
    ranges: list[Any] = field(default_factory=list)  # the page's range state per COLUMN entry
    histograms: list[Any] = field(default_factory=list)  # and its merged histogram counts
    nan0_sums: list[float | None] = field(default_factory=list)
    finite_sums: list[float | None] = field(default_factory=list)

    def totals(self, j: int) -> np.ndarray:
        return self.counts[:, j, :].sum(axis=0)

    def row_offsets(self) -> np.ndarray:
        """Per partition, the rows before it."""
        offsets = np.zeros(len(self.lengths), dtype=np.int64)
        if len(offsets) > 1:
            np.cumsum(self.lengths[:-1], out=offsets[1:])
        return offsets

    def finite_totals(self) -> list[int]:
        """Per entry, the finite values of the whole column."""
        return [int(t) for t in self.counts[:, :, _NF].sum(axis=0)]

    def finite_offsets(self) -> np.ndarray:
        """Per partition and entry, the finite values before the partition."""
        finite = self.counts[:, :, _NF]
        offsets = np.zeros_like(finite)
        if len(finite) > 1:
            np.cumsum(finite[:-1], axis=0, out=offsets[1:])
        return offsets

    def column_entries(self) -> list[int]:
        return [j for j, (_, kind) in enumerate(self.entries) if kind == COLUMN]


def _sum_block(k: Any) -> int:
    block = k.numpy_sum_block()
    # A NumPy whose summation order is unknown: the whole-array tree is then
    # one pairwise order among others, the sums within rounding of its own.
    return 0 if block is None else int(block)


def _bucket_of(scan: Any, rank: int) -> tuple[int, int]:
    """The scan's index of the bucket holding `rank`, and the rank inside it."""
    counts = np.asarray(scan[2], dtype=np.int64)
    ends = np.cumsum(counts)
    at = int(np.searchsorted(ends, rank, side="right"))
    return at, rank - int(ends[at] - counts[at])


def _plan_column(k: Any, scan: Any, totals: np.ndarray, cap: int) -> _Column:
    col = _Column()
    nn, nf, neg_inf = int(totals[_NN]), int(totals[_NF]), int(totals[_NEG_INF])
    if nf == 0:
        return col
    col.median_ranks = tuple(int(r) for r in k.median_ranks(nn))
    ranks = set(col.median_ranks)
    if nf >= 5:
        plans = []
        for q in (25.0, 75.0):
            below, above, gamma = k.percentile_plan(nf, q)
            # Ranks among the finite values; the scan also counts -inf below them.
            plans.append((int(below) + neg_inf, int(above) + neg_inf, float(gamma)))
            ranks.update(plans[-1][:2])
        col.quartile_plans = (plans[0], plans[1])
    for q in _PAGE_PERCENTILES:
        below, above, gamma = k.percentile_plan(nf, q)
        col.page_plans.append((int(below) + neg_inf, int(above) + neg_inf, float(gamma)))
        ranks.update(col.page_plans[-1][:2])
    wanted = sorted(ranks)
    plan = np.asarray(k.quantile_plan(scan, wanted))
    full = {}
    for row in plan:
        _, _, bucket, count, first, last = (int(v) for v in row)
        if min(last + 1, count - first) > cap:
            full[bucket] = row
    by_bucket: dict[int, list[int]] = {}
    for r in wanted:
        at, _ = _bucket_of(scan, r)
        bucket = int(scan[1][at])
        if bucket in full:
            by_bucket.setdefault(bucket, []).append(r)
        else:
            col.gather_ranks.append(r)
    for bucket, rs in by_bucket.items():
        level = tuple(int(v) for v in k.quantile_refine(full[bucket].reshape(1, 6)))
        col.refinements.append(_Refinement(level, rs, [_bucket_of(scan, r)[1] for r in rs]))
    col.gather_plan = np.asarray(k.quantile_plan(scan, col.gather_ranks)).reshape(-1, 6)
    return col


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
        found = results[at]
        work = SummaryWork(
            entries=entries,
            block=_sum_block(k),
            bucket_cap=cap,
            lengths=found["lengths"],
            counts=found["counts"],
            lo=found["lo"],
            hi=found["hi"],
            scans=found["scans"],
            columns=[],
            ranges=found["ranges"],
        )
        for s, j in enumerate(work.column_entries()):
            work.columns.append(_plan_column(k, work.scans[s], work.totals(j), cap))
        tables.summary_work = work

    return fill


# ---------------------------------------------------------------- pass 2


def _sums_leaf(
    part: pd.DataFrame,
    entries: list[tuple[Any, str]],
    row_offset: int,
    n_rows: int,
    fin_offsets: np.ndarray,
    fin_totals: np.ndarray,
    block: int,
    plans: list[Any],
    levels: list[tuple[int, tuple[int, int]]],
    ranges: list[Any],
) -> dict[str, Any]:
    k = _kernels()
    nan0, finite, gather_cols, values, hists = [], [], [], [], []
    for j, (label, kind) in enumerate(entries):
        x = _values(part, label, kind)
        if kind == COLUMN:
            hists.append([k.page_histogram_partial(ranges[len(gather_cols)], x)])
            gather_cols.append(x)
        # nanstd sums the whole column with its NaN replaced by 0; SciPy's
        # mean, its finite values.
        with_nan0, of_finite = k.sum_partials(
            x, kind == COLUMN, row_offset, n_rows, int(fin_offsets[j]), int(fin_totals[j]), block
        )
        nan0.append(with_nan0)
        finite.append(of_finite)
        values.append(x)
    gathered = k.quantile_gather(gather_cols, plans) if gather_cols else []
    refined = k.quantile_scan([values[j] for j, _ in levels], [lv for _, lv in levels]) if levels else []
    return {
        "nan0": [[s] for s in nan0],
        "finite": [[s] for s in finite],
        "gathered": [[g] for g in gathered],
        "refined": [[r] for r in refined],
        "histograms": hists,
    }


def _concat_merge(nodes: list[dict[str, Any]]) -> dict[str, Any]:
    """Joins the per-partition lists of each entry, in partition order."""
    out: dict[str, Any] = {}
    for key, first in nodes[0].items():
        out[key] = [sum((n[key][i] for n in nodes), []) for i in range(len(first))]
    return out


def _combine(k: Any, partials: list[Any], total: int, block: int) -> float | None:
    if total == 0 or partials[0] is None:
        return None
    return float(k.pairwise_combine(partials, total, block))


def _sums_final(
    merged: dict[str, Any], n_rows: int, fin_totals: list[int], block: int, selects: list[tuple[Any, list[int]]]
) -> dict[str, Any]:
    k = _kernels()
    return {
        "nan0": [_combine(k, parts, n_rows, block) for parts in merged["nan0"]],
        "finite": [_combine(k, parts, fin_totals[j], block) for j, parts in enumerate(merged["finite"])],
        "selected": [
            np.asarray(k.quantile_select(scan, ranks, merged["gathered"][s])) if ranks else np.empty(0)
            for s, (scan, ranks) in enumerate(selects)
        ],
        "refined": [k.quantile_merge(scans) for scans in merged["refined"]],
        "histograms": [k.page_counts_merge(parts) for parts in merged["histograms"]],
    }


def _refinements(work: SummaryWork) -> list[tuple[int, int, _Refinement]]:
    """(entry, column number, refinement) of every refined bucket."""
    out = []
    for s, j in enumerate(work.column_entries()):
        out.extend((j, s, ref) for ref in work.columns[s].refinements)
    return out


def add_summary_sums(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 2: the sums for the means and the gathered quantile values (the
    offsets come from pass 1, filled into `tables`)."""
    import dask

    work: SummaryWork = tables.summary_work
    offsets = work.row_offsets()
    n_rows = int(work.lengths.sum())
    fin_offsets = work.finite_offsets()
    fin_totals = work.finite_totals()
    plans = [c.gather_plan for c in work.columns]
    levels = [(j, ref.level) for j, _, ref in _refinements(work)]
    leaf = dask.delayed(_sums_leaf, pure=True)
    leaves = [
        leaf(
            part,
            work.entries,
            int(offsets[i]),
            n_rows,
            fin_offsets[i],
            fin_totals,
            work.block,
            plans,
            levels,
            work.ranges,
        )
        for i, part in enumerate(p.partitions(ddf))
    ]
    selects = [(work.scans[s], c.gather_ranks) for s, c in enumerate(work.columns)]
    root = dask.delayed(_sums_final, pure=True)(
        combine_tree(leaves, _concat_merge), n_rows, fin_totals, work.block, selects
    )
    at = p.add(root)

    def fill(results: list[Any], tables: Tables) -> None:
        k = _kernels()
        found = results[at]
        work.nan0_sums = found["nan0"]
        work.finite_sums = found["finite"]
        work.histograms = found["histograms"]
        for col, selected in zip(work.columns, found["selected"], strict=True):
            col.values.update(zip(col.gather_ranks, (float(v) for v in selected), strict=True))
        for (_, _, ref), scan in zip(_refinements(work), found["refined"], strict=True):
            ref.scan = scan
            ref.plan = np.asarray(k.quantile_plan(scan, ref.inner)).reshape(-1, 6)
        for s, j in enumerate(work.column_entries()):
            _bracket_fences(k, work.columns[s], int(work.totals(j)[_NF]))

    return fill


def _rank_bounds(col: _Column, rank: int) -> tuple[float, float]:
    """The value at `rank`, or the extremes of its refined bucket."""
    if rank in col.values:
        return col.values[rank], col.values[rank]
    for ref in col.refinements:
        if rank in ref.ranks:
            at, _ = _bucket_of(ref.scan, ref.inner[ref.ranks.index(rank)])
            return float(ref.scan[3][at]), float(ref.scan[4][at])
    raise AssertionError(f"rank {rank} was neither gathered nor refined")


def _widen(low: float, high: float) -> tuple[float, float]:
    # The fences round differently from corner to corner of the brackets; a
    # margin far above that rounding keeps the true fence inside.
    span = high - low
    if math.isfinite(low) and math.isfinite(span):
        low -= 1e-9 * (abs(low) + span) + 1e-300
    if math.isfinite(high) and math.isfinite(span):
        high += 1e-9 * (abs(high) + span) + 1e-300
    return low, high


def _bracket_fences(k: Any, col: _Column, nf: int) -> None:
    if col.quartile_plans is None or nf < 5:
        return
    ranges = []
    for below, above, gamma in col.quartile_plans:
        a, b = _rank_bounds(col, below), _rank_bounds(col, above)
        corners = [k.percentile_lerp(x, y, gamma) for x in a for y in b]
        ranges.append((min(corners), max(corners)))
    fences = [k.iqr_fences(q1, q3)[:2] for q1 in ranges[0] for q3 in ranges[1]]
    lows = [f[0] for f in fences]
    highs = [f[1] for f in fences]
    if all(len(set(v)) == 1 for v in (lows, highs)) and all(r[0] == r[1] for r in ranges):
        col.brackets = (lows[0], lows[0], highs[0], highs[0])
    else:
        col.brackets = (*_widen(min(lows), max(lows)), *_widen(min(highs), max(highs)))


# ---------------------------------------------------------------- pass 3


def _outside(xf: np.ndarray, brackets: tuple[float, float, float, float]) -> tuple[int, Any, Any]:
    lo_low, lo_high, hi_low, hi_high = brackets
    count = int(np.count_nonzero(xf < lo_low) + np.count_nonzero(xf > hi_high))
    if lo_low == lo_high and hi_low == hi_high:
        return count, None, None
    near_lo = np.unique(xf[(xf >= lo_low) & (xf <= lo_high)], return_counts=True)
    near_hi = np.unique(xf[(xf >= hi_low) & (xf <= hi_high)], return_counts=True)
    return count, near_lo, near_hi


def _moments_leaf(
    part: pd.DataFrame,
    entries: list[tuple[Any, str]],
    means: list[tuple[float | None, float | None]],
    row_offset: int,
    n_rows: int,
    fin_offsets: np.ndarray,
    fin_totals: list[int],
    block: int,
    refined: list[tuple[int, tuple[int, int], Any]],
    brackets: list[tuple[int, tuple[float, float, float, float]]],
) -> dict[str, Any]:
    k = _kernels()
    squares, moments, values = [], [], []
    for j, (label, kind) in enumerate(entries):
        x = _values(part, label, kind)
        values.append(x)
        avg, mean = means[j]
        # nanstd: the squared deviations of the whole column, NaN cells 0;
        # SciPy's moments: the moment kernel's partial of the finite values.
        square, moment = k.moment_partials(
            x,
            avg if kind == COLUMN else None,
            mean,
            row_offset,
            n_rows,
            int(fin_offsets[j]),
            int(fin_totals[j]),
            block,
        )
        squares.append([square])
        moments.append([moment])
    gathered = (
        k.quantile_gather([values[j] for j, _, _ in refined], [plan for _, _, plan in refined]) if refined else []
    )
    counted = []
    for j, b in brackets:
        x = values[j]
        counted.append([_outside(x[np.isfinite(x)], b)])
    return {
        "squares": squares,
        "moments": moments,
        "gathered": [[g] for g in gathered],
        "counted": counted,
    }


def _moments_final(
    merged: dict[str, Any],
    n_rows: int,
    fin_totals: list[int],
    block: int,
    selects: list[tuple[Any, list[int]]],
) -> dict[str, Any]:
    k = _kernels()
    moments = [
        k.moment_merge(parts, fin_totals[j], block) if fin_totals[j] and parts[0] is not None else None
        for j, parts in enumerate(merged["moments"])
    ]
    counted = []
    for per_part in merged["counted"]:
        below_above = sum(c[0] for c in per_part)
        near = []
        for side in (1, 2):
            found = [c[side] for c in per_part if c[side] is not None]
            if not found:
                near.append(None)
                continue
            vals = np.concatenate([f[0] for f in found])
            cnts = np.concatenate([f[1] for f in found])
            uniq, inverse = np.unique(vals, return_inverse=True)
            near.append((uniq, np.bincount(inverse, weights=cnts, minlength=len(uniq)).astype(np.int64)))
        counted.append((below_above, near[0], near[1]))
    return {
        "squares": [_combine(k, parts, n_rows, block) for parts in merged["squares"]],
        "moments": moments,
        "selected": [
            np.asarray(k.quantile_select(scan, inner, merged["gathered"][r])) for r, (scan, inner) in enumerate(selects)
        ],
        "counted": counted,
    }


def add_summary_moments(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 3: the centred sums, the refined buckets' values and the outlier
    counts; its fill writes `column_summaries`, `target_moments` and
    `target_zero_counts`."""
    import dask

    work: SummaryWork = tables.summary_work
    offsets = work.row_offsets()
    n_rows = int(work.lengths.sum())
    fin_offsets = work.finite_offsets()
    fin_totals = work.finite_totals()
    means = []
    for j in range(len(work.entries)):
        totals = work.totals(j)
        nn, nf = int(totals[_NN]), int(totals[_NF])
        avg = work.nan0_sums[j] / nn if work.nan0_sums[j] is not None and nf else None
        mean = work.finite_sums[j] / nf if work.finite_sums[j] is not None and nf else None
        means.append((avg, mean))
    refs = _refinements(work)
    refined = [(j, ref.level, ref.plan) for j, _, ref in refs]
    column_entries = work.column_entries()
    brackets = [(column_entries[s], c.brackets) for s, c in enumerate(work.columns) if c.brackets is not None]
    leaf = dask.delayed(_moments_leaf, pure=True)
    leaves = [
        leaf(
            part,
            work.entries,
            means,
            int(offsets[i]),
            n_rows,
            fin_offsets[i],
            fin_totals,
            work.block,
            refined,
            brackets,
        )
        for i, part in enumerate(p.partitions(ddf))
    ]
    selects = [(ref.scan, ref.inner) for _, _, ref in refs]
    root = dask.delayed(_moments_final, pure=True)(
        combine_tree(leaves, _concat_merge), n_rows, fin_totals, work.block, selects
    )
    at = p.add(root)

    def fill(results: list[Any], tables: Tables) -> None:
        k = _kernels()
        found = results[at]
        for (_, s, ref), selected in zip(refs, found["selected"], strict=True):
            work.columns[s].values.update(zip(ref.ranks, (float(v) for v in selected), strict=True))
        counted = iter(found["counted"])
        rows = {}
        for s, j in enumerate(column_entries):
            col = work.columns[s]
            outside = next(counted) if col.brackets is not None else None
            rows[work.entries[j][0]] = _column_row(k, work, j, col, means[j], found, outside)
        tables.column_summaries = pd.DataFrame.from_dict(rows, orient="index", columns=list(_FIELDS))
        for name, dtype in _FIELDS.items():
            tables.column_summaries[name] = tables.column_summaries[name].astype(dtype)
        moments, zeros = {}, {}
        for j, (label, kind) in enumerate(work.entries):
            if kind != TARGET:
                continue
            skew, kurt = _skew_kurtosis(k, work, j, means[j][1], found["moments"][j])
            moments[label] = {"skew": skew, "kurtosis": kurt}
            totals = work.totals(j)
            zeros[label] = n_rows - int(totals[_NN]) + int(totals[_ZEROS])
        if any(kind == TARGET for _, kind in work.entries):
            tables.target_moments = moments
            tables.target_zero_counts = zeros
        tables.page_numeric = {
            work.entries[j][0]: (work.ranges[s], work.histograms[s], _page_quantiles(k, work.columns[s]))
            for s, j in enumerate(column_entries)
        }
        tables.summary_work = None

    return fill


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


def _page_quantiles(k: Any, col: _Column) -> list[float]:
    if not col.page_plans:
        return [math.nan] * len(_PAGE_PERCENTILES)
    return [k.percentile_lerp(col.values[b], col.values[a], g) for b, a, g in col.page_plans]


def _skew_kurtosis(k: Any, work: SummaryWork, j: int, mean: float | None, merged: Any) -> tuple[float, float]:
    """SciPy's skew and kurtosis from the merged moment sums (the moment
    kernel's finish, in the running release's arithmetic)."""
    nf = int(work.totals(j)[_NF])
    if mean is None or nf == 0 or merged is None:
        return math.nan, math.nan
    skew, kurt, _ = k.moment_finish(merged, nf, mean, False, work.block)
    return skew, kurt


def _column_row(
    k: Any,
    work: SummaryWork,
    j: int,
    col: _Column,
    means: tuple[float | None, float | None],
    found: dict[str, Any],
    outside: Any,
) -> dict[str, Any]:
    totals = work.totals(j)
    nn, nf = int(totals[_NN]), int(totals[_NF])
    row: dict[str, Any] = {
        "count": nn,
        "finite": nf,
        "neg_inf": int(totals[_NEG_INF]),
        "pos_inf": nn - nf - int(totals[_NEG_INF]),
        "zeros": int(totals[_ZEROS]),
        "outliers": 0,
        "outlier_share": 0.0,
        "q1": math.nan,
        "q3": math.nan,
    }
    skew, kurt = _skew_kurtosis(k, work, j, means[1], found["moments"][j])
    row.update(skew=skew, kurtosis=kurt, mean=means[1] if means[1] is not None else math.nan)
    if nf == 0:
        row.update(min=math.nan, max=math.nan, median=math.nan, std=math.nan)
        return row
    lower, upper = col.median_ranks
    with np.errstate(all="ignore"):
        row["median"] = k.median_value(col.values[lower], col.values[upper], nn, work.block)
        row["std"] = float(np.sqrt(np.float64(found["squares"][j]) / np.float64(nn)))
    row.update(min=float(work.lo[j]), max=float(work.hi[j]))
    if col.quartile_plans is None:
        return row
    q1, q3 = (k.percentile_lerp(col.values[b], col.values[a], g) for b, a, g in col.quartile_plans)
    row.update(q1=q1, q3=q3)
    lo, hi, zero_width, _ = k.iqr_fences(q1, q3)
    if zero_width:
        return row
    count, near_lo, near_hi = outside
    if near_lo is not None:
        count += int(near_lo[1][near_lo[0] < lo].sum())
    if near_hi is not None:
        count += int(near_hi[1][near_hi[0] > hi].sum())
    row.update(outliers=count, outlier_share=count / nf)
    return row


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
