"""The samples some figures are computed on: the mutual-information rows, the
correlation rows and each target's most recent points in time, each added
to a pass it is given (the analysis' second, or `sample_pass`'s own).

Rows are addressed by their global position from pass 1's partition offsets
and lengths, so the draw happens on the client over positions only; a
partition whose length differs from pass 1's count is refused, since its
positions would name other rows. Pieces are joined the way `ddf.compute()`
joins partitions (Dask's own concatenation, empty pieces left out). A
partition that holds rows also hands over its first row, dropped after the
join, so that when partitions disagree on a dtype (int64 and float64;
categoricals with other categories) the joined dtype is still that of all
partitions, not of the few the sample touches. The time-series sample keeps
each target's values in the dtype the whole column converts to.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from .passes import SPLIT_EVERY, Pass, combine_tree, pinned_scheduler
from .settings import MI_SAMPLE_ROWS, Settings, read_settings
from .tables import Tables

# Seed of the correlation sample's draw (see `corr_positions`).
CORR_SEED = 0

Fill = Callable[[list[Any], Tables], None]


def mi_positions(n: int) -> np.ndarray:
    """The positions of the mutual-information rows among `n`, in draw order:
    every position when n <= 8,000, else those that
    `pd.Series(np.arange(n)).sample(8000, random_state=0)` draws, by the call
    pandas makes (`np.random.RandomState(0).choice(n, 8000, replace=False)`,
    the first 8,000 of a shuffled `np.arange(n)`; 4 bytes per row of the frame
    while drawing up to 2**31 - 1 rows, 8 beyond)."""
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
    size=rows, replace=False, shuffle=False)` sorted into frame order. NumPy
    shuffles an array of all n positions (8 bytes per row of the frame) when
    n > 10,000 and rows > n // 50, else draws by Floyd's algorithm (about 19
    bytes per drawn row measured for 100,000 of 10,000,000 rows)."""
    if n <= rows:
        return np.arange(n, dtype=np.int64)
    drawn = np.random.default_rng(CORR_SEED).choice(n, size=rows, replace=False, shuffle=False)
    return np.sort(drawn.astype(np.int64, copy=False))


def mi_columns(meta: pd.DataFrame, targets: Sequence[Hashable]) -> list[Hashable]:
    """The columns the mutual information reads, judged on the frame's
    metadata: the features `df.drop(columns=targets, errors="ignore")
    .select_dtypes(include=[np.number])` keeps (no booleans), then the targets
    `pd.api.types.is_numeric_dtype` accepts, in the caller's order. Empty
    (no sample drawn) when there is no target or no numeric feature."""
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
    if not filled:
        return frames[0]
    return methods.concat(filled, uniform=True)


def _pack(local: np.ndarray, length: int) -> tuple[str, np.ndarray, int]:
    """Ascending positions within a partition of `length` rows in the smaller
    form for the task graph: a bit per row, or the positions as int32 where
    they fit (a dense sample of a million rows would be megabytes as int64)."""
    if len(local) * 4 > (length + 7) // 8:
        bits = np.zeros(length, dtype=bool)
        bits[local] = True
        return "bits", np.packbits(bits), length
    return "at", local.astype(np.int32 if length < 2**31 else np.int64), length


def _unpack(packed: tuple[str, np.ndarray, int]) -> np.ndarray:
    kind, data, length = packed
    if kind == "bits":
        return np.flatnonzero(np.unpackbits(data, count=length)).astype(np.int64)
    return data.astype(np.int64)


def _take_rows(
    part: pd.DataFrame, index: int, expected: int, packed: tuple[str, np.ndarray, int], columns: list[Hashable]
) -> tuple[pd.DataFrame, np.ndarray]:
    """The rows at the packed positions (ascending) of one partition, then
    its first row as the dtype carrier; and which of them are wanted."""
    _check_length(part, index, expected)
    if len(part) == 0:
        return part.iloc[:0][columns], np.zeros(0, dtype=bool)
    rows = np.append(_unpack(packed), 0)
    keep = np.ones(len(rows), dtype=bool)
    keep[-1] = False
    return part.iloc[rows][columns], keep


def _join_rows(pieces: list[tuple[pd.DataFrame, np.ndarray]]) -> tuple[pd.DataFrame, np.ndarray]:
    frame = _concat_like_compute([f for f, _ in pieces])
    return frame, np.concatenate([k for _, k in pieces])


