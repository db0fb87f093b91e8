"""Benchmark of the dataset comparison on bench.py's long frame (1,000,000 x
22) against a copy with three shifted columns, on one thread.

Run (from the checkout, after tools/dev-test has built build/dev):

    PYTHONPATH=build/dev /work/main/.venv/bin/python bench/compare_datasets.py
    ... bench/compare_datasets.py --repeat 3 --null-rows 1000000

It prints CPU seconds (medians of --repeat runs) of one analysis of the
frame, of the comparison's statistics alone (reading both sides' column
states and finishing every column's figures, timed inside the real call
through the module global `_step_clock`), and of the whole comparison (both
suitability analyses and the domain classifier included), with their ratios
to the analysis. It then checks two behaviours on frames of this size: the
three shifted columns are the drifted ones, and the same distribution drawn
twice (--null-rows a side) flags nothing.
"""

import os

# One thread everywhere: our pool, OpenMP (the classifier) and BLAS.
os.environ["PROFILON_NUM_THREADS"] = "1"
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402
import profilon  # noqa: E402

clock_now = time.process_time


def shifted_copy(df):
    """Three columns moved: a mean shift of half a standard deviation, a
    spread 1.5 times as wide, and a categorical column whose levels tilt."""
    out = df.copy()
    out["x0"] = out["x0"] + 0.5 * out["x0"].std()
    out["x7"] = out["x7"].mean() + (out["x7"] - out["x7"].mean()) * 1.5
    rng = np.random.default_rng(99)
    levels = out["segment"].cat.categories
    p = np.linspace(1, 4, len(levels))
    out["segment"] = pd.Categorical(rng.choice(levels, len(out), p=p / p.sum()), categories=levels)
    return out, ["x0", "x7", "segment"]


class Parts:
    def __init__(self):
        self.marks = []

    def __call__(self, step):
        if step.startswith("compare_"):
            self.marks.append((step, clock_now()))

    def seconds(self, first, last):
        at = dict(self.marks)
        return at[last] - at[first]


def timed(fn):
    start = clock_now()
    out = fn()
    return clock_now() - start, out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--null-rows", type=int, default=1_000_000)
    args = p.parse_args()

    ref, kwargs = bench.long()
    cur, moved = shifted_copy(ref)
    eda = profilon.EDA()
    analysis, stats, whole = [], [], []
    for _ in range(args.repeat):
        np.random.seed(0)
        analysis.append(timed(lambda: eda.eda_report_and_score(ref, **kwargs))[0])
        parts = Parts()
        profilon._step_clock = parts
        try:
            np.random.seed(0)
            seconds, report = timed(lambda: eda.compare(ref, cur, **kwargs))
        finally:
            del profilon._step_clock
        whole.append(seconds)
        stats.append(parts.seconds("compare_read", "compare_suitability"))
    a, s, w = (statistics.median(x) for x in (analysis, stats, whole))
    # The floor under the statistics: NumPy sorting each numeric column of
    # both sides once (the kernel's part starts from the sorted columns).
    numeric = [c for c in ref.columns if pd.api.types.is_numeric_dtype(ref[c])]
    start = clock_now()
    for frame in (ref, cur):
        for c in numeric:
            frame[c].to_numpy(dtype="float64", copy=True).sort()
    floor = clock_now() - start
    print(f"frame: long {ref.shape[0]:,} x {ref.shape[1]}, one thread, median of {args.repeat}")
    print(f"one analysis            {a:8.2f} s")
    print(f"comparison statistics   {s:8.2f} s   {s / a:5.2f}x the analysis (goal <= 0.5x)")
    print(f"  of which NumPy's sorts {floor:8.2f} s   {floor / a:5.2f}x ({2 * len(numeric)} columns of {len(ref):,})")
    print(f"whole comparison        {w:8.2f} s   {w / a:5.2f}x the analysis (goal <= 2.5x)")
    print(f"drifted columns: {report.drifted_columns} (moved: {moved})")
    print(f"domain classifier AUC {report.domain_classifier['auc']:.3f}, top {report.domain_classifier['top_columns']}")

    rng = np.random.default_rng(5)
    n = args.null_rows

    def draw():
        return pd.DataFrame(
            {
                "normal": rng.normal(size=n),
                "heavy": rng.standard_t(3, size=n),
                "counts": rng.poisson(3, size=n),
                "level": rng.choice(np.array(list("abcdefgh"), dtype=object), n),
            }
        )

    seconds, null = timed(lambda: eda.compare(draw(), draw()))
    print(f"same distribution twice, {n:,} rows a side: drifted {null.drifted_columns} ({seconds:.1f} s)")
    for col, fig in null.columns.items():
        effect = fig.get("ks_statistic", fig.get("js_distance"))
        p_value = fig.get("ks_pvalue", fig.get("chi2_pvalue"))
        print(f"  {col:8s} effect {effect:.5f}  p {p_value:.3g}  drifted {fig['drifted']}")


if __name__ == "__main__":
    main()
