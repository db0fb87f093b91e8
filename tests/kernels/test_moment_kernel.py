"""The moment kernel (partial, merge, finish) against scipy.stats.skew and
kurtosis, bit for bit, in the formula of the running SciPy release, and the
NumPy power loop it calls under SciPy 1.18 against the one NumPy runs."""

import ctypes
import math
import warnings

import numpy as np
import pytest
import scipy
from moment_release import expected_formula, sum_block  # noqa: E402
from scipy import stats

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


FORMULA = expected_formula()
needs_formula = pytest.mark.skipif(FORMULA == "none", reason="SciPy release outside the kernel's windows")


def bits(v):
    v = float(v)
    return "nan" if math.isnan(v) else np.float64(v).tobytes()


def library(finite):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return float(stats.skew(finite)), float(stats.kurtosis(finite, fisher=True))


def column(rng, n, kind):
    if kind == "normal":
        v = rng.normal(size=n) * 10.0 ** rng.integers(-3, 6)
    elif kind == "large":
        v = rng.normal(size=n) * 1e150
    elif kind == "negative":
        v = -rng.lognormal(sigma=3.0, size=n)
    elif kind == "tiny":
        v = rng.normal(size=n) * 1e-200
    elif kind == "offset":
        v = rng.normal(size=n) * 1e3 + 5e6
    elif kind == "constant_ish":
        v = 1e6 + rng.integers(0, 2, size=n) * 1e-6
    elif kind == "constant":
        v = np.full(n, 0.3)
    elif kind == "ties":
        v = rng.integers(-3, 3, size=n).astype(float)
    else:
        raise AssertionError(kind)
    if kind != "constant" and rng.random() < 0.5:
        u = rng.random(n)
        v[u < 0.1] = np.nan
        v[(u >= 0.1) & (u < 0.14)] = np.inf
        v[(u >= 0.14) & (u < 0.17)] = -np.inf
    return v


KINDS = ["normal", "large", "negative", "tiny", "offset", "constant_ish", "constant", "ties"]
LENGTHS = list(range(1, 21)) + [23, 37, 129, 257, 1001, 9001, 40_003]


def columns(seed):
    rng = np.random.default_rng(seed)
    return [column(rng, n, kind) for n in LENGTHS for kind in KINDS]


def test_the_formula_follows_the_release(test_entries):
    formula, tolerance, loop = test_entries.moment_rules(sum_block())
    assert formula == FORMULA
    release = tuple(int(p) for p in scipy.__version__.split(".")[:2])
    info = np.finfo(np.float64)
    assert tolerance == (info.resolution if release < (1, 14) else info.eps)
    assert (loop is not None) == (formula == "powers")


