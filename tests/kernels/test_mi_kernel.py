"""Mutual information: the native kernel against the library's estimator, bit
for bit, and the analysis' adapter, which uses it only while `_mi_reg` is the
library's own function and leaves everything else (and the global random
generator) as the library call would.
"""

import threading
import time

import numpy as np
import pandas as pd
import pytest
import sklearn
from scipy.special import digamma
from sklearn.feature_selection import _mutual_info, mutual_info_regression

import profilon

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def column(rng, kind, n, y):
    if kind == "normal":
        return rng.normal(size=n)
    if kind == "dependent":
        return y + 0.1 * rng.normal(size=n)
    if kind == "ties":  # exact ties: distances equal to a radius everywhere
        return rng.integers(0, 3, size=n).astype(float)
    if kind == "jittered_ties":  # what the library's noise makes of an integer column
        return rng.integers(0, 2, size=n) + 1e-10 * rng.normal(size=n)
    if kind == "constant":
        return np.full(n, 2.0)
    if kind == "heavy":
        return rng.standard_t(1, size=n)
    if kind == "tiny":
        return 1e-300 * rng.normal(size=n)
    raise AssertionError(kind)


KINDS = ["normal", "dependent", "ties", "jittered_ties", "constant", "heavy", "tiny"]


def problem(n, y_kind, seed=0):
    rng = np.random.default_rng(seed)
    y = column(rng, y_kind, n, None) if y_kind != "dependent" else rng.normal(size=n)
    X = np.column_stack([column(rng, kind, n, y) for kind in KINDS])
    return X, y


def table(n):
    return digamma(np.arange(1, n + 1, dtype=np.float64))


def lane_widths(test_entries):
    """The vector widths of the searches this machine can run: the widest is
    what the analysis takes, the others what other machines take."""
    return [w for w in (2, 4, 8) if w <= test_entries.widest_lane_width()]


def assert_same_bits(got, want):
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert np.array_equal(got.view(np.int64), want.view(np.int64)), (got, want)


@pytest.mark.parametrize("y_kind", ["normal", "ties", "heavy"])
@pytest.mark.parametrize("n", [4, 5, 9, 200, 3001, 8000])
def test_kernel_matches_the_library_estimator(test_entries, n, y_kind):
    X, y = problem(n, y_kind, seed=n)
    want = [_mutual_info._compute_mi_cc(X[:, j], y, 3) for j in range(X.shape[1])]
    assert_same_bits(np.maximum(test_entries.mutual_info(X, y, table(n)), 0.0), want)
    for width in lane_widths(test_entries):
        assert_same_bits(np.maximum(test_entries.mutual_info(X, y, table(n), 3, width), 0.0), want)


@pytest.mark.parametrize("k", [1, 2, 5, 10])
def test_other_neighbour_counts(test_entries, k):
    X, y = problem(500, "ties", seed=k)
    got = test_entries.mutual_info(X, y, table(500), k)
    assert_same_bits(np.maximum(got, 0.0), [_mutual_info._compute_mi_cc(X[:, j], y, k) for j in range(X.shape[1])])


