"""Frames for the page's tests: a small mixed frame with every kind of column
and hostile labels, the bench's typical and wide frames, and a flights-like
frame (336,776 rows, 19 columns) made up from random draws."""

import numpy as np
import pandas as pd
import pytest

HOSTILE = ['<script>alert("x")</script>', "a & b", "quote ' \" end", "\u00e9t\u00e9 \U0001f600", "line\nbreak"]


def mixed_frame(n=600, seed=0):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"when": pd.date_range("2021-01-01", periods=n, freq="D")})
    df["y"] = np.cumsum(rng.normal(size=n))
    df["x"] = rng.normal(size=n) * 10
    df["ints"] = rng.integers(-3, 4, n)
    holes = rng.normal(size=n)
    holes[rng.random(n) < 0.2] = np.nan
    holes[:3] = [np.inf, -np.inf, 0.0]
    df["holes"] = holes
    df["nullable"] = pd.array(np.where(rng.random(n) < 0.1, None, rng.integers(0, 9, n)), dtype="Int64")
    df["level"] = np.array(["a", "b", "c", None], dtype=object)[rng.integers(0, 4, n)]
    df["many"] = np.array([f"k{i}" for i in range(60)], dtype=object)[rng.integers(0, 60, n)]
    df["cat"] = pd.Categorical(rng.choice(["lo", "mid", "hi"], n))
    df["flag"] = rng.random(n) < 0.3
    df["constant"] = 7.0
    df["empty"] = np.nan
    for i, label in enumerate(HOSTILE):
        df[label] = rng.normal(size=n) if i % 2 else rng.choice(["p", "q"], n)
    df[17] = rng.normal(size=n)
    return df


def flights_like(seed=0):
    """The shape of a year of departures: 336,776 rows x 19 columns."""
    rng = np.random.default_rng(seed)
    n = 336_776
    start = np.datetime64("2013-01-01T05:00")
    minutes = np.sort(rng.integers(0, 365 * 24 * 60, n))
    when = start + minutes.astype("timedelta64[m]")
    dep_delay = rng.gamma(1.2, 15, n) - 10
    cancelled = rng.random(n) < 0.025
    dep_delay[cancelled] = np.nan
    arr_delay = dep_delay + rng.normal(-5, 10, n)
    distance = rng.choice([200, 500, 760, 1000, 1400, 2500, 4983], n) * rng.uniform(0.95, 1.05, n)
    carriers = np.array(
        ["UA", "B6", "EV", "DL", "AA", "MQ", "US", "9E", "WN", "VX", "FL", "AS", "F9", "YV", "HA", "OO"]
    )
    airports = np.array([f"A{i:02d}" for i in range(105)], dtype=object)
    df = pd.DataFrame(
        {
            "year": np.full(n, 2013),
            "month": when.astype("datetime64[M]").astype(int) % 12 + 1,
            "day": (when.astype("datetime64[D]") - when.astype("datetime64[M]")).astype(int) + 1,
            "dep_time": np.where(cancelled, np.nan, rng.integers(500, 2400, n)),
            "sched_dep_time": rng.integers(500, 2359, n),
            "dep_delay": dep_delay,
            "arr_time": np.where(cancelled, np.nan, rng.integers(1, 2400, n)),
            "sched_arr_time": rng.integers(1, 2359, n),
            "arr_delay": arr_delay,
            "carrier": carriers[rng.integers(0, len(carriers), n)].astype(object),
            "flight": rng.integers(1, 8500, n),
            "tailnum": np.array([f"N{i}" for i in range(4000)], dtype=object)[rng.integers(0, 4000, n)],
            "origin": np.array(["EWR", "JFK", "LGA"], dtype=object)[rng.integers(0, 3, n)],
            "dest": airports[rng.integers(0, len(airports), n)],
            "air_time": np.where(cancelled, np.nan, distance / 8 + rng.normal(0, 5, n)),
            "distance": distance.round(),
            "hour": rng.integers(5, 24, n),
            "minute": rng.integers(0, 60, n),
            "time_hour": pd.DatetimeIndex(when).floor("h"),
        }
    )
    return df


@pytest.fixture(scope="session")
def hostile_labels():
    return list(HOSTILE)


@pytest.fixture(scope="session")
def mixed():
    return mixed_frame(), {"target": ["y", "x"], "datetime_col": "when"}


@pytest.fixture(scope="session")
def mixed_report(mixed):
    import profilon

    df, kwargs = mixed
    np.random.seed(0)
    return profilon.EDA().eda_report_and_score(df, **kwargs)


@pytest.fixture(scope="session")
def flights():
    return flights_like(), {"target": "arr_delay", "datetime_col": "time_hour"}
