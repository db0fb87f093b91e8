"""Benchmark of one analysis on frames of realistic shapes, against the floor
of the heavy library calls that the analysis cannot avoid.

Run (from the checkout, after tools/dev-test has built build/dev):

    PYTHONPATH=build/dev /work/main/.venv/bin/python bench/bench.py           # every frame + scaling
    PYTHONPATH=build/dev /work/main/.venv/bin/python bench/bench.py --quick   # typical frames only
    ... bench/bench.py --frames long,wide --no-scaling --repeat 5

Times are CPU seconds of the process (see clock_now). Per frame it prints:
- total: median time of `--repeat` analyses (NumPy's generator seeded
  before each, so mutual information draws the same noise);
- per step: median time of each step of the analysis, timed inside the real
  call through the module global `_step_clock`;
- peak memory above the frame: tracemalloc's peak during one more analysis,
  started after the frame was built (NumPy and pandas buffers are traced);
- floor: the heavy calls the analysis must make, made directly here on the
  same data: mutual information on the same 8000-row sample per target, the
  stationarity test per target, the correlation matrix, the row hashes of
  each column of the duplicate scan. Median of `--repeat` runs. total/floor
  is what the analysis costs beyond them.

The scaling table (rows 1e4..1e6 at 20 columns, columns 50..800 at 5,000
rows) prints time and peak memory of one analysis each, with its floor.
The long and minute time series run once (the floor's library stationarity
test alone takes half a minute on the long one; past 200,000 rows the floor
leaves that test out: it would take on the order of half an hour).
`--native-profile` additionally records each frame's analysis with
`perf record` and prints the share of samples whose own code is in the
profilon extension (needs the `perf` tool).
"""

import os

# BLAS threads spin while they wait for work; on a small machine shared with
# other processes that turns into wild swings of the stationarity test's
# time. One thread keeps the analysis and its floor comparable (both run
# under the same setting); set OPENBLAS_NUM_THREADS to measure otherwise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from itertools import pairwise

import numpy as np
import pandas as pd
from public_data import diamonds, flights
from sklearn.feature_selection import mutual_info_regression
from statsmodels.tsa.stattools import adfuller

import profilon

SAMPLE_ROWS = 8000
MAX_MI = 60
MAX_DUP_SCAN_COLS = 200

# CPU seconds of this process. With one BLAS thread the analysis runs on one
# thread, so on an idle machine this equals wall time; on a machine shared
# with other builds, wall time mostly measures the neighbours.
clock_now = time.process_time


# ---------------------------------------------------------------------------
# Frames (fixed seeds)
# ---------------------------------------------------------------------------


def _noisy_features(rng, base, n, k, prefix="x"):
    return {f"{prefix}{i}": base * rng.uniform(-1, 1) + rng.normal(scale=1 + i % 7, size=n) for i in range(k)}


def _levels(rng, n, k, prefix, missing=0.0):
    col = rng.choice(np.array([f"{prefix}{i}" for i in range(k)], dtype=object), n)
    if missing:
        col[rng.random(n) < missing] = None
    return col


def typical(seed=0):
    """12,000 daily rows, price target, 18 floats, 2 text columns."""
    rng = np.random.default_rng(seed)
    n = 12_000
    trend = np.cumsum(rng.normal(size=n))
    df = pd.DataFrame({"date": pd.date_range("1990-01-01", periods=n, freq="D")})
    df["price"] = 100 + trend + rng.normal(scale=0.5, size=n)
    for name, col in _noisy_features(rng, trend, n, 18).items():
        df[name] = col
    df["region"] = _levels(rng, n, 12, "r", missing=0.01)
    df["store"] = _levels(rng, n, 400, "s")
    return df, {"target": "price", "datetime_col": "date"}


