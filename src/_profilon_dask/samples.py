"""The samples some figures are computed on: the mutual-information rows, the
correlation rows and each target's most recent points in time, each added
to a pass it is given (the analysis' second, or `sample_pass`'s own). How
they are drawn and joined: docs/distributed.md."""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .passes import SPLIT_EVERY, Pass, combine_tree, pinned_scheduler
from .settings import MI_SAMPLE_ROWS, Settings, read_settings
from .tables import Tables

# Seed of the correlation sample's draw (see `corr_positions`).
CORR_SEED = 0

Fill = Callable[[list[Any], Tables], None]


def mi_positions(n: int) -> np.ndarray:
    """The positions of the mutual-information rows among `n`, in draw order:
    every position when n <= 8,000, else those that
    `pd.Series(np.arange(n)).sample(8000, random_state=0)` draws (pandas'
    `RandomState(0).choice(n, 8000, replace=False)`: a shuffled arange)."""
    if n <= MI_SAMPLE_ROWS:
        return np.arange(n, dtype=np.int64)
    # The shuffle draws the same swap for every position whatever the width
    # of the positions, so narrower ones give the same draw in half the
    # memory of choice's int64 permutation.
    width = np.int32 if n <= np.iinfo(np.int32).max else np.int64
    positions = np.arange(n, dtype=width)
    np.random.RandomState(0).shuffle(positions)
    # A copy: a slice would keep the whole permutation alive.
    return positions[:MI_SAMPLE_ROWS].astype(np.int64)


def corr_positions(n: int, rows: int) -> np.ndarray:
    """The positions of the correlation rows among `n`, ascending: every
    position when n <= rows, else `np.random.default_rng(0).choice(n,
    size=rows, replace=False, shuffle=False)` sorted into frame order."""
    if n <= rows:
        return np.arange(n, dtype=np.int64)
    drawn = np.random.default_rng(CORR_SEED).choice(n, size=rows, replace=False, shuffle=False)
    return np.sort(drawn.astype(np.int64, copy=False))


def mi_columns(meta: pd.DataFrame, targets: Sequence[Hashable]) -> list[Hashable]:
    """The columns the mutual information reads, judged on the metadata: the
    features `df.drop(columns=targets, errors="ignore").select_dtypes(include=
    [np.number])` keeps (no booleans), then the targets `is_numeric_dtype`
    accepts, in the caller's order; empty (no sample) without either."""
    if not len(targets):
        return []
    features = meta.drop(columns=list(targets), errors="ignore").select_dtypes(include=[np.number])
    numeric_targets = [t for t in targets if t in meta.columns and pd.api.types.is_numeric_dtype(meta[t])]
    if features.shape[1] == 0 or not numeric_targets:
        return []
    return [*features.columns, *numeric_targets]


def _check_length(part: pd.DataFrame, index: int, expected: int) -> None:
    if len(part) != expected:
        raise ValueError(
            f"partition {index} of the Dask DataFrame has {len(part)} rows, but the first pass counted "
            f"{expected}: its data changed between passes"
        )


def _concat_like_compute(frames: list[pd.DataFrame]) -> pd.DataFrame:
    # What `ddf.compute()` does with its partitions.
    from dask.dataframe import methods

    filled = [f for f in frames if len(f)]
    return methods.concat(filled, uniform=True) if filled else frames[0]


def _take_rows(
    part: pd.DataFrame, index: int, packed: tuple[str, np.ndarray, int], columns: list[Hashable]
) -> tuple[pd.DataFrame, np.ndarray]:
    """The rows at the packed positions of one partition (of pass 1's length),
    then its first row as the carrier of its dtypes; and which are wanted."""
    _check_length(part, index, packed[2])
    if len(part) == 0:
        return part.iloc[:0][columns], np.zeros(0, dtype=bool)
    rows = np.append(kernels.rows_unpack(packed), 0)
    return part.iloc[rows][columns], np.arange(len(rows)) < len(rows) - 1


def _join_rows(pieces: list[tuple[pd.DataFrame, np.ndarray]]) -> tuple[pd.DataFrame, np.ndarray]:
    return _concat_like_compute([f for f, _ in pieces]), np.concatenate([k for _, k in pieces])


