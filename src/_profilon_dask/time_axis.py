"""The time axis of a Dask frame: its inferred frequency, the irregular share
of its gaps, its distinct periods and its extent, over every row, exact.

The in-memory analysis takes the axis as

    df.sort_values(col).set_index(col).index   (col: datetime_col, if given
                                                and a column of the frame)
    df.sort_index().index                      (else a DatetimeIndex)

and reads from it pandas' inferred frequency (three stamps or more), the
gaps `index.to_series().diff().dropna()` with their mode, `len(index.unique())`
and `index.min()`/`index.max()`. NaT sorts last, so the gaps are those of the
sorted valid stamps, and `unique()` counts NaT as one more period.

No process holds the whole axis, save an axis of at most `gather_cap`
stamps and a day-spaced one (below). Pass 1 counts the stamps, their NaT and
extrema, and draws evenly spaced values of each sorted partition, from
which the client picks value ranges of about `rows_per_range` stamps each.
Pass 2 sends each partition's stamps to their ranges; a worker sorts one
range and reduces it to its distinct count, its first and last stamps, its
smallest distinct gaps (UTC and local wall clock) and the counts of its gaps,
split by a hash of the gap, so that the gap counts of all ranges meet in as
many bucket tasks, each of which reports its most common gap. The gaps that
straddle two ranges are taken from their first and last stamps on a worker,
in the same pass, and counted in their buckets.

A frame stored in time order skips the routing: pass 1 also tells, of each
partition, whether its valid stamps never decrease and its first and last
valid stamp. When every partition is in order and none starts below the
last valid stamp of the non-empty partition before it, the valid stamps in
partition order are the sorted axis already, so pass 2 reduces each
partition in place as one range (no routing, no sort). Such ranges may share
a stamp across their boundary, unlike value ranges: each partition is given
its predecessor's last valid stamp and does not count its first stamp as
distinct when it repeats that one. The gap across the boundary is a
straddling gap like any other (0 for a repeated stamp).

pandas' inference answers None for an axis with NaT or repeated stamps. Of
a unique axis, it reads only the distinct gaps when the smallest wall-clock
gap is not a whole number of days (the intraday rules below follow its
`_FrequencyInferer.get_freq`), and calendar fields of every stamp otherwise:
such an axis has at most one stamp per day, a few hundred thousand in the
nanosecond range of pandas' timestamps, and is gathered (pass 3) and given
to pandas' own call. An axis of at most `gather_cap` stamps is gathered in
pass 2 already and always handed to pandas.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .passes import Pass
from .tables import Tables

# Stamps per value range in pass 2 (what one worker sorts at a time).
ROWS_PER_RANGE = 2_000_000
# Stamps the client may receive to hand to pandas' inference: more than the
# days between pandas' nanosecond bounds, so that a day-spaced axis of that
# unit never needs a third pass.
GATHER_CAP = 300_000
# A day-spaced axis in a coarser unit can span more days; past this many
# stamps it is refused rather than gathered.
GATHER_LIMIT = 5_000_000
# Evenly spaced values each partition gives for the choice of ranges.
SAMPLES_PER_PARTITION = 128
# Smallest distinct gaps kept: the business-hour rule looks at up to three.
SMALLEST = 4
# Whether an axis found in time order in pass 1 is reduced partition by
# partition in pass 2 (False: always routed into value ranges and sorted).
IN_ORDER_ROAD = True

_NAT = np.iinfo(np.int64).min
_PER_SECOND = {"s": 1, "ms": 1_000, "us": 1_000_000, "ns": 1_000_000_000}


def _stamps_of(part: pd.DataFrame, column: Any) -> Any:
    return part.index if column is None else part[column]


def _axis_dtype(ddf: Any, datetime_col: Any) -> tuple[str | None, Any]:
    """Which axis the in-memory analysis would take ("column", "index" or
    None) and its dtype."""
    if datetime_col and datetime_col in ddf.columns:
        return "column", ddf._meta[datetime_col].dtype
    if isinstance(ddf._meta.index, pd.DatetimeIndex):
        return "index", ddf._meta.index.dtype
    return None, None


def _is_datetime(dtype: Any) -> bool:
    return isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind == "M")


def _is_integer(dtype: Any) -> bool:
    """NumPy integers whose every value an int64 holds: the in-memory
    analysis sorts and indexes them like stamps, and reads its gaps as their
    differences."""
    return isinstance(dtype, np.dtype) and (dtype.kind == "i" or (dtype.kind == "u" and dtype.itemsize < 8))


def _as_int64(stamps: Any, dtype: Any) -> np.ndarray:
    """The stamps as int64 counts of the axis unit since the epoch (UTC for
    tz-aware stamps), NaT as the smallest int64; integers as themselves."""
    if stamps.dtype != dtype:
        raise ValueError(f"a partition's time axis has the dtype {stamps.dtype}, the frame's metadata {dtype}")
    if _is_integer(dtype):
        values = np.asarray(stamps, dtype=np.int64)
        if (values == _NAT).any():
            raise ValueError(f"the time axis holds {_NAT}, which the Dask analysis reserves for missing stamps")
        return values
    return np.asarray(pd.DatetimeIndex(stamps).asi8, dtype=np.int64)


def _unit(dtype: Any) -> str:
    return np.datetime_data(dtype)[0] if isinstance(dtype, np.dtype) else dtype.unit


def _index_of(values: np.ndarray, dtype: Any) -> pd.Index:
    """int64 stamps back as a DatetimeIndex of `dtype` (integers as an
    index of their own dtype)."""
    if _is_integer(dtype):
        return pd.Index(values.astype(dtype))
    naive = pd.DatetimeIndex(values.view(f"M8[{_unit(dtype)}]"))
    tz = getattr(dtype, "tz", None)
    return naive if tz is None else naive.tz_localize("UTC").tz_convert(tz)


def _wall_clock(values: np.ndarray, dtype: Any) -> np.ndarray:
    """Local wall-clock int64 values of UTC stamps (the stamps themselves
    when tz-naive): what pandas' inference reads the calendar rules from."""
    if _is_integer(dtype) or getattr(dtype, "tz", None) is None:
        return values
    return np.asarray(_index_of(values, dtype).tz_localize(None).asi8, dtype=np.int64)


