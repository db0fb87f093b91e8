"""The analysis of a Dask DataFrame: the passes over the data that the native
analysis steps read their figures from (internal; no stable interface).

profilon imports this module only after it has recognised a Dask frame, and
this module imports Dask only when a pass runs: a pandas analysis never
loads Dask, installed or not.

The analysis reads the data in a few passes, each one graph execution (one
`dask.compute`), so that a frame whose partitions are read from storage is
read once per pass. Every figure of a pass is computed inside the pass's own
per-partition functions; shortcuts such as `len(ddf)` take a path of their
own through the data and would read it again.

Settings, read from the environment at each analysis (a positive integer
each; unset or empty means the default):

    PROFILON_DASK_CORR_ROWS    rows of the uniform sample the correlation
                               matrix is computed on (default 1,000,000;
                               smaller frames use every row)
    PROFILON_DASK_TS_POINTS    most recent points of each target that the
                               stationarity and autocorrelation figures use
                               (default 1,000,000)
    PROFILON_DASK_BUCKET_CAP   values one partition may return for one
                               quantile bucket before the bucket is refined
                               instead (default 4,000,000)

The mutual-information sample is the in-memory analysis's own 8,000 rows,
drawn by the same call; it is not a setting, since any other size would give
figures the pandas report does not have.
"""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

# ---------------------------------------------------------------------------
# Recognition
# ---------------------------------------------------------------------------


def is_dask_frame(obj: object) -> bool:
    """Whether `obj` is a Dask DataFrame (not a Dask Series, Index or scalar).

    Never imports Dask: such a frame cannot exist unless `dask.dataframe` has
    been imported already, so an absent module means the answer is no.
    """
    module = sys.modules.get("dask.dataframe")
    # None also stands for an import that was blocked on purpose; a module
    # still being imported may not have its DataFrame yet.
    frame_class = getattr(module, "DataFrame", None) if module is not None else None
    if not isinstance(frame_class, type):
        return False
    return isinstance(obj, frame_class)


# ---------------------------------------------------------------------------
# Settings
# ---------------------------------------------------------------------------

# Fixed by the in-memory analysis (relationships.cpp draws this many rows).
MI_SAMPLE_ROWS = 8000

_SETTINGS = {
    "corr_rows": ("PROFILON_DASK_CORR_ROWS", 1_000_000),
    "ts_points": ("PROFILON_DASK_TS_POINTS", 1_000_000),
    "bucket_cap": ("PROFILON_DASK_BUCKET_CAP", 4_000_000),
}

# ASCII digits only: int() would also take "+5", "1_000" and other scripts'
# digits, which a reader of the environment would not expect to work.
_POSITIVE_INTEGER = re.compile(r"[0-9]+")


@dataclass(frozen=True)
class Settings:
    corr_rows: int
    ts_points: int
    bucket_cap: int
    mi_rows: int = MI_SAMPLE_ROWS


def _setting(environ: Mapping[str, str], name: str, default: int) -> int:
    raw = environ.get(name)
    if raw is None or not raw.strip():
        return default
    text = raw.strip()
    if _POSITIVE_INTEGER.fullmatch(text) and int(text) > 0:
        return int(text)
    raise ValueError(f"{name} must be a positive integer, not {raw!r}")


def read_settings(environ: Mapping[str, str] | None = None) -> Settings:
    """The settings of one analysis, from `environ` (default os.environ)."""
    env = os.environ if environ is None else environ
    return Settings(**{field: _setting(env, name, default) for field, (name, default) in _SETTINGS.items()})


# ---------------------------------------------------------------------------
# Passes
# ---------------------------------------------------------------------------


def pinned_scheduler(ddf: Any) -> Callable[..., Any]:
    """The scheduler every pass of one analysis runs on: whatever
    `dask.compute` would use for `ddf` now (the caller's `scheduler` setting,
    the default Client, else the collection's own default).

    Pinned once, so that a Client that closes between two passes is an error
    rather than a silent switch of the remaining passes to the local
    scheduler (a closed default Client is simply no longer the default).
    """
    from dask.base import get_scheduler

    return get_scheduler(collections=[ddf])


