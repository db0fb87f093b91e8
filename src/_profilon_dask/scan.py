"""Pass 1: lengths and missing cells."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from .passes import Pass
from .tables import Tables


def _scan_partition(part: pd.DataFrame) -> tuple[int, np.ndarray, int]:
    # The same mask the in-memory analysis takes of the whole frame.
    mask = part.isna()
    counts = mask.sum().to_numpy(dtype=np.int64)
    return len(part), counts, int(mask.any(axis=1).sum())


def _stack_scans(scans: list[tuple[int, np.ndarray, int]], n_cols: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    lengths = np.array([s[0] for s in scans], dtype=np.int64)
    missing = np.array([s[1] for s in scans], dtype=np.int64).reshape(len(scans), n_cols).sum(axis=0)
    any_missing = np.array([s[2] for s in scans], dtype=np.int64)
    return lengths, missing, any_missing


def add_scan(p: Pass, ddf: Any) -> Callable[[list[Any]], Tables]:
    """Adds pass 1's lengths and missing cells to `p`; the returned function
    makes the `Tables` from the pass's results, for the other figures of the
    pass to fill in."""
    import dask

    columns = ddf.columns
    scans = p.tasks(ddf, _scan_partition)
    # Joined on a worker: the client receives three arrays, not one message
    # per partition.
    at = p.add(dask.delayed(_stack_scans, pure=True)(scans, len(columns)))

    def fill(results: list[Any]) -> Tables:
        lengths, missing, any_missing = results[at]
        offsets = np.cumsum(lengths) - lengths
        return Tables(
            n_rows=int(lengths.sum()),
            n_cols=len(columns),
            partition_lengths=lengths,
            partition_offsets=offsets,
            missing_counts=pd.Series(missing, index=columns, dtype=np.int64),
            rows_with_any_missing=int(any_missing.sum()),
        )

    return fill
