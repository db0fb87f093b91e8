"""The time axis of a Dask frame over every row, exact: the time-stamp
kernel's scans, plan, runs, gap buckets and finish on int64 stamps
(docs/distributed.md tells the roads). pandas keeps the dtypes, the wall
clock of zoned stamps and the inference of a day-spaced axis. A time column
of any other dtype is gathered whole, for the in-memory analysis' own steps."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .passes import Pass, combine_tree, concat_like_compute
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


def _is_integer(dtype: Any) -> bool:
    """NumPy integers an int64 holds: the in-memory analysis sorts and
    indexes them like stamps, and reads its gaps as their differences."""
    return isinstance(dtype, np.dtype) and (dtype.kind == "i" or (dtype.kind == "u" and dtype.itemsize < 8))


def _as_int64(part: pd.DataFrame, column: Any, dtype: Any) -> np.ndarray:
    """The axis of a partition as int64 counts of its unit since the epoch
    (UTC for zoned stamps), NaT as the smallest int64; integers as such."""
    stamps = part.index if column is None else part[column]
    if stamps.dtype != dtype:
        raise ValueError(f"a partition's time axis has the dtype {stamps.dtype}, the frame's metadata {dtype}")
    if not _is_integer(dtype):
        return np.asarray(pd.DatetimeIndex(stamps).asi8, dtype=np.int64)
    values = np.asarray(stamps, dtype=np.int64)
    if (values == _NAT).any():
        raise ValueError(f"the time axis holds {_NAT}, which the Dask analysis reserves for missing stamps")
    return values


def _unit(dtype: Any) -> str:
    return np.datetime_data(dtype)[0] if isinstance(dtype, np.dtype) else dtype.unit


def _index_of(values: np.ndarray, dtype: Any) -> pd.Index:
    """int64 stamps back as an index of `dtype`."""
    if _is_integer(dtype):
        return pd.Index(values.astype(dtype))
    naive = pd.DatetimeIndex(values.view(f"M8[{_unit(dtype)}]"))
    tz = getattr(dtype, "tz", None)
    return naive if tz is None else naive.tz_localize("UTC").tz_convert(tz)


def _axis_column(part: pd.DataFrame, column: Any) -> pd.DataFrame:
    # A frame, as the in-memory analysis selects it: a label naming several
    # columns selects them all, and sorting by it then fails there as here.
    return part[[column]]


def _scan(part: pd.DataFrame, column: Any, dtype: Any) -> Any:
    return kernels.stamp_scan(_as_int64(part, column, dtype), SAMPLES_PER_PARTITION)


def _reduce(values: np.ndarray, dtype: Any, previous: int | None, n_buckets: int, keep: bool) -> Any:
    """A run of stamps reduced (NaT skipped, none below `previous`, the last
    stamp before it), with the wall clock pandas' inference reads of zoned
    stamps, and its valid stamps when `keep`."""
    zoned = getattr(dtype, "tz", None) is not None
    wall = np.asarray(_index_of(values, dtype).tz_localize(None).asi8, dtype=np.int64) if zoned else None
    summary, buckets = kernels.stamp_reduce(values, wall, previous, n_buckets)
    summary["values"] = values[values != _NAT] if keep else None
    return summary, buckets


def _reduce_in_order(part: pd.DataFrame, column: Any, dtype: Any, previous: int | None, n: int, keep: bool) -> Any:
    return _reduce(_as_int64(part, column, dtype), dtype, previous, n, keep)


def _reduce_range(pieces: list[np.ndarray], dtype: Any, n_buckets: int, keep: bool) -> Any:
    # NumPy's vectorised sort: several times std::sort's speed on int64.
    return _reduce(np.sort(np.concatenate(pieces)), dtype, None, n_buckets, keep)


def _route(part: pd.DataFrame, column: Any, dtype: Any, cuts: np.ndarray) -> tuple[np.ndarray, ...]:
    return tuple(kernels.stamp_route(_as_int64(part, column, dtype), cuts))


def _valid(part: pd.DataFrame, column: Any, dtype: Any) -> np.ndarray:
    return kernels.stamp_route(_as_int64(part, column, dtype), np.zeros(0, dtype=np.int64))[0]


def _joined(pieces: list[np.ndarray]) -> np.ndarray:
    return np.sort(np.concatenate(pieces))


class TimeAxis:
    """The axis facts over passes 1 and 2, and a third that gathers a
    day-spaced axis for pandas' inference (`add_third` answers whether it
    does); `fill` writes `Tables.time_axis` (its keys: docs/distributed.md).
    A datetime64 axis (any unit, with or without zone) or an integer one
    (pandas' own TypeError in `fill` without `freq`, as in memory) goes by the
    kernel; a column of another dtype is gathered in pass 1 (`gathers_column`),
    which is then its last.
    `in_order_road` False routes and sorts even an axis in time order;
    `in_order` tells which road pass 2 took."""

    def __init__(
        self,
        ddf: Any,
        datetime_col: Any = None,
        freq: Any = None,
        rows_per_range: int = ROWS_PER_RANGE,
        gather_cap: int = GATHER_CAP,
        in_order_road: bool | None = None,
    ) -> None:
        self._ddf, self._freq, self._rows_per_range, self._gather_cap = ddf, freq, rows_per_range, gather_cap
        # The axis the in-memory analysis takes: a named column, else a DatetimeIndex.
        self.axis, self._dtype = None, None
        if datetime_col and datetime_col in ddf.columns:
            self.axis, self._dtype = "column", ddf._meta[datetime_col].dtype
        elif isinstance(ddf._meta.index, pd.DatetimeIndex):
            self.axis, self._dtype = "index", ddf._meta.index.dtype
        dtype = self._dtype
        datetime = isinstance(dtype, pd.DatetimeTZDtype) or (isinstance(dtype, np.dtype) and dtype.kind == "M")
        self.gathers_column = self.axis == "column" and not (datetime or _is_integer(dtype))
        self._column = datetime_col if self.axis == "column" else None
        self._in_order_road = IN_ORDER_ROAD if in_order_road is None else in_order_road
        self.in_order: bool | None = None
        self._gathered: np.ndarray | None = None
        self._needs_gather = False

    def add_first(self, p: Pass) -> None:
        if self.axis is None:
            return
        if self.gathers_column:
            self._at = p.add(combine_tree(p.tasks(self._ddf, _axis_column, self._column), concat_like_compute))
            return
        scans = p.tasks(self._ddf, _scan, self._column, self._dtype)
        self._at = p.add(combine_tree(scans, kernels.stamp_scan_merge))

    def add_second(self, p: Pass, results: list[Any]) -> None:
        if self.axis is None:
            return
        import dask

        scan = results[self._at]
        self._rows, self._nat = scan[0], scan[1]
        keep = self._rows <= self._gather_cap
        n, cuts, previous = kernels.stamp_plan(scan, self._rows_per_range, self._in_order_road)
        self.in_order = previous is not None
        parts, args = p.partitions(self._ddf), (self._column, self._dtype)
        if previous is not None:
            reduce = dask.delayed(_reduce_in_order, pure=True, nout=2)
            ranges = [reduce(part, *args, before, n, keep) for part, before in zip(parts, previous, strict=True)]
        else:
            routed = [dask.delayed(_route, pure=True, nout=n)(part, *args, cuts) for part in parts]
            reduce = dask.delayed(_reduce_range, pure=True, nout=2)
            ranges = [reduce([r[k] for r in routed], self._dtype, n, keep) for k in range(n)]
        summaries = [s for s, _ in ranges]
        axis = dask.delayed(kernels.stamp_axis, pure=True)(summaries)
        mode = dask.delayed(kernels.stamp_gap_mode, pure=True)
        modes = [mode([b[h] for _, b in ranges], axis["straddling"], h, n) for h in range(n)]
        self._at = p.add((summaries, axis, modes))

    def add_third(self, p: Pass, results: list[Any]) -> bool:
        if self.axis is None or self.gathers_column:
            return False
        summaries, axis, modes = results[self._at]
        infers = not self._freq and not _is_integer(self._dtype)
        per_second = _PER_SECOND[_unit(self._dtype)] if infers else 0
        self._facts = kernels.stamp_finish(self._rows, self._nat, axis, modes, per_second)
        day_spaced = self._facts.pop("day_spaced")
        if summaries and summaries[0]["values"] is not None:
            self._gathered = np.concatenate([s["values"] for s in summaries])
            return False
        if not day_spaced:
            return False
        if self._rows > GATHER_LIMIT:
            raise ValueError(
                f"the time axis has {self._rows} distinct stamps a day or more apart; "
                f"its frequency is inferred from at most {GATHER_LIMIT}"
            )
        self._at = p.add(combine_tree(p.tasks(self._ddf, _valid, self._column, self._dtype), _joined))
        self._needs_gather = True
        return True

    def reads_third(self, tables: Tables) -> set[Any]:
        return set() if self.axis is None or self._column is None else {self._column}

    def fill(self, results: list[Any], tables: Tables) -> None:
        if self.axis is None:
            tables.time_axis = {"axis": None}
            return
        if self.gathers_column:
            tables.time_axis = {"axis": self.axis, "gathered": results[self._at]}
            return
        if self._needs_gather:
            self._gathered = results[self._at]
        facts: dict[str, Any] = {"axis": self.axis, "n_rows": self._rows, "n_missing": self._nat, **self._facts}
        ends = np.array([facts.pop("first"), facts.pop("last")], dtype=np.int64)
        # What index.min() and index.max() give.
        facts["min"], facts["max"] = ends if _is_integer(self._dtype) else _index_of(ends, self._dtype)
        facts["infer_from"] = None if self._freq else self._infer_from()
        if facts["gap_mode"] is not None and not _is_integer(self._dtype):
            facts["gap_mode"] = pd.Timedelta(facts["gap_mode"], unit=_unit(self._dtype))
        tables.time_axis = facts

    def _infer_from(self) -> pd.Index | None:
        """The stamps the analysis asks pandas' inference of, where the
        kernel's `inferred_alias` does not answer for it (None: it does)."""
        if _is_integer(self._dtype):
            # pandas refuses any integer index, whatever its length.
            return pd.Index(np.zeros(0, dtype=self._dtype))
        if self._gathered is None:
            return None
        # The axis the in-memory analysis infers from: sorted, NaT last.
        return _index_of(np.concatenate([self._gathered, np.full(self._nat, _NAT, dtype=np.int64)]), self._dtype)
