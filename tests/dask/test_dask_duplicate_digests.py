"""The duplicate scan's candidate digests: floats with missing cells are
digested by their values, text columns say whether they could hold such a
column's texts, and the Dask analysis still finds the in-memory pairs,
side by side with pandas' own hashing and with the digests of the hashes."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

from test_dask_analysis import request_for  # noqa: E402
from test_dask_row_hashes import CASES as SHARE_CASES  # noqa: E402

import _profilon_dask as driver  # noqa: E402
import _profilon_kernels as kernels  # noqa: E402
import profilon  # noqa: E402
from _profilon_dask import duplicates  # noqa: E402
from _profilon_dask.native_hashes import could_be_float_texts, native_row_hashes  # noqa: E402

FILL = duplicates.FILL_TEXT
N = 42


def texts_of(values, missing):
    """The str() of each float; `missing` where it is NaN."""
    return np.array([missing if np.isnan(v) else repr(float(v)) for v in values], dtype=object)


def zeros_case():
    base = (np.arange(N) % 11) / 4 - 1.0  # zeros at rows 4, 15, 26, 37
    base[[9, 33]] = np.nan
    pos_first, all_pos, neg_first, all_neg = (base.copy() for _ in range(4))
    pos_first[[15, 26, 37]] = -0.0
    neg_first[4] = -0.0
    all_neg[[4, 15, 26, 37]] = -0.0
    return {
        # Every zero takes the text of the column's first one.
        "pos_first": pos_first,
        "all_pos": all_pos,
        "neg_first": neg_first,
        "all_neg": all_neg,
        "text": texts_of(all_pos, None),
    }


def nan_shares_case():
    base = np.arange(N) / 4 - 3.0
    late, early = base.copy(), base.copy()
    late[40] = np.nan
    early[2] = np.nan
    return {
        "late": late,
        "late_copy": late.copy(),
        "early": early,
        "late32": late.astype(np.float32),
        # a NaN of another sign is filled all the same
        "late_negative_nan": np.where(np.isnan(late), np.copysign(np.nan, -1.0), late),
        # no missing cell of its own: equal to "late" once that is filled
        "late_filled_text": pd.array(texts_of(late, FILL), dtype="string[pyarrow]"),
    }


def after_fill_case():
    some = np.arange(N) / 2.0
    some[::5] = np.nan
    return {
        "nan64": np.full(N, np.nan),
        "some": some,
        "nan32": np.full(N, np.nan, dtype=np.float32),
        "none": np.full(N, None, dtype=object),
        "nat": pd.Series(pd.NaT, index=range(N), dtype="datetime64[ns]"),
    }


def texts_case():
    x = np.arange(N) / 8 - 2.0
    x[[3, 5, 7, 11]] = [1e-5, 1e16, np.inf, -np.inf]
    x[::6] = np.nan
    bad = texts_of(x, None)
    bad[13] = bad[13] + "0"  # "-0.375" -> "-0.3750": could, but not equal
    return {
        "x": x,
        "text": texts_of(x, None),
        "text_filled": texts_of(x, FILL),
        "text_bad": bad,
        "arrow": pd.array(texts_of(x, None), dtype="string[pyarrow]"),
    }


def categories_case():
    x = np.arange(N) % 7 / 2 - 1.0
    x[::5] = np.nan
    texts = texts_of(x, None)
    used = sorted({t for t in texts if t is not None})
    return {
        "x": x,
        # an unused category that no float's str() is does not rule it out
        "cat": pd.Categorical(texts, categories=used + ["zzz"]),
        "words": pd.Categorical(np.where(np.isnan(x), None, "w")),
        "ints": np.arange(N) % 7,
    }


CASES = {
    "zeros": (zeros_case, [("all_pos", "pos_first"), ("all_neg", "neg_first"), ("text", "pos_first")]),
    "nan-shares": (
        nan_shares_case,
        [("late_copy", "late"), ("late32", "late"), ("late_negative_nan", "late"), ("late_filled_text", "late")],
    ),
    "after-fill": (after_fill_case, [("nan32", "nan64"), ("none", "nan64"), ("nat", "nan64")]),
    "texts": (texts_case, [("text", "x"), ("text_filled", "x"), ("arrow", "x")]),
    "categories": (categories_case, [("cat", "x")]),
}


def random_frame(seed):
    """Float columns with missing cells drawn from a few shared values, some
    equal, some equal but for the sign of a zero or a NaN, next to float32
    copies and texts of their values."""
    rng = np.random.default_rng(seed)
    pool = np.array([-1.5, -0.0, 0.0, 0.5, 2.0, 1e-5, 1e16, np.inf, np.nan])
    base = rng.choice(pool, size=(3, N), p=[0.1, 0.15, 0.15, 0.1, 0.1, 0.05, 0.05, 0.05, 0.25])
    cols = {}
    for b in range(3):
        variant = base[b].copy()
        flip = rng.random(N) < 0.3
        variant[flip & (variant == 0)] *= -1.0
        cols[f"f{b}"] = base[b]
        cols[f"f{b}_copy"] = base[b].copy()
        cols[f"f{b}_zeros"] = variant
        cols[f"f{b}_32"] = base[b].astype(np.float32)
        cols[f"t{b}"] = texts_of(base[b], None)
        cols[f"t{b}_fill"] = pd.array(texts_of(base[b], FILL), dtype="string[pyarrow]")
    cols["ints"] = rng.integers(0, 3, N)
    return pd.DataFrame(cols)


def case_frame(name):
    return pd.DataFrame(CASES[name][0]())


def shares(pdf, k):
    bounds = np.linspace(0, len(pdf), k + 1).astype(int)
    return [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]


def dask_pairs(pdf, k, convert_string):
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    ref = ddf.compute()
    with dask.config.set(scheduler="sync"):
        tables = driver.analyse(ddf, request_for(ref, [], None))
    return tables.duplicate_pairs, ref


def whole_column_pairs(pdf):
    """The schema step's pairs, from pandas' hashes of whole columns."""
    has_missing = pdf.isna().any().tolist()
    hashes = [duplicates._column_row_hashes(pdf.iloc[:, j], has_missing[j], [])[0] for j in range(pdf.shape[1])]
    equal = [
        (a, b)
        for a in range(len(hashes))
        for b in range(a)
        if hashes[a] is not None and hashes[b] is not None and np.array_equal(hashes[a], hashes[b])
    ]
    return [(pdf.columns[a], pdf.columns[b]) for a, b in kernels.duplicate_first_of_class(pdf.shape[1], equal)]


@pytest.mark.parametrize("convert_string", [False, True], ids=["objects", "arrow"])
@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("name", list(CASES))
def test_dask_pairs_equal_in_memory_pairs(name, k, convert_string):
    pdf = case_frame(name)
    pairs, ref = dask_pairs(pdf, k, convert_string)
    in_memory = profilon.EDA().eda_report_and_score(ref).schema["duplicate_cols_examples"]
    # Fewer than five: the report's examples are the whole list.
    assert pairs == in_memory == CASES[name][1]


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_dask_pairs_of_random_floats_and_texts(seed, k):
    pdf = random_frame(seed)
    pairs, ref = dask_pairs(pdf, k, False)
    expected = whole_column_pairs(ref)
    assert pairs == expected
    assert profilon.EDA().eda_report_and_score(ref).schema["duplicate_cols_examples"] == expected[:5]


def flagged(test_entries, state, name):
    return bool(state[1] & test_entries.duplicate_flags()[name])


def hashes_digest(test_entries, words):
    """The digest of a share's row hashes, as the kernel's state holds it."""
    return int(test_entries.fnv_digest(np.ascontiguousarray(words, dtype=np.uint64))).to_bytes(8, "little")


def old_digests(test_entries, share, has_missing):
    """The digest each column's share had before: that of its row hashes."""
    out = []
    for j, missing in enumerate(has_missing):
        column = share.iloc[:, j]
        native = native_row_hashes(column, missing, FILL)
        hashes = native[0] if native is not None else duplicates._column_row_hashes(column, missing, [])[0]
        out.append(None if hashes is None else hashes_digest(test_entries, hashes))
    return out


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("name", [*CASES, "random-0", "random-1", "random-2"])
def test_candidates_include_every_pair_of_equal_hashes(test_entries, name, k):
    pdf = random_frame(int(name[-1])) if name.startswith("random") else case_frame(name)
    has_missing = pdf.isna().any().tolist()
    parts = shares(pdf, k)
    candidates = set(plan_of(pdf, k).pairs)
    per_share = [old_digests(test_entries, p, has_missing) for p in parts]
    digests = [tuple(d[j] for d in per_share) for j in range(pdf.shape[1])]
    old = {(a, b) for a in range(len(digests)) for b in range(a) if None not in digests[a] and digests[a] == digests[b]}
    assert old <= candidates
    position = {c: j for j, c in enumerate(pdf.columns)}
    whole = {(position[a], position[b]) for a, b in whole_column_pairs(pdf)}
    assert whole <= candidates


