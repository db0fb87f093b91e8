"""Fixtures for comparing an analysis through the kernels with the same
analysis made by the library calls alone."""

import contextlib
import functools
import math
import types

import numpy as np
import pandas as pd
import pytest
import scipy.stats
import sklearn.feature_selection
import statsmodels.tsa.stattools

import profilon


def _wrapped(fn, calls):
    # A stand-in that is not the library's function object, so every
    # adapter leaves the call to it; functools.wraps keeps the signature
    # (the stationarity step asks the function which keywords it takes).
    @functools.wraps(fn)
    def stand_in(*args, **kwargs):
        calls[fn.__name__] = calls.get(fn.__name__, 0) + 1
        return fn(*args, **kwargs)

    return stand_in


def _module_stand_in(real, version=None):
    # Forwards every name to the library, so the library path computes
    # with the library itself; a version no kernel was written for makes
    # the version-gated kernels decline as well.
    stand_in = types.ModuleType(real.__name__)
    stand_in.__getattr__ = lambda name: getattr(real, name)
    if version is not None:
        stand_in.__version__ = version
    return stand_in


@contextlib.contextmanager
def _library_only():
    """Within it, analyses make the library calls alone; yields how often
    each library function was called."""
    calls = {}
    stand_ins = {
        "pd": _module_stand_in(pd, version="0.0"),
        "np": _module_stand_in(np),
        "scipy_skew": _wrapped(scipy.stats.skew, calls),
        "scipy_kurtosis": _wrapped(scipy.stats.kurtosis, calls),
        "spearmenr": _wrapped(scipy.stats.spearmanr, calls),
        "_mi_reg": _wrapped(sklearn.feature_selection.mutual_info_regression, calls),
        "_adfuller": _wrapped(statsmodels.tsa.stattools.adfuller, calls),
    }
    saved = {name: getattr(profilon, name) for name in stand_ins}
    try:
        for name, value in stand_ins.items():
            setattr(profilon, name, value)
        yield calls
    finally:
        for name, value in saved.items():
            setattr(profilon, name, value)


def _analyse(df, kwargs):
    np.random.seed(0)  # mutual information draws its noise from it
    return profilon.EDA().eda_report_and_score(df, **kwargs)


def _without_adf_pvalues(report):
    """The report with its stationarity p-values taken out: the kernel's
    p-value is the library's within 1e-9, not to the bit."""
    pvalues = {}
    for target, record in (report.time_series.get("per_target") or {}).items():
        pvalues[target] = record["adfuller_pvalue"]
        record["adfuller_pvalue"] = None
    return pvalues


def _same_pvalue(p, q):
    if p is None or q is None:
        return p is q
    if math.isnan(q):
        return math.isnan(p)
    return abs(p - q) <= 1e-9


def _differences(x, y, path=""):
    """Where two to_dict() trees differ, as 'path: native != library'."""
    if isinstance(x, dict) and isinstance(y, dict):
        if list(x) != list(y):
            return [f"{path}: keys {list(x)} != {list(y)}"]
        return [d for k in x for d in _differences(x[k], y[k], f"{path}/{k}")]
    return [] if repr(x) == repr(y) else [f"{path}: {x!r} != {y!r}"]


@pytest.fixture(scope="session")
def library_only():
    return _library_only


@pytest.fixture(scope="session")
def both_ways():
    """analyse(df, **kwargs) -> (through the kernels, library calls alone),
    after checking that the two reports agree: to_dict() and the Markdown
    identical, the stationarity p-values within their tolerance."""

    def analyse(df, **kwargs):
        native = _analyse(df, kwargs)
        with _library_only():
            library = _analyse(df, kwargs)
        got, want = _without_adf_pvalues(native), _without_adf_pvalues(library)
        assert list(got) == list(want)
        for target, q in want.items():
            assert _same_pvalue(got[target], q), (target, got[target], q)
        assert not _differences(native.to_dict(), library.to_dict())
        assert native.to_markdown() == library.to_markdown()
        for report, pvalues in ((native, got), (library, want)):
            for target, p in pvalues.items():
                report.time_series["per_target"][target]["adfuller_pvalue"] = p
        return native, library

    return analyse