def typical_3_targets(seed=0):
    df, _ = typical(seed)
    rng = np.random.default_rng(seed + 100)
    df["demand"] = df["x0"] * 3 + rng.normal(size=len(df))
    df["margin"] = df["price"] * 0.1 + rng.normal(size=len(df))
    return df, {"target": ["price", "demand", "margin"], "datetime_col": "date"}


def long(seed=1):
    """1,000,000 rows, 20 numeric (target included), 2 categorical, no time axis."""
    rng = np.random.default_rng(seed)
    n = 1_000_000
    base = rng.normal(size=n)
    df = pd.DataFrame(_noisy_features(rng, base, n, 19))
    df["y"] = base * 2 + rng.normal(size=n)
    df["segment"] = pd.Categorical(_levels(rng, n, 30, "seg"))
    df["city"] = _levels(rng, n, 2000, "c")
    return df, {"target": "y"}


def _cyclic_load(seed, n, freq, start, period, drift):
    """A load with a daily cycle (period steps) and a random-walk drift, plus nine noisy features."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    load = 50 + 10 * np.sin(2 * np.pi * t / period) + np.cumsum(rng.normal(scale=drift, size=n))
    df = pd.DataFrame({"ts": pd.date_range(start, periods=n, freq=freq)})
    df["load"] = load + rng.normal(size=n)
    for name, col in _noisy_features(rng, load, n, 9).items():
        df[name] = col
    return df, {"target": "load", "datetime_col": "ts"}


def long_time_series(seed=2):
    """100,000 hourly rows, 10 numeric (target included)."""
    return _cyclic_load(seed, 100_000, "h", "2010-01-01", 24, 0.1)


def minute_time_series(seed=6):
    """1,000,000 minute rows, 10 numeric (target included)."""
    return _cyclic_load(seed, 1_000_000, "min", "2020-01-01", 1440, 0.02)


def wide(seed=3):
    """5,000 rows, 400 numeric, 20 categorical, one target."""
    rng = np.random.default_rng(seed)
    n = 5_000
    data = rng.normal(size=(n, 400))
    df = pd.DataFrame(data, columns=[f"x{i}" for i in range(400)])
    df["y"] = df["x1"] * 0.5 + df["x2"] + rng.normal(size=n)
    for j in range(20):
        df[f"c{j}"] = _levels(rng, n, 5 + 10 * j, f"l{j}_")
    return df, {"target": "y"}


def many_categoricals(seed=4):
    """100,000 rows, 30 text columns of up to 5,000 levels, one target."""
    rng = np.random.default_rng(seed)
    n = 100_000
    df = pd.DataFrame({"y": rng.normal(size=n)})
    for j in range(30):
        df[f"c{j}"] = _levels(rng, n, int(np.geomspace(3, 5000, 30)[j]), f"l{j}_")
    df["y"] += df["c0"].map({f"l0_{i}": i for i in range(3)}).to_numpy()
    return df, {"target": "y"}


def scaled(rows, cols, seed=5):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=rows)
    df = pd.DataFrame(_noisy_features(rng, base, rows, cols - 1))
    df["y"] = base + rng.normal(size=rows)
    return df, {"target": "y"}


def gappy(seed=4):
    """1,000,000 rows: 8 floats with 1% missing cells, 2 text columns (one with missing cells), a target."""
    rng = np.random.default_rng(seed)
    n = 1_000_000
    base = rng.normal(size=n)
    df = pd.DataFrame(_noisy_features(rng, base, n, 8))
    for name in df.columns:
        df.loc[rng.random(n) < 0.01, name] = np.nan
    df["shop"] = _levels(rng, n, 5000, "s")
    df["channel"] = _levels(rng, n, 6, "ch", missing=0.02)
    df["y"] = base * 2 + rng.normal(size=n)
    return df, {"target": "y"}


FRAMES = {
    "typical": typical,
    "typical_3_targets": typical_3_targets,
    "long": long,
    "long_time_series": long_time_series,
    "minute_time_series": minute_time_series,
    "wide": wide,
    "many_categoricals": many_categoricals,
    "gappy": gappy,
    "flights": flights,
    "diamonds": diamonds,
}
# The stationarity test on 100,000 hourly rows alone takes half a minute
# and 2 GiB: one run of each kind keeps the full bench within minutes.
MAX_REPEAT = {"long_time_series": 1, "minute_time_series": 1}
FLOOR_ADF_MAX_ROWS = 200_000
QUICK = ["typical", "typical_3_targets"]


# ---------------------------------------------------------------------------
# The analysis, timed per step
# ---------------------------------------------------------------------------


class StepTimes:
    """Receives the step names from the analysis; keeps seconds per step and,
    while tracemalloc runs, the peak of traced memory within each step."""

    def __init__(self):
        self.marks = []
        self.peaks = {}

    def __call__(self, step):
        now = clock_now()
        if tracemalloc.is_tracing():
            if self.marks:
                self.peaks[self.marks[-1][0]] = tracemalloc.get_traced_memory()[1]
            tracemalloc.reset_peak()
        self.marks.append((step, now))

    def durations(self):
        return {a: t1 - t0 for (a, t0), (_, t1) in pairwise(self.marks)}


def analyse(df, kwargs, clock=None):
    profilon._step_clock = clock
    try:
        np.random.seed(0)
        return profilon.EDA().eda_report_and_score(df, **kwargs)
    finally:
        del profilon._step_clock


def timed_analysis(df, kwargs):
    gc.collect()
    clock = StepTimes()
    start = clock_now()
    analyse(df, kwargs, clock)
    return clock_now() - start, clock.durations()


def peak_memory(df, kwargs):
    """Peak traced memory of one analysis (the frame itself is not traced:
    it was built before tracing started), and the peak within each step."""
    gc.collect()
    clock = StepTimes()
    tracemalloc.start()
    try:
        analyse(df, kwargs, clock)
        return tracemalloc.get_traced_memory()[1] if not clock.peaks else max(clock.peaks.values()), clock.peaks
    finally:
        tracemalloc.stop()


# ---------------------------------------------------------------------------
# The floor: the heavy calls, made directly on the same data
# ---------------------------------------------------------------------------


def _targets(df, kwargs):
    t = kwargs.get("target")
    if t is None:
        return []
    return [c for c in ([t] if isinstance(t, str) else list(t)) if c in df.columns]


def floor_calls(df, kwargs):
    """The heavy calls as (step, callable) pairs, with their inputs prepared
    outside the clock."""
    calls = []
    eda = profilon.EDA()
    targets = _targets(df, kwargs)
    num_cols = [c for c in df.columns if eda._is_numeric(df[c])]

    if len(num_cols) >= 2:
        frame = df[num_cols]
        calls.append(("relationships", lambda: frame.corr(method="spearman")))

    if targets:
        X = df.drop(columns=targets).select_dtypes(include=[np.number])
    if targets and not X.empty:
        if len(X) > SAMPLE_ROWS:
            pos = pd.Series(np.arange(len(X))).sample(SAMPLE_ROWS, random_state=0).to_numpy()
            X = X.take(pos)
        else:
            pos = None
        Xs = X[list(X.columns)[:MAX_MI]]
        for t in targets:
            ys = df[t].take(pos) if pos is not None else df[t]
            calls.append(("relationships", lambda ys=ys: mutual_info_regression(Xs, ys, discrete_features=False)))

    dt = kwargs.get("datetime_col")
    if dt and targets:
        ts = df.sort_values(dt).set_index(dt)
        for t in targets:
            y = pd.to_numeric(ts[t], errors="coerce").dropna()
            # The library's test costs about n x maxlag^3: half an hour on a
            # million rows. Past this size the floor leaves it out.
            if 20 <= len(y) <= FLOOR_ADF_MAX_ROWS:
                calls.append(("time_axis", lambda y=y: adfuller(y, autolag="AIC")))

    if len(df.columns) <= MAX_DUP_SCAN_COLS and len(df) > 0:
        filled = [df[c].fillna("__NAN__") if df[c].isna().any() else df[c] for c in df.columns]
        hash_rows = pd.util.hash_pandas_object

        def hashes():
            for s in filled:
                hash_rows(s, index=False)

        calls.append(("schema_missingness", hashes))
    return calls


def timed_floor(calls):
    per_step = {}
    for step, call in calls:
        np.random.seed(0)
        gc.collect()
        start = clock_now()
        call()
        per_step[step] = per_step.get(step, 0.0) + clock_now() - start
    return sum(per_step.values()), per_step


def floor_peak(calls):
    """The largest tracemalloc peak of a single heavy call: what the library
    itself needs above the frame, whatever the analysis does around it."""
    peak = 0
    for _, call in calls:
        gc.collect()
        tracemalloc.start()
        try:
            np.random.seed(0)
            call()
            peak = max(peak, tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    return peak


def measure_runs(df, kwargs, repeat, with_floor_peak=True):
    """Analyses and floor runs alternate, so that load from other processes
    on the machine falls on both alike; medians of each."""
    calls = floor_calls(df, kwargs)
    runs = [(timed_analysis(df, kwargs), timed_floor(calls)) for _ in range(repeat)]

    def med(values):
        return statistics.median(values)

    total = med(r[0][0] for r in runs)
    steps = {s: med(r[0][1][s] for r in runs) for s in runs[0][0][1]}
    floor = med(r[1][0] for r in runs)
    floor_steps = {s: med(r[1][1][s] for r in runs) for s in runs[0][1][1]}
    return total, steps, floor, floor_steps, floor_peak(calls) if with_floor_peak else None


# ---------------------------------------------------------------------------
# Native self time
# ---------------------------------------------------------------------------


def native_self_share(name, repeat):
    """Share of samples whose innermost frame is in the profilon extension,
    over the analyses only: the frame is built and a first analysis is run
    before the recording starts (perf --delay is not precise enough, so a
    control-fd pipe switches recording on)."""
    perf = shutil.which("perf")
    if not perf:
        return None
    so = os.path.basename(profilon.__file__)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        ctl = os.path.join(tmp, "ctl")
        ack = os.path.join(tmp, "ack")
        os.mkfifo(ctl)
        os.mkfifo(ack)
        script = os.path.join(tmp, "run.py")
        with open(script, "w") as fh:
            fh.write(
                "import sys\n"
                f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
                "import bench\n"
                f"df, kwargs = bench.FRAMES[{name!r}]()\n"
                "bench.analyse(df, kwargs)\n"
                f"ctl = open({ctl!r}, 'w'); ack = open({ack!r}, 'r')\n"
                "ctl.write('enable\\n'); ctl.flush(); ack.readline()\n"
                f"for _ in range({repeat}):\n"
                "    bench.analyse(df, kwargs)\n"
                "ctl.write('disable\\n'); ctl.flush(); ack.readline()\n"
            )
        cmd = [
            perf,
            "record",
            "-q",
            "-F",
            "997",
            "-D",
            "-1",
            "--control",
            f"fifo:{ctl},{ack}",
            "-o",
            data,
            sys.executable,
            script,
        ]
        subprocess.run(cmd, check=True, env=dict(os.environ), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        out = subprocess.run(
            [perf, "report", "-i", data, "--no-children", "--sort", "dso", "-g", "none", "--stdio", "-q"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    share = 0.0
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[-1] == so:
            share += float(parts[0].rstrip("%"))
    return share / 100.0


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

MiB = 2**20


def measure(name, df, kwargs, repeat, native):
    frame_bytes = df.memory_usage(deep=True).sum()
    repeat = min(repeat, MAX_REPEAT.get(name, repeat))
    total, steps, floor, floor_steps, lib_peak = measure_runs(df, kwargs, repeat, with_floor_peak=repeat > 1)
    peak, step_peaks = peak_memory(df, kwargs)
    print(f"\n{name}: {df.shape[0]:,} rows x {df.shape[1]} columns, frame {frame_bytes / MiB:,.1f} MiB")
    print(f"  {'step':<20} {'analysis':>10} {'floor':>10} {'peak MiB':>10}")
    for step, secs in steps.items():
        f = floor_steps.get(step)
        print(
            f"  {step:<20} {secs:9.3f}s {'' if f is None else f'{f:9.3f}s':>10} {step_peaks.get(step, 0) / MiB:10.1f}"
        )
    ratio = total / floor if floor > 0 else float("nan")
    print(f"  {'total':<20} {total:9.3f}s {floor:9.3f}s   total/floor {ratio:5.2f}   (median of {repeat})")
    lib = (
        ""
        if lib_peak is None
        else (f"   (largest single heavy call: {lib_peak / MiB:.1f} MiB = {lib_peak / frame_bytes:4.2f} x frame)")
    )
    print(f"  peak memory above the frame {peak / MiB:8.1f} MiB = {peak / frame_bytes:4.2f} x frame{lib}")
    share = native_self_share(name, 1) if native else None
    if share is not None:
        print(f"  self time in profilon's own machine code: {share:.2%} of samples")
    return {
        "name": name,
        "total": total,
        "floor": floor,
        "ratio": ratio,
        "peak": peak,
        "frame": frame_bytes,
        "lib_peak": lib_peak,
        "self": share,
    }


def scaling():
    print(
        "\nscaling (one target, no time axis; one analysis and one floor run each;"
        " floor = corr + MI + hashing made directly)"
    )
    print(f"  {'rows':>9} {'cols':>5} {'time':>9} {'floor':>9} {'ratio':>6} {'peak MiB':>9} {'frame MiB':>10}")
    shapes = [(10**4, 20), (10**5, 20), (10**6, 20), (5000, 50), (5000, 200), (5000, 800)]
    for rows, cols in shapes:
        df, kwargs = scaled(rows, cols)
        total, _, floor, _, _ = measure_runs(df, kwargs, 1, with_floor_peak=False)
        peak, _ = peak_memory(df, kwargs)
        print(
            f"  {rows:>9,} {cols:>5} {total:8.3f}s {floor:8.3f}s {total / floor:6.2f} {peak / MiB:9.1f} "
            f"{df.memory_usage(deep=True).sum() / MiB:10.1f}"
        )
        del df


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="typical frames only, no scaling table")
    parser.add_argument("--frames", help="comma-separated frame names: " + ", ".join(FRAMES))
    parser.add_argument("--repeat", type=int, default=3, help="runs per median (default 3)")
    parser.add_argument("--no-scaling", action="store_true", help="skip the scaling table")
    parser.add_argument("--scaling-only", action="store_true", help="only the scaling table")
    parser.add_argument(
        "--native-profile",
        action="store_true",
        help="also record each frame with perf and report profilon's own self time",
    )
    args = parser.parse_args()

    names = args.frames.split(",") if args.frames else (QUICK if args.quick else list(FRAMES))
    if args.scaling_only:
        names = []
    print(f"profilon {profilon.__file__}")
    print(f"python {sys.version.split()[0]}, pandas {pd.__version__}, numpy {np.__version__}")
    results = []
    for name in names:
        df, kwargs = FRAMES[name]()
        results.append(measure(name, df, kwargs, args.repeat, args.native_profile))
        del df
    if results:
        print("\nsummary")
    for r in results:
        extra = "" if r["self"] is None else f"   self {r['self']:.2%}"
        print(
            f"  {r['name']:<20} total {r['total']:8.3f}s  floor {r['floor']:8.3f}s  total/floor {r['ratio']:5.2f}"
            f"  peak/frame {r['peak'] / r['frame']:6.2f}{extra}"
        )
    if not (args.quick or args.no_scaling):
        scaling()


if __name__ == "__main__":
    main()