def _cluster_client(scheduler: Callable[..., Any]) -> Any:
    """The distributed Client whose `get` the scheduler is, else None."""
    if "distributed" not in sys.modules:
        return None
    from distributed import Client

    owner = getattr(scheduler, "__self__", None)
    return owner if isinstance(owner, Client) else None


def _lost_cluster(error: Exception, client: Any) -> bool:
    """Whether `error`, raised by a pass on `client`, means the cluster was
    lost rather than that a task failed.

    A task's own exception reaches the caller with its own type, and data
    sources raise OSError for their own reasons (a missing file), so an
    OSError or a cancelled future counts only when the client is no longer
    connected afterwards.
    """
    from concurrent.futures import CancelledError

    from distributed.client import ClosedClientError
    from distributed.comm.core import CommClosedError

    if isinstance(error, (ClosedClientError, CommClosedError)):
        return True
    return isinstance(error, (OSError, CancelledError)) and client.status != "running"


def _kinds(item: Any, found: set[str]) -> set[str]:
    """The kinds of Dask objects in `item` (nested the way `dask.compute`
    traverses its arguments): "expression" for the DataFrame API's
    collections, "graph" for delayed objects and other graph-backed ones."""
    import dask
    from dask._expr import Expr

    if isinstance(item, (list, tuple, set)):
        for x in item:
            _kinds(x, found)
    elif isinstance(item, dict):
        for x in item.values():
            _kinds(x, found)
    elif dask.is_dask_collection(item):
        found.add("expression" if isinstance(getattr(item, "expr", None), Expr) else "graph")
    return found


class Pass:
    """The aggregates of one pass over the data, computed together by one
    `dask.compute` call so that each partition is read once.

    `add` takes Dask collections or delayed objects and returns the index of
    the result in the list `run` returns. Dask reads a source once per
    distinct graph of it in one computation, so two rules keep a pass at one
    read: per-partition work hangs off `partitions(ddf)`, the same delayed
    partitions for every caller (a column's own `to_delayed()` is a
    different, projected read), and a pass never mixes DataFrame-API
    collections with delayed objects (Dask then materialises the former on
    their own, reading the data once for each kind).
    """

    def __init__(self, scheduler: Callable[..., Any]) -> None:
        self._scheduler = scheduler
        self._items: list[Any] = []
        self._kinds: set[str] = set()
        self._partitions: dict[int, tuple[Any, list[Any]]] = {}
        self.done = False

    def partitions(self, ddf: Any) -> list[Any]:
        """The partitions of `ddf` as delayed objects, the same list for
        every call of this pass."""
        held = self._partitions.get(id(ddf))
        if held is None:
            # The frame is held with its partitions, so its id stays its own.
            held = self._partitions[id(ddf)] = (ddf, ddf.to_delayed())
        return held[1]

    def add(self, item: Any) -> int:
        if self.done:
            raise RuntimeError("this pass has run already; start a new one")
        kinds = _kinds(item, set(self._kinds))
        if len(kinds) > 1:
            raise TypeError(
                "a pass cannot mix DataFrame collections with delayed objects: Dask would read the data once for each"
            )
        self._kinds = kinds
        self._items.append(item)
        return len(self._items) - 1

    def run(self) -> list[Any]:
        if self.done:
            raise RuntimeError("this pass has run already; start a new one")
        self.done = True
        if not self._items:
            return []
        import dask

        try:
            return list(dask.compute(*self._items, scheduler=self._scheduler))
        except Exception as error:
            client = _cluster_client(self._scheduler)
            if client is None or not _lost_cluster(error, client):
                raise
            detail = str(error)
            reason = f"{type(error).__name__}: {detail}" if detail else type(error).__name__
            raise RuntimeError(f"the Dask cluster could not be reached: {reason}") from error


