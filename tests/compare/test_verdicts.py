"""The verdicts: effect size and significance together, no verdict on too
few rows, the schema difference, saved references, time splits, targets,
and inputs left as they were."""

import json

import numpy as np
import pandas as pd
import pytest


def test_one_shifted_column_of_ten_is_the_one_drifted(eda, shifted_pair):
    ref, cur = shifted_pair
    report = eda.compare(ref, cur)
    assert report.drifted_columns == ["x3"]
    assert report.drift_share == pytest.approx(0.1)
    assert report.columns["x3"]["ks_statistic"] > 0.15
    assert report.domain_classifier["top_columns"][0] == "x3"


def test_a_large_sample_of_one_distribution_flags_nothing(eda, rng):
    # 200,000 rows a side (bench/compare_datasets.py runs a million): small
    # p-values come and go, the effect sizes stay far below their thresholds.
    n = 200_000
    ref = pd.DataFrame({"a": rng.normal(size=n), "b": rng.integers(0, 50, n), "c": rng.choice(list("pqrs"), n)})
    cur = pd.DataFrame({"a": rng.normal(size=n), "b": rng.integers(0, 50, n), "c": rng.choice(list("pqrs"), n)})
    report = eda.compare(ref, cur)
    assert report.drifted_columns == []
    assert all(fig["drifted"] is False for fig in report.columns.values())


def test_significance_alone_does_not_flag(eda, rng):
    # A shift of 0.05 sd at 100,000 rows: the test is certain, the effect small.
    n = 100_000
    report = eda.compare(pd.DataFrame({"a": rng.normal(size=n)}), pd.DataFrame({"a": rng.normal(0.05, 1, n)}))
    fig = report.columns["a"]
    assert fig["ks_pvalue"] < 1e-10
    assert fig["drifted"] is False
    assert fig["reason"] == "significant, but the effect size is below its threshold"


def test_eight_current_rows_flag_nothing_and_say_why(eda, shifted_pair):
    ref, cur = shifted_pair
    report = eda.compare(ref, cur.iloc[:8] + 5)
    assert report.drifted_columns == []
    for fig in report.columns.values():
        assert fig["drifted"] is None
        assert fig["reason"] == "the current side has 8 non-missing values; a verdict needs at least 30"
    assert report.domain_classifier["auc"] is None
    assert "fewer than 30 rows" in report.domain_classifier["reason"]


def test_a_new_level_is_listed_and_moves_the_shares(eda, rng):
    n = 3000
    ref = pd.DataFrame({"c": rng.choice(["a", "b", "c"], n)})
    cur = pd.DataFrame({"c": rng.choice(["a", "b", "c", "new"], n)})
    fig = eda.compare(ref, cur).columns["c"]
    assert fig["new_levels"] == ["new"] and fig["new_level_count"] == 1
    assert fig["drifted"] is True


def test_schema_difference_is_reported_never_a_crash(eda, rng):
    n = 200
    ref = pd.DataFrame({"keep": rng.normal(size=n), "gone": rng.normal(size=n), "kind": rng.normal(size=n),
                        "width": rng.integers(0, 5, n)})  # fmt: skip
    cur = pd.DataFrame({"keep": rng.normal(size=n), "fresh": rng.normal(size=n),
                        "kind": rng.choice(["x", "y"], n), "width": rng.integers(0, 5, n).astype(float)})  # fmt: skip
    report = eda.compare(ref, cur)
    assert report.columns_added == ["fresh"]
    assert report.columns_removed == ["gone"]
    assert report.columns_type_changed == [
        {"column": "kind", "reference": "float64", "current": str(cur["kind"].dtype)},  # pandas 3: str
        {"column": "width", "reference": "int64", "current": "float64"},
    ]
    assert report.columns["kind"]["kind"] == "changed" and report.columns["kind"]["drifted"] is None
    # int64 against float64 is still one numeric column, compared as such.
    assert report.columns["width"]["drifted"] is False


def verdicts(report):
    return {c: (f["drifted"], f.get("reason")) for c, f in report.columns.items()}


