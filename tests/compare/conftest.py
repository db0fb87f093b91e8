"""Fixtures of the comparison tests: the analysis object, seeded frames and
the library's own figures for a pair of columns."""

import importlib.util
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from scipy.spatial.distance import jensenshannon


@pytest.fixture(scope="session")
def cli():
    """The command's module of this checkout (an installed copy elsewhere on
    the path may be another version)."""
    path = Path(__file__).resolve().parents[2] / "src" / "profilon_cli.py"
    spec = importlib.util.spec_from_file_location("profilon_cli_under_test", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)


@pytest.fixture
def shifted_pair(rng):
    """Ten normal columns, 5,000 rows a side; the current x3 is moved by half
    a standard deviation."""
    n = 5000
    ref = pd.DataFrame({f"x{i}": rng.normal(size=n) for i in range(10)})
    cur = pd.DataFrame({f"x{i}": rng.normal(size=n) for i in range(10)})
    cur["x3"] += 0.5
    return ref, cur


class Library:
    """What SciPy answers for the figures the comparison reports."""

    @staticmethod
    def numeric(ref: pd.Series, cur: pd.Series) -> dict:
        a = ref.to_numpy(dtype="float64", na_value=np.nan)
        b = cur.to_numpy(dtype="float64", na_value=np.nan)
        a, b = a[~np.isnan(a)], b[~np.isnan(b)]
        with warnings.catch_warnings():
            # ks_2samp says so when its exact path overflows and it falls
            # back to the asymptotic one, which is the answer we compare to.
            warnings.filterwarnings("ignore", "ks_2samp: Exact calculation unsuccessful", RuntimeWarning)
            ks = scipy.stats.ks_2samp(a, b)
        sd = np.std(a)
        w = scipy.stats.wasserstein_distance(a, b)
        return {
            "ks_statistic": float(ks.statistic),
            "ks_pvalue": float(ks.pvalue),
            "wasserstein_norm": w / sd if sd > 0 else None,
        }

    @staticmethod
    def categorical(ref: pd.Series, cur: pd.Series) -> dict:
        # A categorical dtype's unobserved categories are no level of a side.
        r, c = ref.value_counts(), cur.value_counts()
        r, c = r[r > 0], c[c > 0]
        levels = list(r.index) + [x for x in c.index if x not in r.index]
        table = np.array([[r.get(x, 0) for x in levels], [c.get(x, 0) for x in levels]], dtype=float)
        if table.sum(axis=1).min() == 0:
            # SciPy answers NaN (with a warning) or raises: no figures.
            return {"js_distance": None, "chi2_pvalue": None}
        return {
            "js_distance": float(jensenshannon(table[0], table[1], base=2)),
            "chi2_pvalue": float(scipy.stats.chi2_contingency(table).pvalue),
        }


@pytest.fixture
def library():
    return Library
