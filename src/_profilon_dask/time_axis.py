"""The time axis of a Dask frame: its inferred frequency, the irregular share
of its gaps, its distinct periods and its extent, over every row, exact.

The in-memory analysis reads them from `df.sort_values(col).set_index(col)
.index` (else `df.sort_index().index` of a DatetimeIndex): pandas' inferred
frequency, the gaps `index.to_series().diff().dropna()` and their mode,
`len(index.unique())` and `index.min()`/`index.max()`. Here they are the
time-stamp kernel's (`_profilon_kernels.stamp_*`, over int64 stamps): pass 1
scans each partition, the merged scan plans pass 2 (the partitions
themselves when the stamps are in time order across them, else value ranges
of about `rows_per_range` stamps each partition routes its sorted stamps
to), each range is reduced to a run whose gap counts split by a hash of the
gap into one bucket per range, and the runs and buckets merge into the axis
and the gap mode. A unique axis whose smallest wall-clock gap is whole days
is gathered in pass 3 for pandas' own inference (which reads calendar fields
of every stamp), as is any axis of at most `gather_cap` stamps in pass 2.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .passes import Pass, combine_tree, pinned_scheduler
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


def _wall_clock(values: np.ndarray, dtype: Any) -> np.ndarray | None:
    """Local wall-clock int64 values of UTC stamps, what pandas' inference
    reads the calendar rules from; None when they are the stamps."""
    if getattr(dtype, "tz", None) is None:
        return None
    return np.asarray(_index_of(values, dtype).tz_localize(None).asi8, dtype=np.int64)


def _valid_of(values: np.ndarray) -> np.ndarray:
    """The non-NaT stamps in row order; `values` itself when all are."""
    valid = values != _NAT
    return values if valid.all() else values[valid]


def _scan(part: pd.DataFrame, column: Any, dtype: Any) -> tuple[Any, ...]:
    return kernels.stamp_scan(_as_int64(_stamps_of(part, column), dtype), SAMPLES_PER_PARTITION)


def _valid_sorted(part: pd.DataFrame, column: Any, dtype: Any) -> np.ndarray:
    # NumPy's vectorised sort: several times std::sort's speed on int64.
    values = _as_int64(_stamps_of(part, column), dtype)
    return np.sort(values[values != _NAT])


def _joined(pieces: list[np.ndarray]) -> np.ndarray:
    return np.sort(np.concatenate(pieces)) if pieces else np.zeros(0, dtype=np.int64)


def _route(part: pd.DataFrame, column: Any, dtype: Any, cuts: np.ndarray) -> tuple[np.ndarray, ...]:
    valid = _valid_sorted(part, column, dtype)
    return tuple(np.split(valid, np.searchsorted(valid, cuts, side="left")))


# A run's summary and its gap counts, split into buckets.
Run = tuple[dict[str, Any], list[tuple[np.ndarray, np.ndarray]]]


def _reduced(values: np.ndarray, dtype: Any, previous: int | None, n_buckets: int, keep: bool) -> Run:
    summary, keys, counts = kernels.stamp_run(values, _wall_clock(values, dtype), previous)
    summary["values"] = values if keep else None
    return summary, kernels.stamp_gap_buckets(keys, counts, n_buckets)


def _reduce_range(pieces: list[np.ndarray], dtype: Any, n_buckets: int, keep: bool) -> Run:
    """The run of one value range, from the sorted pieces routed to it."""
    return _reduced(_joined(list(pieces)), dtype, None, n_buckets, keep)


def _reduce_in_order(part: pd.DataFrame, column: Any, dtype: Any, previous: int | None, n: int, keep: bool) -> Run:
    """The run of a partition whose valid stamps are in order, none below
    `previous` (the last valid stamp of the partitions before it), with its
    first stamp not counted as distinct when it repeats that one."""
    return _reduced(_valid_of(_as_int64(_stamps_of(part, column), dtype)), dtype, previous, n, keep)


def _bucket_mode(parts: list[Any], axis: dict[str, Any], h: int, n_buckets: int) -> tuple[int, int] | None:
    return kernels.stamp_gap_mode(parts, axis["straddling"], h, n_buckets)


def infer_alias(index: pd.DatetimeIndex) -> str | None:
    """pandas' inferred frequency of `index` as alias text: the string form
    of the inference where pandas has one, else `infer_freq`, an offset
    answered by its alias."""
    as_text = getattr(pd.tseries.frequencies, "infer_freq_str", None)
    found = pd.infer_freq(index) if as_text is None else as_text(index)
    if found is None or isinstance(found, str):
        return found
    return found.freqstr


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
    """The axis facts over two passes, sometimes three: `add_first`,
    `add_second` and `add_third` (called in any case; it answers whether it
    gathers a day-spaced axis) add this group's work to the passes given,
    `fill` writes `Tables.time_axis`, a dict of

      axis                      "column", "index" or None (nothing else then)
      n_rows, n_missing         len(index) and its NaT
      n_distinct                distinct valid stamps (has_duplicates: fewer
                                than the valid stamps)
      unique_periods            len(index.unique()): NaT is one more period
      min, max                  index.min(), index.max()
      inferred_alias            pandas' inferred frequency as alias text, None
                                for fewer than three stamps or a caller's freq
      frequency                 the caller's freq if truthy, else the
                                inferred one (inferred_by_pandas: the latter)
      n_gaps, gap_mode          gaps of the sorted valid stamps, the most
                                common (the smallest among equals; a Timedelta)
      irregular_share           share of gaps other than gap_mode; 0.0 when
                                pandas inferred the frequency or no gaps

    A datetime64 axis (any unit, with or without zone) or an integer one
    (pandas' own TypeError in `fill` without `freq`, as in memory); another
    dtype raises TypeError here. `in_order_road` False routes and sorts even
    an axis in time order; `in_order` tells which road pass 2 took.
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
        self.in_order: bool | None = None
        self._gathered: np.ndarray | None = None
        self._needs_gather = False
        # The kernel's inference from the smallest gaps, where they decide it.
        self._alias: str | None = None

    def add_first(self, p: Pass) -> None:
        if self.axis is None:
            return
        import dask

        scan = dask.delayed(_scan, pure=True)
        scans = [scan(part, self._column, self._dtype) for part in p.partitions(self._ddf)]
        self._at = p.add(combine_tree(scans, kernels.stamp_scan_merge))

    def add_second(self, p: Pass, results: list[Any]) -> None:
        if self.axis is None:
            return
        import dask

        scan = results[self._at]
        self._rows, self._nat = scan[0], scan[1]
        keep = self._rows <= self._gather_cap
        n_ranges, cuts, previous = kernels.stamp_plan(scan, self._rows_per_range, self._in_order_road)
        self.in_order = previous is not None
        partitions = p.partitions(self._ddf)
        if previous is not None:
            reduce = dask.delayed(_reduce_in_order, pure=True, nout=2)
            args = (self._column, self._dtype)
            pairs = zip(partitions, previous, strict=True)
            ranges = [reduce(part, *args, before, n_ranges, keep) for part, before in pairs]
        else:
            route = dask.delayed(_route, pure=True, nout=n_ranges)
            routed = [route(part, self._column, self._dtype, cuts) for part in partitions]
            reduce = dask.delayed(_reduce_range, pure=True, nout=2)
            ranges = [reduce([r[k] for r in routed], self._dtype, n_ranges, keep) for k in range(n_ranges)]
        summaries = [s for s, _ in ranges]
        axis = dask.delayed(kernels.stamp_axis, pure=True)(summaries)
        mode = dask.delayed(_bucket_mode, pure=True)
        modes = [mode([b[h] for _, b in ranges], axis, h, n_ranges) for h in range(n_ranges)]
        self._at = p.add((summaries, axis, modes))

    def add_third(self, p: Pass, results: list[Any]) -> bool:
        """Adds the gathering of the valid stamps if pandas' inference must
        see them all; returns whether it did."""
        if self.axis is None:
            return False
        self._second = results[self._at]
        summaries, axis, _ = self._second
        if summaries and summaries[0]["values"] is not None:
            self._gathered = np.concatenate([s["values"] for s in summaries])
            return False
        unique_axis = self._nat == 0 and axis["distinct"] == self._rows
        if self._freq or self._rows < 3 or not unique_axis or _is_integer(self._dtype):
            return False
        per_second = _PER_SECOND[_unit(self._dtype)]
        day_spaced, self._alias = kernels.stamp_frequency(axis["wall_gaps"], axis["utc_gaps"], per_second)
        if not day_spaced:
            return False
        if self._rows > GATHER_LIMIT:
            raise ValueError(
                f"the time axis has {self._rows} distinct stamps a day or more apart; "
                f"its frequency is inferred from at most {GATHER_LIMIT}"
            )
        import dask

        valid = dask.delayed(_valid_sorted, pure=True)
        parts = [valid(part, self._column, self._dtype) for part in p.partitions(self._ddf)]
        self._at = p.add(combine_tree(parts, _joined))
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
        _, axis, modes = self._second
        facts: dict[str, Any] = {"axis": self.axis, "n_rows": self._rows, "n_missing": self._nat}
        facts.update(kernels.stamp_facts(self._rows, self._nat, axis["distinct"], modes))
        ends = np.array([_NAT, _NAT] if axis["first"] is None else [axis["first"], axis["last"]], dtype=np.int64)
        stamps = _index_of(ends, self._dtype)
        # What index.min() and index.max() give.
        facts["min"], facts["max"] = (ends[0], ends[1]) if _is_integer(self._dtype) else (stamps[0], stamps[1])
        facts["inferred_alias"] = None if self._freq else self._inferred()
        facts["frequency"] = self._freq if self._freq else facts["inferred_alias"]
        facts["inferred_by_pandas"] = not self._freq and bool(facts["inferred_alias"])
        if facts["gap_mode"] is not None and not _is_integer(self._dtype):
            facts["gap_mode"] = pd.Timedelta(facts["gap_mode"], unit=_unit(self._dtype))
        if facts["inferred_by_pandas"]:
            facts["irregular_share"] = 0.0
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
        # None for NaT or a repeated stamp: pandas infers nothing then.
        return self._alias


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
    scheduler = scheduler or pinned_scheduler(ddf)
    group = TimeAxis(ddf, datetime_col, freq, **options)
    first, second, third = (Pass(scheduler) for _ in range(3))
    group.add_first(first)
    group.add_second(second, first.run())
    results = second.run()
    if group.add_third(third, results):
        results = third.run()
    holder = tables if tables is not None else SimpleNamespace(time_axis=None)
    group.fill(results, holder)  # type: ignore[arg-type]
    return holder.time_axis
