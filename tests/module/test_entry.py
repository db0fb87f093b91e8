"""The analysis entry: argument checks, target resolution, column typing."""

import numpy as np
import pandas as pd
import pytest

import profilon

FRAME = pd.DataFrame(
    {
        "a": [1.0, 2.0, 3.0, 4.0],
        "b": [4.0, 3.0, 1.0, 2.0],
        "flag": [True, False, True, False],
        "city": ["x", "y", "x", "z"],
        "kind": pd.Categorical([1, 2, 1, 2]),
        "when": pd.date_range("2024-01-01", periods=4),
        "gap": pd.to_timedelta([1, 2, 3, 4], unit="D"),
        42: [0, 1, 0, 1],
    }
)


@pytest.mark.parametrize(
    "target, expected",
    [
        (None, []),
        ("a", ["a"]),
        ("missing", []),
        (["a", "missing", "a"], ["a", "a"]),
        (("b", "a"), ["b", "a"]),
        ({"a"}, ["a"]),
        ([42, "nope"], [42]),
        ([], []),
    ],
)
def test_target_resolution(analyse, target, expected):
    report = analyse(FRAME, target=target)
    assert report.schema["targets"] == (expected or None)
    if expected:
        assert next(iter(report.target.items())) == ("task", "regression")
    else:
        assert report.target == {}


@pytest.mark.parametrize("target", [42, 1.5, {"a": 1}, frozenset({"a"}), pd.Index(["a"]), b"a"])
def test_unsupported_target_types_are_refused(eda, target):
    with pytest.raises(TypeError) as err:
        eda.eda_report_and_score(FRAME, target=target)
    assert str(err.value) == "target must be None, str, or list/tuple/set of str"


@pytest.mark.parametrize("df", [FRAME["a"], FRAME.values, {"a": [1]}, None])
def test_non_frames_are_refused_before_anything_else(eda, df):
    with pytest.raises(AssertionError) as err:
        eda.eda_report_and_score(df, target=42)
    assert err.value.args == ()


def test_unhashable_target_names_raise_the_index_error(eda):
    with pytest.raises(TypeError, match="unhashable"):
        eda.eda_report_and_score(FRAME, target=[["a"]])


def test_column_typing(analyse):
    schema = analyse(FRAME, target="a").schema
    assert schema["numeric_cols"] == ["a", "b", "flag", 42]
    assert schema["categorical_cols"] == ["city", "kind"]
    assert schema["bool_cols"] == ["flag"]
    assert schema["datetime_cols"] == ["when"]
    assert list(schema) == [
        "n_rows", "n_cols", "feature_to_row_ratio", "numeric_cols", "categorical_cols",
        "datetime_cols", "bool_cols", "constant_cols", "duplicate_cols_examples", "targets",
    ]  # fmt: skip
    assert schema["feature_to_row_ratio"] == 7 / 4


def test_report_sections_and_types(analyse):
    report = analyse(FRAME, target="a")
    assert list(report.missingness) == ["total_missing_share", "rows_with_any_missing_share", "by_column_missing_share"]
    assert list(report.distributions) == ["numeric_summary", "outlier_share_overall", "scale_spread_ratio"]
    assert type(report.schema["n_rows"]) is int and type(report.schema["feature_to_row_ratio"]) is float
    assert report.schema["numeric_cols"] is not report.schema["bool_cols"]


def test_the_report_holds_fresh_objects_per_call(eda):
    first = eda.eda_report_and_score(FRAME, target="a")
    second = eda.eda_report_and_score(FRAME, target="a")
    assert first.schema is not second.schema
    assert first.schema["targets"] is not second.schema["targets"]


def test_subclass_predicates_drive_the_typing():
    class EverythingText(profilon.EDA):
        def _is_numeric(self, s):
            return False

        def _is_categorical(self, s):
            return True

    schema = EverythingText().eda_report_and_score(FRAME).schema
    assert schema["numeric_cols"] == [] and schema["categorical_cols"] == list(FRAME.columns)


def test_typing_errors_propagate():
    class Failing(profilon.EDA):
        def _is_numeric(self, s):
            raise LookupError("typing failed")

    with pytest.raises(LookupError, match="typing failed"):
        Failing().eda_report_and_score(FRAME)


def test_numpy_scalar_target_label():
    df = pd.DataFrame({np.int64(7): [1.0, 2.0, 3.0], "x": [3.0, 1.0, 2.0]})
    report = profilon.EDA().eda_report_and_score(df, target=[np.int64(7)])
    assert report.schema["targets"] == [7]