def _finish_rows(joined: tuple[pd.DataFrame, np.ndarray], inverse: np.ndarray | None) -> pd.DataFrame:
    frame, keep = joined
    # The wanted rows in ascending position, then in the caller's order
    # (None: that order already).
    wanted = frame.iloc[np.flatnonzero(keep)]
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
    """`add_rows`' delayed frame, not yet added to `p`."""
    import dask

    columns = list(columns)
    positions = np.asarray(positions, dtype=np.int64)
    n = tables.n_rows
    if positions.size and (positions.min() < 0 or positions.max() >= n):
        raise ValueError(f"row positions must lie in 0..{n - 1}")
    wanted, inverse = np.unique(positions, return_inverse=True)
    offsets = tables.partition_offsets
    lengths = tables.partition_lengths
    # The partition holding each wanted row: the first whose end lies past
    # it (an empty partition ends where it starts, so it holds none).
    owner = np.searchsorted(offsets + lengths, wanted, side="right")
    bounds = np.searchsorted(owner, np.arange(len(lengths) + 1), side="left")
    parts = _scanned_partitions(p, ddf, tables)
    take = dask.delayed(_take_rows, pure=True)
    pieces = [
        take(
            parts[i],
            i,
            int(lengths[i]),
            _pack(wanted[bounds[i] : bounds[i + 1]] - offsets[i], int(lengths[i])),
            columns,
        )
        for i in range(len(parts))
        if lengths[i]
    ]
    if not pieces:
        # No rows at all: `ddf.compute()` is then the first partition.
        pieces = [take(parts[0], 0, int(lengths[0]), _pack(np.zeros(0, dtype=np.int64), 0), columns)]
    joined = combine_tree(pieces, _join_rows)
    in_order = len(wanted) == len(positions) and bool(np.all(wanted == positions))
    return dask.delayed(_finish_rows, pure=True)(joined, None if in_order else inverse)


def _add_sample(p: Pass, ddf: Any, tables: Tables, positions: Any, columns: Any, name: str, figure: str) -> Fill:
    """Adds the rows at `positions` of `columns` (None: no sample) to `p`;
    the fill sets `tables.<name>` to them (or None) and notes the rows
    used for `figure`."""
    n = tables.n_rows
    at = None if columns is None else add_rows(p, ddf, tables, positions, columns)

    def fill(results: list[Any], tables: Tables) -> None:
        setattr(tables, name, None if at is None else results[at])
        if at is not None:
            if tables.sample_notes is None:
                tables.sample_notes = {}
            tables.sample_notes[figure] = {"rows_used": len(results[at]), "rows_total": n}

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
    """Sort keys of the time values, and which are missing: dates and
    durations as int64 nanoseconds (float64 would merge stamps after April
    1970), numbers as themselves; missing ones get key 0 and sort last by
    their mask, as pandas places them."""
    dtype = values.dtype
    missing = np.asarray(pd.isna(values), dtype=bool)
    if isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "mM"):
        key = np.array(pd.array(values).as_unit("ns").asi8, dtype=np.int64)
    elif pd.api.types.is_numeric_dtype(dtype):
        numpy_dtype = getattr(dtype, "numpy_dtype", dtype)
        key = np.array(pd.array(values).to_numpy(dtype=numpy_dtype, na_value=0), copy=True)
    else:
        raise TypeError(f"the time axis must hold dates, durations or numbers to order points by it, not {dtype}")
    key[missing] = 0
    return key, missing


def _recent_order(missing: np.ndarray, key: np.ndarray, position: np.ndarray) -> np.ndarray:
    """Indices from the oldest to the most recent point: by time, ties by
    position, missing times after every time (by position)."""
    return np.lexsort((position, key, missing))


Candidates = tuple[pd.DataFrame, np.ndarray, np.ndarray, np.ndarray, int, Any]


def _common_dtype(dtypes: list[Any]) -> Any:
    from pandas.core.dtypes.cast import find_common_type

    known = [d for d in dtypes if d is not None]
    return find_common_type(known) if known else None


def _kept_targets(targets: Sequence[Hashable], time_col: Hashable | None) -> list[Hashable]:
    # The time column is no series of its own (the in-memory diagnostics skip it).
    return [t for t in dict.fromkeys(targets) if time_col is None or t != time_col]


