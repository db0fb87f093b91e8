"""The samples some figures are computed on (mutual-information rows, correlation rows, each target's most
recent points in time), each added to a pass it is given. How they are drawn and joined: docs/distributed.md."""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .passes import SPLIT_EVERY, Pass, combine_tree, concat_like_compute
from .settings import MI_SAMPLE_ROWS, MI_SAMPLE_SEED, Settings, read_settings
from .tables import Tables

# Seed of the correlation sample's draw (see `corr_positions`).
CORR_SEED = 0

Fill = Callable[[list[Any], Tables], None]


def mi_positions(n: int) -> np.ndarray:
    """The positions of the mutual-information rows among `n`, in draw order: every position when n <= 8,000,
    else those `pd.Series(np.arange(n)).sample(8000, random_state=0)` draws (a shuffled arange)."""
    if n <= MI_SAMPLE_ROWS:
        return np.arange(n, dtype=np.int64)
    # The shuffle draws the same swaps whatever the positions' width: narrower ones take half the memory.
    positions = np.arange(n, dtype=np.int32 if n <= np.iinfo(np.int32).max else np.int64)
    np.random.RandomState(MI_SAMPLE_SEED).shuffle(positions)
    # A copy: a slice would keep the whole permutation alive.
    return positions[:MI_SAMPLE_ROWS].astype(np.int64)


def corr_positions(n: int, rows: int) -> np.ndarray:
    """The positions of the correlation rows among `n`, ascending: every position when n <= rows, else
    `np.random.default_rng(0).choice(n, size=rows, replace=False, shuffle=False)` in frame order."""
    if n <= rows:
        return np.arange(n, dtype=np.int64)
    drawn = np.random.default_rng(CORR_SEED).choice(n, size=rows, replace=False, shuffle=False)
    return np.sort(drawn.astype(np.int64, copy=False))


def _check_length(part: pd.DataFrame, index: int, expected: int) -> None:
    if len(part) != expected:
        raise ValueError(
            f"partition {index} of the Dask DataFrame has {len(part)} rows, but the first pass counted "
            f"{expected}: its data changed between passes"
        )


def _take_rows(part: pd.DataFrame, index: int, packed: tuple[str, np.ndarray, int], columns: list) -> pd.DataFrame:
    """The rows at one partition's packed positions, then its first row, which carries its dtypes into the join."""
    _check_length(part, index, packed[2])
    return part.iloc[np.append(kernels.rows_unpack(packed), 0)][columns] if len(part) else part.iloc[:0][columns]


def _pick(joined: pd.DataFrame, counts: np.ndarray, inverse: np.ndarray | None) -> pd.DataFrame:
    return joined.iloc[kernels.rows_join(counts, inverse)]


def _counted_partitions(p: Pass, ddf: Any, lengths: np.ndarray) -> list[Any]:
    parts = p.partitions(ddf)
    if len(parts) != len(lengths):
        raise ValueError(
            f"the Dask DataFrame has {len(parts)} partitions, but the first pass counted "
            f"{len(lengths)}: these tables are another frame's"
        )
    return parts


def add_rows(p: Pass, ddf: Any, tables: Tables, positions: np.ndarray, columns: Sequence[Hashable]) -> int:
    """Adds to `p` the frame `ddf.compute().iloc[positions][columns]` (positions in any order, repeats
    allowed; dtypes and index labels included); returns its index in the pass."""
    return p.add(rows_at(p, ddf, tables.partition_lengths, positions, columns))


def rows_at(p: Pass, ddf: Any, lengths: np.ndarray, positions: np.ndarray, columns: Sequence[Hashable]) -> Any:
    """`add_rows`' frame as a delayed object, given the partitions' `lengths` as a first pass counted them."""
    import dask

    parts = _counted_partitions(p, ddf, lengths)
    # Each partition's own rows, and where each asked position lies among them.
    packed, inverse, counts = kernels.rows_plan(positions, np.cumsum(lengths) - lengths, lengths)
    rows = dask.delayed(_take_rows, pure=True)
    pieces = [rows(parts[i], i, own, list(columns)) for i, own in enumerate(packed) if own[2]]
    # No rows at all: `ddf.compute()` is then the first partition.
    pieces = pieces or [rows(parts[0], 0, packed[0], list(columns))]
    joined = combine_tree(pieces, concat_like_compute)
    return dask.delayed(_pick, pure=True)(joined, counts[lengths > 0], inverse)


