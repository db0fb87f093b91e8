"""Scale benchmark of the analysis on a Dask DataFrame read from Parquet.

Generates a Parquet dataset on disk in files of `--rows-per-file` rows (a
timestamp, a numeric target, numeric and text-valued categorical features),
starts a LocalCluster (2 worker processes, 4 GiB memory limit each by
default) and measures, each as wall time and peak resident memory of the
client process and of every worker process:

- read: Dask reading every column of every file once (the reference the
  distributed analysis is held to: at most 3x this time);
- dask profile: the analysis of the Dask DataFrame through the cluster (a
  build that refuses Dask frames reports "not available yet");
- the passes' reads alone: each pass of the profile read again with no work
  on its partitions (the same columns, through the same delayed
  partitions): what any analysis with these passes costs before it
  computes anything;
- in-memory slice: the analysis of the first `--slice-rows` rows read into a
  pandas DataFrame, in a child process of its own so that its memory is not
  mixed with the client's.

Under the table: each pass's wall time inside the profile and how many
columns it read, and the client's own time between and after the passes.

Run it small first (the default dataset is 50,000,000 rows x 20 columns,
several GiB on disk and minutes of generation on two cores):

    PYTHONPATH=build/dev /work/venv-dask/bin/python bench/dask_scale.py --rows 200000

The dataset is kept in `--data` (a temporary directory when not given) and
reused when it already holds a dataset of the same rows and layout;
`--keep` keeps a temporary one.

Memory is sampled every `--sample-interval` seconds with psutil (resident
set size of this process and of each worker's process, found through the
client), so a peak shorter than the interval can be missed. Worker log lines
that mention spilling or pausing, and any error of a phase, are counted and
printed under the table.
"""

import os

# One BLAS thread per process: the cluster's workers and the in-memory child
# share two cores, and waiting BLAS threads would spin on them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import psutil
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

TARGET = "target"
TIME = "ts"
N_NUMERIC = 12
CAT_LEVELS = (3, 12, 50, 400, 5000, 100000)
LAYOUT_VERSION = 1
GIB = 1 << 30
MIB = 1 << 20


# ---------------------------------------------------------------------------
# Dataset
# ---------------------------------------------------------------------------


def columns_of_chunk(start: int, rows: int, seed: int) -> dict[str, pa.Array]:
    """Rows [start, start + rows) of the dataset: a function of the seed and
    `start` alone, so a file can be regenerated on its own."""
    rng = np.random.default_rng([seed, start])
    cols: dict[str, pa.Array] = {}
    # One row per second from a fixed origin: a regular axis in row order.
    ts = np.datetime64("2020-01-01T00:00:00", "s") + np.arange(start, start + rows).astype("timedelta64[s]")
    cols[TIME] = pa.array(ts.astype("datetime64[ns]"))
    x = rng.standard_normal((N_NUMERIC, rows))
    for j in range(N_NUMERIC):
        v = x[j] * (10.0 ** (j % 4)) + j
        if j % 4 == 3:
            cols[f"n{j:02d}"] = pa.array(np.round(v).astype(np.int64))
            continue
        if j % 3 == 0:
            # Missing cells in some of the float columns.
            v[rng.random(rows) < 0.01] = np.nan
        cols[f"n{j:02d}"] = pa.array(v)
    for j, levels in enumerate(CAT_LEVELS):
        # Skewed level frequencies, so rare levels exist on the wide columns.
        codes = np.minimum((rng.pareto(1.2, rows) * levels / 8).astype(np.int64), levels - 1)
        names = pa.array([f"c{j}_{k}" for k in range(levels)])
        arr = pa.DictionaryArray.from_arrays(pa.array(codes.astype(np.int32)), names).dictionary_decode()
        if j == 2:
            mask = pa.array(rng.random(rows) < 0.02)
            arr = pc.if_else(mask, pa.scalar(None, pa.string()), arr)
        cols[f"cat{j}"] = arr
    # The target depends on a few features and on time (a slow cycle).
    phase = np.arange(start, start + rows) / 86400.0
    y = 2.0 * x[0] - 0.5 * x[1] + np.sin(2 * np.pi * phase) + 0.3 * rng.standard_normal(rows)
    cols[TARGET] = pa.array(y)
    return cols


