"""EdaScoreBreakdown weights and EdaReport's dictionary form."""

import dataclasses
import math

import pytest

import profilon

FIELDS = [
    "size_adequacy", "feature_to_row_ratio", "missingness", "categorical_cardinality",
    "target_quality", "multicollinearity", "scale_heterogeneity", "outliers", "ts_quality",
    "leakage_risk", "redundancy", "split_viability", "meta_completeness",
]  # fmt: skip


def breakdown(default=0.0, **values):
    return profilon.EdaScoreBreakdown(**{name: values.get(name, default) for name in FIELDS})


def test_breakdown_fields_in_order():
    assert [f.name for f in dataclasses.fields(profilon.EdaScoreBreakdown)] == FIELDS
    assert all(f.type is float for f in dataclasses.fields(profilon.EdaScoreBreakdown))
    assert list(dataclasses.asdict(breakdown())) == FIELDS


@pytest.mark.parametrize(
    "b, expected",
    [
        (breakdown(1.0), 1.0),
        (breakdown(0.0), 0.0),
        (breakdown(size_adequacy=1.0), 0.15),
        (breakdown(leakage_risk=1.0), 0.06),
        (breakdown(ts_quality=1.0, missingness=1.0), 0.2),
        (breakdown(1.0, outliers=3.0), 1.1),
    ],
)
def test_weighted_total(b, expected):
    assert b.weighted_total() == pytest.approx(expected, abs=1e-15)
    assert type(b.weighted_total()) is float


def test_weighted_total_matches_the_interpreters_sum_exactly():
    weights = [15, 10, 10, 8, 8, 8, 5, 5, 10, 6, 5, 5, 5]
    values = [0.1 * (i + 1) / 3 for i in range(13)]
    b = profilon.EdaScoreBreakdown(*values)
    assert b.weighted_total() == float(sum(v * w for v, w in zip(values, weights, strict=True))) / 100.0


def test_the_93_1_breakdown():
    b = breakdown(1.0, target_quality=0.7, scale_heterogeneity=0.8, ts_quality=0.8, meta_completeness=0.7)
    assert round(100.0 * b.weighted_total(), 1) == 93.1


def test_weighted_total_failures():
    assert math.isnan(breakdown(1.0, outliers=float("nan")).weighted_total())
    with pytest.raises(TypeError):
        breakdown(1.0, outliers=None).weighted_total()


def make_report(**overrides):
    fields = dict(
        schema={"n_rows": 1},
        missingness={},
        distributions={},
        relationships={},
        time_series={},
        target={},
        score_breakdown=breakdown(1.0),
        suitability_score=100.0,
        recommendations=["x"],
    )
    fields.update(overrides)
    return profilon.EdaReport(**fields)


BASE_KEYS = [
    "schema", "missingness", "distributions", "relationships", "time_series", "target",
    "score_breakdown", "suitability_score", "recommendations",
]  # fmt: skip


@pytest.mark.parametrize(
    "per_target, expected_keys",
    [
        ({}, BASE_KEYS),
        (
            {"suitability_score_by_target": {"y": 90.0}, "score_breakdown_by_target": {"y": {}}},
            BASE_KEYS + ["suitability_score_by_target", "score_breakdown_by_target"],
        ),
        (
            {"suitability_score_by_target": {}, "score_breakdown_by_target": {}},
            BASE_KEYS + ["suitability_score_by_target", "score_breakdown_by_target"],
        ),
        ({"score_breakdown_by_target": {"y": {}}}, BASE_KEYS + ["score_breakdown_by_target"]),
    ],
)
def test_to_dict_keys(per_target, expected_keys):
    assert list(make_report(**per_target).to_dict()) == expected_keys


def test_to_dict_shares_sections_but_not_the_breakdown():
    report = make_report()
    first, second = report.to_dict(), report.to_dict()
    for key in ("schema", "missingness", "distributions", "relationships", "time_series", "target", "recommendations"):
        assert first[key] is getattr(report, key)
    assert first["score_breakdown"] == dataclasses.asdict(report.score_breakdown)
    assert first["score_breakdown"] is not second["score_breakdown"]
    first["schema"]["n_rows"] = 2
    assert report.schema["n_rows"] == 2


def test_to_dict_requires_a_dataclass_breakdown():
    with pytest.raises(TypeError):
        make_report(score_breakdown={"size_adequacy": 1.0}).to_dict()


def test_records_are_real_dataclasses():
    assert make_report() == make_report()
    assert make_report() != make_report(suitability_score=1.0)
    assert repr(breakdown(1.0)).startswith("EdaScoreBreakdown(size_adequacy=1.0, feature_to_row_ratio=1.0")
    assert profilon.EdaReport.__doc__.startswith("EdaReport(schema: Dict[str, Any], ")
    params = list(profilon.EdaReport.__init__.__code__.co_varnames[1:12])
    assert params == BASE_KEYS + ["suitability_score_by_target", "score_breakdown_by_target"]
    with pytest.raises(TypeError):
        profilon.EdaReport(schema={})
