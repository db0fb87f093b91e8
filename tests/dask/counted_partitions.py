"""Dask frames whose partitions are pandas pieces held here, each read
counted. A plain module rather than the conftest: the tasks that read the
pieces name `_load` by its module, which the workers of an in-process
cluster import by name, and pytest gives every conftest the same one. The
tests reach all of it through the fixtures of this folder's conftest."""

import dask.dataframe as dd
import pandas as pd
from dask.callbacks import Callback

# Partition reads of the frames built by `counted_frame`, by partition.
READS: dict[int, int] = {}
PIECES: dict[str, list[pd.DataFrame]] = {}


class Executions(Callback):
    """Counts graph executions of the local schedulers."""

    def __init__(self):
        super().__init__()
        self.count = 0

    def _start(self, dsk):
        self.count += 1


def _load(key_and_index):
    key, index = key_and_index
    READS[index] = READS.get(index, 0) + 1
    piece = PIECES[key][index]
    if isinstance(piece, BaseException):
        raise piece
    return piece.copy()


def counted_frame(pieces, meta=None, key="frame"):
    """A Dask frame whose partitions are `pieces`, counting each read."""
    PIECES[key] = list(pieces)
    READS.clear()
    if meta is None:
        meta = next(p for p in pieces if isinstance(p, pd.DataFrame)).iloc[:0]
    return dd.from_map(_load, [(key, i) for i in range(len(pieces))], meta=meta, enforce_metadata=False)
