"""The level-count kernel against pandas: value_counts(dropna=False) of the
same column, each level known by pandas' hash_array of its value (the two
zeros as one), split into ranges by that hash; its steps (partial, merge,
finish) over shares of a column against the whole column's nunique and rare
cells; and its distinct counts, the schema step's Series.nunique, on each
column's own buffers (values, the mask of nullable arrays, category codes,
the int64 view of dates), the analysis compared with the path that asks
pandas."""

import os
import signal
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from pandas.util import hash_array

import profilon

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def with_payload(bits, dtype=np.float64):
    return np.array([bits], dtype=np.uint64 if dtype == np.float64 else np.uint32).view(dtype)[0]


def random_column(rng, n, kind):
    """(Series, values, mask, missing) of `kind`, ties common, the type's
    extremes and oddities among the draws."""
    if kind in ("float64", "float32"):
        dtype = np.dtype(kind)
        bits = 0xFFF8000000000001 if kind == "float64" else 0xFFC00001
        pool = np.array([0.0, -0.0, 1.5, -2.25, np.inf, -np.inf, np.nan, with_payload(bits, dtype), 3e30], dtype=kind)
        values = rng.choice(pool, n)
        wide = rng.random(n) < 0.3
        values[wide] = rng.normal(size=n)[wide].astype(kind)
        return pd.Series(values), values, None, ""
    if kind.startswith(("int", "uint")):
        info = np.iinfo(kind)
        pool = np.array([info.min, info.max, 0, 1, info.max // 3], dtype=kind)
        values = rng.choice(pool, n)
        wide = rng.random(n) < 0.5
        values[wide] = rng.integers(info.min, info.max, size=n, dtype=kind, endpoint=True)[wide]
        return pd.Series(values), values, None, ""
    if kind == "bool":
        values = rng.random(n) < 0.3
        return pd.Series(values), values, None, ""
    if kind in ("Int64", "UInt8", "boolean"):
        data = rng.random(n) < 0.5 if kind == "boolean" else rng.integers(0 if kind == "UInt8" else -3, 3, size=n)
        arr = pd.array(data, dtype=kind)
        arr[rng.random(n) < 0.3] = pd.NA
        s = pd.Series(arr)
        numpy_dtype = s.dtype.numpy_dtype
        return s, s.to_numpy(dtype=numpy_dtype, na_value=numpy_dtype.type(0)), s.isna().to_numpy(), ""
    if kind == "datetime":
        days = pd.to_datetime("2000-01-01") + pd.to_timedelta(rng.integers(0, 4, size=n), unit="D")
        s = pd.Series(days)
        s[rng.random(n) < 0.3] = pd.NaT
        return s, s.to_numpy().view(np.int64), None, "nat"
    raise AssertionError(kind)


KINDS = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "bool"]
KINDS += ["Int64", "UInt8", "boolean", "datetime"]


def expected_levels(s):
    """{hash: count} of the present levels, and the missing cells."""
    vc = s.value_counts(dropna=False)
    present = vc[vc.index.notna()]
    dtype = s.dtype if isinstance(s.dtype, np.dtype) else s.dtype.numpy_dtype
    if dtype.kind == "M":
        keys = present.index.asi8
    else:
        keys = present.index.to_numpy(dtype=dtype)
        if dtype.kind == "f":
            keys = keys + dtype.type(0)
    hashes = hash_array(np.asarray(keys))
    return dict(zip(hashes.tolist(), present.to_numpy().tolist(), strict=True)), int(vc[vc.index.isna()].sum())


def check(result, ranges, s):
    hashes, counts, begin, nan, masked, nat = result
    assert begin[0] == 0 and begin[-1] == len(hashes) == len(counts) and len(begin) == ranges + 1
    for r in range(ranges):
        assert (hashes[begin[r] : begin[r + 1]] % np.uint64(ranges) == r).all()
    levels, missing = expected_levels(s)
    assert len(set(hashes.tolist())) == len(hashes)
    assert dict(zip(hashes.tolist(), counts.tolist(), strict=True)) == levels
    assert nan + masked + nat == missing


@pytest.mark.parametrize("ranges", [1, 3, 7])
@pytest.mark.parametrize("n", [0, 1, 9, 5000])
@pytest.mark.parametrize("kind", KINDS)
def test_levels_equal_value_counts(test_entries, kind, n, ranges):
    rng = np.random.default_rng(n * 31 + ranges)
    s, values, mask, missing = random_column(rng, n, kind)
    result = test_entries.level_counts(values, mask, missing, ranges)
    check(result, ranges, s)
    if kind.startswith("float"):
        assert result[3] == int(s.isna().sum())
    elif kind == "datetime":
        assert result[5] == int(s.isna().sum())
    elif mask is not None:
        assert result[4] == int(mask.sum())


@pytest.mark.parametrize("ranges", [1, 8])
def test_many_levels_and_strided_values(test_entries, ranges):
    # Enough levels that each range is split into buckets, read one value in
    # three from a row-major block.
    rng = np.random.default_rng(5)
    block = rng.normal(size=(300_000, 3))
    block[:, 1] = np.round(block[:, 1], 3)
    block[::11, 1] = -0.0
    for j in range(3):
        check(test_entries.level_counts(block[:, j], None, "", ranges), ranges, pd.Series(block[:, j]))


@pytest.mark.parametrize("ranges", [1, 3, 7])
def test_uniting_counted_shares_equals_counting_the_whole(test_entries, ranges):
    rng = np.random.default_rng(ranges)
    shares = [rng.integers(-50, 50, size=n) for n in (0, 400, 1000, 3)]
    parts = [test_entries.level_counts(x, None, "", ranges) for x in shares]
    whole = test_entries.level_counts(np.concatenate(shares), None, "", ranges)

    def of_range(result, r):
        hashes, counts, begin = result[:3]
        return hashes[begin[r] : begin[r + 1]], counts[begin[r] : begin[r + 1]]

    for r in range(ranges):
        h = np.concatenate([of_range(p, r)[0] for p in parts])
        c = np.concatenate([of_range(p, r)[1] for p in parts])
        united = test_entries.level_counts(h, None, "hashed", 1, c)
        got = dict(zip(united[0].tolist(), united[1].tolist(), strict=True))
        expected_h, expected_c = of_range(whole, r)
        assert got == dict(zip(expected_h.tolist(), expected_c.tolist(), strict=True))


def test_weights_of_one_bucket_that_outgrows_its_table(test_entries):
    # Hashes sharing their range and top bits all land in one bucket, whose
    # table must grow many times; weights of 0 are no level.
    hashes = np.repeat(np.arange(1, 20_001, dtype=np.uint64) * np.uint64(8), 3)
    weights = np.tile(np.array([2, 0, 5], dtype=np.int64), 20_000)
    h, c, begin, *_ = test_entries.level_counts(hashes, None, "hashed", 8, weights)
    assert list(begin) == [0] + [20_000] * 8
    assert dict(zip(h.tolist(), c.tolist(), strict=True)) == {8 * k: 7 for k in range(1, 20_001)}


def test_unmasked_nan_of_a_masked_float_is_left_to_the_caller(test_entries):
    data = np.array([1.0, np.nan, 2.0])
    assert test_entries.level_counts(data, np.zeros(3, dtype=bool), "", 2) is None
    masked = test_entries.level_counts(data, np.array([False, True, False]), "", 2)
    assert (len(masked[0]), masked[3], masked[4]) == (2, 0, 1)


@pytest.mark.parametrize(
    "args, error",
    [
        ((np.zeros(3), None, "nat", 2), ValueError),
        ((np.zeros(3, dtype=np.int64), None, "hashed", 2), ValueError),
        ((np.zeros(3), None, "codes", 2), ValueError),
        ((np.zeros(3), None, "", 0), ValueError),
        ((np.zeros(3), np.zeros(2, dtype=bool), "", 2), ValueError),
        ((np.zeros(3, dtype=np.uint64), None, "hashed", 1, np.ones(3)), ValueError),
        ((np.zeros(3, dtype=np.complex128), None, "", 1), TypeError),
        ((np.zeros(3), None, "", -1), OverflowError),
    ],
)
def test_bad_arguments_are_refused(test_entries, args, error):
    with pytest.raises(error):
        test_entries.level_counts(*args)


@pytest.mark.parametrize("threads", [None, 1, 2, 3])
def test_columns_counted_side_by_side_equal_one_by_one(test_entries, threads):
    rng = np.random.default_rng(11)
    columns = [random_column(rng, n, kind)[1:] for n, kind in [(3000, "float64"), (0, "int8"), (700, "datetime")]]
    columns += [random_column(rng, 5000, kind)[1:] for kind in ("Int64", "uint64", "bool")]
    columns.insert(2, (np.array([1.0, np.nan]), np.zeros(2, dtype=bool), ""))
    hashes = rng.integers(0, 40, size=900).astype(np.uint64)
    columns.append((hashes, None, "hashed", rng.integers(0, 3, size=900)))
    got = test_entries.level_counts_columns(columns, 5, threads)
    assert got[2] is None
    for result, column in zip(got, columns, strict=True):
        alone = test_entries.level_counts(*column[:3], 5, *column[3:])
        if alone is None:
            assert result is None
            continue
        for a, b in zip(result, alone, strict=True):
            assert np.array_equal(a, b)


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_the_kernel(test_entries, threads, prompt):
    column = (np.random.default_rng(0).normal(size=1_000_000), None, "")
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.level_counts_columns([column] * 400, 8, threads)
            time.sleep(10)  # the kernel finished first: the signal lands here and the time check fails
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(1.5)


def split_shares(rng, n, shares):
    """Cut points of `shares` shares of [0, n), empty shares among them."""
    return np.sort(rng.integers(0, n + 1, size=shares - 1)) if n else np.zeros(shares - 1, dtype=int)


def tree_merge(kernels, states, fan_in):
    while len(states) > 1:
        states = [kernels.level_merge(states[i : i + fan_in]) for i in range(0, len(states), fan_in)]
    return states[0]


@pytest.mark.parametrize("shares, fan_in", [(1, 2), (4, 2), (7, 3)])
@pytest.mark.parametrize("ranges", [1, 3])
@pytest.mark.parametrize("kind", KINDS)
def test_partial_merge_finish_equal_nunique_and_rare_cells(kernels, kind, ranges, shares, fan_in):
    rng = np.random.default_rng(len(kind) * 7 + ranges + shares)
    n = 600  # a rare threshold of 6: levels on both sides of it
    s, values, mask, missing = random_column(rng, n, kind)
    cuts = split_shares(rng, n, shares)
    pieces = []
    for lo, hi in zip(np.r_[0, cuts], np.r_[cuts, n], strict=True):
        share = (values[lo:hi], None if mask is None else mask[lo:hi], missing)
        pieces.append(kernels.level_partial([share, (np.zeros(4, dtype=np.int64), [])], ranges))
    distinct = rare = 0
    for r in range(ranges):
        got_distinct, got_rare = kernels.level_finish(tree_merge(kernels, [p[r] for p in pieces], fan_in), n)
        assert got_distinct[1] == got_rare[1] == 0
        distinct += int(got_distinct[0])
        rare += int(got_rare[0])
    vc = s.value_counts(dropna=False)
    thr = max(int(0.01 * n), 2)
    assert (distinct, rare) == (s.nunique(dropna=True), int(vc[vc <= thr].sum()))


def test_caller_counted_levels_and_missing_kinds_merge(kernels):
    # Missing kinds add up across shares (one level each), lone missing
    # levels stay levels of their own, and the caller's present levels come
    # in at the finish.
    first = kernels.level_partial([(np.array([3, 0, 0, 9], dtype=np.int64), np.array([2, 7], dtype=np.int64))], 2)
    second = kernels.level_partial([(np.array([0, 0, 0, 1], dtype=np.int64), np.array([1], dtype=np.int64))], 2)
    assert all(len(state[0]) == 0 for state in first + second)
    merged = kernels.level_merge([first[0], second[0]])
    assert merged[3].tolist() == [3, 0, 0, 10] and sorted(merged[4].tolist()) == [1, 2, 7]
    # 200 rows: threshold 2; levels 3, 10, 7 are above it, 2 and 1 below.
    distinct, rare = kernels.level_finish(merged, 200, [np.array([5, 1, 2, 40], dtype=np.int64)])
    assert (distinct.tolist(), rare.tolist()) == ([4], [2 + 1 + 1 + 2])
    assert kernels.level_finish(merged, 200)[0].tolist() == [0]


@pytest.mark.parametrize("n", [0, 1, 2, 50])
@pytest.mark.parametrize("kind", KINDS)
def test_few_levels_equal_nunique_up_to_two(kernels, kind, n):
    rng = np.random.default_rng(n + len(kind))
    for pool in (1, 2, None):
        s, values, mask, missing = random_column(rng, n, kind)
        if pool is not None and n:
            # Mostly constant shares: one value, or two, among missing cells.
            keep = s.dropna().unique()[:pool] if s.notna().any() else []
            if len(keep):
                picks = rng.integers(0, len(keep), n)
                s = pd.Series(pd.array(keep, dtype=s.dtype)[picks]).where(s.notna())
                s, values, mask, missing = reread(s, kind)
        cuts = split_shares(rng, n, 3)
        states = [
            kernels.few_levels([(values[lo:hi], None if mask is None else mask[lo:hi], missing)])
            for lo, hi in zip(np.r_[0, cuts], np.r_[cuts, n], strict=True)
        ]
        assert kernels.few_merge(states).tolist() == [min(s.nunique(dropna=True), 2)]
        # A share pandas counted, handed over as its levels' hashes, answers
        # the same.
        hashed = [
            kernels.few_levels([(np.array(list(expected_levels(s.iloc[lo:hi])[0]), dtype=np.uint64), None, "hashed")])
            for lo, hi in zip(np.r_[0, cuts], np.r_[cuts, n], strict=True)
        ]
        for got, want in zip(hashed, states, strict=True):
            assert got[0].tolist() == want[0].tolist() and got[1].tolist() == want[1].tolist()
        if n:
            # The one value's hash is pandas' hash of it, as a share counted
            # by pandas gives it.
            one = kernels.few_levels([(values[:1], None if mask is None else mask[:1], missing)])
            if one[0][0] == 1:
                assert one[1][0] == next(iter(expected_levels(s.iloc[:1])[0]))


def reread(s, kind):
    """(Series, values, mask, missing) of a column `random_column` drew."""
    if kind == "datetime":
        return s, s.to_numpy().view(np.int64), None, "nat"
    if isinstance(s.dtype, np.dtype):
        return s, s.to_numpy(), None, ""
    numpy_dtype = s.dtype.numpy_dtype
    return s, s.to_numpy(dtype=numpy_dtype, na_value=numpy_dtype.type(0)), s.isna().to_numpy(), ""


def good_state():
    empty = np.zeros(0, dtype=np.int64)
    return [np.array([5, 9], dtype=np.uint64), np.array([1, 2]), np.array([0, 2]), np.zeros(4, dtype=np.int64)] + [
        empty,
        np.array([0, 0]),
    ]


def test_a_state_merged_with_itself_doubles_its_counts(kernels):
    merged = kernels.level_merge([tuple(good_state())] * 2)
    assert sorted(zip(merged[0].tolist(), merged[1].tolist(), strict=True)) == [(5, 2), (9, 4)]


@pytest.mark.parametrize(
    "field, value",
    [
        (1, np.array([1, 0])),  # a count of 0 would read as an empty slot
        (1, np.array([1, -2])),
        (2, np.array([0, 3])),  # past the end of the levels
        (2, np.array([1, 2])),  # not starting at 0
        (5, np.array([0, 1])),  # past the end of the lone levels
        (3, np.zeros(3, dtype=np.int64)),  # missing kinds of another column count
        (0, np.array([5, 9], dtype=np.int64)),  # hashes not uint64
        (1, np.array([1, 2, 3])),
    ],
)
def test_states_that_do_not_hold_together_are_refused(kernels, field, value):
    state = good_state()
    state[field] = value
    with pytest.raises(ValueError):
        kernels.level_merge([tuple(state)])
    with pytest.raises(ValueError):
        kernels.level_finish(tuple(state), 10)


@pytest.mark.parametrize(
    "entry, args",
    [
        ("level_partial", (((np.zeros(3), None, ""),), 2)),  # columns not a list
        ("level_partial", ([[np.zeros(3), None, ""]], 2)),  # a column not a tuple
        ("level_partial", ([(np.zeros(3), [1, 2])], 2)),  # missing kinds not four counts
        ("level_merge", ([list(good_state())],)),
        ("level_finish", (tuple(good_state()), 10, (None,))),
        ("level_finish", (tuple(good_state()), 10, [None, None])),
        ("few_levels", ([(np.zeros(3), None, ""), (np.zeros(2), None, "")],)),
        ("few_levels", ([(np.zeros(3), np.zeros(3, dtype=bool), "")],)),  # a masked float
        ("few_merge", ([(np.array([3], dtype=np.uint8), np.zeros(1, dtype=np.uint64))],)),
        ("few_merge", ([[np.zeros(1, dtype=np.uint8), np.zeros(1, dtype=np.uint64)]],)),
    ],
)
def test_malformed_arguments_of_the_steps_are_refused(kernels, entry, args):
    with pytest.raises((TypeError, ValueError)):
        getattr(kernels, entry)(*args)


@pytest.mark.parametrize(
    "columns",
    [
        [(np.zeros(3), None, ""), (np.zeros(2), None, "")],
        [(np.zeros(3, dtype=np.uint64), None, "hashed")],
    ],
)
def test_malformed_arguments_of_the_distinct_count_are_refused(test_entries, columns):
    with pytest.raises((TypeError, ValueError)):
        test_entries.distinct_counts(columns)


# ---- Distinct counts of the schema step.


def random_series(rng, n, kind):
    """A column of `kind` drawing from a small pool, so ties are common, with
    the extremes and oddities of its type among the draws."""
    if kind in ("float64", "float32"):
        pool = np.array([0.0, -0.0, 1.5, -2.25, np.inf, -np.inf, np.nan, with_payload(0xFFF8000000000001), 3e300])
        values = rng.choice(pool, n).astype(kind)
        wide = rng.random(n) < 0.3
        values[wide] = rng.normal(size=n)[wide]
        return pd.Series(values)
    if kind.startswith(("int", "uint")):
        info = np.iinfo(kind)
        pool = np.array([info.min, info.max, 0, 1, info.max // 3], dtype=kind)
        values = rng.choice(pool, n)
        wide = rng.random(n) < 0.5
        values[wide] = rng.integers(info.min, info.max, size=n, dtype=kind, endpoint=True)[wide]
        return pd.Series(values)
    if kind == "bool":
        return pd.Series(rng.random(n) < 0.3)
    if kind in ("Int8", "Int64", "UInt32", "Float32", "Float64", "boolean"):
        if kind == "boolean":
            values = rng.random(n) < 0.5
        elif kind.startswith("Float"):
            values = rng.choice([0.0, -0.0, 1.5, -2.0], n)
        else:
            values = rng.integers(0 if kind.startswith("U") else -3, 3, size=n)
        arr = pd.array(values, dtype=kind)
        arr[rng.random(n) < 0.3] = pd.NA
        return pd.Series(arr)
    if kind in ("datetime", "datetime_s", "timedelta", "tz"):
        days = pd.to_datetime("2000-01-01") + pd.to_timedelta(rng.integers(0, 4, size=n), unit="D")
        s = pd.Series(days)
        s[rng.random(n) < 0.3] = pd.NaT
        if kind == "datetime_s":
            return s.astype("datetime64[s]")
        if kind == "timedelta":
            return s - pd.Timestamp("2000-01-02")
        return s.dt.tz_localize("Europe/Paris") if kind == "tz" else s
    if kind == "category":
        levels = [f"l{i}" for i in range(300)]  # more than int8 codes hold
        s = pd.Series(pd.Categorical(rng.choice(levels[:5], n), categories=levels))
        s[rng.random(n) < 0.3] = np.nan
        return s
    raise AssertionError(kind)


SERIES_KINDS = [
    "float64",
    "float32",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "bool",
    "Int8",
    "Int64",
    "UInt32",
    "Float32",
    "Float64",
    "boolean",
    "datetime",
    "datetime_s",
    "timedelta",
    "tz",
    "category",
]


def buffers(s):
    """(values, mask, missing) as the schema step hands a column to the kernel."""
    arr = s.array
    if isinstance(s.dtype, pd.CategoricalDtype):
        return arr.codes, None, "codes"
    if s.dtype.kind in "Mm":
        return arr.asi8, None, "nat"
    if hasattr(arr, "_mask"):
        return arr._data, arr._mask, ""
    return s.to_numpy(), None, ""


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("n", [0, 1, 2, 7, 500])
def test_kernel_matches_nunique(test_entries, threads, n):
    rng = np.random.default_rng(n * 10 + threads)
    for _ in range(3):
        columns = [random_series(rng, n, kind) for kind in SERIES_KINDS]
        expected = [s.nunique(dropna=True) for s in columns]
        assert test_entries.distinct_counts([buffers(s) for s in columns], threads) == expected


def test_all_distinct_values_and_strided_columns(test_entries):
    # Many passes of the sort (values differing in every digit) and columns
    # read from a row-major block, one value every k.
    rng = np.random.default_rng(3)
    block = rng.normal(size=(20_000, 3))
    block[::7, 1] = np.nan
    block[:, 2] = np.round(block[:, 2], 2)
    df = pd.DataFrame(block)
    ints = rng.integers(-(2**62), 2**62, size=20_000)
    got = test_entries.distinct_counts([(block[:, j], None, "") for j in range(3)] + [(ints, None, "")])
    assert got == [df[j].nunique() for j in range(3)] + [pd.Series(ints).nunique()]


def test_kernel_declines_an_unmasked_nan_in_a_nullable_float(test_entries):
    # pandas versions disagree on whether such a NaN is a value or missing.
    data = np.array([1.0, np.nan, 2.0])
    assert test_entries.distinct_counts([(data, np.zeros(3, dtype=bool), "")]) == [None]
    assert test_entries.distinct_counts([(data, np.array([False, True, False]), "")]) == [2]


def mixed_frame(rng, n):
    df = pd.DataFrame({f"{kind}_": random_series(rng, n, kind) for kind in SERIES_KINDS})
    df["text"] = rng.choice(["a", "b", None], n)
    df["text_arrow"] = df["text"].astype("string[pyarrow]")
    df["zeros"] = np.where(rng.random(n) < 0.5, 0.0, -0.0)  # one value for pandas: constant
    df["nat"] = pd.Series(pd.NaT, index=df.index, dtype="datetime64[ns]")
    df["y"] = rng.normal(size=n)
    return df


class Frame(pd.DataFrame):
    @property
    def _constructor(self):
        return Frame


@pytest.fixture
def nunique_calls(monkeypatch):
    calls = []
    original = pd.Series.nunique

    def nunique(self, *args, **kwargs):
        calls.append(self.name)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.Series, "nunique", nunique)
    return calls


# pandas 2.2.0 warns inside its own methods for every subclass that sets
# _constructor (fixed in 2.2.1); nothing of ours is involved.
@pytest.mark.filterwarnings("ignore:Passing a BlockManager to Frame:DeprecationWarning")
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("n", [1, 2, 300])
def test_analysis_matches_the_pandas_path(monkeypatch, nunique_calls, threads, n):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    df = mixed_frame(np.random.default_rng(n), n)
    native = profilon.EDA().eda_report_and_score(df, target="y")
    # Text columns are counted natively too, object ones and Arrow-backed
    # ones (pandas 3's own string dtype among them); a frame subclass goes to
    # pandas entirely.
    assert nunique_calls == []
    nunique_calls.clear()
    reference = profilon.EDA().eda_report_and_score(Frame(df), target="y")
    assert nunique_calls == list(df.columns)
    assert repr(native) == repr(reference)
    assert {"zeros", "nat"} <= set(native.schema["constant_cols"])


def texts_frame(n=3000):
    """Object columns of texts of every width the interpreter stores (one,
    two and four bytes a character), equal texts in distinct objects,
    missing cells of both kinds, and columns pandas must count itself."""
    rng = np.random.default_rng(5)
    pool = ["", "a", "é", "Ж", "😀", "a\ud800"] + [f"w{k}" for k in range(3000)] + [f"ж{k}" for k in range(40)]

    def texts(missing):
        picks = rng.integers(0, len(pool), n)
        # Built one by one, so equal texts are mostly distinct objects.
        items = ["".join(list(pool[k])) for k in picks]
        for i in np.flatnonzero(rng.random(n) < missing):
            items[i] = None if i % 2 else float("nan")
        return pd.Series(items, dtype=object)

    return pd.DataFrame(
        {
            "t1": texts(0.0),
            "t2": texts(0.2),
            "t3": texts(0.5),
            "one": pd.Series(["x"] * (n - 3) + [None, float("nan"), "x"], dtype=object),
            "missing": pd.Series([None] * n, dtype=object),
            "mixed": pd.Series([f"m{k % 1100}" if k % 7 else k for k in range(n)], dtype=object),
            "np_nan": pd.Series([f"q{k}" if k % 3 else np.float64("nan") for k in range(n)], dtype=object),
            "y": rng.normal(size=n),
        }
    )


def test_object_texts_counted_as_pandas_counts(nunique_calls):
    df = texts_frame()
    report = profilon.EDA().eda_report_and_score(df, target="y")
    # Items other than a str, None or a Python float NaN leave the column to
    # pandas (a NumPy NaN scalar is a float subclass).
    assert sorted(nunique_calls) == ["mixed", "np_nan"]
    cat_cols = [c for c in df.columns if c != "y"]
    counts = {c: df[c].nunique(dropna=True) for c in cat_cols}
    high = [(c, counts[c]) for c in cat_cols if counts[c] > 1000][:3]
    assert f"High-cardinality categoricals {high!r}; consider embeddings/target encoding." in report.recommendations
    assert report.schema["constant_cols"] == [c for c in cat_cols if counts[c] <= 1]


def test_buckets_that_outgrow_their_first_table(test_entries):
    # Past about two million distinct keys a bucket holds more than its
    # first table: the table grows while counting.
    values = np.arange(2_500_000, dtype=np.int64) * 7919
    values[::50] = 11
    assert test_entries.distinct_counts([(values, None, "")]) == [pd.Series(values).nunique()]


def test_ctrl_c_ends_the_distinct_count(test_entries, monkeypatch, prompt):
    monkeypatch.setenv("PROFILON_NUM_THREADS", "2")
    column = (np.random.default_rng(0).normal(size=1_000_000), None, "")
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.distinct_counts([column] * 400)
            time.sleep(10)  # the kernel finished first: the signal lands here and the time check fails
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(1.5)


@pytest.mark.skipif(not pd.__version__.startswith("2."), reason="the option exists in pandas 2 only")
def test_infinities_as_missing_leave_the_counts_to_pandas():
    df = pd.DataFrame({"a": [1.0, np.inf, -np.inf], "y": [1.0, 2.0, 4.0]})
    # Looking the deprecated option up must not warn on every analysis.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert "a" not in profilon.EDA().eda_report_and_score(df, target="y").schema["constant_cols"]
    assert [w for w in caught if issubclass(w.category, (FutureWarning, DeprecationWarning))] == []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        with pd.option_context("mode.use_inf_as_na", True):
            assert "a" in profilon.EDA().eda_report_and_score(df, target="y").schema["constant_cols"]


class Unhashable:
    __hash__ = None

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        return isinstance(other, Unhashable) and other.v == self.v


def keyed_share(values):
    """A share's present levels as pandas counts them, as the kernel takes
    keys it does not read: (kinds, lone, keys, counts, hashes)."""
    vc = pd.Series(values, dtype=object).value_counts(sort=False)
    return np.zeros(4, dtype=np.int64), np.zeros(0, dtype=np.int64), list(vc.index), vc.to_numpy(), None


@pytest.mark.parametrize("ranges, fan_in", [(1, 2), (3, 2), (4, 3)])
def test_keys_pandas_counted_unite_as_pandas_compares_them(kernels, ranges, fan_in):
    # Keys pandas finds equal across shares meet in one level: numbers of any
    # type, tuples holding distinct NaN objects, unhashable keys equal by ==,
    # texts by their value (a lone surrogate too).
    pool = [1, 1.0, True, np.int64(1), 2.5, np.float64(2.5), "a", "é", "a\ud800", (1, 2), frozenset({3}), 0, -0.0]
    # Fresh objects per draw, as a column's rows hold them (NaN objects that
    # are not the same object).
    fresh = [lambda: (float("nan"), 1), lambda: (1, (float("nan"),))]
    fresh.append(lambda: Unhashable(7))
    rng = np.random.default_rng(ranges * 10 + fan_in)
    picks = rng.integers(0, len(pool) + len(fresh), 700)
    values = [pool[i] if i < len(pool) else fresh[i - len(pool)]() for i in picks]
    cuts = split_shares(rng, len(values), 5)
    pieces = [
        kernels.level_partial([keyed_share(values[lo:hi])], ranges, (int, float, complex, np.number, np.bool_))
        for lo, hi in zip(np.r_[0, cuts], np.r_[cuts, len(values)], strict=True)
    ]
    distinct = rare = 0
    for r in range(ranges):
        got_distinct, got_rare = kernels.level_finish(tree_merge(kernels, [p[r] for p in pieces], fan_in), 300)
        distinct += int(got_distinct[0])
        rare += int(got_rare[0])
    vc = pd.Series(values, dtype=object).value_counts()
    assert distinct == len(vc)
    assert rare == int(vc[vc <= 3].sum())