def _note(tables: Tables, figure: str, note: Any) -> None:
    tables.sample_notes = {**(tables.sample_notes or {}), figure: note}


def _add_sample(p: Pass, ddf: Any, tables: Tables, positions: Any, columns: Any, name: str, figure: str) -> Fill:
    """Adds the rows at `positions` of `columns` (None: no sample); the fill sets `tables.<name>`."""
    at = None if columns is None else add_rows(p, ddf, tables, positions, columns)

    def fill(results: list[Any], tables: Tables) -> None:
        setattr(tables, name, None if at is None else results[at])
        if at is not None:
            _note(tables, figure, {"rows_used": len(results[at]), "rows_total": tables.n_rows})

    return fill


def add_mi_sample(p: Pass, ddf: Any, tables: Tables, columns: Sequence[Hashable]) -> Fill:
    """Adds `tables.mi_sample`: the rows `mi_positions(n)` of `columns`."""
    return _add_sample(p, ddf, tables, mi_positions(tables.n_rows), list(columns), "mi_sample", "mutual_information")


def add_corr_sample(
    p: Pass, ddf: Any, tables: Tables, columns: Sequence[Hashable], settings: Settings | None = None
) -> Fill:
    """Adds `tables.corr_sample`: the rows `corr_positions(n, settings.corr_rows)` of `columns`."""
    positions = corr_positions(tables.n_rows, (settings or read_settings()).corr_rows)
    return _add_sample(p, ddf, tables, positions, list(columns), "corr_sample", "correlation")


def _time_key(values: pd.Series | pd.Index) -> tuple[np.ndarray, np.ndarray] | None:
    """The times' sort keys and which are missing: dates and durations as int64 nanoseconds (float64 would
    merge stamps after April 1970), Arrow ones as int64 counts of their unit, periods as their ordinals,
    numbers widened to int64, uint64 or float64; missing ones get key 0. None for another dtype."""
    dtype = values.dtype
    missing = np.asarray(pd.isna(values), dtype=bool)
    kind = np.dtype(getattr(dtype, "numpy_dtype", dtype)) if pd.api.types.is_numeric_dtype(dtype) else None
    if isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "mM"):
        key = np.array(pd.array(values).as_unit("ns").asi8, dtype=np.int64)
    elif isinstance(dtype, pd.PeriodDtype):
        key = np.array(pd.array(values).asi8, dtype=np.int64)
    elif isinstance(dtype, pd.ArrowDtype) and dtype.kind in "mM":
        import pyarrow as pa

        # A column's stamps share one unit; dates are int32 days.
        stamps = pa.array(pd.array(values))
        stamps = stamps.cast(pa.int32() if pa.types.is_date32(stamps.type) else pa.int64()).cast(pa.int64())
        key = np.array(stamps.fill_null(0).to_numpy(), dtype=np.int64)
    elif kind is not None and kind.kind in "biuf":
        wide = np.float64 if kind.kind == "f" else np.uint64 if kind == np.uint64 else np.int64
        key = np.array(pd.array(values).to_numpy(dtype=wide, na_value=0), copy=True)
    else:
        return None
    key[missing] = 0
    return key, missing


def _order_key(values: pd.Series | pd.Index) -> tuple[np.ndarray, np.ndarray, bool]:
    """`_time_key`, and whether its keys order rows of other partitions too. Another axis (text,
    categories) is ordered as sort_values orders it, by its values' ranks among these rows alone."""
    keyed = _time_key(values)
    if keyed is not None:
        return (*keyed, True)
    codes, _ = pd.factorize(values, sort=True)
    missing = codes < 0
    return np.where(missing, 0, codes).astype(np.int64), missing, False


def _with_value(part: pd.DataFrame, target: Hashable) -> tuple[Any, np.ndarray]:
    # The rows `pd.to_numeric(errors="coerce").dropna()` keeps, and the conversion's dtype: of text it
    # depends on every value, so it is kept for the whole column (an empty partition has none).
    numeric = pd.to_numeric(part[target], errors="coerce")
    return numeric.dtype if len(part) else None, np.asarray(numeric.notna(), dtype=bool)


def _common_dtype(dtypes: Sequence[Any]) -> Any:
    from pandas.core.dtypes.cast import find_common_type

    known = [d for d in dtypes if d is not None]
    return find_common_type(known) if known else None


