"""Side by side: the analysis of the bench frames with two builds of profilon
and several thread counts, in one run.

    /work/main/.venv/bin/python bench/compare.py --base BASE_BUILD_DIR --new build/dev \\
        --frames wide,long --threads 1,2 --repeat 3

Each (build, thread count) runs in its own interpreter (a module can be
imported once per process) that holds the frame; the interpreters take
turns, one analysis each per round, so that load from other processes on the
machine falls on all alike. The first analysis in each interpreter (lazy
imports, first touches of memory) is not timed. Per frame it prints the median CPU and
wall seconds of the whole analysis and of each step, the peak of traced
memory above the frame (NumPy buffers included), the peak resident memory
above the frame (the kernels' own buffers included), new/base ratios and the
wall-time speed-up of each thread count over the first (the ratio of the
medians, and the range of the rounds' own ratios).
PROFILON_NUM_THREADS sets the thread count; BLAS stays at one thread.
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
import gc, json, os, sys, time, tracemalloc
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import numpy as np
import bench, profilon
df, kwargs = bench.FRAMES[sys.argv[3]]()
frame = int(df.memory_usage(deep=True).sum())
marks = []
def clock(step):
    marks.append((step, time.process_time(), time.perf_counter()))
def run():
    marks.clear()
    gc.collect()
    c0, w0 = time.process_time(), time.perf_counter()
    bench.analyse(df, kwargs, clock)
    c1, w1 = time.process_time(), time.perf_counter()
    steps = {a: (c2 - c, x2 - x) for (a, c, x), (_, c2, x2) in zip(marks, marks[1:])}
    return {"cpu": c1 - c0, "wall": w1 - w0, "steps": steps}
# Resident memory sees what tracemalloc cannot: the kernels' own buffers.
# Writing 5 to clear_refs resets the high-water mark, so VmHWM after one more
# analysis, less VmRSS before it, is that analysis' peak above the frame.
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))
def peaks():
    out = {"frame": frame}
    gc.collect()
    tracemalloc.start()
    bench.analyse(df, kwargs)
    out["peak"] = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS")
        bench.analyse(df, kwargs)
        out["rss_peak"] = status("VmHWM") - before
    except OSError:
        out["rss_peak"] = None
    return out
# The first analysis in a process also pays for lazy imports and first
# touches of memory; it is not timed.
bench.analyse(df, kwargs)
print(json.dumps({"ready": True}), flush=True)
for line in sys.stdin:
    print(json.dumps(run() if line.strip() == "run" else peaks()), flush=True)
"""


