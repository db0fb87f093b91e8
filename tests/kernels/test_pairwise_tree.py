"""NumPy's float64 sum rebuilt from partitions along its own pairwise tree.

Every partition knows its global offset and the total length; the combine
must give np.add.reduce's bits over the whole array for any cut, in both of
NumPy's summation modes (the whole array at once, or buffer-sized pieces).
"""

import numpy as np
import pytest

# Around the unroll width (8), the leaf size (128), their multiples, and the
# buffer size of NumPy 1.x (8192) with its multiples.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 127, 128, 129, 136, 255, 256, 257, 1000, 8191, 8192, 8193, 16385, 24581, 40_000]
# (buffer size, whole): "whole" passes block 0 with a buffer larger than
# the array, so NumPy sums it as one piece; otherwise the block is the one
# the running NumPy reports under that buffer size.
MODES = [(8192, False), (1024, False), (65536, True)]


def random_bounds(rng, n, k):
    cuts = rng.integers(0, n + 1, k - 1)
    # Cuts right at and beside leaf borders are the interesting ones.
    near = (cuts // 128) * 128 + rng.integers(-1, 2, k - 1)
    cuts = np.where(rng.random(k - 1) < 0.5, cuts, np.clip(near, 0, n))
    return [0, *np.sort(cuts).tolist(), n]


def rebuilt(kernels, x, bounds, block, rng):
    n = len(x)
    partials = [
        kernels.pairwise_partial(np.ascontiguousarray(x[s:e]), s, n, block)
        for s, e in zip(bounds, bounds[1:], strict=False)
    ]
    rng.shuffle(partials)
    return kernels.pairwise_combine(partials, n, block)


def bits(v):
    return np.float64(v).tobytes()


@pytest.mark.parametrize("bufsize,whole", MODES)
@pytest.mark.parametrize("n", LENGTHS)
def test_any_split_gives_add_reduce(kernels, n, bufsize, whole):
    rng = np.random.default_rng([n, bufsize])
    old = np.setbufsize(bufsize)
    try:
        block = 0 if whole else kernels.numpy_sum_block()
        assert block is not None
        for trial in range(6):
            x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 12, n)
            want = np.add.reduce(x)
            for k in (1, 2, 5, 9):
                assert bits(rebuilt(kernels, x, random_bounds(rng, n, k), block, rng)) == bits(want), (trial, k)
    finally:
        np.setbufsize(old)


@pytest.mark.parametrize("special", ["nan", "inf", "-inf", "both_inf", "-0.0"])
@pytest.mark.parametrize("n", [9, 300, 20_000])
def test_non_finite_values_propagate_as_in_numpy(kernels, special, n):
    rng = np.random.default_rng([n, len(special)])
    block = kernels.numpy_sum_block()
    for _ in range(4):
        if special == "-0.0":
            x = np.full(n, -0.0)
        else:
            x = rng.standard_normal(n)
            for v in {"nan": [np.nan], "inf": [np.inf], "-inf": [-np.inf], "both_inf": [np.inf, -np.inf]}[special]:
                x[rng.integers(0, n, 3)] = v
        with np.errstate(invalid="ignore"):
            want = np.add.reduce(x)
            got = rebuilt(kernels, x, random_bounds(rng, n, 4), block, rng)
        assert bits(got) == bits(want)


def test_partials_must_cover_the_array_once(kernels):
    rng = np.random.default_rng(0)
    x = rng.standard_normal(5000)
    parts = [kernels.pairwise_partial(x[s:e], s, 5000, 0) for s, e in [(0, 1234), (1234, 5000)]]
    with pytest.raises(ValueError):
        kernels.pairwise_combine(parts[:1], 5000, 0)
    with pytest.raises(ValueError):
        kernels.pairwise_combine([parts[0], parts[0], parts[1]], 5000, 0)
    with pytest.raises(ValueError):
        kernels.pairwise_partial(x[:10], 4995, 5000, 0)
    assert bits(kernels.pairwise_combine(parts, 5000, 0)) == bits(np.add.reduce(x))


def test_a_partition_sends_few_pieces(kernels):
    # Whole nodes and at most two cut leaves: the combine's input stays
    # logarithmic in the partition's length.
    x = np.ones(1_000_000)
    bounds, sums, edges = kernels.pairwise_partial(x[123_457:876_543], 123_457, len(x), 0)
    assert len(sums) <= 2 * 20 and len(edges) <= 2
    assert all(len(v) <= 128 for _, v in edges)
    assert sums.sum() + sum(v.sum() for _, v in edges) == 876_543 - 123_457