def _finish_rows(joined: tuple[pd.DataFrame, np.ndarray], inverse: np.ndarray | None) -> pd.DataFrame:
    # The wanted rows in ascending position, then in the caller's order
    # (None: that order already).
    wanted = joined[0].iloc[np.flatnonzero(joined[1])]
    return wanted if inverse is None else wanted.iloc[inverse]


def _scanned_partitions(p: Pass, ddf: Any, tables: Tables) -> list[Any]:
    parts = p.partitions(ddf)
    if len(parts) != len(tables.partition_lengths):
        raise ValueError(
            f"the Dask DataFrame has {len(parts)} partitions, but the first pass counted "
            f"{len(tables.partition_lengths)}: these tables are another frame's"
        )
    return parts


def add_rows(p: Pass, ddf: Any, tables: Tables, positions: np.ndarray, columns: Sequence[Hashable]) -> int:
    """Adds to `p` the rows of `ddf` at the global `positions` (any order,
    repeats allowed), of `columns`; returns the index of the result, the
    frame `ddf.compute().iloc[positions][columns]` (dtypes and index labels
    included)."""
    return p.add(_rows(p, ddf, tables, positions, columns))


def _rows(p: Pass, ddf: Any, tables: Tables, positions: np.ndarray, columns: Sequence[Hashable]) -> Any:
    import dask

    parts = _scanned_partitions(p, ddf, tables)
    # Each partition's own rows, and where each asked position lies among
    # them all (None: the asked order already).
    packed, inverse = kernels.rows_plan(positions, tables.partition_offsets, tables.partition_lengths)
    take = dask.delayed(_take_rows, pure=True)
    pieces = [take(parts[i], i, rows, list(columns)) for i, rows in enumerate(packed) if rows[2]]
    # No rows at all: `ddf.compute()` is then the first partition.
    pieces = pieces or [take(parts[0], 0, packed[0], list(columns))]
    return dask.delayed(_finish_rows, pure=True)(combine_tree(pieces, _join_rows), inverse)


def _notes(tables: Tables) -> dict[str, Any]:
    if tables.sample_notes is None:
        tables.sample_notes = {}
    return tables.sample_notes


def _add_sample(p: Pass, ddf: Any, tables: Tables, positions: Any, columns: Any, name: str, figure: str) -> Fill:
    """Adds the rows at `positions` of `columns` (None: no sample) to `p`;
    the fill sets `tables.<name>` to them (or None) and notes the rows
    used for `figure`."""
    at = None if columns is None else add_rows(p, ddf, tables, positions, columns)

    def fill(results: list[Any], tables: Tables) -> None:
        setattr(tables, name, None if at is None else results[at])
        if at is not None:
            _notes(tables)[figure] = {"rows_used": len(results[at]), "rows_total": tables.n_rows}

    return fill


def add_mi_sample(
    p: Pass, ddf: Any, tables: Tables, targets: Sequence[Hashable], columns: Sequence[Hashable] | None = None
) -> Fill:
    """Adds the mutual-information sample to `p`: the rows `mi_positions(n)`
    of `columns` (default `mi_columns(ddf._meta, targets)`), for
    `tables.mi_sample`."""
    cols = mi_columns(ddf._meta, targets) if columns is None else list(columns)
    return _add_sample(p, ddf, tables, mi_positions(tables.n_rows), cols or None, "mi_sample", "mutual_information")


def add_corr_sample(
    p: Pass, ddf: Any, tables: Tables, columns: Sequence[Hashable], settings: Settings | None = None
) -> Fill:
    """Adds the correlation sample to `p`: `corr_positions(n,
    settings.corr_rows)` of `columns`, in frame order, for
    `tables.corr_sample`."""
    positions = corr_positions(tables.n_rows, (settings or read_settings()).corr_rows)
    return _add_sample(p, ddf, tables, positions, list(columns), "corr_sample", "correlation")