# Per target: (rows in frame order, missing time, time key, rows with a value in all, converted values' dtype,
# whether the keys order other partitions' rows too).
Candidates = tuple[pd.DataFrame, np.ndarray, np.ndarray, int, Any, bool]


def _ts_candidates(
    part: pd.DataFrame, index: int, expected: int, time_col: Any, targets: list, points: int, bounds: Any = None
) -> list[Candidates]:
    """Per target, the partition's `points` most recent rows with a value that meet its bound (`_recent_plans`)."""
    _check_length(part, index, expected)
    key, missing, comparable = _order_key(part.index if time_col is None else part[time_col])
    out: list[Candidates] = []
    for target, bound in zip(targets, bounds or [None] * len(targets), strict=True):
        # Pass 1 found no row of it here among the most recent: nothing is converted.
        dtype, valid = (None, np.zeros(len(part), dtype=bool)) if bound is False else _with_value(part, target)
        chosen = kernels.recent_rows(key, missing, valid, points, bound or None)
        # The two columns first: a take of every column would cost more than all the rest.
        rows = part[[target] if time_col is None else [time_col, target]].iloc[chosen]
        out.append((rows, missing[chosen], key[chosen], int(np.count_nonzero(valid)), dtype, comparable))
    return out


def _join_candidates(groups: list[list[Candidates]], points: int, time_col: Any) -> list[Candidates]:
    out = []
    for frames, missing, key, totals, dtypes, comparable in (zip(*c, strict=True) for c in zip(*groups, strict=True)):
        # The pieces arrive in partition order, so the rows stay in frame order.
        joined = concat_like_compute(list(frames))
        if all(comparable):
            missing, key = np.concatenate(missing), np.concatenate(key)
        else:
            key, missing, _ = _order_key(joined.index if time_col is None else joined[time_col])
        chosen = kernels.recent_rows(key, missing, None, points, None)
        out.append(
            (joined.iloc[chosen], missing[chosen], key[chosen], sum(totals), _common_dtype(dtypes), all(comparable))
        )
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
    # Equal categorical dtypes may list their categories in another order, which concatenation keeps.
    if isinstance(dtype, pd.CategoricalDtype):
        return ("category", str(dtype.categories.dtype), tuple(dtype.categories.tolist()), dtype.ordered)
    return dtype


def _ts_facts(part: pd.DataFrame, time_col: Hashable | None, targets: list[Hashable]) -> list[Any]:
    """[(rows, time key dtype, {target: _Facts})] of one partition, or [None] where it cannot say."""
    named = targets if time_col is None else [time_col, *targets]
    if not part.columns.is_unique or any(c not in part.columns for c in named):
        return [None]
    times = part.index if time_col is None else part[time_col]
    keyed = _time_key(times)
    if keyed is None:
        return [None]
    key, missing = keyed
    # An index keeps its frequency through a take of a slice and a concatenation of adjoining rows, so which
    # rows travel together would show in the sample's index.
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


def _kept_targets(targets: Sequence[Hashable], time_col: Hashable | None) -> list[Hashable]:
    # The time column is no series of its own (the in-memory diagnostics skip it).
    return [t for t in dict.fromkeys(targets) if time_col is None or t != time_col]


def add_ts_summary(p: Pass, ddf: Any, targets: Sequence[Hashable], time_col: Hashable | None = None) -> int | None:
    """Adds to pass 1 what the time-series sample narrows its work by (per partition and target, `_Facts`);
    returns its index in the pass, for `add_ts_series`' `summary` (None: nothing to summarise)."""
    kept = _kept_targets(targets, time_col)
    if not kept or (time_col is None and not isinstance(ddf._meta.index, pd.DatetimeIndex)):
        return None
    pieces = p.tasks(ddf, _ts_facts, time_col, kept)
    return p.add(combine_tree(pieces, _gather)) if pieces else None


