"""Per-partition cost of the Dask driver's level counts (distinct counts and
rare-level shares).

Reads each Parquet file of a dataset with pandas (text as string[pyarrow],
as Dask's convert-string gives it; `--object-text` keeps object text), times
`_distinct_partial` on each file as one partition, then the combine and
finish of every range, and prints the distinct count and rare-level count of
each column so that two builds can be compared figure by figure:

    PYTHONPATH=build/dev python bench/dask_level_counts.py --data /tmp/scale/d4m

The dataset is one that bench/dask_scale.py generates (with `--data` and
`--keep`).
"""

import argparse
import glob
import inspect
import os
import time

import pandas as pd

from _profilon_dask import distinct


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default="/tmp/scale/d4m", help="directory of Parquet files")
    parser.add_argument("--ranges", type=int, default=distinct.DISTINCT_RANGES)
    parser.add_argument("--object-text", action="store_true", help="keep text columns as object")
    args = parser.parse_args()

    parts = []
    for path in sorted(glob.glob(os.path.join(args.data, "*.parquet"))):
        df = pd.read_parquet(path)
        if not args.object_text:
            df = df.astype({c: "string[pyarrow]" for c in df.columns if df[c].dtype == object})
        parts.append(df)
    if not parts:
        raise SystemExit(f"no Parquet files in {args.data}")
    dtypes = list(parts[0].dtypes)

    start = time.perf_counter()
    outs = []
    for i, part in enumerate(parts):
        t = time.perf_counter()
        outs.append(distinct._distinct_partial(part, dtypes, args.ranges))
        print(f"partition {i}: {len(part):,} rows, partial {time.perf_counter() - t:.2f} s")
    middle = time.perf_counter()
    n_rows = sum(o[0] for o in outs)
    # Builds before the native counts take no dtypes in their finish.
    takes_dtypes = len(inspect.signature(distinct._distinct_finish).parameters) == 3
    extra = (dtypes,) if takes_dtypes else ()
    per_range = [distinct._distinct_finish([o[r + 1] for o in outs], n_rows, *extra) for r in range(args.ranges)]
    end = time.perf_counter()
    print(f"partials {middle - start:.2f} s, combine and finish {end - middle:.2f} s, total {end - start:.2f} s")
    for j, column in enumerate(parts[0].columns):
        nunique = sum(r[j][0] for r in per_range)
        rare = sum(r[j][1] for r in per_range)
        print(f"  {column}: {nunique} distinct, {rare} cells in rare levels")


if __name__ == "__main__":
    main()