def _smallest_distinct(gaps: np.ndarray) -> np.ndarray:
    return np.unique(gaps)[:SMALLEST]


def _valid_of(values: np.ndarray) -> np.ndarray:
    """The non-NaT stamps in row order; `values` itself when all are."""
    valid = values != _NAT
    return values if valid.all() else values[valid]


def _non_decreasing(values: np.ndarray) -> bool:
    return bool(np.all(values[1:] >= values[:-1]))


# Pass 1 ------------------------------------------------------------------


# Of one partition: whether its valid stamps never decrease, and its first
# and last valid stamp (None for a partition without one).
Order = tuple[bool, int | None, int | None]


def _first_partition(part: pd.DataFrame, column: Any, dtype: Any) -> tuple[int, int, np.ndarray, list[Order]]:
    values = _as_int64(_stamps_of(part, column), dtype)
    valid = _valid_of(values)
    n = len(valid)
    ordered = _non_decreasing(valid)
    ends = (int(valid[0]), int(valid[-1])) if n else (None, None)
    if not ordered:
        valid = np.sort(valid)
    if n > SAMPLES_PER_PARTITION:
        picks = valid[np.linspace(0, n - 1, SAMPLES_PER_PARTITION).astype(np.int64)]
    else:
        picks = valid
    # Rows, NaT, and evenly spaced valid stamps, each standing for
    # n / len(picks) of them when the partitions' samples are merged; and
    # the partition's order, listed with the others' in partition order.
    return len(values), len(values) - n, picks, [(ordered, *ends)]