def _recent_plans(summary: list[Any] | None, lengths: np.ndarray, kept: list[Hashable], points: int) -> Any:
    """From pass 1's summary, per partition each target's bound (None: all rows; False: none can be among its
    `points` most recent), and per target its rows with a value and their dtype; None without a usable summary.
    Rows left out join into the same frame only while every partition with a value gives its rows the same
    dtypes, so a target whose partitions differ there has no bound."""
    if summary is None or len(summary) != len(lengths):
        return None
    if any(s is None or s[0] != n or any(t not in s[2] for t in kept) for s, n in zip(summary, lengths, strict=True)):
        return None
    facts = [[s[2][t] for s in summary] for t in kept]
    key_dtypes = []
    for per in facts:
        with_value = [(s[1], f.layout) for s, f in zip(summary, per, strict=True) if f.valid]
        # The partitions with a value share the time dtype, so their keys' one.
        agree = all(layout is not None and layout == with_value[0][1] for _, layout in with_value)
        key_dtypes.append(None if not agree else with_value[0][0] if with_value else summary[0][1])
    plans = kernels.recent_plans(key_dtypes, [[f[:4] for f in per] for per in facts], points)
    return plans, [(sum(f.valid for f in per), _common_dtype([f.dtype for f in per])) for per in facts]


def _series(frames: list, time_col: Any, targets: list, counted: list) -> list[tuple[pd.Series, int]]:
    """Each target's series as the in-memory diagnostics make it of its rows (sorted by time, to_numeric, dropna),
    and its rows with a value in all; `counted` gives those and the whole column's dtype (None: unknown)."""
    out = []
    for frame, target, (total, dtype) in zip(frames, targets, counted, strict=True):
        ts_df = frame.sort_index() if time_col is None else frame.sort_values(time_col).set_index(time_col)
        series = pd.to_numeric(ts_df[target], errors="coerce").dropna()
        # Text converts by its values: kept rows of whole numbers become int64 where the whole column, with a
        # fraction or a missing value elsewhere, becomes float64.
        series = series if dtype is None or series.dtype == dtype else series.astype(dtype)
        out.append((series, len(series) if total is None else total))
    return out


def _recent_series(candidates: list[Candidates], time_col: Any, targets: list, counted: Any) -> list[Any]:
    # Pass 1's counts and dtypes where it left partitions out, else the candidates'.
    return _series([c[0] for c in candidates], time_col, targets, counted or [c[3:5] for c in candidates])


def add_ts_series(
    p: Pass,
    ddf: Any,
    tables: Tables,
    targets: Sequence[Hashable],
    time_col: Hashable | None = None,
    settings: Settings | None = None,
    summary: list[Any] | None = None,
) -> Fill:
    """Adds `tables.ts_series`: each target's last `settings.ts_points` points along `time_col` or the frame's
    DatetimeIndex (None); `summary` (`add_ts_summary`'s) spares the work on rows that cannot be among them."""
    import dask

    points = (settings or read_settings()).ts_points
    if time_col is None and not isinstance(ddf._meta.index, pd.DatetimeIndex):
        raise TypeError("without a time column the frame's index must be a DatetimeIndex")
    kept = _kept_targets(targets, time_col)
    lengths = tables.partition_lengths
    parts = _counted_partitions(p, ddf, lengths)
    at = None
    if kept and tables.n_rows <= points:
        cols = list(dict.fromkeys([*([] if time_col is None else [time_col]), *kept]))
        rows = rows_at(p, ddf, lengths, np.arange(tables.n_rows, dtype=np.int64), cols)
        at = p.add(dask.delayed(_series, pure=True)([rows] * len(kept), time_col, kept, [(None, None)] * len(kept)))
    elif kept:
        plans, counted = _recent_plans(summary, lengths, kept, points) or ([None] * len(parts), None)
        candidates = dask.delayed(_ts_candidates, pure=True)
        # A partition none of whose rows can be among the most recent is read for none.
        pieces = [
            candidates(part, i, int(lengths[i]), time_col, kept, points, plans[i])
            for i, part in enumerate(parts)
            if plans[i] is None or any(bound is not False for bound in plans[i])
        ]
        join = dask.delayed(_join_candidates, pure=True)
        # Not combine_tree: a lone partition's rows need no concatenation, which could change its index.
        while len(pieces) > 1:
            pieces = [join(pieces[i : i + SPLIT_EVERY], points, time_col) for i in range(0, len(pieces), SPLIT_EVERY)]
        at = p.add(dask.delayed(_recent_series, pure=True)(pieces[0], time_col, kept, counted))

    def fill(results: list[Any], tables: Tables) -> None:
        found = dict(zip(kept, [] if at is None else results[at], strict=True))
        tables.ts_series = {t: found[t][0] if t in found else None for t in targets}
        _note(tables, "time_series", {t: {"rows_used": len(s), "rows_total": n} for t, (s, n) in found.items()})

    return fill