def plan_of(pdf, k):
    has_missing = pdf.isna().any().tolist()
    facts = [duplicates._candidate_partition(p, has_missing) for p in shares(pdf, k)]
    return duplicates.DuplicatePlan(*kernels.duplicate_plan(kernels.duplicate_merge(facts)), has_missing)


@pytest.mark.parametrize("k", [1, 3])
def test_texts_that_are_no_floats_make_no_candidates(k):
    rng = np.random.default_rng(5)
    f, g = rng.normal(size=(2, N))
    f[::4], g[::3] = np.nan, np.nan
    pick = rng.integers(0, 3, N)

    def words(prefix):
        return np.array([f"{prefix}_1", f"{prefix}_2", None], dtype=object)[pick]

    pdf = pd.DataFrame(
        {
            "f": f,
            "g": g,
            "f32": g.astype(np.float32),  # equal to g but for float32's rounding
            "arrow": pd.array(words("c0"), dtype="string[pyarrow]"),
            "objects": words("o"),
            "categories": pd.Categorical(words("k")),
            "ints": rng.integers(0, 5, N),
            "when": pd.date_range("2024-01-01", periods=N, freq="h"),
        }
    )
    assert plan_of(pdf, k).pairs == []


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("share_first, column_first", [(0.0, -0.0), (-0.0, 0.0), (0.0, 0.0), (-0.0, -0.0)])
def test_zeros_hash_as_the_columns_first_zero(dtype, share_first, column_first):
    values = np.array([np.nan, share_first, 1.5, -share_first, 0.0, -0.0, np.nan], dtype=dtype)
    got, _ = native_row_hashes(pd.Series(values), True, FILL, column_first)
    # The column's first zero comes before this share.
    whole = pd.Series([column_first, *values.tolist()], dtype=object).fillna(FILL)
    expected = pd.util.hash_pandas_object(whole, index=False).to_numpy()[1:]
    assert np.array_equal(got, expected)


