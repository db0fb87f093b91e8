"""The numeric column summaries, the targets' moments and zeros, and the
page's figures of each numeric column, over every row in three passes of the
summary kernel (`kernels/summary.hpp`): this module reads each partition's
columns into the kernel's input and wires the passes; the states between the
workers are the kernel's bytes, between the passes `Tables.summary_work`
(docs/distributed.md tells each figure and what is exact)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .native_hashes import Inputs
from .passes import Pass, combine_tree
from .settings import Settings, read_settings
from .tables import Tables

# The conversions of a column: a numeric column as the distribution step
# reads it, a target as the target diagnostics read it.
COLUMN = "column"
TARGET = "target"

# The kernel's first figures per entry, in its order, and whether each is a
# count; then the missing-or-zero count and the five page percentiles.
FIELDS = kernels.summary_fields()
_ZEROS_AT = len(FIELDS)


@dataclass
class SummaryWork:
    """What the summaries carry from one pass to the next: the kernel's
    work (the page's ranges and histograms in it) and the extremes NumPy
    merged."""

    entries: list[tuple[Any, str]]
    native: Any
    lo: np.ndarray
    hi: np.ndarray


def _read(part: pd.DataFrame, entries: list[tuple[Any, str]]) -> list[np.ndarray]:
    inputs = Inputs(part)
    return [inputs(label, kind) for label, kind in entries]


def _scan_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]]) -> tuple[Any, ...]:
    xs = _read(part, entries)
    state, lo, hi, zero_sign = kernels.summary_scan(xs, np.array([kind == TARGET for _, kind in entries], np.uint8))
    for j in np.flatnonzero(zero_sign):
        # np.nanmin of the column: infinities count, NaN does not; which
        # zero NumPy answers is its own reduction's business.
        present = xs[j][~np.isnan(xs[j])]
        lo[j], hi[j] = np.min(present), np.max(present)
    return state, lo, hi


def _scan_merge(nodes: list[tuple[Any, ...]]) -> tuple[Any, ...]:
    # The extremes merge as NumPy's nanmin and nanmax of the whole column.
    states, lo, hi = zip(*nodes, strict=True)
    return kernels.summary_scan_merge(list(states)), np.fmin.reduce(lo), np.fmax.reduce(hi)


def _read_leaf(part: pd.DataFrame, entries: list[tuple[Any, str]], plan: bytes, partial: Any) -> Any:
    return partial(plan, _read(part, entries))


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
    if columns is None:
        meta = ddf._meta
        columns = [c for c in meta.columns if pd.api.types.is_numeric_dtype(meta[c].dtype)]
    entries = [(c, COLUMN) for c in columns] + [(t, TARGET) for t in targets]
    cap = (settings or read_settings()).bucket_cap
    at = p.add(combine_tree(p.tasks(ddf, _scan_leaf, entries), _scan_merge))

    def fill(results: list[Any], tables: Tables) -> None:
        state, lo, hi = results[at]
        native = kernels.summary_plan(state, cap, _sum_block(kernels))
        tables.summary_work = SummaryWork(entries, native, lo, hi)

    return fill


def _add_read(p: Pass, ddf: Any, work: SummaryWork, read: int, partial: Any, merge: Any) -> int:
    import dask

    # Each partition's plan holds its own place in the column only.
    plans = kernels.summary_read_plans(work.native, read)
    task = dask.delayed(_read_leaf, pure=True)
    leaves = [task(part, work.entries, plan, partial) for part, plan in zip(p.partitions(ddf), plans, strict=True)]
    return p.add(combine_tree(leaves, merge))


def add_summary_sums(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 2: the sums for the means, the gathered quantile values and the
    page's histograms (the plan comes from pass 1, filled into `tables`)."""
    work: SummaryWork = tables.summary_work
    at = _add_read(p, ddf, work, 2, kernels.summary_sums_partial, kernels.summary_sums_merge)
    return lambda results, tables: kernels.summary_sums_finish(work.native, results[at])


def add_summary_moments(p: Pass, ddf: Any, tables: Tables) -> Callable[[list[Any], Tables], None]:
    """Pass 3: the centred sums, the refined buckets' values and the outlier
    counts; its fill writes `column_summaries`, `target_moments`,
    `target_zero_counts` and `page_numeric`."""
    work: SummaryWork = tables.summary_work
    at = _add_read(p, ddf, work, 3, kernels.summary_moments_partial, kernels.summary_moments_merge)

    def fill(results: list[Any], tables: Tables) -> None:
        figures = kernels.summary_finish(work.native, results[at], work.lo, work.hi)
        names = [name for name, _ in FIELDS]
        columns = [j for j, (_, kind) in enumerate(work.entries) if kind == COLUMN]
        rows = {work.entries[j][0]: figures[j, :_ZEROS_AT] for j in columns}
        table = pd.DataFrame.from_dict(rows, orient="index", columns=names)
        tables.column_summaries = table.astype({name: np.int64 if count else np.float64 for name, count in FIELDS})
        targets = [(j, label) for j, (label, kind) in enumerate(work.entries) if kind == TARGET]
        if targets:
            skew, kurt = names.index("skew"), names.index("kurtosis")
            tables.target_moments = {
                label: {"skew": float(figures[j, skew]), "kurtosis": float(figures[j, kurt])} for j, label in targets
            }
            tables.target_zero_counts = {label: int(figures[j, _ZEROS_AT]) for j, label in targets}
        tables.page_numeric = {
            work.entries[j][0]: (*page, figures[j, _ZEROS_AT + 1 :].tolist())
            for j, page in zip(columns, kernels.summary_page(work.native), strict=True)
        }
        tables.summary_work = None

    return fill
