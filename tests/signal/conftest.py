"""Fixtures of the signal-check tests: small frames of known structure."""

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import profilon

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(autouse=True)
def one_thread(monkeypatch):
    # One OpenMP thread unless a test asks otherwise: on a shared machine,
    # spinning threads make small fits slow, and results must not depend on it.
    monkeypatch.setenv("PROFILON_NUM_THREADS", "1")


@pytest.fixture
def eda():
    return profilon.EDA()


@pytest.fixture
def cli():
    # The command's module from the source tree (it is not part of the build).
    sys.path.insert(0, str(ROOT / "src"))
    try:
        import profilon_cli

        yield profilon_cli
    finally:
        sys.path.remove(str(ROOT / "src"))


def features(rng, n, k=4):
    return pd.DataFrame({f"x{i}": rng.normal(size=n) for i in range(k)})


@pytest.fixture
def noise_frame():
    rng = np.random.default_rng(1)
    n = 800
    df = features(rng, n)
    df["colour"] = rng.choice(np.array(["red", "green", "blue", None], dtype=object), n)
    df["y"] = rng.normal(size=n)
    return df


@pytest.fixture
def curved_frame():
    """y = x0 + 0.5 * x1**2 + noise: a half of the signal no linear model sees."""
    rng = np.random.default_rng(2)
    n = 1500
    df = features(rng, n)
    df["y"] = df["x0"] + 0.5 * df["x1"] ** 2 + 0.2 * rng.normal(size=n)
    return df


@pytest.fixture
def random_walk_frame():
    """A random-walk target on a daily axis, rows stored out of time order."""
    rng = np.random.default_rng(3)
    n = 600
    df = features(rng, n, k=3)
    df["date"] = pd.date_range("2020-01-01", periods=n, freq="D")
    df["y"] = np.cumsum(rng.normal(size=n))
    return df.iloc[rng.permutation(n)].reset_index(drop=True)