def _time_key(values: pd.Series | pd.Index) -> tuple[np.ndarray, np.ndarray]:
    """Sort keys of the time values as the recent-points kernel reads them,
    and which are missing: dates and durations as int64 nanoseconds (float64
    would merge stamps after April 1970), numbers as themselves widened to
    int64, uint64 or float64; missing ones get key 0 (their mask orders them)."""
    dtype = values.dtype
    missing = np.asarray(pd.isna(values), dtype=bool)
    numpy_dtype = getattr(dtype, "numpy_dtype", dtype)
    if isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "mM"):
        key = np.array(pd.array(values).as_unit("ns").asi8, dtype=np.int64)
    elif pd.api.types.is_numeric_dtype(dtype) and np.dtype(numpy_dtype).kind in "biuf":
        kind = np.dtype(numpy_dtype)
        wide = np.float64 if kind.kind == "f" else np.uint64 if kind == np.uint64 else np.int64
        key = np.array(pd.array(values).to_numpy(dtype=wide, na_value=0), copy=True)
    else:
        raise TypeError(f"the time axis must hold dates, durations or numbers to order points by it, not {dtype}")
    key[missing] = 0
    return key, missing


def _with_value(part: pd.DataFrame, target: Hashable) -> tuple[Any, np.ndarray]:
    # The rows `pd.to_numeric(column, errors="coerce").dropna()` keeps; the
    # dtype of that conversion depends on every value of text, so it is kept
    # for the whole column (an empty partition has none).
    numeric = pd.to_numeric(part[target], errors="coerce")
    return numeric.dtype if len(part) else None, np.asarray(numeric.notna(), dtype=bool)


def _kept_targets(targets: Sequence[Hashable], time_col: Hashable | None) -> list[Hashable]:
    # The time column is no series of its own (the in-memory diagnostics skip it).
    return [t for t in dict.fromkeys(targets) if time_col is None or t != time_col]


# A target's plan in one partition (see `_recent_plans`): None to keep its
# `points` most recent valid rows of all; ("from", untimed_only, bound) to
# keep them among the rows that meet the bound; ("none", valid rows, dtype,
# time key dtype) when no row of it can be among the most recent.
Plan = tuple[Any, ...] | None
# Per target: (rows, missing time, time key, rows with a value in all, dtype
# of the converted values), the rows in frame order.
Candidates = tuple[pd.DataFrame, np.ndarray, np.ndarray, int, Any]


def _ts_candidates(
    part: pd.DataFrame,
    index: int,
    expected: int,
    time_col: Hashable | None,
    targets: list[Hashable],
    points: int,
    plans: list[Plan] | None = None,
) -> list[Candidates]:
    """Per target, the partition's `points` most recent rows with a value;
    `plans` (one per target; None: all None) narrows the rows looked at."""
    _check_length(part, index, expected)
    times = part.index if time_col is None else part[time_col]
    key = missing = None
    out: list[Candidates] = []
    for target, plan in zip(targets, plans or [None] * len(targets), strict=True):
        columns = [target] if time_col is None else [time_col, target]
        if plan is not None and plan[0] == "none":
            # Its count and dtype are pass 1's: nothing here is converted.
            empty = (np.zeros(0, dtype=bool), np.zeros(0, dtype=plan[3]))
            out.append((part.iloc[:0][columns], *empty, plan[1], plan[2]))
            continue
        if key is None:
            key, missing = _time_key(times)
        dtype, valid = _with_value(part, target)
        chosen = kernels.recent_rows(key, missing, valid, points, None if plan is None else plan[1:])
        # The two columns first: a take of every column of a partition
        # would cost more than all the rest.
        rows = part[columns].iloc[chosen]
        out.append((rows, missing[chosen], key[chosen], int(np.count_nonzero(valid)), dtype))
    return out


def _join_candidates(groups: list[list[Candidates]], points: int) -> list[Candidates]:
    from pandas.core.dtypes.cast import find_common_type

    out = []
    for per_target in zip(*groups, strict=True):
        frame = _concat_like_compute([c[0] for c in per_target])
        missing, key = (np.concatenate([c[i] for c in per_target]) for i in (1, 2))
        # The pieces arrive in partition order, so the rows stay in frame order.
        chosen = kernels.recent_rows(key, missing, None, points, None)
        dtypes = [c[4] for c in per_target if c[4] is not None]
        dtype = find_common_type(dtypes) if dtypes else None
        out.append((frame.iloc[chosen], missing[chosen], key[chosen], sum(c[3] for c in per_target), dtype))
    return out


class _Facts(NamedTuple):
    """One target's rows with a value in one partition, as pass 1 finds them."""

    valid: int  # rows `pd.to_numeric(errors="coerce")` leaves a value
    untimed: int  # of them, those without a time: the most recent of all
    low: Any  # the smallest and largest time key of the others (None: none)
    high: Any
    dtype: Any  # the converted values' dtype (None in an empty partition)
    layout: Any  # what the joined rows' dtypes depend on (None: unknown)