def dataset_marker(rows: int, rows_per_file: int, seed: int) -> dict:
    return {"layout": LAYOUT_VERSION, "rows": rows, "rows_per_file": rows_per_file, "seed": seed}


def ensure_dataset(data: Path, rows: int, rows_per_file: int, seed: int) -> float:
    """Writes the dataset unless `data` already holds this one; returns the
    seconds spent writing (0.0 when reused)."""
    marker = data / "dataset.json"
    wanted = dataset_marker(rows, rows_per_file, seed)
    if marker.exists() and json.loads(marker.read_text()) == wanted:
        return 0.0
    if data.exists():
        for old in data.glob("part-*.parquet"):
            old.unlink()
        marker.unlink(missing_ok=True)
    data.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    for i, start in enumerate(range(0, rows, rows_per_file)):
        n = min(rows_per_file, rows - start)
        table = pa.table(columns_of_chunk(start, n, seed))
        pq.write_table(table, data / f"part-{i:05d}.parquet", row_group_size=min(n, 1 << 20))
    marker.write_text(json.dumps(wanted))
    return time.perf_counter() - t0


def dataset_files(data: Path) -> list[Path]:
    return sorted(data.glob("part-*.parquet"))


# ---------------------------------------------------------------------------
# Measurement
# ---------------------------------------------------------------------------


class PeakSampler:
    """Peak resident memory of a set of processes, sampled on a thread."""

    def __init__(self, pids: dict[str, int], interval: float):
        self._procs = {name: psutil.Process(pid) for name, pid in pids.items()}
        self._interval = interval
        self.peaks = dict.fromkeys(pids, 0)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _sample(self) -> None:
        for name, proc in self._procs.items():
            try:
                rss = proc.memory_info().rss
            except psutil.Error:
                # A worker that died (and was restarted under another pid)
                # is no longer measured; its peak so far stands.
                continue
            if rss > self.peaks[name]:
                self.peaks[name] = rss

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self._sample()

    def __enter__(self):
        self._sample()
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self._sample()
        return False


def measured(name: str, pids: dict[str, int], interval: float, fn) -> dict:
    row: dict = {"phase": name}
    with PeakSampler(pids, interval) as sampler:
        t0 = time.perf_counter()
        try:
            row["result"] = fn()
        except Exception as e:  # reported in the table, the run goes on
            row["error"] = f"{type(e).__name__}: {e}"
        row["wall"] = time.perf_counter() - t0
    row["peaks"] = sampler.peaks
    return row


def partition_bytes(part: pd.DataFrame) -> int:
    return int(part.memory_usage(index=False, deep=False).sum())


def read_everything(ddf) -> int:
    """Bytes of every column of every partition, read once."""
    # Through a function of the whole partition, so no column is projected
    # away: every file is read in full, once.
    per_partition = ddf.map_partitions(lambda part: pd.Series([partition_bytes(part)]), meta=(None, "int64"))
    return int(per_partition.sum().compute())


def dask_profile(ddf, passes: list[tuple[list[int] | None, float]]):
    """The distributed analysis; reports itself as not available with a
    build that rejects Dask DataFrames. Each pass's columns (positions, None
    for all) and wall seconds are appended to `passes`."""
    import profilon

    try:
        from _profilon_dask import passes as pass_runner
    except ImportError:
        pass_runner = None
    if pass_runner is not None:
        pass_runner._pass_clock = lambda columns, seconds: passes.append((columns, seconds))
    try:
        report = profilon.EDA().eda_report_and_score(ddf, target=TARGET, datetime_col=TIME)
    except AssertionError:
        # profilon's rejection of anything but a pandas DataFrame: the
        # distributed path does not exist in this build.
        return "not available yet"
    finally:
        if pass_runner is not None:
            pass_runner._pass_clock = None
    return f"score {report.suitability_score}"


