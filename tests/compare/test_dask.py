"""Either side a Dask frame on a 2-worker LocalCluster: the same figures and
verdicts as the frames in memory. The workers are threads of this process
(processes=False), so the cluster starts in a fraction of a second."""

import math

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

FIGURES = ("ks_statistic", "ks_pvalue", "wasserstein_norm", "psi", "js_distance", "chi2_pvalue",
           "missing_share_reference", "missing_share_current", "span_overlap_share")  # fmt: skip


@pytest.fixture(scope="module")
def client():
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0", silence_logs=50
        )
    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def pair():
    rng = np.random.default_rng(7)
    n = 2400

    def side(shift, start):
        x = rng.normal(shift, 1, n)
        x[rng.random(n) < 0.1] = np.nan
        return pd.DataFrame(
            {
                "x": x,
                "ties": rng.integers(0, 4, n),
                "c": pd.Series(rng.choice(["a", "b", "c", "d"][: 3 + (shift > 0)], n)).astype("category"),
                "t": pd.date_range(start, periods=n, freq="h"),
                "y": rng.normal(size=n),
            }
        )

    return side(0.0, "2024-01-01"), side(0.4, "2024-03-01")


def same(a, b):
    if a is None or b is None:
        return a is b
    return a == b or math.isclose(a, b, rel_tol=1e-12)


@pytest.mark.parametrize("which", ["reference", "current", "both"])
def test_dask_sides_give_the_in_memory_figures(eda, client, pair, which):
    ref, cur = pair
    want = eda.compare(ref, cur, target="y")
    dref = dd.from_pandas(ref, npartitions=3) if which != "current" else ref
    dcur = dd.from_pandas(cur, npartitions=4) if which != "reference" else cur
    with dask.config.set(scheduler=client.get):
        got = eda.compare(dref, dcur, target="y")
    assert got.drifted_columns == want.drifted_columns == ["x", "c"]
    assert (got.reference_rows, got.current_rows) == (want.reference_rows, want.current_rows)
    for col, fig in want.columns.items():
        assert got.columns[col]["drifted"] == fig["drifted"]
        for key in FIGURES:
            if key in fig:
                assert same(got.columns[col][key], fig[key]), (col, key)
    assert got.columns["c"]["new_levels"] == want.columns["c"]["new_levels"] == ["d"]
    # The classifier draws the same rows by position from the partitions.
    assert got.domain_classifier["auc"] == want.domain_classifier["auc"]
    assert got.targets["y"]["suitability_current"] == want.targets["y"]["suitability_current"]


def test_dask_time_split(eda, client, pair):
    ref, _ = pair
    want = eda.compare(ref, recent_share=0.25, datetime_col="t")
    with dask.config.set(scheduler=client.get):
        got = eda.compare(dd.from_pandas(ref, npartitions=3), recent_share=0.25, datetime_col="t")
    assert (got.reference_rows, got.current_rows) == (want.reference_rows, want.current_rows)
    for col, fig in want.columns.items():
        for key in FIGURES:
            if key in fig:
                assert same(got.columns[col][key], fig[key]), (col, key)


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_column_states_are_the_whole_frames(n_parts):
    # The states merged over the partitions against the calls on the whole
    # frame: level counts in value_counts' order (unobserved categories
    # left out), the numeric state, the span with its missing stamps.
    import _profilon_kernels as kernels
    from _profilon_dask import drift

    rng = np.random.default_rng(n_parts)
    n = 500
    text = pd.Series(rng.choice(["a", "b", "c", "d", None], n, p=[0.4, 0.3, 0.15, 0.1, 0.05]), dtype=object)
    stamps = pd.Series(pd.date_range("2024-03-30", periods=n, freq="h", tz="Europe/Paris")).sample(
        frac=1.0, random_state=1
    )
    pdf = pd.DataFrame(
        {
            "x": np.where(rng.random(n) < 0.1, np.nan, rng.integers(0, 20, n).astype(float)),
            "text": text,
            "cat": pd.Categorical(rng.choice(["p", "q"], n), categories=["p", "q", "unseen"]),
            "t": stamps.where(rng.random(n) > 0.1).reset_index(drop=True),
            "gap": pd.to_timedelta(rng.integers(0, 9, n), unit="s"),
        }
    )
    kinds = ["numeric", "categorical", "categorical", "datetime", "other"]
    with dask.config.set(scheduler="sync", **{"dataframe.convert-string": False}):
        rows, states = drift.column_states(dd.from_pandas(pdf, npartitions=n_parts, sort=False), kinds)
    assert rows == n
    whole = kernels.drift_value_counts(pdf["x"].to_numpy())
    for got, want in zip(states[0], whole, strict=True):
        np.testing.assert_array_equal(got, want)
    for j, column in ((1, "text"), (2, "cat")):
        counts = pdf[column].value_counts(dropna=True)
        counts = counts[counts > 0]
        assert states[j] == (counts.index.tolist(), counts.tolist(), int(pdf[column].isna().sum()))
    assert states[3] == (pdf["t"].min(), pdf["t"].max(), int(pdf["t"].isna().sum()))
    assert states[4] is None