def _most_recent(
    valid: np.ndarray, missing: np.ndarray, key: np.ndarray, position: np.ndarray, points: int
) -> np.ndarray:
    """The `points` most recent of the rows `valid` (ascending), ascending.
    No more rows than that are all kept as they are, without a sort."""
    if len(valid) <= points:
        return valid
    chosen = valid[_recent_order(missing[valid], key[valid], position[valid])[-points:]]
    chosen.sort()
    return chosen


# A target's plan in one partition (see `_recent_plans`): None to keep its
# `points` most recent valid rows of all; ("from", untimed_only, bound) to
# keep them among the rows at or past the bound only; ("none", valid rows,
# dtype) when no row of it can be among the most recent.
Plan = tuple[Any, ...] | None


def _ts_candidates(
    part: pd.DataFrame,
    index: int,
    expected: int,
    offset: int,
    time_col: Hashable | None,
    targets: list[Hashable],
    points: int,
    plans: list[Plan] | None = None,
    key_dtype: Any = None,
) -> list[Candidates]:
    """Per target, the partition's `points` most recent rows with a value,
    in frame order: (rows, missing time, time key, position, rows with a
    value in all, dtype of the converted values). `plans` (one per target;
    None: all None) narrows the rows looked at; `key_dtype` is the time
    key's dtype, for the empty candidates of a "none" plan."""
    _check_length(part, index, expected)
    plans = plans or [None] * len(targets)
    times = part.index if time_col is None else part[time_col]
    key = missing = position = None
    out = []
    for target, plan in zip(targets, plans, strict=True):
        columns = [target] if time_col is None else [time_col, target]
        if plan is not None and plan[0] == "none":
            # Its count and dtype are pass 1's: nothing here is converted.
            empty = np.zeros(0, dtype=np.int64)
            out.append(
                (part.iloc[:0][columns], np.zeros(0, dtype=bool), empty.astype(key_dtype), empty, plan[1], plan[2])
            )
            continue
        if key is None:
            key, missing = _time_key(times)
            position = np.arange(offset, offset + len(part), dtype=np.int64)
        # What survives `pd.to_numeric(column, errors="coerce").dropna()`;
        # the dtype that conversion gives depends on every value of text,
        # so it is kept for the whole column (an empty partition has none).
        numeric = pd.to_numeric(part[target], errors="coerce")
        valid = np.flatnonzero(np.asarray(numeric.notna(), dtype=bool))
        total = len(valid)
        if plan is not None:
            _, untimed_only, bound = plan
            past = missing[valid] if untimed_only else missing[valid] | (key[valid] >= bound)
            valid = valid[past]
        chosen = _most_recent(valid, missing, key, position, points)
        # The two columns first: a take of every column of a partition
        # would cost more than all the rest.
        rows = part[columns].iloc[chosen]
        dtype = numeric.dtype if len(part) else None
        out.append((rows, missing[chosen], key[chosen], position[chosen], total, dtype))
    return out


def _join_candidates(groups: list[list[Candidates]], points: int) -> list[Candidates]:
    out = []
    for per_target in zip(*groups, strict=True):
        frame = _concat_like_compute([c[0] for c in per_target])
        missing, key, position = (np.concatenate([c[i] for c in per_target]) for i in (1, 2, 3))
        # The pieces arrive in partition order, so the rows stay in frame order.
        chosen = _most_recent(np.arange(len(missing)), missing, key, position, points)
        total = sum(c[4] for c in per_target)
        dtype = _common_dtype([c[5] for c in per_target])
        out.append((frame.iloc[chosen], missing[chosen], key[chosen], position[chosen], total, dtype))
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
        column = part[target]
        numeric = pd.to_numeric(column, errors="coerce")
        valid = np.asarray(numeric.notna(), dtype=bool)
        n_valid = int(np.count_nonzero(valid))
        timed = key[valid & ~missing]
        facts[target] = _Facts(
            valid=n_valid,
            untimed=n_valid - len(timed),
            low=timed.min() if len(timed) else None,
            high=timed.max() if len(timed) else None,
            dtype=numeric.dtype if len(part) else None,
            layout=None if axis is None else (axis, _dtype_token(column.dtype)),
        )
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
    facts = dask.delayed(_ts_facts, pure=True)
    pieces = [facts(part, time_col, kept) for part in p.partitions(ddf)]
    return p.add(combine_tree(pieces, _gather)) if pieces else None