def structured(case, n, rng):
    """Inputs whose runs on a line reach its ends or cover it whole, and
    points that coincide: where the counts' searches and the plane tree's
    bounds meet their edge cases."""
    y = rng.normal(size=n)
    if case == "duplicate_rows":
        X = np.repeat(rng.normal(size=(n // 2 + 1, 3)), 2, axis=0)[:n]
        y = np.repeat(y[: n // 2 + 1], 2)[:n]
    elif case == "runs_at_the_ends":  # most values on the smallest and largest
        X = rng.choice([-1.0, 0.5, 1.0], size=(n, 3), p=[0.45, 0.1, 0.45])
        y = rng.choice([-2.0, 2.0], size=n) + 1e-12 * rng.normal(size=n)
    elif case == "constant_target":
        X = rng.normal(size=(n, 3))
        y = np.full(n, 7.0)
    elif case == "sorted_rows":
        X = np.sort(rng.normal(size=(n, 3)), axis=0)
        y = np.sort(y)[::-1].copy()
    elif case == "float32_target":  # read as the float64 values it holds
        X = rng.normal(size=(n, 3))
        y = (y + X[:, 0]).astype(np.float32).astype(np.float64)
    elif case == "signs_and_scales":  # signed zeros, and magnitudes over the whole exponent range
        X = rng.choice([-0.0, 0.0, -1.0, 1.0], size=(n, 3))
        X[:, 1] = rng.choice([-1.0, 1.0], size=n) * 10.0 ** rng.uniform(-300, 300, size=n)
        y = rng.choice([-0.0, 0.0, 5e-324, -5e-324], size=n) + (rng.random(n) < 0.5) * rng.normal(size=n)
    elif case == "one_point_apart":  # a single outlier far from a tight cloud
        X = 1e-8 * rng.normal(size=(n, 3))
        X[0] = 1e8
    else:
        raise AssertionError(case)
    return np.ascontiguousarray(X), y


@pytest.mark.parametrize(
    "case",
    [
        "duplicate_rows",
        "runs_at_the_ends",
        "constant_target",
        "sorted_rows",
        "float32_target",
        "signs_and_scales",
        "one_point_apart",
    ],
)
@pytest.mark.parametrize("n, k", [(4, 3), (7, 3), (64, 2), (1000, 3), (8192, 3)])
def test_kernel_matches_the_library_on_structured_inputs(test_entries, case, n, k):
    X, y = structured(case, n, np.random.default_rng(n + k))
    want = [_mutual_info._compute_mi_cc(X[:, j], y, k) for j in range(X.shape[1])]
    for width in lane_widths(test_entries):
        assert_same_bits(np.maximum(test_entries.mutual_info(X, y, table(n), k, width), 0.0), want)


def test_memory_order_and_thread_count_do_not_matter(test_entries, monkeypatch):
    X, y = problem(2000, "normal", seed=3)
    X = np.tile(X, (1, 3))
    monkeypatch.setenv("PROFILON_NUM_THREADS", "1")
    one = test_entries.mutual_info(X, y, table(2000))
    monkeypatch.setenv("PROFILON_NUM_THREADS", "2")
    assert_same_bits(test_entries.mutual_info(X, y, table(2000)), one)
    assert_same_bits(test_entries.mutual_info(np.asfortranarray(X), y, table(2000)), one)
    wide = np.repeat(X, 2, axis=1)[:, ::2]  # strided columns
    assert_same_bits(test_entries.mutual_info(wide, np.repeat(y, 2)[::2], table(2000)), one)


@pytest.mark.parametrize(
    "X, y, k",
    [
        (np.zeros((3, 1)), np.zeros(3), 3),  # k must be below the row count
        (np.zeros((9000, 1)), np.zeros(9000), 3),  # beyond the sums it follows
        (np.array([[np.nan], [0], [1], [2], [3]]), np.arange(5.0), 3),
        (np.array([[np.inf], [0], [1], [2], [3]]), np.arange(5.0), 3),
        (np.zeros((5, 1)), np.arange(5.0), 0),
    ],
)
def test_kernel_refuses_what_it_cannot_reproduce(test_entries, X, y, k):
    with pytest.raises(ValueError):
        test_entries.mutual_info(X, y, table(len(y)), k)


@pytest.mark.parametrize("width", [1, 3, 16])
def test_kernel_refuses_lane_widths_it_has_no_search_for(test_entries, width):
    X, y = problem(50, "normal")
    with pytest.raises(ValueError):
        test_entries.mutual_info(X, y, table(50), 3, width)


# --- the analysis' adapter ------------------------------------------------


def library_calls(monkeypatch):
    """Counts the library's own estimations (the native path makes none)."""
    calls = []
    original = _mutual_info._estimate_mi

    def counted(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)

    monkeypatch.setattr(_mutual_info, "_estimate_mi", counted)
    return calls


def through_library():
    """A rebound `_mi_reg` that is not the library's function, so the adapter
    leaves the call to it; it records what it receives."""
    seen = []

    def mi_reg(X, y, **kwargs):
        seen.append((X, y))
        return mutual_info_regression(X, y, **kwargs)

    mi_reg.seen = seen
    return mi_reg


def frames():
    rng = np.random.default_rng(5)
    n = 600
    y = rng.normal(size=n)
    mixed = pd.DataFrame(
        {
            "y": y,
            "dep": y * 2 + rng.normal(size=n),
            "f32": rng.normal(size=n).astype(np.float32),
            "ints": rng.integers(0, 5, size=n),
            "u8": rng.integers(0, 255, size=n).astype(np.uint8),
            "const": 3.0,
            "Int64": pd.array(rng.integers(0, 3, size=n), dtype="Int64"),
            "Float64": pd.array(rng.normal(size=n), dtype="Float64"),
            "flag": rng.random(n) < 0.5,
            "cat": rng.choice(list("abc"), n),
        }
    )
    yield "mixed", mixed, {"target": "y"}
    yield "int_target", mixed.assign(t=rng.integers(0, 3, size=n)), {"target": ["t", "y"]}
    # Targets share the features' scaling; each draws its jitter after the
    # previous one, and one the validation refuses sits between two it takes.
    # Far from zero, the jitter is as wide as the spread of `offset`.
    y2, y3 = y + rng.normal(size=n), rng.normal(size=n).astype(np.float32)
    offset = 1e10 + rng.normal(size=n)
    plain = mixed[["y", "dep", "f32", "ints", "u8", "const"]].assign(y2=y2, y3=y3, offset=offset)
    yield "three_targets", plain, {"target": ["y", "y2", "y3"]}
    yield "three_targets_nullable", mixed.assign(y2=y2, y3=y3, offset=offset), {"target": ["y", "y2", "y3"]}
    refused = mixed.assign(y2=y2, gap=np.where(np.arange(n) == 7, np.nan, y3))
    yield "refused_target_between", refused, {"target": ["y", "gap", "y2"]}
    with_nan = mixed.copy()
    with_nan.loc[3, "dep"] = np.nan
    yield "nan_feature", with_nan, {"target": "y"}
    with_inf = mixed.copy()
    with_inf["ints"] = with_inf["ints"].astype(float)
    with_inf.loc[4, "ints"] = -np.inf
    yield "inf_feature", with_inf, {"target": "y"}
    yield "one_row", mixed.iloc[:1], {"target": "y"}
    yield "two_rows", mixed.iloc[:2], {"target": "y"}
    yield "four_rows", mixed.iloc[:4], {"target": "y"}
    big = pd.DataFrame({f"x{i}": rng.normal(size=9000) for i in range(5)})
    big["y"] = big["x0"] + rng.normal(size=9000)
    yield "sampled", big, {"target": "y"}
    yield "sampled_two_targets", big.assign(z=big["x1"] - big["y"]), {"target": ["y", "z"]}


FRAMES = {name: (df, kw) for name, df, kw in frames()}


@pytest.mark.parametrize("name", list(FRAMES))
def test_analysis_matches_the_library_path(monkeypatch, name):
    df, kwargs = FRAMES[name]
    np.random.seed(11)
    native = profilon.EDA().eda_report_and_score(df, **kwargs)
    native_state = np.random.get_state()
    monkeypatch.setattr(profilon, "_mi_reg", through_library())
    np.random.seed(11)
    reference = profilon.EDA().eda_report_and_score(df, **kwargs)
    assert repr(native) == repr(reference)
    for a, b in zip(native_state, np.random.get_state(), strict=True):
        assert np.array_equal(a, b)


@pytest.mark.parametrize(
    "name, version, native",
    [
        ("mixed", None, True),
        ("sampled", None, True),
        ("nan_feature", None, False),
        ("two_rows", None, False),
        ("mixed", "1.10.0", False),  # a version whose code was not read
    ],
)
def test_native_path_is_taken_where_it_applies(monkeypatch, name, version, native):
    calls = library_calls(monkeypatch)
    if version:
        monkeypatch.setattr(sklearn, "__version__", version)
    df, kwargs = FRAMES[name]
    profilon.EDA().eda_report_and_score(df, **kwargs)
    assert (not calls) == native


def old_features(df, targets):
    X = df.drop(columns=targets, errors="ignore").select_dtypes(include=[np.number])
    if len(X) > 8000:
        X = X.take(pd.Series(np.arange(len(X))).sample(8000, random_state=0).to_numpy())
    return X


@pytest.mark.parametrize(
    "columns, targets, rows",
    [
        (["a", "b", "c", "y", "d"], ["y"], 300),
        (["a", "y", "b", "c", "z"], ["y", "z"], 300),  # two numeric targets
        (["a", "y", "b", "c", "d"], ["y"], 8500),  # sampled rows
        (["y", "b", "c", "a", "z"], ["z", "y"], 8500),
    ],
)
def test_features_are_the_selection_they_replace(monkeypatch, columns, targets, rows):
    rng = np.random.default_rng(rows)
    values = {
        0: rng.normal(size=rows),
        1: rng.integers(0, 9, size=rows),
        2: rng.choice(list("pq"), rows),
        3: rng.normal(size=rows).astype(np.float32),
        4: pd.array(rng.integers(0, 9, size=rows), dtype="Int64"),
    }
    df = pd.DataFrame({c: values[i] for i, c in enumerate(columns)})
    df.index = rng.permutation(rows) // 2  # every row label twice
    mi_reg = through_library()
    monkeypatch.setattr(profilon, "_mi_reg", mi_reg)
    profilon.EDA().eda_report_and_score(df, target=targets)
    expected = old_features(df, targets)
    assert len(mi_reg.seen) == len(targets)
    for X, _ in mi_reg.seen:
        pd.testing.assert_frame_equal(X, expected[list(expected.columns)])


def test_no_numeric_features_means_no_call(monkeypatch):
    df = pd.DataFrame({"y": np.arange(50.0), "t": list("ab") * 25, "flag": [True, False] * 25})
    mi_reg = through_library()
    monkeypatch.setattr(profilon, "_mi_reg", mi_reg)
    report = profilon.EDA().eda_report_and_score(df, target="y")
    assert old_features(df, ["y"]).empty
    assert not mi_reg.seen
    assert "mutual_information_top_by_target" not in report.relationships


def test_ctrl_c_ends_a_long_kernel_run_promptly(test_entries, prompt):
    X, y = problem(8000, "normal")
    X = np.tile(X, (1, 120))
    timer = threading.Timer(0.3, lambda: __import__("_thread").interrupt_main())
    fired = time.monotonic() + 0.3
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.mutual_info(X, y, table(8000))
        assert time.monotonic() - fired < prompt(1.0)
    finally:
        timer.cancel()
