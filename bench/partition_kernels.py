"""Per-partition cost of the partition-wise quantile and sum kernels.

Times, on one thread and one partition of 1,000,000 float64 values, the
first read of the exact quantiles (quantile_scan: bucket counts), the second
read (quantile_gather of the buckets holding the quartiles' and median's
ranks), np.percentile of the same values for scale, and the leaf-aligned
pairwise partial and combine. Three columns: normal values (the common
case), integer-valued floats (buckets mostly single-valued) and values
within 0.1% of each other (one bucket: the second read keeps most of it,
unless a deeper scan splits that bucket first).

    PROFILON_NUM_THREADS=1 PYTHONPATH=build/dev python bench/partition_kernels.py
"""

import time

import numpy as np

import _profilon_kernels as k


def best_ms(f, repeat=7):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times) * 1e3


def main():
    rng = np.random.default_rng(0)
    n = 1_000_000
    columns = {
        "normal": rng.standard_normal(n),
        "integers": rng.integers(0, 1000, n).astype(float),
        "narrow": 1.0 + rng.random(n) * 1e-3,
    }
    ranks = [n // 4, n // 4 + 1, n // 2 - 1, n // 2, 3 * n // 4, 3 * n // 4 + 1]
    for name, x in columns.items():
        (scan,) = k.quantile_scan([x])
        plan = k.quantile_plan(scan, ranks)
        kept = sum(len(v) for v in k.quantile_gather([x], [plan])[0])
        print(
            f"{name:9s} scan {best_ms(lambda x=x: k.quantile_scan([x])):6.1f} ms ({len(scan[1])} buckets)"
            f"  gather {best_ms(lambda x=x, plan=plan: k.quantile_gather([x], [plan])):6.1f} ms"
            f" ({len(plan)} buckets, {kept} values kept)"
            f"  np.percentile {best_ms(lambda x=x: np.percentile(x, [25, 50, 75])):6.1f} ms"
        )
    x = columns["narrow"]
    (scan,) = k.quantile_scan([x])
    level = k.quantile_refine(k.quantile_plan(scan, [n // 2])[0])
    (inner,) = k.quantile_scan([x], [level])
    print(
        f"narrow, its crowded bucket split: scan {best_ms(lambda: k.quantile_scan([x], [level])):6.1f} ms"
        f" ({len(inner[1])} buckets, the largest holding {inner[2].max()} values)"
    )
    x = columns["normal"]
    block = k.numpy_sum_block()
    partial = best_ms(lambda: k.pairwise_partial(x, 123_457, 10_000_000, block))
    parts = [k.pairwise_partial(x[i : i + 125_000], i, n, block) for i in range(0, n, 125_000)]
    print(
        f"pairwise_partial {partial:.2f} ms (block {block}), np.add.reduce {best_ms(lambda: np.add.reduce(x)):.2f} ms,"
        f" pairwise_combine of 8 partials {best_ms(lambda: k.pairwise_combine(parts, n, block)):.2f} ms"
    )


if __name__ == "__main__":
    main()
