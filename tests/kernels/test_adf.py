"""The stationarity test's native kernel side by side with the library's ADF
(constant, AIC lag choice): same lag, same rows, p-value within 1e-9; and the
analysis' adapter, which uses the kernel only while `_adfuller` is the
library's own function and falls back to the library wherever the kernel
declines.

PROFILON_ADF_LONG=1 adds series of 100,000 and 200,000 values to the
agreement test (the library needs minutes for those).
"""

import functools
import inspect
import math
import os
import threading
import time

import numpy as np
import pandas as pd
import pytest
from scipy import signal
from statsmodels.tsa import stattools
from threadpoolctl import threadpool_limits

import profilon

LONG = bool(os.environ.get("PROFILON_ADF_LONG"))


def default_maxlag(n):
    return min(n // 2 - 2, int(np.ceil(12.0 * np.power(n / 100.0, 1 / 4.0))))


def boundary_lengths(lo, hi):
    """Lengths where the default maximal lag changes, with their neighbours."""
    out = set()
    for n in range(lo + 1, hi):
        if default_maxlag(n) != default_maxlag(n - 1):
            out.update({n - 1, n})
    return sorted(out)


def series(kind, n, rng):
    e = rng.standard_normal(n)
    t = np.arange(n)
    if kind == "walk":
        return np.cumsum(e)
    if kind == "trend":
        return rng.uniform(-5, 5) + rng.uniform(-0.05, 0.05) * t + e
    if kind == "seasonal":
        period = int(rng.choice([4, 7, 12, 24]))
        return 3 * np.sin(2 * np.pi * t / period) + 0.5 * np.cumsum(e) * rng.uniform(0, 1) + e
    if kind == "near_unit_root":
        phi = rng.uniform(0.95, 0.999)
        x = np.empty(n)
        x[0] = e[0]
        for i in range(1, n):
            x[i] = phi * x[i - 1] + e[i]
        return x
    if kind == "heavy_tailed":
        return np.cumsum(rng.standard_t(2, size=n))
    if kind == "constant_stretch":
        x = np.cumsum(e)
        a = int(rng.integers(0, n // 2))
        x[a : a + n // 3] = x[a]
        return x
    if kind == "integer":
        return np.round(np.cumsum(e) * 2).astype(np.int64)
    if kind == "offset":
        return 1e4 + np.cumsum(e)
    if kind == "cycle":
        # A daily load: a strong cycle over a slow drift, whose lagged
        # differences are close to parallel.
        return 50 + 10 * np.sin(2 * np.pi * t / 24) + np.cumsum(0.1 * e)
    raise AssertionError(kind)


KINDS = [
    "walk",
    "trend",
    "seasonal",
    "near_unit_root",
    "heavy_tailed",
    "constant_stretch",
    "integer",
    "offset",
    "cycle",
]


def cases():
    rng = np.random.default_rng(20261208)
    lengths = [int(v) for v in rng.integers(20, 250, size=920)]
    lengths += [int(v) for v in rng.integers(400, 3000, size=40)]
    lengths += boundary_lengths(20, 3000)
    lengths += [1599, 1600, 1601, 8099, 8100, 8101, 20_000]
    if LONG:
        lengths += [100_000, 200_000]
    for i, n in enumerate(lengths):
        yield KINDS[i % len(KINDS)], n, rng


# The p-value function the library's test calls (newer releases do not
# re-export it from the public module).
MACKINNONP = stattools.adfuller.__globals__["mackinnonp"]


def library(x):
    # Newer releases warn unless the caller chooses the result's form.
    if "result_object" in inspect.signature(stattools.adfuller).parameters:
        res = stattools.adfuller(x, autolag="AIC", result_object=True)
        return res.pvalue, res.lags, res.nobs
    res = stattools.adfuller(x, autolag="AIC")
    return res[1], res[2], res[3]


def test_agreement_with_the_library(test_entries):
    # The library's small SVDs only slow down on several BLAS threads.
    with threadpool_limits(1):
        agreement(test_entries)


def agreement(test_entries):
    # Each series both ways: the cross products where they promise the
    # answer (most series), and the QR that decides where they do not.
    worst = {"cross_products": 0.0, "qr": 0.0}
    compared = {"cross_products": 0, "qr": 0}
    declined = 0
    for kind, n, rng in cases():
        x = np.ascontiguousarray(series(kind, n, rng), dtype=np.float64)
        want = None
        for qr in (False, True):
            status, stat, lag, nobs, maxlag, _, way = test_entries.adf_statistic(x, qr)
            assert maxlag == default_maxlag(n)
            if status != "ok":
                # The analysis hands these to the library; they must be rare.
                assert status == "ill_conditioned", (kind, n, status)
                assert way == "qr", (kind, n)
                declined += qr
                continue
            want = want or library(x)
            p, want_lag, want_nobs = want
            assert (lag, nobs) == (want_lag, want_nobs), (kind, n, way)
            pvalue = MACKINNONP(stat, regression="c", N=1)
            worst[way] = max(worst[way], abs(pvalue - p))
            assert abs(pvalue - p) <= 1e-9, (kind, n, way, pvalue, p)
            compared[way] += 1
    print(f"\nADF agreement: {compared} series compared, {declined} declined, worst p-value differences {worst}")
    assert compared["qr"] >= 1000
    assert declined <= compared["qr"] // 100
    assert compared["cross_products"] >= 0.9 * compared["qr"]


@pytest.mark.parametrize(
    ("x", "status"),
    [
        (np.full(50, 3.0), "constant"),
        (np.array([1.0, 2.0, 1.0]), "too_short"),
        (np.r_[np.arange(30.0), np.nan], "non_finite"),
        (np.r_[np.arange(30.0), np.inf], "non_finite"),
        # An exact fit: the residuals are rounding noise.
        (np.sin(2 * np.pi * np.arange(200) / 12), "ill_conditioned"),
        # The level column is numerically the constant one.
        (1e12 + np.cumsum(np.random.default_rng(1).standard_normal(500)), "ill_conditioned"),
        (np.zeros(0), "too_short"),
    ],
    ids=["constant", "short", "nan", "inf", "exact_fit", "huge_offset", "empty"],
)
def test_kernel_declines_what_it_cannot_promise(test_entries, x, status):
    assert test_entries.adf_statistic(np.ascontiguousarray(x, dtype=np.float64))[0] == status


def test_kernel_rejects_other_buffers(test_entries):
    with pytest.raises(TypeError):
        test_entries.adf_statistic(np.arange(30, dtype=np.int64))
    with pytest.raises(TypeError):
        test_entries.adf_statistic("walk")


def through_library():
    """A stand-in that calls the library exactly as the analysis would: the
    adapter sees another function and takes the library's path."""

    @functools.wraps(stattools.adfuller)
    def adfuller(*args, **kwargs):
        return stattools.adfuller(*args, **kwargs)

    return adfuller


def walk(n, seed=0):
    return np.random.default_rng(seed).normal(size=n).cumsum()


def frames():
    rng = np.random.default_rng(7)
    n = 400
    days = pd.date_range("2021-01-01", periods=n, freq="D")
    yield (
        "walks",
        pd.DataFrame({"when": days, "a": walk(n, 1), "b": walk(n, 2), "x": rng.normal(size=n)}),
        {"target": ["a", "b"], "datetime_col": "when"},
    )
    hours = pd.date_range("2022-01-01", periods=3000, freq="h")
    t = np.arange(3000)
    yield (
        "hourly_seasonal",
        pd.DataFrame(
            {
                "ts": hours,
                "load": 50 + 10 * np.sin(2 * np.pi * t / 24) + rng.normal(size=3000),
                "x": rng.normal(size=3000),
            }
        ),
        {"target": "load", "datetime_col": "ts"},
    )
    odd = pd.DataFrame({"when": days, "y": walk(n, 3)})
    odd["ints"] = pd.array(np.round(walk(n, 4)).astype(int), dtype="Int64")
    odd["flags"] = rng.random(n) > 0.5
    odd["const"] = 5.0
    odd["with_inf"] = walk(n, 5)
    odd.loc[10, "with_inf"] = np.inf
    odd["text"] = ["a", "b"] * (n // 2)
    odd["exact"] = np.sin(2 * np.pi * np.arange(n) / 7)
    odd["gappy"] = np.where(rng.random(n) < 0.3, np.nan, walk(n, 6))
    yield (
        "odd_targets",
        odd,
        {"target": ["y", "ints", "flags", "const", "with_inf", "text", "exact", "gappy"], "datetime_col": "when"},
    )
    yield "no_time_axis", pd.DataFrame({"y": walk(n, 8), "x": rng.normal(size=n)}), {"target": "y"}


FRAMES = {name: (df, kw) for name, df, kw in frames()}


@pytest.mark.parametrize("name", list(FRAMES))
def test_analysis_matches_the_library_path(monkeypatch, name):
    df, kwargs = FRAMES[name]
    np.random.seed(0)
    native = profilon.EDA().eda_report_and_score(df, **kwargs)
    monkeypatch.setattr(profilon, "_adfuller", through_library())
    np.random.seed(0)
    reference = profilon.EDA().eda_report_and_score(df, **kwargs)
    got = native.time_series.get("per_target", {})
    want = reference.time_series.get("per_target", {})
    assert list(got) == list(want)
    for target in want:
        p, q = got[target]["adfuller_pvalue"], want[target]["adfuller_pvalue"]
        if q is None or (isinstance(q, float) and math.isnan(q)):
            assert p is None if q is None else math.isnan(p), target
        else:
            assert abs(p - q) <= 1e-9, (target, p, q)
    # Nothing else in the report depends on how the p-value was computed
    # (the Markdown prints the p-value itself to the last digit).
    for report in (native, reference):
        for record in report.time_series.get("per_target", {}).values():
            record["adfuller_pvalue"] = None
    assert repr(native) == repr(reference)


def test_odd_targets_take_both_outcomes():
    df, kwargs = FRAMES["odd_targets"]
    per_target = profilon.EDA().eda_report_and_score(df, **kwargs).time_series["per_target"]
    assert per_target["const"]["adfuller_pvalue"] is None
    assert per_target["text"]["adfuller_pvalue"] is None
    for name in ("y", "ints", "flags", "gappy"):
        assert isinstance(per_target[name]["adfuller_pvalue"], float), name


def test_a_rebound_adfuller_is_called(monkeypatch):
    calls = []

    def adfuller(y, **kwargs):
        calls.append(len(y))
        return stattools.adfuller(y, **kwargs)

    monkeypatch.setattr(profilon, "_adfuller", adfuller)
    df, kwargs = FRAMES["walks"]
    profilon.EDA().eda_report_and_score(df, **kwargs)
    assert calls == [400, 400]


@pytest.fixture
def interrupt_when():
    timers = []

    def arm(delay):
        timer = threading.Timer(delay, lambda: __import__("_thread").interrupt_main())
        timers.append(timer)
        timer.start()
        return time.monotonic() + delay

    yield arm
    for timer in timers:
        timer.cancel()


def test_ctrl_c_ends_a_long_kernel_run_promptly(test_entries, interrupt_when, prompt):
    # About half a second of work: 200 lags over 8,000,000 rows.
    x = np.cumsum(np.random.default_rng(0).standard_normal(8_000_000))
    fired = interrupt_when(0.1)
    with pytest.raises(KeyboardInterrupt):
        test_entries.adf_statistic(x)
    assert time.monotonic() - fired < prompt(1.0)


def test_ctrl_c_during_the_analysis_stationarity_test(monkeypatch, interrupt_when):
    n = 1_500_000
    # Differences this autocorrelated make the lagged design's columns close
    # to parallel, so its factor comes from the QR: seconds of work.
    steps = signal.lfilter([1.0], [1.0, -0.99], np.random.default_rng(0).standard_normal(n))
    df = pd.DataFrame({"ts": pd.date_range("2020-01-01", periods=n, freq="min"), "y": np.cumsum(steps)})
    fired = []

    def clock(step):
        if step == "time_axis":
            fired.append(interrupt_when(0.3))

    monkeypatch.setattr(profilon, "_step_clock", clock, raising=False)
    with pytest.raises(KeyboardInterrupt):
        profilon.EDA().eda_report_and_score(df, target="y", datetime_col="ts")
    assert fired and time.monotonic() - fired[0] < 1.0