class Child:
    """One interpreter holding one (build, thread count) and the frame, which
    runs one analysis each time it is asked, so that the parent can alternate
    the configurations run by run: load from other processes on the machine
    then falls on every configuration alike."""

    def __init__(self, build, frame, threads):
        env = dict(os.environ, PROFILON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
        args = [sys.executable, "-c", CHILD, str(Path(build).resolve()), str(HERE), frame]
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.read()

    def read(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"the benchmark child ended early (exit status {self.proc.wait()})")
        return json.loads(line)

    def ask(self, what):
        self.proc.stdin.write(what + "\n")
        self.proc.stdin.flush()
        return self.read()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def measure(configs, frame, repeat, ceiling):
    """Runs of every configuration, interleaved: round r runs each once, in
    turn, and only one analysis runs at a time. With `ceiling`, each round
    also measures what two CPU-bound processes gain on the machine then.
    Returns the results per configuration and those machine figures."""
    children = {}
    try:
        for name, build, threads in configs:
            children[name] = Child(build, frame, threads)
        results = {name: {"runs": []} for name in children}
        machine = []
        for _ in range(repeat):
            for name, child in children.items():
                results[name]["runs"].append(child.ask("run"))
            if ceiling:
                machine.append(machine_ceiling())
        for name, child in children.items():
            results[name].update(child.ask("peaks"))
        return results, machine
    finally:
        for child in children.values():
            child.close()


def med(values):
    return statistics.median(values)


SPIN = """
import time
t = time.perf_counter()
x = 0
for i in range(8_000_000):
    x += i
print(time.perf_counter() - t)
"""


def machine_ceiling():
    """How fast two CPU-bound processes run side by side against one alone:
    the most two threads can gain on this machine right now. A virtual
    machine's cores may share their host's, so this is often below 2."""

    def run(k):
        procs = [subprocess.Popen([sys.executable, "-c", SPIN], stdout=subprocess.PIPE, text=True) for _ in range(k)]
        return max(float(p.communicate()[0]) for p in procs)

    return 2 * run(1) / run(2)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--base", required=True, help="build directory of the baseline profilon")
    p.add_argument("--new", default="build/dev", help="build directory of the profilon measured (default build/dev)")
    p.add_argument("--frames", default="typical,long,wide,many_categoricals", help="comma-separated bench frames")
    p.add_argument("--threads", default="1,2", help="comma-separated PROFILON_NUM_THREADS values (default 1,2)")
    p.add_argument("--repeat", type=int, default=3, help="analyses per median (default 3)")
    args = p.parse_args()
    threads = [int(t) for t in args.threads.split(",")]
    print(f"cpus {os.cpu_count()}, base {args.base}, new {args.new}; CPU and wall seconds, median of {args.repeat}")
    for frame in args.frames.split(","):
        configs = [(f"base/{threads[0]}", args.base, threads[0])] + [(f"new/{t}", args.new, t) for t in threads]
        results, machine = measure(configs, frame, args.repeat, len(threads) > 1)
        first = next(iter(results.values()))
        steps = list(first["runs"][0]["steps"])
        print(f"\n{frame} (frame {first['frame'] / 2**20:,.1f} MiB)")
        if machine:
            print(
                f"  machine during the rounds: two CPU-bound processes side by side x{med(machine):.2f} of one"
                f" (rounds x{min(machine):.2f} to x{max(machine):.2f})"
            )
        header = "".join(f"{name:>22}" for name in results)
        print(f"  {'step':<20}{header}")
        for step in ["total"] + steps:
            cells = []
            for r in results.values():
                if step == "total":
                    cpu, wall = med(x["cpu"] for x in r["runs"]), med(x["wall"] for x in r["runs"])
                else:
                    cpu, wall = med(x["steps"][step][0] for x in r["runs"]), med(x["steps"][step][1] for x in r["runs"])
                cells.append(f"{cpu:9.3f} /{wall:8.3f}s")
            print(f"  {step:<20}" + "".join(f"{c:>22}" for c in cells))
        print(f"  {'peak/frame':<20}" + "".join(f"{r['peak'] / r['frame']:>22.2f}" for r in results.values()))
        rss = [r["rss_peak"] / r["frame"] if r["rss_peak"] is not None else float("nan") for r in results.values()]
        print(f"  {'rss peak/frame':<20}" + "".join(f"{v:>22.2f}" for v in rss))
        base = results[f"base/{threads[0]}"]
        bc, bw = med(x["cpu"] for x in base["runs"]), med(x["wall"] for x in base["runs"])
        for t in threads:
            r = results[f"new/{t}"]
            c, w = med(x["cpu"] for x in r["runs"]), med(x["wall"] for x in r["runs"])
            print(f"  new/{t} vs base/{threads[0]}: cpu x{c / bc:.2f}, wall x{w / bw:.2f}")
        one = results[f"new/{threads[0]}"]
        w1 = med(x["wall"] for x in one["runs"])
        for t in threads[1:]:
            wt = med(x["wall"] for x in results[f"new/{t}"]["runs"])
            rounds = [a["wall"] / b["wall"] for a, b in zip(one["runs"], results[f"new/{t}"]["runs"], strict=True)]
            print(
                f"  new/{t} vs new/{threads[0]}: wall speed-up x{w1 / wt:.2f}"
                f" (rounds x{min(rounds):.2f} to x{max(rounds):.2f})"
            )


if __name__ == "__main__":
    main()