def arrow_slice(texts):
    # A slice keeps its parent's buffers: offsets start mid-buffer.
    whole = pa.array(["c"] * 3 + list(texts) + ["c"], pa.string())
    return pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array([whole.slice(3, len(texts))])))


FLOAT_TEXTS = list(texts_of(np.array([1.5, -0.0, np.inf, -np.inf, 1e-5, 1e16, np.nan, 3.0]), None)) + [FILL]


@pytest.mark.parametrize(
    "texts, could",
    [
        (FLOAT_TEXTS, True),
        ([None, None], True),
        (["c0_1", "1.5"], False),
        # only a later text rules it out
        (["1.5", "-2.0", "x"], False),
        (["1.5", ""], False),
        (["1.5", "é"], False),
    ],
    ids=["float-texts", "all-missing", "first-rules-out", "later-rules-out", "empty-text", "non-ascii"],
)
@pytest.mark.parametrize(
    "make",
    [
        lambda t: pd.Series(np.array(t, dtype=object)),
        lambda t: pd.Series(t, dtype="string[python]"),
        lambda t: pd.Series(t, dtype="string[pyarrow]"),
        arrow_slice,
        lambda t: pd.Series(pd.Categorical(t)),
    ],
    ids=["object", "python-string", "arrow", "arrow-slice", "categorical"],
)
def test_could_be_float_texts(make, texts, could):
    assert could_be_float_texts(make(texts), FILL) is could