def _first_combine(
    parts: list[tuple[int, int, Any, list[Order]]],
) -> tuple[int, int, list[tuple[np.ndarray, float]], list[Order]]:
    rows = nat = 0
    samples: list[tuple[np.ndarray, float]] = []
    order: list[Order] = []
    for part in parts:
        rows += part[0]
        nat += part[1]
        if isinstance(part[2], list):
            samples.extend(part[2])
        elif len(part[2]):
            samples.append((part[2], (part[0] - part[1]) / len(part[2])))
        order.extend(part[3])
    return rows, nat, samples, order


def _predecessors(order: Sequence[Order]) -> list[int | None] | None:
    """Of each partition, the last valid stamp of the non-empty partition
    before it (None for none), when the valid stamps in partition order
    never decrease; None when they do somewhere."""
    previous: list[int | None] = []
    last: int | None = None
    for ordered, first, final in order:
        if not ordered or (first is not None and last is not None and first < last):
            return None
        previous.append(last)
        if final is not None:
            last = final
    return previous


def _tree(func: Any, items: list[Any], split_every: int = 8) -> Any:
    """`func` applied to `items` in a tree of dask.delayed calls."""
    import dask

    combine = dask.delayed(func, pure=True)
    level = list(items)
    if not level:
        return combine(level)
    while True:
        level = [combine(level[i : i + split_every]) for i in range(0, len(level), split_every)]
        if len(level) == 1:
            return level[0]


def _boundaries(samples: list[tuple[np.ndarray, float]], n_valid: int, rows_per_range: int) -> np.ndarray:
    """Values that cut the valid stamps into ranges of about
    `rows_per_range` each, from the weighted partition samples."""
    n_ranges = max(1, math.ceil(n_valid / rows_per_range))
    if n_ranges == 1 or not samples:
        return np.zeros(0, dtype=np.int64)
    values = np.concatenate([s for s, _ in samples])
    weights = np.concatenate([np.full(len(s), w) for s, w in samples])
    order = np.argsort(values, kind="stable")
    values, cumulative = values[order], np.cumsum(weights[order])
    targets = cumulative[-1] * np.arange(1, n_ranges) / n_ranges
    cuts = values[np.minimum(np.searchsorted(cumulative, targets), len(values) - 1)]
    # A range starts at its cut; the smallest value needs no cut of its own.
    return np.unique(cuts[cuts > values[0]])


# Pass 2 ------------------------------------------------------------------


def _route(part: pd.DataFrame, column: Any, dtype: Any, cuts: np.ndarray) -> tuple[np.ndarray, ...]:
    values = _as_int64(_stamps_of(part, column), dtype)
    valid = np.sort(values[values != _NAT])
    bounds = np.searchsorted(valid, cuts, side="left")
    return tuple(np.split(valid, bounds))