def reads_alone(ddf, passes: list[tuple[list[int] | None, float]]) -> str:
    """Each recorded pass read again, one `dask.compute` per pass, with no
    work but a byte count per partition: the floor under those passes."""
    import dask

    total = 0
    for columns, _ in passes:
        frame = ddf if columns is None else ddf[[ddf.columns[j] for j in columns]]
        total += sum(dask.compute(*[dask.delayed(partition_bytes)(part) for part in frame.to_delayed()]))
    return f"{len(passes)} passes, {total / GIB:.2f} GiB in memory"


def in_memory_child(data: Path, slice_rows: int, interval: float) -> None:
    """Runs in a child process: reads the first `slice_rows` rows into pandas,
    analyses them and prints one JSON line with the figures."""
    import profilon

    t0 = time.perf_counter()
    tables, have = [], 0
    for f in dataset_files(data):
        if have >= slice_rows:
            break
        t = pq.read_table(f)
        tables.append(t.slice(0, slice_rows - have))
        have += tables[-1].num_rows
    df = pa.concat_tables(tables).to_pandas()
    del tables
    load = time.perf_counter() - t0
    me = {"child": os.getpid()}
    rss_loaded = psutil.Process().memory_info().rss
    with PeakSampler(me, interval) as sampler:
        t1 = time.perf_counter()
        report = profilon.EDA().eda_report_and_score(df, target=TARGET, datetime_col=TIME)
        wall = time.perf_counter() - t1
    out = {
        "rows": len(df),
        "load": load,
        "wall": wall,
        "rss_loaded": rss_loaded,
        "peak": sampler.peaks["child"],
        "score": report.suitability_score,
    }
    print(json.dumps(out), flush=True)