def same_partial(a, b):
    if a is None or b is None:
        return a is None and b is None
    return (
        np.array_equal(a[0], b[0])
        and a[1].tobytes() == b[1].tobytes()
        and [(s, v.tobytes()) for s, v in a[2]] == [(s, v.tobytes()) for s, v in b[2]]
    )


@pytest.mark.parametrize("n", [1, 9, 300, 20_000])
@pytest.mark.parametrize("specials", [False, True])
@pytest.mark.parametrize("block", [0, 1024])
def test_fused_partials_equal_the_partials_of_numpys_arrays(kernels, test_entries, n, specials, block):
    # The summaries' terms (NaN as 0, the finite values, the deviations and
    # their powers) computed inside the walk give the partials of the
    # arrays NumPy builds for them, node for node, in every partition.
    rng = np.random.default_rng([n, block, specials])
    x = rng.standard_normal(n) * 1e3 + 5e6
    if specials:
        for value, step in ((np.nan, 5), (np.inf, 7), (-np.inf, 11), (-0.0, 3), (0.0, 13)):
            x[rng.integers(0, n, max(1, n // step))] = value
    finite_total = int(np.isfinite(x).sum())
    avg, mean = float(np.nanmean(np.where(np.isinf(x), 0, x))) if n > 1 else 0.5, 5e6 + 0.25
    fin_offset = 0
    bounds = random_bounds(rng, n, 4)
    for s, e in zip(bounds, bounds[1:], strict=False):
        part = np.ascontiguousarray(x[s:e])
        fin = part[np.isfinite(part)]
        with np.errstate(all="ignore"):
            d = part - avg
            d[np.isnan(part)] = 0.0
            f = fin - mean
            f2 = f**2
            if test_entries.moment_rules(block)[0] == "powers":
                # SciPy 1.18: d**order with `order` a 0-d float64 array.
                arrays = [f ** np.asarray(float(order)) for order in (2, 3, 4)]
            else:
                arrays = [f2, f2 * f, f2**2]
            want_nan0 = kernels.pairwise_partial(np.where(np.isnan(part), 0.0, part), s, n, block)
            want_fin = kernels.pairwise_partial(fin, fin_offset, finite_total, block)
            want_sq = kernels.pairwise_partial(d * d, s, n, block)
            want_pow = [kernels.pairwise_partial(p, fin_offset, finite_total, block) for p in arrays]
        nan0, of_fin = test_entries.sum_partials(part, True, s, n, fin_offset, finite_total, block)
        assert same_partial(nan0, want_nan0) and same_partial(of_fin, want_fin)
        assert test_entries.sum_partials(part, False, s, n, fin_offset, finite_total, block)[0] is None
        sq, moment = test_entries.moment_partials(part, avg, mean, s, n, fin_offset, finite_total, block)
        assert same_partial(sq, want_sq)
        assert all(same_partial(g, w) for g, w in zip(moment[:3], want_pow, strict=True))
        assert moment[3] == (np.abs(f).max() if f.size else 0.0) and moment[4] is False
        assert test_entries.moment_partials(part, None, None, s, n, fin_offset, finite_total, block) == (None, None)
        fin_offset += len(fin)
    with pytest.raises(ValueError, match="outside"):
        test_entries.sum_partials(x, True, 1, n, 0, finite_total, block)


@pytest.mark.parametrize(
    "values",
    [
        [],
        [np.nan],
        [3.0, np.nan, -np.inf, 0.0, 2.0],
        [np.inf, -0.0, 0.0, 5.0],
        [-np.inf, -np.inf],
        [1e308, -1e308, -0.0],
    ],
)
def test_scan_counts_equal_numpys(test_entries, values):
    x = np.array(values, dtype=np.float64)
    present = x[~np.isnan(x)]
    nn, nf, neg_inf, zeros, lo, hi = test_entries.scan_counts(x)
    assert (nn, nf, neg_inf, zeros) == (len(present), np.isfinite(x).sum(), (x == -np.inf).sum(), (x == 0).sum())
    if len(present):
        assert (lo, hi) == (present.min(), present.max())
    else:
        assert np.isnan(lo) and np.isnan(hi)