@pytest.mark.parametrize(
    "s",
    [
        # pandas hashes bytes as they are and other items through str()
        pd.Series([b"x", "1.5"], dtype=object),
        pd.Series([1.5, 2.0], dtype=object),
        # the share's used categories could, an unused one is not looked at
        pd.Series(pd.Categorical(["1.5"], categories=["1.5", "x"])),
        pd.Series(pd.Categorical([1.5, 2.0])),
    ],
    ids=["bytes", "float-objects", "unused-category", "number-categories"],
)
def test_shares_that_are_not_inspected_could(s):
    assert could_be_float_texts(s, FILL)


def test_a_column_digested_both_ways_is_compared_with_every_column():
    # "m" holds floats in one partition and the same floats as objects in
    # the other: its digest mixes the two roads, and it is f's duplicate.
    f = np.array([1.5, np.nan, 0.5, 2.0, np.nan, -0.0])
    first = pd.DataFrame({"f": f[:3], "m": f[:3]})
    second = pd.DataFrame({"f": f[3:], "m": pd.Series(f[3:], dtype=object)})
    has_missing = [True, True]
    facts = [duplicates._candidate_partition(p, has_missing) for p in (first, second)]
    plan = duplicates.DuplicatePlan(*kernels.duplicate_plan(kernels.duplicate_merge(facts)), has_missing)
    assert plan.pairs == [(1, 0)]
    whole = pd.concat([first, second], ignore_index=True)
    assert whole_column_pairs(whole) == [("m", "f")]
    assert all(duplicates._confirm_partition(p, plan) for p in (first, second))


@pytest.mark.parametrize("name", list(SHARE_CASES) + ["floats-missing-empty", "objects-empty"])
def test_digest_road_records_the_facts_of_the_hashes_road(test_entries, name):
    if name == "floats-missing-empty":
        s, has_missing = pd.Series([], dtype=np.float32), True
    elif name == "objects-empty":
        s, has_missing = pd.Series([], dtype=object), True
    else:
        s, has_missing = SHARE_CASES[name]
    new = duplicates._candidate_partition(pd.DataFrame({"c": s}), [has_missing])[0]
    hashes, stage = duplicates._column_row_hashes(s, has_missing, [])
    pandas_state = kernels.duplicate_partial([duplicates._pandas_road(s, has_missing)])[0]
    assert not flagged(test_entries, new, "failed")
    assert ({new[2]} if new[2] else set()) == ({str(stage.filled.dtype)} if len(s) else set())
    # pandas hashes objects through str() unless every item is a text, bytes or a tuple.
    types = set(map(type, stage.filled.to_numpy())) if len(s) and stage.filled.dtype == object else set()
    fallback = any(not issubclass(t, (str, bytes, tuple)) for t in types)
    has_bytes = any(issubclass(t, bytes) for t in types)
    for state in (new, pandas_state):
        assert flagged(test_entries, state, "text_fallback") == fallback
        assert flagged(test_entries, state, "bytes_alone") == (has_bytes and not fallback)
    assert new[3] == pandas_state[3]
    # An empty share leaves the column's other shares to decide.
    if not len(s):
        assert not any(flagged(test_entries, new, bit) for bit in ("by_values", "by_hashes", "no_float_texts"))