def _dtype_token(dtype: Any) -> Any:
    # Equal categorical dtypes may still list their categories in another
    # order, which concatenation keeps.
    if isinstance(dtype, pd.CategoricalDtype):
        return ("category", str(dtype.categories.dtype), tuple(dtype.categories.tolist()), dtype.ordered)
    return dtype


def _ts_facts(part: pd.DataFrame, time_col: Hashable | None, targets: list[Hashable]) -> list[Any]:
    """[(rows, time key dtype, {target: _Facts})] of one partition, or
    [None] where the partition does not say (the sample then sorts as if
    there were no summary)."""
    named = targets if time_col is None else [time_col, *targets]
    if not part.columns.is_unique or any(c not in part.columns for c in named):
        return [None]
    times = part.index if time_col is None else part[time_col]
    try:
        key, missing = _time_key(times)
    except TypeError:
        return [None]
    # An index with a frequency keeps it through a take of rows that form a
    # slice and a concatenation of adjoining ones, so which rows travel
    # together would show in the sample's index.
    freq = times.freq if time_col is None and isinstance(times, pd.DatetimeIndex) else None
    axis = None if freq is not None else (_dtype_token(times.dtype), times.name)
    facts = {}
    for target in targets:
        dtype, valid = _with_value(part, target)
        layout = None if axis is None else (axis, _dtype_token(part[target].dtype))
        facts[target] = _Facts(*kernels.recent_facts(key, missing, valid), dtype=dtype, layout=layout)
    return [(len(part), key.dtype, facts)]


def _gather(pieces: list[list[Any]]) -> list[Any]:
    return [item for piece in pieces for item in piece]


def add_ts_summary(p: Pass, ddf: Any, targets: Sequence[Hashable], time_col: Hashable | None = None) -> int | None:
    """Adds to `p` (pass 1) what the time-series sample of pass 2 narrows
    its work by: per partition and target, the rows with a value, those
    without a time, and the smallest and largest time of the others.
    Returns the index of that result in the pass, for `add_ts_series`'
    `summary` (None when there is nothing to summarise)."""
    import dask

    kept = _kept_targets(targets, time_col)
    if not kept or (time_col is None and not isinstance(ddf._meta.index, pd.DatetimeIndex)):
        return None
    pieces = [dask.delayed(_ts_facts, pure=True)(part, time_col, kept) for part in p.partitions(ddf)]
    return p.add(combine_tree(pieces, _gather)) if pieces else None


def _recent_plans(
    summary: list[Any] | None, lengths: np.ndarray, kept: list[Hashable], points: int
) -> list[list[Plan]] | None:
    """Per partition, each target's plan (see `Plan`) from pass 1's summary
    (None throughout without a usable one).

    The kernel's bound leaves out the rows that cannot be among a target's
    `points` most recent. The candidates left join into the same frame only
    while every partition with a value gives its rows the same dtypes, so a
    target whose partitions differ there keeps None.
    """
    if summary is None or len(summary) != len(lengths):
        return None
    for s, length in zip(summary, lengths, strict=True):
        if s is None or s[0] != length or any(t not in s[2] for t in kept):
            return None
    plans: list[list[Plan]] = [[] for _ in summary]
    for target in kept:
        facts = [s[2][target] for s in summary]
        layouts = [f.layout for f in facts if f.valid]
        found = None
        if all(layout is not None and layout == layouts[0] for layout in layouts):
            # The partitions with a value share the time dtype, so their keys' one.
            key_dtype = next((s[1] for s, f in zip(summary, facts, strict=True) if f.valid), summary[0][1])
            found = kernels.recent_plan(key_dtype, [f[:4] for f in facts], points)
        for i, (plan, f) in enumerate(zip(plans, facts, strict=True)):
            if found is None:
                plan.append(None)
            else:
                plan.append(("from", *found[:2]) if found[2][i] else ("none", f.valid, f.dtype, summary[i][1]))
    return plans