def numpy_power_loop_address():
    """The inner loop NumPy's own trivial loop runs for float64 ** float64:
    its strided loop for those dtypes wraps the legacy loop, whose pointer
    sits after the NpyAuxData head (free, clone, two reserved pointers)."""
    f8 = np.dtype(np.float64)
    resolve = getattr(np.power, "_resolve_dtypes_and_context", None)
    if resolve is None:
        pytest.skip("this NumPy has no _resolve_dtypes_and_context")
    _, call_info = resolve((f8, f8, f8))
    np.power._get_strided_loop(call_info, fixed_strides=(8, 0, 8))
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    info = get(call_info, b"numpy_1.24_ufunc_call_info")
    auxdata = ctypes.c_void_p.from_address(info + 2 * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.c_void_p.from_address(auxdata + 4 * ctypes.sizeof(ctypes.c_void_p)).value


@pytest.mark.skipif(np.__version__.startswith("1."), reason="the power loop serves SciPy 1.18, on NumPy 2")
def test_the_power_loop_is_the_one_numpy_dispatched(test_entries):
    _, _, loop = test_entries.moment_rules(sum_block())
    if loop is None:
        pytest.skip("SciPy release without the power formula")
    assert loop == numpy_power_loop_address()


@needs_formula
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_whole_columns_equal_scipy(test_entries, seed):
    cols = columns(seed)
    compared = 0
    for v in cols:
        row = test_entries.summary(np.ascontiguousarray(v[:, None]), sum_block(), "running")[0]
        if row[10]:  # SciPy warns here: the analysis asks it
            continue
        finite = v[np.isfinite(v)]
        want = library(finite) if finite.size else (math.nan, math.nan)
        assert (bits(row[4]), bits(row[5])) == (bits(want[0]), bits(want[1])), (v.size, row[4:6], want)
        compared += 1
    # The library is asked only where it warns: most columns are the kernel's.
    assert compared > 0.8 * len(cols)


@needs_formula
def test_the_other_formula_is_told_apart(test_entries):
    # The comparison above can fail: the formula of the other releases
    # gives other bits on some of the same columns.
    other = "squares" if FORMULA == "powers" else "powers"
    differ = 0
    for v in columns(5):
        got = test_entries.summary(np.ascontiguousarray(v[:, None]), sum_block(), other)[0]
        finite = v[np.isfinite(v)]
        if got[10] or finite.size < 3:
            continue
        want = library(finite)
        differ += (bits(got[4]), bits(got[5])) != (bits(want[0]), bits(want[1]))
    assert differ > 0


def random_bounds(rng, n, parts):
    cuts = np.sort(rng.integers(0, n + 1, size=parts - 1))
    return [0, *cuts.tolist(), n]


def partitioned(test_entries, x, bounds, order=None):
    """The driver's way: one moment partial per partition (at its place
    among the finite values), merged, finished."""
    finite = x[np.isfinite(x)]
    nf, block = finite.size, sum_block()
    mean = float(np.mean(finite))
    partials, fin_offset = [], 0
    for s, e in zip(bounds, bounds[1:], strict=False):
        part = np.ascontiguousarray(x[s:e])
        partials.append(test_entries.moment_partials(part, None, mean, s, x.size, fin_offset, nf, block)[1])
        fin_offset += int(np.isfinite(part).sum())
    if order is not None:
        partials = [partials[i] for i in order]
    merged = test_entries.moment_merge(partials, nf, block)
    return test_entries.moment_finish(merged, nf, mean, False, block)


@needs_formula
@pytest.mark.parametrize("parts", [1, 2, 3, 7, 20])
@pytest.mark.parametrize("n", [5, 19, 130, 8191, 30_001])
def test_partitions_give_the_whole_columns_bits(test_entries, parts, n):
    rng = np.random.default_rng([parts, n])
    for kind in ("normal", "offset", "negative", "large"):
        x = column(rng, n, kind)
        finite = x[np.isfinite(x)]
        if finite.size == 0:
            continue
        bounds = random_bounds(rng, n, parts)
        order = rng.permutation(parts).tolist()
        skew, kurt, by_library = partitioned(test_entries, x, bounds, order)
        whole = test_entries.summary(np.ascontiguousarray(x[:, None]), sum_block(), "running")[0]
        assert (bits(skew), bits(kurt), by_library) == (bits(whole[4]), bits(whole[5]), bool(whole[10]))
        if not by_library:
            want = library(finite)
            assert (bits(skew), bits(kurt)) == (bits(want[0]), bits(want[1])), (kind, skew, kurt, want)


@needs_formula
def test_a_sample_covered_twice_or_not_at_all_is_refused(test_entries):
    x = np.random.default_rng(3).normal(size=300)
    mean, block = float(x.mean()), sum_block()
    first = test_entries.moment_partials(x[:200], None, mean, 0, 300, 0, 300, block)[1]
    second = test_entries.moment_partials(x[200:], None, mean, 200, 300, 200, 300, block)[1]
    test_entries.moment_merge([first, second], 300, block)
    for partials in ([first], [first, first, second]):
        with pytest.raises(ValueError):
            test_entries.moment_merge(partials, 300, block)


@needs_formula
@pytest.mark.parametrize(
    "values, by_library",
    [
        ([], False),  # no values: NaN, as the analysis answers itself
        ([2.5], False),  # one value: zero variance, NaN
        ([0.1] * 7, False),  # all equal: the analysis' own NaN
        ([1e6, 1e6 + 1e-9, 1e6], True),  # SciPy warns of catastrophic cancellation
        ([1e200, -1e200, 3.0], True),  # the powers overflow: NumPy warns
    ],
)
def test_degenerate_samples(test_entries, values, by_library):
    x = np.asarray(values, dtype=float)
    row = test_entries.summary(np.ascontiguousarray(x.reshape(-1, 1)), sum_block(), "running")
    if x.size == 0:
        assert row.shape == (1, 14) or row.size == 0
        return
    row = row[0]
    assert bool(row[10]) == by_library
    want = library(x)
    if not by_library:
        assert (bits(row[4]), bits(row[5])) == (bits(want[0]), bits(want[1]))
    # The driver, which shows no warning, takes the values: SciPy's, warned or not.
    skew, kurt, _ = partitioned(test_entries, x, [0, x.size])
    assert (bits(skew), bits(kurt)) == (bits(want[0]), bits(want[1]))


def _deviations(seed, n):
    """Deviations of both signs over many magnitudes, the edges of the
    shortcut's range included, and many that round close to a midpoint."""
    rng = np.random.default_rng(seed)
    d = rng.normal(size=n) * 10.0 ** rng.integers(-80, 80, size=n)
    d[:8] = [-(2.0**-240), -(2.0**240), -(2.0**-241), -(2.0**241), -0.0, -1.0, -3.0, -(2.0**0.5)]
    return d


@pytest.mark.skipif(FORMULA != "powers", reason="SciPy release without the power formula")
@pytest.mark.parametrize("order", [2.0, 3.0, 4.0])
@pytest.mark.parametrize("seed", [0, 1])
def test_raised_deviations_are_numpys_powers(test_entries, order, seed):
    d = _deviations(seed, 400_003)
    mine, shortcut = test_entries.moment_powers(d, order, sum_block())
    # SciPy's own expression: the deviations to a 0-d float64 order.
    with np.errstate(all="ignore"):
        theirs = d ** np.asarray(order, dtype=np.float64)
    assert mine.tobytes() == theirs.tobytes()
    if shortcut and order != 2.0:
        # Both roads are taken: most negative bases rounded by the kernel,
        # those whose exact power lies near a rounding midpoint left to
        # NumPy's loop. Exact powers of a sample tell them apart.
        sample = [x for x in d[8:8008] if -(2.0**240) < x < -(2.0**-240)]
        near = [_midpoint_distance(x, int(order)) < 1 / 32 for x in sample]
        assert 0 < sum(near) < len(near) / 4


def _midpoint_distance(x, k):
    """How far x**k lies from the midpoint of the two doubles around it, in
    units of their gap."""
    from fractions import Fraction

    exact = Fraction(x) ** k
    low = float(exact)
    if Fraction(low) > exact:
        low = np.nextafter(low, -np.inf)
    high = np.nextafter(low, np.inf)
    gap = Fraction(high) - Fraction(low)
    return float(abs(exact - (Fraction(low) + gap / 2)) / gap)
