"""Frames of the kinds the analysis meets (numbers with holes, nullable
dtypes, text, categories, time axes with and without zones, infinities),
for the frames that reach it through Polars, PyArrow and DuckDB."""

import numpy as np
import pandas as pd
import pytest


def corpus():
    rng = np.random.default_rng(11)
    n = 400
    mixed = pd.DataFrame(
        {
            "y": np.cumsum(rng.normal(size=n)),
            "x": rng.normal(size=n),
            "ints": rng.integers(-5, 5, n),
            "holes": np.where(rng.random(n) < 0.2, np.nan, rng.normal(size=n)),
            "level": np.array(["a", "b", "c", None], dtype=object)[rng.integers(0, 4, n)],
            "flag": rng.random(n) < 0.4,
        }
    )
    timed = mixed.assign(when=pd.date_range("2024-03-30", periods=n, freq="h"))
    zoned = mixed.assign(when=pd.date_range("2024-03-30", periods=n, freq="h", tz="Europe/Paris"))
    nullable = pd.DataFrame(
        {
            "i": pd.array([1, None, 3, 4, None, 6] * 7, dtype="Int64"),
            "b": pd.array([True, None, False] * 14, dtype="boolean"),
            "s": pd.array(["u", "v", None] * 14, dtype="string"),
            "y": np.linspace(0.0, 1.0, 42),
        }
    )
    infinities = pd.DataFrame({"a": [1.0, np.inf, -np.inf, np.nan, 0.0, -0.0] * 5, "b": np.arange(30.0)})
    categories = pd.DataFrame(
        {"c": pd.Categorical(rng.choice(["lo", "mid", "hi"], 200)), "y": rng.normal(size=200), "z": rng.random(200)}
    )
    return {
        "mixed, two targets": (mixed, {"target": ["y", "x"]}),
        "mixed, no target": (mixed, {}),
        "hourly time column": (timed, {"target": "y", "datetime_col": "when"}),
        "zoned time column": (zoned, {"target": "y", "datetime_col": "when"}),
        "nullable dtypes": (nullable, {"target": "y"}),
        "infinities": (infinities, {"target": "b"}),
        "categories": (categories, {"target": "y"}),
    }


CORPUS = corpus()


def pytest_generate_tests(metafunc):
    # Each test that takes `case` runs once per frame of the corpus.
    if "case" in metafunc.fixturenames:
        metafunc.parametrize("case", list(CORPUS.values()), ids=list(CORPUS))


@pytest.fixture
def named():
    """name -> (frame, kwargs) of the corpus."""
    return CORPUS.__getitem__


@pytest.fixture
def report_of(eda):
    """(frame, kwargs) -> (to_dict() as JSON, Markdown), seeded alike."""

    def run(df, kwargs):
        np.random.seed(0)
        report = eda.eda_report_and_score(df, **kwargs)
        return report.to_json(), report.to_markdown()

    return run