def _hash_bucket(gaps: np.ndarray, n_buckets: int) -> np.ndarray:
    mixed = gaps.view(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    return ((mixed >> np.uint64(33)) % np.uint64(n_buckets)).astype(np.intp)


def _gap_buckets(gaps: np.ndarray, n_buckets: int) -> list[tuple[np.ndarray, np.ndarray]]:
    return _split_buckets(*np.unique(gaps, return_counts=True), n_buckets)


def _split_buckets(values: np.ndarray, counts: np.ndarray, n_buckets: int) -> list[tuple[np.ndarray, np.ndarray]]:
    where = _hash_bucket(values, n_buckets)
    return [(values[where == h], counts[where == h].astype(np.int64)) for h in range(n_buckets)]


def _reduce_range(
    pieces: Sequence[np.ndarray], dtype: Any, n_buckets: int, keep: bool
) -> tuple[dict[str, Any], list[tuple[np.ndarray, np.ndarray]]]:
    values = np.sort(np.concatenate(pieces)) if pieces else np.zeros(0, dtype=np.int64)
    summary: dict[str, Any] = {"count": len(values), "values": values if keep else None}
    if len(values) == 0:
        return summary, [(np.zeros(0, np.int64), np.zeros(0, np.int64))] * n_buckets
    gaps = np.diff(values)
    wall = _wall_clock(values, dtype)
    summary.update(
        distinct=int(np.count_nonzero(gaps)) + 1,
        first=int(values[0]),
        last=int(values[-1]),
        first_wall=int(wall[0]),
        last_wall=int(wall[-1]),
        utc_gaps=_smallest_distinct(gaps),
        wall_gaps=_smallest_distinct(np.diff(wall)),
    )
    return summary, _gap_buckets(gaps, n_buckets)


def _gap_counts(gaps: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """`np.unique(gaps, return_counts=True)`, without the sort for the
    common axis of one step."""
    if len(gaps) and (gaps == gaps[0]).all():
        return gaps[:1].copy(), np.array([len(gaps)], dtype=np.int64)
    return np.unique(gaps, return_counts=True)


def _wall_gap_values(
    values: np.ndarray, wall: np.ndarray, gaps: np.ndarray, keys: np.ndarray, counts: np.ndarray
) -> np.ndarray:
    """The distinct gaps of `wall`, sorted, from the counts of the UTC gaps
    (`keys`, `counts`): the two differ only across a change of the UTC
    offset, so the wall-clock gaps are the UTC ones less those few plus
    their wall-clock values."""
    offsets = wall - values
    moved = np.flatnonzero(offsets[1:] != offsets[:-1])
    if not len(moved):
        return keys
    was, now = gaps[moved], gaps[moved] + (offsets[moved + 1] - offsets[moved])
    pooled, at = np.unique(np.concatenate([keys, was, now]), return_inverse=True)
    totals = np.zeros(len(pooled), dtype=np.int64)
    np.add.at(totals, at.ravel(), np.concatenate([counts, np.full(len(was), -1), np.ones(len(now), np.int64)]))
    return pooled[totals > 0]


def _reduce_in_order(
    part: pd.DataFrame, column: Any, dtype: Any, previous: int | None, n_buckets: int, keep: bool
) -> tuple[dict[str, Any], list[tuple[np.ndarray, np.ndarray]]]:
    """`_reduce_range` of a partition whose valid stamps are in order, none
    below `previous` (the last valid stamp of the partitions before it),
    with its first stamp not counted as distinct when it repeats that one."""
    values = _valid_of(_as_int64(_stamps_of(part, column), dtype))
    summary: dict[str, Any] = {"count": len(values), "values": values if keep else None}
    if len(values) == 0:
        return summary, [(np.zeros(0, np.int64), np.zeros(0, np.int64))] * n_buckets
    gaps = np.diff(values)
    keys, counts = _gap_counts(gaps)
    first, last = int(values[0]), int(values[-1])
    if (len(keys) and keys[0] < 0) or (previous is not None and first < previous):
        raise RuntimeError("a partition's time axis changed between two passes over the frame")
    repeats = int(counts[0]) if len(keys) and keys[0] == 0 else 0
    repeats += 1 if first == previous else 0
    if getattr(dtype, "tz", None) is None:
        first_wall, last_wall, wall_keys = first, last, keys
    else:
        wall = _wall_clock(values, dtype)
        first_wall, last_wall = int(wall[0]), int(wall[-1])
        wall_keys = _wall_gap_values(values, wall, gaps, keys, counts)
    summary.update(
        distinct=len(values) - repeats,
        first=first,
        last=last,
        first_wall=first_wall,
        last_wall=last_wall,
        utc_gaps=keys[:SMALLEST].copy(),
        wall_gaps=wall_keys[:SMALLEST].copy(),
    )
    return summary, _split_buckets(keys, counts, n_buckets)


def _straddling(summaries: Sequence[dict[str, Any]]) -> tuple[np.ndarray, np.ndarray]:
    """The gaps between consecutive non-empty ranges, UTC and wall clock."""
    filled = [s for s in summaries if s["count"]]
    utc = np.array([b["first"] - a["last"] for a, b in zip(filled[:-1], filled[1:], strict=True)], dtype=np.int64)
    wall = np.array(
        [b["first_wall"] - a["last_wall"] for a, b in zip(filled[:-1], filled[1:], strict=True)], dtype=np.int64
    )
    return utc, wall


def _bucket_mode(
    parts: Sequence[tuple[np.ndarray, np.ndarray]], straddling: tuple[np.ndarray, np.ndarray], h: int, n_buckets: int
) -> tuple[int, int] | None:
    """The most common gap of bucket `h` (the smallest among equals, as
    the sorted `mode()` lists it first) and its count."""
    extra = straddling[0][_hash_bucket(straddling[0], n_buckets) == h]
    values = np.concatenate([v for v, _ in parts] + [extra])
    counts = np.concatenate([c for _, c in parts] + [np.ones(len(extra), dtype=np.int64)])
    if len(values) == 0:
        return None
    keys, codes = np.unique(values, return_inverse=True)
    # Counts below 2**53 add exactly in float64.
    totals = np.bincount(codes.ravel(), weights=counts, minlength=len(keys)).astype(np.int64)
    best = int(np.argmax(totals))
    return int(keys[best]), int(totals[best])


# Pass 3 ------------------------------------------------------------------


def _valid_sorted(part: pd.DataFrame, column: Any, dtype: Any) -> np.ndarray:
    values = _as_int64(_stamps_of(part, column), dtype)
    return np.sort(values[values != _NAT])


def _merge_sorted(pieces: list[np.ndarray]) -> np.ndarray:
    return np.sort(np.concatenate(pieces)) if pieces else np.zeros(0, dtype=np.int64)


# pandas' inference ---------------------------------------------------------


def infer_alias(index: pd.DatetimeIndex) -> str | None:
    """pandas' inferred frequency of `index` as alias text: the string form
    of the inference where pandas has one, else `infer_freq`, an offset
    answered by its alias."""
    as_text = getattr(pd.tseries.frequencies, "infer_freq_str", None)
    found = pd.infer_freq(index) if as_text is None else as_text(index)
    if found is None or isinstance(found, str):
        return found
    return found.freqstr


def _count_alias(base: str, count: float) -> str:
    # As pandas writes a multiple: no count for one step.
    return base if count == 1 else f"{int(count)}{base}"


def _intraday_alias(wall_gaps: np.ndarray, utc_gaps: np.ndarray, unit: str) -> str | None:
    """pandas' inference for a unique, sorted axis whose smallest wall-clock
    gap is not a whole number of days, from the smallest distinct gaps.

    `wall_gaps` and `utc_gaps` hold up to `SMALLEST` of the smallest
    distinct gaps, so a list shorter than that is the whole set."""
    per_hour = _PER_SECOND[unit] * 3600
    hours = [g / per_hour for g in wall_gaps]
    # A longer list than these has more distinct gaps than they list.
    if hours in ([1, 17], [1, 65], [1, 17, 65]):
        return "bh"
    if len(utc_gaps) != 1:
        return None
    delta = int(utc_gaps[0])
    per_second = _PER_SECOND[unit]
    for step, base in (
        (per_hour, "h"),
        (per_hour // 60, "min"),
        (per_second, "s"),
        (per_second // 1000, "ms"),
        (per_second // 1_000_000, "us"),
    ):
        if step and delta % step == 0:
            return _count_alias(base, delta / step)
    return _count_alias("ns", delta)


def timeline_length(start: Any, end: Any, freq: Any) -> int:
    """`len(pd.date_range(start, end, freq=freq))`, without the grid where
    its step is a fixed duration: pandas lays such a grid in steps of
    absolute time from `start`, so it has (end - start) // step + 1 stamps,
    where a grid of seconds over a long axis would hold as many stamps as
    the axis. Calendar steps (a day is one on the wall clock) and anything
    pandas refuses go to date_range itself, its errors included."""
    from pandas.tseries.frequencies import to_offset

    try:
        offset = to_offset(freq)
    except Exception:
        offset = None
    if (
        isinstance(offset, pd.offsets.Tick)
        and not isinstance(offset, pd.offsets.Day)
        and offset.n > 0
        and isinstance(start, pd.Timestamp)
        and isinstance(end, pd.Timestamp)
        and start <= end
    ):
        return int((end - start) // pd.Timedelta(offset)) + 1
    return len(pd.date_range(start, end, freq=freq))


def missing_ts_share(facts: dict[str, Any], grid_freq: Any = None) -> float:
    """The share of the timeline from min to max, on the grid of
    `grid_freq` (default: the axis frequency; the native step spells renamed
    aliases the current way first), that has no stamp: 1 - unique_periods /
    max(1, grid length). 0.0 without a frequency or when the grid cannot be
    laid. Not clamped: stamps off the grid can make it negative."""
    if not facts.get("frequency"):
        return 0.0
    try:
        grid = max(1, timeline_length(facts["min"], facts["max"], grid_freq or facts["frequency"]))
        return 1.0 - facts["unique_periods"] / grid
    except Exception:
        return 0.0


class TimeAxis:
    """The axis facts over two passes, sometimes three.

    `add_first` and `add_second` add this group's work to the passes given;
    `add_third`, called in any case since it reads pass 2's results, adds the
    gathering of a day-spaced axis where the first two passes could not
    settle its frequency (and answers whether it added anything); `fill`
    writes `Tables.time_axis` from the last pass's results: a dict with

      axis               "column" (datetime_col), "index" (the frame's
                         DatetimeIndex) or None (no axis: nothing else)
      n_rows             stamps of the axis, NaT included (len(index))
      n_missing          NaT stamps
      n_distinct         distinct valid stamps
      has_duplicates     whether a valid stamp repeats
      unique_periods     len(index.unique()): NaT counts as one period
      min, max           index.min(), index.max() (Timestamps of the axis
                         dtype; NaT when no stamp is valid)
      inferred_alias     pandas' inferred frequency as alias text (None for
                         fewer than three stamps or no discernible one);
                         None when the caller gave a frequency
      frequency          the caller's frequency if truthy, else
                         inferred_alias
      inferred_by_pandas whether the frequency is pandas' inference
      n_gaps             gaps of the sorted valid stamps
      gap_mode           their most common gap (the smallest among equally
                         common ones; a Timedelta, None for no gaps)
      irregular_share    share of gaps other than gap_mode; 0.0 when pandas
                         inferred the frequency or there are no gaps

    `missing_ts_share` gives the missing-timeline share from min, max,
    frequency and unique_periods; the native step renames quarter-start
    anchors and old aliases as it does for a pandas frame.

    A datetime64 axis (tz-naive or aware, any unit) and an integer one are
    handled. pandas infers no frequency from integers: without `freq` such
    an axis raises pandas' own TypeError when the facts are filled, as the
    in-memory analysis does. Another dtype raises TypeError when the group
    is built.

    `in_order_road` False (default: `IN_ORDER_ROAD`) routes and sorts the
    stamps even of an axis in time order; after `add_second`, `in_order`
    tells whether pass 2 reduced the partitions in place.
    """

    def __init__(
        self,
        ddf: Any,
        datetime_col: Any = None,
        freq: Any = None,
        rows_per_range: int = ROWS_PER_RANGE,
        gather_cap: int = GATHER_CAP,
        in_order_road: bool | None = None,
    ) -> None:
        self._ddf = ddf
        self.axis, self._dtype = _axis_dtype(ddf, datetime_col)
        if self.axis is not None and not (_is_datetime(self._dtype) or _is_integer(self._dtype)):
            raise TypeError(f"the time axis of a Dask frame must be datetime64 or integer, not {self._dtype}")
        self._column = datetime_col if self.axis == "column" else None
        self._freq = freq
        self._rows_per_range = rows_per_range
        self._gather_cap = gather_cap
        self._in_order_road = IN_ORDER_ROAD if in_order_road is None else in_order_road
        # Whether pass 2 reduced the partitions in place (the axis was found
        # in time order) rather than routing their stamps to value ranges.
        self.in_order: bool | None = None
        self._gathered: np.ndarray | None = None
        self._needs_gather = False
        # The smallest distinct gaps, set when they decide the frequency.
        self._wall_gaps: np.ndarray | None = None
        self._utc_gaps: np.ndarray | None = None

    def add_first(self, p: Pass) -> None:
        if self.axis is None:
            return
        import dask

        first = dask.delayed(_first_partition, pure=True)
        parts = [first(part, self._column, self._dtype) for part in p.partitions(self._ddf)]
        self._at = p.add(_tree(_first_combine, parts))

    def add_second(self, p: Pass, results: list[Any]) -> None:
        if self.axis is None:
            return
        import dask

        self._rows, self._nat, samples, order = results[self._at]
        n_valid = self._rows - self._nat
        keep = self._rows <= self._gather_cap
        previous = _predecessors(order) if self._in_order_road else None
        self.in_order = previous is not None
        if previous is not None:
            # As many gap buckets as the value ranges would have had.
            n_ranges = max(1, math.ceil(n_valid / self._rows_per_range))
            reduce = dask.delayed(_reduce_in_order, pure=True, nout=2)
            partitions = p.partitions(self._ddf)
            ranges = [
                reduce(part, self._column, self._dtype, before, n_ranges, keep)
                for part, before in zip(partitions, previous, strict=True)
            ]
        else:
            cuts = _boundaries(samples, n_valid, self._rows_per_range)
            n_ranges = len(cuts) + 1
            route = dask.delayed(_route, pure=True, nout=n_ranges)
            routed = [route(part, self._column, self._dtype, cuts) for part in p.partitions(self._ddf)]
            reduce = dask.delayed(_reduce_range, pure=True, nout=2)
            ranges = [reduce([r[k] for r in routed], self._dtype, n_ranges, keep) for k in range(n_ranges)]
        summaries = [s for s, _ in ranges]
        straddling = dask.delayed(_straddling, pure=True)(summaries)
        mode = dask.delayed(_bucket_mode, pure=True)
        modes = [mode([b[h] for _, b in ranges], straddling, h, n_ranges) for h in range(n_ranges)]
        self._at = p.add((summaries, straddling, modes))

    def add_third(self, p: Pass, results: list[Any]) -> bool:
        """Adds the gathering of the valid stamps if pandas' inference must
        see them all; returns whether it did."""
        if self.axis is None:
            return False
        self._second = results[self._at]
        summaries, (utc, wall), _ = self._second
        filled = [s for s in summaries if s["count"]]
        if summaries and summaries[0]["values"] is not None:
            kept = [s["values"] for s in summaries]
            self._gathered = np.concatenate(kept) if kept else np.zeros(0, dtype=np.int64)
            return False
        self._n_distinct = sum(s["distinct"] for s in filled)
        n_valid = self._rows - self._nat
        unique_axis = self._nat == 0 and self._n_distinct == n_valid
        if self._freq or self._rows < 3 or not unique_axis or _is_integer(self._dtype):
            return False
        self._wall_gaps = np.unique(np.concatenate([s["wall_gaps"] for s in filled] + [wall]))[:SMALLEST]
        self._utc_gaps = np.unique(np.concatenate([s["utc_gaps"] for s in filled] + [utc]))[:SMALLEST]
        per_day = _PER_SECOND[_unit(self._dtype)] * 86400
        smallest = int(self._wall_gaps[0])
        if not (smallest and smallest % per_day == 0):
            return False
        if n_valid > GATHER_LIMIT:
            raise ValueError(
                f"the time axis has {n_valid} distinct stamps a day or more apart; "
                f"its frequency is inferred from at most {GATHER_LIMIT}"
            )
        import dask

        valid = dask.delayed(_valid_sorted, pure=True)
        parts = [valid(part, self._column, self._dtype) for part in p.partitions(self._ddf)]
        self._at = p.add(_tree(_merge_sorted, parts))
        self._needs_gather = True
        return True

    def reads_third(self, tables: Tables) -> set[Any]:
        return set() if self.axis is None or self._column is None else {self._column}

    def fill(self, results: list[Any], tables: Tables) -> None:
        if self.axis is None:
            tables.time_axis = {"axis": None}
            return
        if self._needs_gather:
            self._gathered = results[self._at]
        summaries, _, modes = self._second
        filled = [s for s in summaries if s["count"]]
        n_valid = self._rows - self._nat
        n_distinct = sum(s["distinct"] for s in filled)
        facts: dict[str, Any] = {
            "axis": self.axis,
            "n_rows": self._rows,
            "n_missing": self._nat,
            "n_distinct": n_distinct,
            "has_duplicates": n_distinct < n_valid,
            "unique_periods": n_distinct + (1 if self._nat else 0),
        }
        ends = np.array([filled[0]["first"], filled[-1]["last"]] if filled else [_NAT, _NAT], dtype=np.int64)
        stamps = _index_of(ends, self._dtype)
        # What index.min() and index.max() give: Timestamps, or NumPy
        # integers of an integer axis.
        facts["min"], facts["max"] = (ends[0], ends[1]) if _is_integer(self._dtype) else (stamps[0], stamps[1])
        facts["inferred_alias"] = None if self._freq else self._inferred()
        facts["frequency"] = self._freq if self._freq else facts["inferred_alias"]
        facts["inferred_by_pandas"] = not self._freq and bool(facts["inferred_alias"])
        n_gaps = max(n_valid - 1, 0)
        facts["n_gaps"] = n_gaps
        found = [m for m in modes if m is not None]
        # Most common first, the smallest gap among equals.
        best = min(found, key=lambda m: (-m[1], m[0])) if found else None
        if best is None:
            facts["gap_mode"] = None
        elif _is_integer(self._dtype):
            facts["gap_mode"] = int(best[0])
        else:
            facts["gap_mode"] = pd.Timedelta(best[0], unit=_unit(self._dtype))
        if facts["inferred_by_pandas"] or n_gaps == 0:
            facts["irregular_share"] = 0.0
        else:
            facts["irregular_share"] = (n_gaps - best[1]) / n_gaps
        tables.time_axis = facts

    def _inferred(self) -> str | None:
        if _is_integer(self._dtype):
            # pandas refuses any integer index, whatever its length.
            return pd.infer_freq(pd.Index(np.zeros(0, dtype=self._dtype)))
        if self._rows < 3:
            return None
        if self._gathered is not None:
            # Exactly the axis the in-memory analysis infers from: the
            # sorted stamps with NaT last.
            values = np.concatenate([self._gathered, np.full(self._nat, _NAT, dtype=np.int64)])
            return infer_alias(_index_of(values, self._dtype))
        if self._utc_gaps is None:
            # NaT or a repeated stamp: pandas infers nothing.
            return None
        return _intraday_alias(self._wall_gaps, self._utc_gaps, _unit(self._dtype))


def time_axis(
    ddf: Any,
    datetime_col: Any = None,
    freq: Any = None,
    scheduler: Any = None,
    tables: Tables | None = None,
    **options: Any,
) -> dict[str, Any]:
    """The axis facts of `ddf` in passes of its own (two, or three for a
    large day-spaced axis), written to `tables` if given and returned."""
    from .passes import pinned_scheduler

    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    group = TimeAxis(ddf, datetime_col, freq, **options)
    first = Pass(scheduler)
    group.add_first(first)
    second = Pass(scheduler)
    group.add_second(second, first.run())
    results = second.run()
    third = Pass(scheduler)
    if group.add_third(third, results):
        results = third.run()
    holder = tables if tables is not None else _Holder()
    group.fill(results, holder)  # type: ignore[arg-type]
    return holder.time_axis


class _Holder:
    time_axis: Any = None