# ---------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------


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

    The fields below belong to the later passes, which are not built yet;
    they stay None until then:
      nunique_by_col            distinct non-missing values per column
      rare_share_by_col         share of rare levels per categorical column
      duplicate_pairs           pairs of identical columns, in scan order
      column_summaries          per numeric column: counts of finite and
                                infinite values, extrema, median, standard
                                deviation, skew, kurtosis, quartiles and
                                outlier share
      corr_matrix               correlation matrix of the numeric columns
                                (on the correlation sample)
      mi_sample                 the mutual-information sample rows (pandas
                                DataFrame, in draw order)
      cat_corr_ratio            correlation ratio per (target, categorical
                                column)
      target_moments            skew and kurtosis per target
      target_zero_counts        zero-or-missing values per target
      time_axis                 the axis facts: inferred frequency,
                                irregular share, unique periods, missing
                                timeline share
      ts_series                 per target, its most recent points in time
                                order (pandas Series)
      leakage_corr_hits         per target, the numeric features whose
                                |Pearson r| is at least 0.99
      target_identical_cols     per target, the columns equal to it
      sample_notes              which figures were computed on a sample,
                                of how many rows out of how many
    """

    n_rows: int
    n_cols: int
    partition_lengths: np.ndarray
    partition_offsets: np.ndarray
    missing_counts: pd.Series
    non_missing_counts: pd.Series
    partition_missing_counts: np.ndarray
    rows_with_any_missing: int

    nunique_by_col: Any = None
    rare_share_by_col: Any = None
    duplicate_pairs: Any = None
    column_summaries: Any = None
    corr_matrix: Any = None
    mi_sample: Any = None
    cat_corr_ratio: Any = None
    target_moments: Any = None
    target_zero_counts: Any = None
    time_axis: Any = None
    ts_series: Any = None
    leakage_corr_hits: Any = None
    target_identical_cols: Any = None
    sample_notes: Any = None

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


# ---------------------------------------------------------------------------
# Pass 1: lengths and missing cells
# ---------------------------------------------------------------------------


def _scan_partition(part: pd.DataFrame, columns: pd.Index, index: int) -> tuple[int, np.ndarray, int]:
    # Dask takes the metadata's word for the columns of a partition; a source
    # that disagrees would shift every per-column count.
    if not part.columns.equals(columns):
        raise ValueError(
            f"partition {index} of the Dask DataFrame has the columns {list(part.columns)!r}, "
            f"but the frame's metadata lists {list(columns)!r}"
        )
    # The same mask the in-memory analysis takes of the whole frame.
    mask = part.isna()
    counts = mask.sum().to_numpy(dtype=np.int64)
    return len(part), counts, int(mask.any(axis=1).sum())


def _stack_scans(scans: list[tuple[int, np.ndarray, int]], n_cols: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    lengths = np.array([s[0] for s in scans], dtype=np.int64)
    missing = np.zeros((len(scans), n_cols), dtype=np.int64)
    for i, s in enumerate(scans):
        missing[i] = s[1]
    any_missing = np.array([s[2] for s in scans], dtype=np.int64)
    return lengths, missing, any_missing


def scan(ddf: Any, scheduler: Callable[..., Any] | None = None) -> Tables:
    """Pass 1 over `ddf`: row counts, partition positions and missing cells."""
    import dask

    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    columns = ddf.columns
    first = Pass(scheduler)
    scan_part = dask.delayed(_scan_partition, pure=True)
    scans = [scan_part(p, columns, i) for i, p in enumerate(first.partitions(ddf))]
    # Stacked on a worker: the client receives three arrays, not one message
    # per partition.
    at = first.add(dask.delayed(_stack_scans, pure=True)(scans, len(columns)))
    lengths, missing, any_missing = first.run()[at]

    offsets = np.zeros(len(lengths), dtype=np.int64)
    if len(lengths) > 1:
        np.cumsum(lengths[:-1], out=offsets[1:])
    n_rows = int(lengths.sum())
    missing_counts = pd.Series(missing.sum(axis=0), index=columns, dtype=np.int64)
    return Tables(
        n_rows=n_rows,
        n_cols=len(columns),
        partition_lengths=lengths,
        partition_offsets=offsets,
        missing_counts=missing_counts,
        non_missing_counts=n_rows - missing_counts,
        partition_missing_counts=missing,
        rows_with_any_missing=int(any_missing.sum()),
    )