@pytest.mark.parametrize("case", ["shifted", "new_level", "eight_rows", "mixed"])
def test_a_saved_reference_gives_the_frame_verdicts(eda, rng, shifted_pair, tmp_path, case):
    ref, cur = shifted_pair
    if case == "new_level":
        ref = pd.DataFrame({"c": rng.choice(["a", "b"], 4000), "n": rng.integers(0, 3, 4000)})
        cur = pd.DataFrame({"c": rng.choice(["a", "b", "z"], 4000), "n": rng.integers(0, 3, 4000)})
    elif case == "eight_rows":
        cur = cur.iloc[:8]
    elif case == "mixed":
        ref = ref.assign(
            t=pd.date_range("2024-01-01", periods=len(ref), freq="min"), c=rng.choice(list("ab"), len(ref))
        )
        cur = cur.assign(
            t=pd.date_range("2024-01-02", periods=len(cur), freq="min"), c=rng.choice(list("ab"), len(cur))
        )
    direct = eda.compare(ref, cur)
    path = tmp_path / "reference.json"
    direct.save_reference(path)
    saved = eda.compare(str(path), cur)
    assert verdicts(saved) == verdicts(direct)
    assert saved.drifted_columns == direct.drifted_columns
    for col, fig in saved.columns.items():
        if "error_bound" in fig:
            bound = fig["error_bound"]["ks_statistic"]
            assert abs(fig["ks_statistic"] - direct.columns[col]["ks_statistic"]) <= bound
        elif fig["kind"] == "numeric" and fig["ks_statistic"] is not None:
            # Few distinct values are saved exactly: the very same figures.
            assert fig["ks_statistic"] == direct.columns[col]["ks_statistic"]
            assert fig["psi"] == direct.columns[col]["psi"]
    assert saved.domain_classifier["auc"] is None


def test_saved_reference_is_bounded_and_versioned(eda, rng, tmp_path):
    n = 20_000
    ref = pd.DataFrame({"x": rng.normal(size=n), "ids": [f"id{i}" for i in range(n)]})
    report = eda.compare(ref, ref.iloc[:100])
    path = tmp_path / "ref.json"
    report.save_reference(path)
    doc = json.loads(path.read_text())
    x, ids = doc["columns"]
    assert len(x["quantiles"]) == 1001 and "values" not in x
    assert len(ids["levels"]) == 1000 and ids["levels_other"] == n - 1000
    doc["version"] = 2
    path.write_text(json.dumps(doc))
    with pytest.raises(ValueError, match=r"format version 2; this profilon reads version 1$"):
        eda.compare(str(path), ref)


def test_time_split_of_one_frame(eda, rng):
    n = 1000
    df = pd.DataFrame(
        {"t": pd.date_range("2024-01-01", periods=n, freq="h"), "x": np.r_[rng.normal(size=800), rng.normal(2, 1, 200)]}
    )
    df.loc[5, "t"] = pd.NaT
    by_time = eda.compare(df, split_at="2024-02-03 08:00", datetime_col="t")
    assert (by_time.reference_rows, by_time.current_rows) == (799, 200)
    assert by_time.drifted_columns == ["x"]
    recent = eda.compare(df, recent_share=0.2, datetime_col="t")
    span = df.t.max() - df.t.min()
    cut = df.t.max() - span * 0.2
    assert recent.current_rows == int((df.t >= cut).sum())
    assert recent.columns["t"]["span_overlap_share"] == 0.0
    assert "rows without a time stamp are on neither side" in recent.notes[0]


def test_targets_carry_each_side_suitability(eda, rng):
    n = 1500

    def frame(shift):
        x = rng.normal(shift, 1, n)
        return pd.DataFrame({"x": x, "z": rng.normal(size=n), "y": 3 * x + rng.normal(size=n), "w": rng.normal(size=n)})

    ref, cur = frame(0.0), frame(1.0)
    report = eda.compare(ref, cur, target=["y", "w"])
    for t in ("y", "w"):
        entry = report.targets[t]
        want_ref = eda.eda_report_and_score(ref, target=["y", "w"])
        want_cur = eda.eda_report_and_score(cur, target=["y", "w"])
        assert entry["suitability_reference"] == want_ref.suitability_score_by_target[t]
        assert entry["suitability_current"] == want_cur.suitability_score_by_target[t]
        assert len(entry["components_reference"]) == 13
        assert entry["component_differences"]["target_quality"] == pytest.approx(
            entry["components_current"]["target_quality"] - entry["components_reference"]["target_quality"]
        )
    assert report.targets["y"]["drifted"] is True  # the target moved with x
    assert report.targets["y"]["relevant_drifted_features"] == ["x"]
    # x carries nearly all of y's relevance and drifted; z did not.
    assert report.targets["y"]["weighted_drift_share"] > 0.9
    assert report.drift_share == pytest.approx(0.5)  # x of x and z; targets are not features


def test_to_dict_holds_the_documented_keys(eda, rng):
    ref = pd.DataFrame({"n": rng.normal(size=100), "c": rng.choice(list("ab"), 100), "y": rng.normal(size=100)})
    d = eda.compare(ref, ref.copy(), target="y").to_dict()
    for key in ("reference_rows", "current_rows", "columns_added", "columns_removed", "drifted_columns",
                "columns", "domain_classifier", "targets"):  # fmt: skip
        assert key in d
    for key in ("kind", "drifted", "missing_share_reference", "missing_share_current", "ks_statistic", "ks_pvalue",
                "wasserstein_norm", "psi"):  # fmt: skip
        assert key in d["columns"]["n"]
    for key in ("js_distance", "chi2_pvalue", "new_levels"):
        assert key in d["columns"]["c"]
    assert {"auc", "top_columns"} <= set(d["domain_classifier"])
    assert {"suitability_reference", "suitability_current"} <= set(d["targets"]["y"])
    assert d["columns"]["n"]["ks_statistic"] == 0.0 and d["columns"]["n"]["ks_pvalue"] == 1.0


