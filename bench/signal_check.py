"""Cost of the signal check: one target on the bench's frames.

Run (from the checkout, with a build on PYTHONPATH):

    PYTHONPATH=build/signal .venv/bin/python bench/signal_check.py                    # long frame, default sample
    PYTHONPATH=build/signal .venv/bin/python bench/signal_check.py --frames long,gappy --sample-rows 20000,50000
    PYTHONPATH=build/signal .venv/bin/python bench/signal_check.py --whole             # R² on every row too

Per frame and sample size it prints CPU and wall seconds of one check (the
threads it ran on stated), and the shares of the CPU time spent inside
scikit-learn's fit calls and inside its predict calls (the estimators' own
methods, counted once where one calls another; predict includes the
predictions of the permutation importance). What is left is ours (the
sample, the feature matrix, the splits, the single-feature check, the
report) plus the library's scoring and the importance's own shuffling.

--whole also cross-validates the two baselines on every usable row (the
same folds, models and seed), to show how far the sample's R² is from the
whole data's. That takes minutes on a million rows.
"""

import os

# One thread unless told otherwise: the cost goal is stated for one.
os.environ.setdefault("PROFILON_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import functools
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import sklearn.dummy  # noqa: E402
import sklearn.ensemble  # noqa: E402
import sklearn.linear_model  # noqa: E402
import sklearn.pipeline  # noqa: E402

import bench  # noqa: E402  (the frames)
import profilon  # noqa: E402

ESTIMATORS = [
    sklearn.ensemble.HistGradientBoostingRegressor,
    sklearn.pipeline.Pipeline,
    sklearn.linear_model.RidgeCV,
    sklearn.dummy.DummyRegressor,
]


class LibraryClock:
    """CPU seconds inside the estimators' fit and predict, outermost calls only."""

    def __init__(self):
        self.seconds = {"fit": 0.0, "predict": 0.0}
        self.depth = 0
        self.saved = []

    def wrap(self, fn, kind):
        # The scorers find "predict" by the method's name.
        @functools.wraps(fn)
        def timed(*args, **kwargs):
            if self.depth:
                return fn(*args, **kwargs)
            self.depth += 1
            start = time.process_time()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[kind] += time.process_time() - start
                self.depth -= 1

        return timed

    def __enter__(self):
        for cls in ESTIMATORS:
            for name in ("fit", "predict"):
                # Inherited methods too (RidgeCV's predict is its base's);
                # the class's own attribute, if any, is put back afterwards.
                self.saved.append((cls, name, cls.__dict__.get(name)))
                setattr(cls, name, self.wrap(getattr(cls, name), name))
        return self

    def __exit__(self, *exc):
        for cls, name, original in reversed(self.saved):
            if original is None:
                delattr(cls, name)
            else:
                setattr(cls, name, original)


def check(df, target, datetime_col, sample_rows):
    cpu, wall = time.process_time(), time.perf_counter()
    with LibraryClock() as lib:
        report = profilon.EDA().signal_check(df, target=target, datetime_col=datetime_col, sample_rows=sample_rows)
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return report.targets[target], cpu, wall, lib.seconds["fit"], lib.seconds["predict"]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--frames", default="long", help="comma-separated bench frames (default long)")
    p.add_argument(
        "--sample-rows",
        default="30000",
        help="comma-separated sample sizes (default 30000, the default of signal_check)",
    )
    p.add_argument("--whole", action="store_true", help="also check every row, for the sample's R² error")
    args = p.parse_args()
    threads = os.environ["PROFILON_NUM_THREADS"]
    print(f"profilon {profilon.__file__}; PROFILON_NUM_THREADS={threads}; CPU seconds of the process", flush=True)
    for name in args.frames.split(","):
        df, kwargs = bench.FRAMES[name]()
        target = kwargs["target"] if isinstance(kwargs["target"], str) else kwargs["target"][0]
        sizes = [int(s) for s in args.sample_rows.split(",")]
        if args.whole:
            sizes.append(len(df))
        for n in sizes:
            r, cpu, wall, fit, predict = check(df, target, kwargs.get("datetime_col"), n)
            outside = cpu - fit - predict
            print(
                f"{name:18s} rows {r['rows_used']:>7} of {r['rows_available']:>7}: "
                f"cpu {cpu:7.2f} s  wall {wall:7.2f} s  fit {fit / cpu:5.1%}  predict {predict / cpu:5.1%}  "
                f"outside both {outside:5.2f} s ({outside / cpu:4.1%})  "
                f"R² linear {r['r2_linear']:.4f} boosted {r['r2_boosted']:.4f} "
                f"chance {r['r2_chance_mean']:.4f} ± {r['r2_chance_std']:.4f}  {r['split']}  {r['verdict']}",
                flush=True,
            )


if __name__ == "__main__":
    main()