def order_like_memory(frame: pd.DataFrame, time_col: Hashable | None, target: Hashable) -> pd.Series:
    """The series the in-memory diagnostics make of `target` in `frame`,
    by their calls: sorted by the time axis (pandas' unstable quicksort,
    missing times last in frame order), converted by `pd.to_numeric(errors=
    "coerce")`, missing values dropped."""
    ts_df = frame.sort_index() if time_col is None else frame.sort_values(time_col).set_index(time_col)
    return pd.to_numeric(ts_df[target], errors="coerce").dropna()


def _whole_series(
    frame: pd.DataFrame, time_col: Hashable | None, targets: list[Hashable]
) -> list[tuple[pd.Series, int]]:
    series = [order_like_memory(frame, time_col, target) for target in targets]
    return [(s, len(s)) for s in series]


def _recent_series(
    candidates: list[Candidates], time_col: Hashable | None, targets: list[Hashable]
) -> list[tuple[pd.Series, int]]:
    out = []
    for (rows, _, _, total, dtype), target in zip(candidates, targets, strict=True):
        series = order_like_memory(rows, time_col, target)
        # Text converts by its values: kept rows of whole numbers become
        # int64 where the whole column, with a fraction or a missing value
        # elsewhere, becomes float64.
        out.append((series if dtype is None or series.dtype == dtype else series.astype(dtype), total))
    return out


def add_ts_series(
    p: Pass,
    ddf: Any,
    tables: Tables,
    targets: Sequence[Hashable],
    time_col: Hashable | None = None,
    settings: Settings | None = None,
    summary: list[Any] | None = None,
) -> Fill:
    """Adds each target's last `settings.ts_points` points of its
    `order_like_memory` series to `p`, along the column `time_col` or the
    frame's DatetimeIndex (None), for `tables.ts_series`; `summary`, pass 1's
    `add_ts_summary` result, spares partitions the work on rows that cannot
    be among them (the series are the same without it). Which rows and in
    which order: docs/distributed.md."""
    import dask

    points = (settings or read_settings()).ts_points
    if time_col is None and not isinstance(ddf._meta.index, pd.DatetimeIndex):
        raise TypeError("without a time column the frame's index must be a DatetimeIndex")
    kept = _kept_targets(targets, time_col)
    n = tables.n_rows
    parts = _scanned_partitions(p, ddf, tables)
    lengths = tables.partition_lengths
    at = None
    if kept and n <= points:
        cols = list(dict.fromkeys([*([] if time_col is None else [time_col]), *kept]))
        rows = _rows(p, ddf, tables, np.arange(n, dtype=np.int64), cols)
        at = p.add(dask.delayed(_whole_series, pure=True)(rows, time_col, kept))
    elif kept:
        candidates = dask.delayed(_ts_candidates, pure=True)
        plans = _recent_plans(summary, lengths, kept, points) or [None] * len(parts)
        pieces = [
            candidates(part, i, int(lengths[i]), time_col, kept, points, plans[i]) for i, part in enumerate(parts)
        ]
        join = dask.delayed(_join_candidates, pure=True)
        # Not combine_tree: a lone partition's rows need no concatenation,
        # which could change its index.
        while len(pieces) > 1:
            pieces = [join(pieces[i : i + SPLIT_EVERY], points) for i in range(0, len(pieces), SPLIT_EVERY)]
        at = p.add(dask.delayed(_recent_series, pure=True)(pieces[0], time_col, kept))

    def fill(results: list[Any], tables: Tables) -> None:
        series: dict[Hashable, pd.Series | None] = {t: None for t in targets}
        notes: dict[Hashable, dict[str, int]] = {}
        for target, (values, total) in zip(kept, [] if at is None else results[at], strict=True):
            series[target] = values
            notes[target] = {"rows_used": len(values), "rows_total": total}
        tables.ts_series = series
        _notes(tables)["time_series"] = notes

    return fill


def sample_pass(
    add: Callable[..., Fill],
    ddf: Any,
    tables: Tables,
    *args: Any,
    scheduler: Callable[..., Any] | None = None,
    **kwargs: Any,
) -> Tables:
    """Runs one sample's pass: `add(p, ddf, tables, *args, **kwargs)` on a
    pass of its own, then its fill; returns `tables`."""
    p = Pass(pinned_scheduler(ddf) if scheduler is None else scheduler)
    fill = add(p, ddf, tables, *args, **kwargs)
    fill(p.run(), tables)
    return tables