def test_inputs_are_left_as_they_were(eda, rng, tmp_path):
    ref = pd.DataFrame(
        {
            "x": rng.normal(size=300),
            "c": pd.Series(rng.choice(list("abc"), 300)).astype("category"),
            "t": pd.date_range("2024-01-01", periods=300, freq="D"),
            "y": rng.normal(size=300),
        }
    )
    ref.loc[::9, "x"] = np.nan
    cur = ref.sample(frac=1.0, random_state=1).reset_index(drop=True)
    before = (ref.copy(deep=True), cur.copy(deep=True))
    eda.compare(ref, cur, target="y", datetime_col="t")
    eda.compare(ref, recent_share=0.3, datetime_col="t")
    pd.testing.assert_frame_equal(ref, before[0])
    pd.testing.assert_frame_equal(cur, before[1])


DF = "the frame"  # stands for the test's frame in the argument tables


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((3, DF), {}, TypeError, "reference must be a pandas or Dask DataFrame or the path of a saved reference"),
        ((DF, [1, 2]), {}, TypeError, "current must be a pandas or Dask DataFrame"),
        ((DF, DF), {"target": "nope"}, ValueError, "target 'nope' is not a column of the reference side"),
        ((DF, "drop x"), {"target": "x"}, ValueError, "target 'x' is not a column of the current side"),
        ((DF, "x twice"), {}, ValueError, "column labels of the current side must be unique; duplicated: ['x']"),
        ((DF,), {}, ValueError, "without a current frame, compare needs datetime_col to split the reference"),
        ((DF,), {"datetime_col": "x", "recent_share": 0.5}, ValueError, "datetime_col 'x' must hold datetimes"),
        ((DF,), {"datetime_col": "t", "recent_share": 0.5, "split_at": "2024"}, ValueError, "without a current"),
        ((DF,), {"datetime_col": "t", "recent_share": 1.5}, ValueError, "recent_share must lie strictly between"),
        ((DF, DF), {"split_at": "2024"}, ValueError, "split_at and recent_share split one frame"),
    ],
)
def test_bad_inputs_get_one_clear_sentence(eda, rng, args, kwargs, error, message):
    df = pd.DataFrame({"x": rng.normal(size=50), "t": pd.date_range("2024-01-01", periods=50)})
    stand_ins = {DF: df, "drop x": df.drop(columns="x"), "x twice": df[["x", "x"]]}
    args = [stand_ins.get(a, a) if isinstance(a, str) else a for a in args]
    with pytest.raises(error) as info:
        eda.compare(*args, **kwargs)
    assert str(info.value).startswith(message)
    assert "\n" not in str(info.value)


def test_a_file_that_is_no_saved_reference(eda, rng, tmp_path):
    df = pd.DataFrame({"x": rng.normal(size=50)})
    bad = tmp_path / "bad.json"
    bad.write_text("not json")
    with pytest.raises(ValueError, match="is not a saved profilon reference"):
        eda.compare(str(bad), df)
    bad.write_text('{"format": "something else"}')
    with pytest.raises(ValueError, match="is not a saved profilon reference$"):
        eda.compare(str(bad), df)


def test_tuple_labels_survive_a_saved_reference(eda, rng, tmp_path):
    n = 200
    ref = pd.DataFrame({("a", 1): rng.normal(size=n), ("b", 2): rng.choice(list("pq"), n)})
    cur = pd.DataFrame({("a", 1): rng.normal(1, 1, n), ("b", 2): rng.choice(list("pq"), n)})
    direct = eda.compare(ref, cur)
    direct.save_reference(tmp_path / "r.json")
    saved = eda.compare(str(tmp_path / "r.json"), cur)
    assert saved.columns_added == saved.columns_removed == []
    assert saved.drifted_columns == direct.drifted_columns == [("a", 1)]


def test_the_classifier_cannot_tell_one_distribution_by_level_codes(eda, rng):
    # Codes numbered by first appearance would put the levels first met in
    # the current sample above the reference's, and separate the sides by
    # the codes of any many-valued column.
    levels = np.array([f"c{i}" for i in range(3000)], dtype=object)

    def draw():
        return pd.DataFrame({"id": rng.choice(levels, 8000), "x": rng.normal(size=8000)})

    classifier = eda.compare(draw(), draw()).domain_classifier
    assert 0.4 < classifier["auc"] < 0.6
