"""Per-partition cost of the Dask correlation ratios.

Reads each Parquet file of a dataset as Dask delivers a partition (text as
pandas' Arrow-backed strings, or with --objects as str objects, as with
Dask's convert-string off), then times the three passes' per-partition
functions for every numeric target over every text column, on one thread,
summed over the files.

    PROFILON_NUM_THREADS=1 PYTHONPATH=src:build/dev python bench/dask_association.py [--objects] /tmp/scale/d4m [target]
"""

import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from _profilon_dask import association


def read(path, objects):
    table = pq.read_table(path)
    if objects:
        return table.to_pandas()
    text = pd.StringDtype("pyarrow")
    return table.to_pandas(types_mapper={pa.string(): text, pa.large_string(): text}.get)


def main():
    args = sys.argv[1:]
    objects = "--objects" in args
    args = [a for a in args if a != "--objects"]
    root = Path(args[0])
    target = args[1] if len(args) > 1 else "target"
    parts = [read(f, objects) for f in sorted(root.glob("*.parquet"))]
    texts = [
        c
        for c in parts[0].columns
        if pd.api.types.is_object_dtype(parts[0][c]) or pd.api.types.is_string_dtype(parts[0][c])
    ]
    pairs = [(target, c) for c in texts]
    timings = {"count_kept": 0.0, "sum_partial": 0.0, "square_partial": 0.0}

    start = time.perf_counter()
    counts = [association._count_kept(p, pairs) for p in parts]
    timings["count_kept"] = time.perf_counter() - start

    counts = np.array(counts, dtype=np.int64)
    totals = counts.sum(axis=0).tolist()
    offsets = np.zeros_like(counts)
    offsets[1:] = np.cumsum(counts[:-1], axis=0)
    blocks = [association._block(parts[0][target].dtype)] * len(pairs)

    start = time.perf_counter()
    sums = [association._sum_partial(p, pairs, offsets[i].tolist(), totals, blocks) for i, p in enumerate(parts)]
    timings["sum_partial"] = time.perf_counter() - start
    groups = [len(r[1][0]) for r in sums[0]]

    mus = [float(pd.concat([p[target] for p in parts]).mean())] * len(pairs)
    start = time.perf_counter()
    for i, p in enumerate(parts):
        association._square_partial(p, pairs, offsets[i].tolist(), totals, mus)
    timings["square_partial"] = time.perf_counter() - start

    print(f"{len(parts)} partitions, {len(pairs)} pairs, groups in the first: {groups}")
    for name, seconds in timings.items():
        print(f"{name:>15}: {seconds:7.3f} s")
    print(f"{'all':>15}: {sum(timings.values()):7.3f} s")


if __name__ == "__main__":
    main()
