"""The first analysis in a fresh process, as a user meets it: CPU and wall
seconds of one `eda_report_and_score` call per interpreter, the frame built
beforehand (untimed) and everything the analysis itself touches first timed
(lazy imports inside the libraries, first touches of memory, threads).

    /work/main/.venv/bin/python bench/first_call.py --build build/dev \\
        --python /work/main/.venv/bin/python --python /tmp/newest/bin/python \\
        --frames typical,typical_3_targets,long_time_series --repeat 3

Each --python is an interpreter with the libraries of one release set (the
build must match its CPython version). The runs alternate between them, so
load from other processes falls on all alike. Per frame and interpreter it
prints the median CPU and wall seconds of the call and the median CPU
seconds of each step (timed through the module global `_step_clock`; work
that a step starts in the background, such as mutual information, is
charged to whichever step is running while it runs), and the peak resident
size the analysis adds above the process after the frame was built, against
the frame's own deep memory usage. PROFILON_NUM_THREADS
defaults to 1 here and BLAS runs one thread.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import bench, profilon
df, kwargs = bench.FRAMES[sys.argv[3]]()
import gc, numpy, pandas, scipy, sklearn
frame_bytes = int(df.memory_usage(deep=True).sum())
def rss_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
gc.collect()
# Writing 5 to clear_refs resets the peak resident size, so the peak read
# afterwards is the analysis' own, not the frame construction's.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
resident = rss_kib("VmRSS:")
marks = []
def clock(step):
    marks.append((step, time.process_time()))
cpu, wall = time.process_time(), time.perf_counter()
bench.analyse(df, kwargs, clock)
cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
steps = {a: b2 - b1 for (a, b1), (_, b2) in zip(marks, marks[1:])}
versions = ", ".join(f"{m.__name__} {m.__version__}" for m in (pandas, numpy, scipy, sklearn))
above = (rss_kib("VmHWM:") - resident) * 1024
out = {"cpu": cpu, "wall": wall, "steps": steps, "versions": versions, "frame": frame_bytes, "above": above}
print(json.dumps(out))
"""


def run_once(python, build, frame):
    env = dict(os.environ)
    env.setdefault("PROFILON_NUM_THREADS", "1")
    env["OPENBLAS_NUM_THREADS"] = env.get("OPENBLAS_NUM_THREADS", "1")
    env.pop("PYTHONPATH", None)
    out = subprocess.run(
        [python, "-c", CHILD, str(Path(build).resolve()), str(HERE), frame],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build/dev", help="build directory of profilon (default build/dev)")
    p.add_argument("--python", action="append", required=True, help="an interpreter to measure (repeatable)")
    p.add_argument("--frames", default="typical,typical_3_targets,long_time_series", help="comma-separated frames")
    p.add_argument("--repeat", type=int, default=3, help="fresh processes per median (default 3)")
    args = p.parse_args()
    frames = args.frames.split(",")
    print(f"threads: PROFILON_NUM_THREADS={os.environ.get('PROFILON_NUM_THREADS', '1')}, BLAS 1")
    for frame in frames:
        runs = {py: [] for py in args.python}
        for _ in range(args.repeat):
            for py in args.python:
                runs[py].append(run_once(py, args.build, frame))
        print(f"\n{frame}: first analysis in a fresh process, median of {args.repeat}")
        for rs in runs.values():
            cpu = statistics.median(r["cpu"] for r in rs)
            wall = statistics.median(r["wall"] for r in rs)
            steps = {s: statistics.median(r["steps"].get(s, 0.0) for r in rs) for s in rs[0]["steps"]}
            print(f"  {rs[0]['versions']}")
            above = statistics.median(r["above"] for r in rs)
            print(
                f"    cpu {cpu:.3f} s   wall {wall:.3f} s   peak resident above the frame "
                f"{above / 2**20:.1f} MiB = {above / rs[0]['frame']:.2f}x the frame ({rs[0]['frame'] / 2**20:.1f} MiB)"
            )
            print("    steps (cpu s): " + "  ".join(f"{s} {t:.3f}" for s, t in steps.items()))
        if len(runs) > 1:
            base, *others = args.python
            b = statistics.median(r["cpu"] for r in runs[base])
            for py in others:
                o = statistics.median(r["cpu"] for r in runs[py])
                print(f"  cpu ratio {Path(py).parents[1].name} / {Path(base).parents[1].name}: {o / b:.2f}")


if __name__ == "__main__":
    sys.exit(main())
