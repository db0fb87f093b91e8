"""EdaReport.to_json: standard JSON of to_dict()."""

import json

import numpy as np
import pytest
from test_render import REPORTS, breakdown

import profilon


def report_with(**sections):
    base = dict(
        schema={}, missingness={}, distributions={}, relationships={}, time_series={}, target={},
        score_breakdown=breakdown(), suitability_score=93.1, recommendations=[],
    )  # fmt: skip
    base.update(sections)
    return profilon.EdaReport(**base)


@pytest.mark.parametrize(
    "value, expected",
    [
        (float("nan"), None),
        (float("inf"), None),
        (-float("inf"), None),
        (np.float64("nan"), None),
        (np.float32(0.5), 0.5),
        (np.float64(0.1), 0.1),
        (np.int64(7), 7),
        (np.bool_(True), True),
        (True, True),
        (None, None),
        ("QS-OCT", "QS-OCT"),
        ((1, "a"), [1, "a"]),
        ([("c", "a")], [["c", "a"]]),
        (np.array([1.5, np.nan]), [1.5, None]),
        ({1: 0.98, 7: float("nan")}, {"1": 0.98, "7": None}),
        ({("a", "b"): 1}, {"('a', 'b')": 1}),
        ({"x"}, ["x"]),
        (complex(1, 2), "(1+2j)"),
    ],
)
def test_values_json_cannot_hold_are_converted(value, expected):
    text = report_with(distributions={"v": value}).to_json()
    assert json.loads(text)["distributions"]["v"] == expected


def test_nan_is_never_written_as_a_bare_token():
    text = report_with(missingness={"total_missing_share": float("nan")}, suitability_score=float("nan")).to_json()
    assert "NaN" not in text and "Infinity" not in text
    assert json.loads(text)["suitability_score"] is None


@pytest.mark.parametrize("indent", [None, 2])
def test_indent_is_the_json_modules(indent):
    report = REPORTS["two_targets"]()
    plain = json.loads(report.to_json())
    assert report.to_json(indent=indent) == json.dumps(plain, indent=indent)


@pytest.mark.parametrize("name", list(REPORTS))
def test_round_trip_equals_to_dict(name, json_values):
    report = REPORTS[name]()
    assert json.loads(report.to_json()) == json_values(report.to_dict())


def test_analysis_report_round_trips(analyse, json_values):
    import pandas as pd

    rng = np.random.default_rng(3)
    df = pd.DataFrame(
        {
            "t": pd.date_range("2022-01-01", periods=80, freq="D"),
            "x": rng.normal(size=80),
            "k": rng.choice(["a", "b"], size=80),
            "y": rng.normal(size=80),
        }
    )
    df.loc[5, "x"] = np.nan
    report = analyse(df, target="y", datetime_col="t")
    assert json.loads(report.to_json()) == json_values(report.to_dict())


def test_self_containing_report_raises_recursion_error():
    loop = {}
    loop["again"] = loop
    with pytest.raises(RecursionError):
        report_with(schema=loop).to_json()


def test_errors_of_to_dict_propagate():
    with pytest.raises(TypeError):
        report_with(score_breakdown={"size_adequacy": 1.0}).to_json()