def _bound(facts: list[_Facts], points: int) -> tuple[bool, Any] | None:
    """(untimed_only, key): at least `points` rows have no time, or a time
    key at or past `key` (then also counting the rows without a time, which
    come after every time). None when the rows with a value are too few."""
    untimed = sum(f.untimed for f in facts)
    if untimed >= points:
        return True, None
    # Whole partitions from the latest smallest time down: every row of a
    # partition is at or past its smallest time.
    need, found = points - untimed, 0
    for f in sorted((f for f in facts if f.low is not None), key=lambda f: f.low, reverse=True):
        found += f.valid - f.untimed
        if found >= need:
            return False, f.low
    return None


def _recent_plans(
    summary: list[Any] | None, lengths: np.ndarray, kept: list[Hashable], points: int
) -> list[list[Plan]] | None:
    """Per partition, each target's plan (see `Plan`) from pass 1's summary
    (None throughout without a usable one).

    A target's `points` most recent rows all lie at or past `_bound`, so a
    partition's earlier rows can be left out. The candidates left join into
    the same frame only while every partition with a value gives its rows
    the same dtypes, so a target whose partitions differ there keeps None.
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
        uniform = all(layout is not None and layout == layouts[0] for layout in layouts)
        found = _bound(facts, points) if uniform else None
        if found is None:
            for plan in plans:
                plan.append(None)
            continue
        untimed_only, bound = found
        for plan, f in zip(plans, facts, strict=True):
            reaches = f.untimed > 0 or (not untimed_only and f.high is not None and f.high >= bound)
            plan.append(("from", untimed_only, bound) if reaches else ("none", f.valid, f.dtype))
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
    out = []
    for target in targets:
        series = order_like_memory(frame, time_col, target)
        out.append((series, len(series)))
    return out


def _recent_series(
    candidates: list[Candidates], time_col: Hashable | None, targets: list[Hashable]
) -> list[tuple[pd.Series, int]]:
    out = []
    for (rows, _, _, _, total, dtype), target in zip(candidates, targets, strict=True):
        series = order_like_memory(rows, time_col, target)
        # Text converts by its values: kept rows of whole numbers become
        # int64 where the whole column, with a fraction or a missing value
        # elsewhere, becomes float64.
        if dtype is not None and series.dtype != dtype:
            series = series.astype(dtype)
        out.append((series, total))
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
    """Adds each target's most recent points in time order to `p`.

    The time axis is the column `time_col`, or the frame's DatetimeIndex when
    None. A target's series is `order_like_memory`'s; the sample keeps its
    last `settings.ts_points` points, where equal times straddling the cut
    count the rows later in the frame as more recent and rows without a time
    as the most recent of all. A frame of at most `ts_points` rows is fetched
    whole and gives the in-memory series exactly; otherwise the kept rows, in
    frame order, go through the same steps, and only rows of equal time may
    stand in another order (pandas' quicksort orders ties by every row it
    sorts). `summary`, pass 1's `add_ts_summary` result, spares partitions
    the sort of rows that cannot be among the most recent; the series are
    the same without it.

    The fill sets `tables.ts_series` (target -> Series indexed by the time
    axis; None for a target that is the time column itself, which the
    in-memory diagnostics skip) and notes per target the points used and
    the points of its whole series.
    """
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
        plans = _recent_plans(summary, lengths, kept, points)
        pieces = [
            candidates(
                parts[i],
                i,
                int(lengths[i]),
                int(tables.partition_offsets[i]),
                time_col,
                kept,
                points,
                None if plans is None else plans[i],
                None if plans is None else summary[i][1],
            )
            for i in range(len(parts))
        ]
        join = dask.delayed(_join_candidates, pure=True)
        while len(pieces) > 1:
            pieces = [join(pieces[i : i + SPLIT_EVERY], points) for i in range(0, len(pieces), SPLIT_EVERY)]
        at = p.add(dask.delayed(_recent_series, pure=True)(pieces[0], time_col, kept))

    def fill(results: list[Any], tables: Tables) -> None:
        series: dict[Hashable, pd.Series | None] = {t: None for t in targets}
        notes: dict[Hashable, dict[str, int]] = {}
        if at is not None:
            for target, (values, total) in zip(kept, results[at], strict=True):
                series[target] = values
                notes[target] = {"rows_used": len(values), "rows_total": total}
        tables.ts_series = series
        if tables.sample_notes is None:
            tables.sample_notes = {}
        tables.sample_notes["time_series"] = notes

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
