"""Bad input to the signal check: one sentence, in the analysis' words where
the analysis refuses the same call."""

import numpy as np
import pandas as pd
import pytest


def one_sentence(text):
    return text and "\n" not in text and text.count(". ") == 0


@pytest.mark.parametrize(
    "make_df, kwargs",
    [
        (lambda df: df["y"], {}),
        (lambda df: df.to_numpy(), {"target": "y"}),
        (lambda df: df, {"target": 42}),
        (lambda df: df, {"target": {"y": 1}}),
        (lambda df: df.rename(columns={"x1": "x0"}), {"target": "y"}),
    ],
    ids=["series", "array", "int-target", "dict-target", "repeated-labels"],
)
def test_calls_the_analysis_refuses_are_refused_in_its_words(eda, noise_frame, make_df, kwargs):
    df = make_df(noise_frame)
    with pytest.raises(Exception) as analysis:
        eda.eda_report_and_score(df, **kwargs)
    with pytest.raises(Exception) as check:
        eda.signal_check(df, **kwargs)
    assert type(check.value) is type(analysis.value)
    assert str(check.value) == str(analysis.value)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"sample_rows": 0}, ValueError, "sample_rows must be at least 1, not 0"),
        ({"sample_rows": "100"}, TypeError, "sample_rows must be an integer, not '100'"),
        ({"folds": True}, TypeError, "folds must be an integer, not True"),
        ({"folds": 1}, ValueError, "folds must be at least 2, not 1"),
        ({"chance_repeats": 1}, ValueError, "chance_repeats must be at least 2, not 1"),
        ({"seed": -1}, ValueError, "seed must be at least 0, not -1"),
        ({"seed": 2**32}, ValueError, "seed must be at most 4294967295, not 4294967296"),
        ({"seed": 2**80}, ValueError, f"seed must be at most 4294967295, not {2**80}"),
        ({"seed": 1.5}, TypeError, "seed must be an integer, not 1.5"),
        ({"seed": np.int64(-3)}, ValueError, f"seed must be at least 0, not {np.int64(-3)!r}"),
    ],
)
def test_bad_settings_raise_one_sentence(eda, noise_frame, kwargs, error, message):
    with pytest.raises(error) as got:
        eda.signal_check(noise_frame, target="y", **kwargs)
    assert str(got.value) == message


def frame_with(**columns):
    rng = np.random.default_rng(0)
    n = len(next(iter(columns.values())))
    return pd.DataFrame({"x0": rng.normal(size=n), "x1": rng.normal(size=n), **columns})


@pytest.mark.parametrize(
    "df, target, reason",
    [
        (frame_with(y=["a", "b"] * 50), "y", "target 'y' is not numeric (its type is {dtype})"),
        (frame_with(y=[3.0] * 100), "y", "the target has one value (3.0) on every usable row"),
        (frame_with(y=[1.0, np.nan] * 30), "y", "too few rows: 30 rows have a usable target value, and 5 folds"),
        (pd.DataFrame({"y": np.arange(100.0)}), "y", "no feature column with a known value is left"),
        (frame_with(y=[np.inf, -np.inf] * 50), "y", "too few rows: 0 rows"),
    ],
    ids=["text", "constant", "few-rows", "no-features", "infinite"],
)
def test_an_uncheckable_target_gets_no_verdict_and_its_reason(eda, df, target, reason):
    record = eda.signal_check(df, target=target).targets[target]
    assert record["verdict"] is None
    assert record["reason"].startswith(reason.format(dtype=df[target].dtype))
    assert one_sentence(record["reason"])
    assert record["r2_boosted"] is None and record["top_features"] == []
    assert "not checked" in eda.signal_check(df, target=target).to_markdown()


@pytest.mark.parametrize(
    "kwargs, note",
    [
        ({}, "no target was given: name one or more numeric columns with target="),
        ({"target": ["nope"]}, "target 'nope' is not a column of the frame"),
        (
            {"target": "y", "datetime_col": "when"},
            "datetime_col 'when' is not a column of the frame: the folds are shuffled, not time-ordered",
        ),
        (
            {"target": "y", "datetime_col": "colour"},
            "datetime_col 'colour' could not be read as dates: the folds are shuffled, not time-ordered",
        ),
    ],
)
def test_what_cannot_be_used_is_noted(eda, noise_frame, kwargs, note):
    report = eda.signal_check(noise_frame, sample_rows=300, **kwargs)
    assert note in report.notes
    assert all(r["split"] == "shuffled" for r in report.targets.values())
    assert note in report.to_markdown()


def test_a_sample_too_small_for_the_folds_says_so(eda, noise_frame):
    record = eda.signal_check(noise_frame, target="y", sample_rows=40).targets["y"]
    assert record["reason"] == "too few rows: the sample holds 40 rows (sample_rows=40), and 5 folds need at least 50"


def test_a_target_named_twice_is_checked_once(eda, noise_frame):
    report = eda.signal_check(noise_frame, target=("y", "y"), sample_rows=300)
    assert list(report.targets) == ["y"]
