"""The pass runner: the aggregates of one pass over the data, computed by one
`dask.compute` call on the scheduler pinned for the whole analysis."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

# Partial results a task of a combining tree takes at the most: the client
# receives one result however many partitions there are.
SPLIT_EVERY = 8

# bench/ times the passes inside the real analysis: when this holds a
# callable, each pass that computed something calls it with the positions of
# the columns it read (None: all) and its wall seconds.
_pass_clock: Callable[[list[int] | None, float], None] | None = None


def combine_tree(items: list[Any], combine: Callable[[list[Any]], Any], split_every: int = SPLIT_EVERY) -> Any:
    """`combine` applied on the workers to `items` in order, in a tree of at
    most `split_every` children per task, at least once (a lone item is
    combined too, so the result always has combine's form)."""
    import dask

    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    merge = dask.delayed(combine, pure=True)
    nodes = list(items)
    while True:
        nodes = [merge(nodes[i : i + split_every]) for i in range(0, len(nodes), split_every)]
        if len(nodes) <= 1:
            return nodes[0]


def concat_like_compute(frames: list[Any]) -> Any:
    """The frames joined as `ddf.compute()` joins its partitions."""
    from dask.dataframe import methods

    filled = [f for f in frames if len(f)]
    return methods.concat(filled, uniform=True) if filled else frames[0]


def pinned_scheduler(ddf: Any) -> Callable[..., Any]:
    """The scheduler every pass of one analysis runs on: whatever
    `dask.compute` would use for `ddf` now. Pinned once, so that a Client
    closing between two passes is an error rather than a silent switch of the
    remaining passes to the local scheduler."""
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
    lost rather than that a task failed. Data sources raise OSError for their
    own reasons (a missing file), so an OSError or a cancelled future counts
    only when the client is no longer connected afterwards."""
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

    if isinstance(item, dict):
        item = list(item.values())
    if isinstance(item, (list, tuple, set)):
        for x in item:
            _kinds(x, found)
    elif dask.is_dask_collection(item):
        found.add("expression" if isinstance(getattr(item, "expr", None), Expr) else "graph")
    return found


def _checked_partition(part: Any, meta: Any, index: int) -> Any:
    """`part`, once it holds what the frame's metadata `meta` says: the same
    columns (else every per-column figure would shift), and cells of the kind
    the metadata types each column by. Numbers of another width, and booleans
    as the numbers 0 and 1, are read as the rows Dask computes hold them; an
    empty partition holds nothing to type and is read as the metadata."""
    import pandas as pd

    columns, dtypes = meta.columns, list(meta.dtypes)
    if not part.columns.equals(columns):
        raise ValueError(
            f"partition {index} of the Dask DataFrame has the columns {list(part.columns)!r}, "
            f"but the frame's metadata lists {list(columns)!r}"
        )
    if list(part.dtypes) == dtypes:
        return part
    if not len(part):
        return meta
    types = pd.api.types
    for j, (dtype, want) in enumerate(zip(part.dtypes, dtypes, strict=True)):
        kind = next(
            (k for k in (types.is_bool_dtype, types.is_numeric_dtype, types.is_datetime64_any_dtype) if k(want)), None
        )
        if kind is not None and not kind(dtype):
            raise TypeError(
                f"partition {index} of the Dask DataFrame holds column {columns[j]!r} as {dtype}, "
                f"but the frame's metadata says {want}"
            )
    return part


class Pass:
    """The aggregates of one pass over the data, computed together by one
    `dask.compute` call; `add` returns the index of an item's result in the
    list `run` returns.

    Dask reads a source once per distinct graph of it in one computation, so
    per-partition work hangs off `partitions(ddf)`, the same delayed
    partitions for every caller (a column's own `to_delayed()` is another,
    projected read), and a pass never mixes DataFrame-API collections with
    delayed objects (Dask would read the data once for each kind).
    """

    def __init__(self, scheduler: Callable[..., Any], columns: Sequence[int] | None = None) -> None:
        self._scheduler = scheduler
        # The frame's columns this pass reads, by position; None: all.
        self._columns = None if columns is None else sorted(set(columns))
        self._items: list[Any] = []
        self._kinds: set[str] = set()
        self._partitions: dict[int, tuple[Any, list[Any]]] = {}
        self.done = False

    def partitions(self, ddf: Any) -> list[Any]:
        """The partitions of `ddf` as delayed objects, the same list for
        every call of this pass, each checked against the metadata before any
        figure reads it: only the pass's columns when it reads fewer than all
        and the labels are unique."""
        held = self._partitions.get(id(ddf))
        if held is None:
            import dask

            frame = ddf
            if self._projects(ddf):
                frame = ddf[[ddf.columns[j] for j in self._columns]]
            check, meta = dask.delayed(_checked_partition, pure=True), frame._meta
            parts = [check(part, meta, i) for i, part in enumerate(frame.to_delayed())]
            # The frame is held with its partitions, so its id stays its own.
            held = self._partitions[id(ddf)] = (ddf, parts)
        return held[1]

    def tasks(self, ddf: Any, work: Callable[..., Any], *args: Any, nout: int | None = None) -> list[Any]:
        """`work(part, *args)` on each of this pass's partitions of `ddf`, as
        pure delayed tasks (`nout` as `dask.delayed` takes it)."""
        import dask

        task = dask.delayed(work, pure=True, nout=nout)
        return [task(part, *args) for part in self.partitions(ddf)]

    def _projects(self, ddf: Any) -> bool:
        columns = self._columns
        return (
            columns is not None
            and 0 < len(columns) < len(ddf.columns)
            and bool(ddf.columns.is_unique)
            and columns[-1] < len(ddf.columns)
        )

    def position(self, ddf: Any, j: int) -> int:
        """Where column `j` of `ddf` sits in this pass's partitions."""
        return self._columns.index(j) if self._projects(ddf) else j

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

        clock = _pass_clock
        began = time.perf_counter()
        try:
            results = list(dask.compute(*self._items, scheduler=self._scheduler))
        except Exception as error:
            client = _cluster_client(self._scheduler)
            if client is None or not _lost_cluster(error, client):
                raise
            detail = str(error)
            reason = f"{type(error).__name__}: {detail}" if detail else type(error).__name__
            raise RuntimeError(f"the Dask cluster could not be reached: {reason}") from error
        if clock is not None:
            projected = any(self._projects(frame) for frame, _ in self._partitions.values())
            clock(self._columns if projected else None, time.perf_counter() - began)
        return results