def in_memory_slice(data: Path, slice_rows: int, interval: float) -> dict:
    cmd = [sys.executable, __file__, "--in-memory-child", str(data), "--slice-rows", str(slice_rows)]
    cmd += ["--sample-interval", str(interval)]
    done = subprocess.run(cmd, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"in-memory child failed ({done.returncode}):\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def worker_log_warnings(client) -> int:
    """Worker log lines about spilling to disk or pausing for memory."""
    count = 0
    for lines in client.get_worker_logs().values():
        for _level, text in lines:
            low = text.lower()
            if "spill" in low or "paus" in low or "memory use is high" in low:
                count += 1
    return count


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def mib(n: float) -> str:
    return f"{n / MIB:,.0f}"


def print_table(rows: list[dict], worker_names: list[str]) -> None:
    head = ["phase", "wall s", "client MiB"] + [f"{w} MiB" for w in worker_names] + ["result"]
    lines = [head]
    for r in rows:
        peaks = r.get("peaks", {})
        cells = [r["phase"], f"{r['wall']:.1f}" if "wall" in r else "-"]
        cells.append(mib(peaks["client"]) if "client" in peaks else "-")
        cells += [mib(peaks[w]) if w in peaks else "-" for w in worker_names]
        cells.append(r.get("error") or str(r.get("result", "")))
        lines.append(cells)
    widths = [max(len(str(line[i])) for line in lines) for i in range(len(head))]
    for k, line in enumerate(lines):
        print("  ".join(str(c).ljust(w) for c, w in zip(line, widths, strict=True)).rstrip())
        if k == 0:
            print("  ".join("-" * w for w in widths))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=50_000_000)
    ap.add_argument("--rows-per-file", type=int, default=1_000_000)
    ap.add_argument("--slice-rows", type=int, default=5_000_000)
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--data", type=Path, help="dataset directory (kept); a temporary one otherwise")
    ap.add_argument("--keep", action="store_true", help="keep the temporary dataset")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--threads-per-worker", type=int, default=1)
    ap.add_argument("--memory-limit", default="4GiB", help="per worker")
    ap.add_argument("--sample-interval", type=float, default=0.05, help="seconds between memory samples")
    ap.add_argument("--no-in-memory", action="store_true", help="skip the in-memory slice")
    ap.add_argument("--in-memory-child", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.in_memory_child:
        in_memory_child(args.in_memory_child, args.slice_rows, args.sample_interval)
        return 0

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    # Imported before anything is timed: the import of the analysis'
    # libraries is not part of any phase.
    import profilon  # noqa: F401

    temporary = args.data is None
    data = Path(tempfile.mkdtemp(prefix="profilon-dask-")) if temporary else args.data
    try:
        wrote = ensure_dataset(data, args.rows, args.rows_per_file, args.seed)
        files = dataset_files(data)
        on_disk = sum(f.stat().st_size for f in files)
        print(
            f"dataset: {args.rows:,} rows x 20 columns in {len(files)} files, {on_disk / GIB:.2f} GiB on disk"
            + (f" (written in {wrote:.1f} s)" if wrote else " (reused)")
        )

        with (
            LocalCluster(
                n_workers=args.workers,
                threads_per_worker=args.threads_per_worker,
                memory_limit=args.memory_limit,
                processes=True,
                dashboard_address=None,
            ) as cluster,
            Client(cluster) as client,
        ):
            worker_pids = client.run(os.getpid)
            worker_names = [f"worker{i}" for i in range(len(worker_pids))]
            pids = {"client": os.getpid()}
            pids.update(zip(worker_names, worker_pids.values(), strict=True))
            print(
                f"cluster: {args.workers} workers x {args.threads_per_worker} thread(s), "
                f"memory limit {args.memory_limit} each"
            )

            rows = []
            ddf = dd.read_parquet(str(data))
            # The workers' first task imports the Parquet machinery; that
            # belongs to no phase, so one partition is read before any is timed.
            read_everything(ddf.partitions[0])
            read = measured("read (baseline)", pids, args.sample_interval, lambda: read_everything(ddf))
            if "result" in read:
                read["result"] = f"{read['result'] / GIB:.2f} GiB in memory"
            rows.append(read)
            passes: list[tuple[list[int] | None, float]] = []
            prof = measured("dask profile", pids, args.sample_interval, lambda: dask_profile(ddf, passes))
            rows.append(prof)
            floor = None
            if passes:
                floor = measured(
                    "the passes' reads alone", pids, args.sample_interval, lambda: reads_alone(ddf, passes)
                )
                rows.append(floor)
            warnings = worker_log_warnings(client)

        if not args.no_in_memory:
            slice_rows = min(args.slice_rows, args.rows)
            mem = {"phase": f"in-memory {slice_rows:,} rows (own process)"}
            try:
                child = in_memory_slice(data, slice_rows, args.sample_interval)
                mem.update(
                    wall=child["wall"],
                    peaks={"client": child["peak"]},
                    result=f"score {child['score']} (load {child['load']:.1f} s, {mib(child['rss_loaded'])} MiB)",
                )
            except Exception as e:  # reported in the table
                mem["error"] = f"{type(e).__name__}: {e}"
            rows.append(mem)

        print()
        print_table(rows, worker_names)
        print()
        print(f"worker log lines about spilling or pausing: {warnings}")
        if passes and "wall" in prof:
            width = len(ddf.columns)
            for k, (columns, seconds) in enumerate(passes, 1):
                taken = width if columns is None else len(columns)
                print(f"pass {k}: {seconds:.1f} s, {taken} of {width} columns")
            print(f"client between and after the passes: {prof['wall'] - sum(s for _, s in passes):.1f} s")
        if floor is not None and "wall" in floor and "wall" in read:
            print(f"the passes' reads alone / read: {floor['wall'] / read['wall']:.2f}x")
        if "wall" in prof and prof.get("result") not in (None, "not available yet") and "wall" in read:
            print(f"dask profile / read: {prof['wall'] / read['wall']:.2f}x (goal: at most 3x)")
            print(f"client peak during the profile: {mib(prof['peaks']['client'])} MiB (goal: under 1024 MiB)")
        else:
            print("dask profile / read: not available yet")
        errors = [r for r in rows if "error" in r]
        return 1 if errors else 0
    finally:
        if temporary and not args.keep:
            shutil.rmtree(data, ignore_errors=True)
        elif temporary:
            print(f"dataset kept in {data}")


if __name__ == "__main__":
    sys.exit(main())
