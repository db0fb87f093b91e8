"""The duplicate-column kernel's partial, merge and finish side by side with
pandas: the schema step's fill and hash_pandas_object of whole columns
decide which columns are equal, and the kernel's digests, candidate plan and
confirmation must find every such pair and no other."""

import itertools

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

FILL = "__NAN__"


@pytest.fixture
def flags(test_entries):
    return test_entries.duplicate_flags()


def filled_hashes(values) -> np.ndarray:
    """pandas' hashes of a float column with missing cells as the step fills it."""
    return pd.util.hash_pandas_object(pd.Series(values).astype(object).fillna(FILL), index=False).to_numpy()


def float_pool(seed, n=40):
    rng = np.random.default_rng(seed)
    pool = np.array([-1.5, -0.0, 0.0, 0.5, 1e16, 1e-5, np.inf, np.nan, np.copysign(np.nan, -1.0)])
    return [rng.choice(pool, size=n) for _ in range(12)]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_float_values_digest_meets_wherever_pandas_hashes_do(kernels, flags, seed, dtype):
    columns = [c.astype(dtype) for c in float_pool(seed)]
    # Copies that differ from the originals in the sign of a zero or a NaN.
    columns += [np.where(c == 0, -c, c) for c in columns[:4]] + [np.where(np.isnan(c), -c, c) for c in columns[4:6]]
    states = kernels.duplicate_partial([("values", c) for c in columns])
    for a, b in itertools.combinations(range(len(columns)), 2):
        if np.array_equal(filled_hashes(columns[a]), filled_hashes(columns[b])):
            assert states[a][0] == states[b][0], (a, b)
        same_values = np.array_equal(columns[a], columns[b], equal_nan=True)
        assert (states[a][0] == states[b][0]) == same_values, (a, b)
    for c, (_, bits, dtype_name, witnesses) in zip(columns, states, strict=True):
        present = ~np.isnan(c)
        # The first value, exactly widened: the witness of the share's values.
        first = [float(c[np.argmax(present)])] if present.any() else []
        assert list(witnesses.items()) == [(("first", float, None), x) for x in first]
        assert [np.signbit(x) for x in witnesses.values()] == [np.signbit(x) for x in first]
        assert dtype_name == "object" and bits & flags["by_values"] and bits & flags["no_float_texts"]
        zeros = np.flatnonzero(c == 0)
        assert bool(bits & flags["zero"]) == bool(len(zeros))
        assert bool(bits & flags["negative_zero"]) == (len(zeros) > 0 and bool(np.signbit(c[zeros[0]])))
        assert bool(bits & flags["text_fallback"]) == bool(present.any())


def test_an_empty_share_rules_nothing_out(kernels, test_entries):
    for state in kernels.duplicate_partial(
        [
            ("values", np.zeros(0, np.float32)),
            ("numbers", np.zeros(0, np.int64), False, False, "int64"),
            ("hashes", np.zeros(0, np.uint64), "object", False, np.array([b"x", 1], dtype=object), None),
        ]
    ):
        assert state == (test_entries.fnv_digest(np.zeros(0, np.uint64)), 0, None, {})


@pytest.mark.parametrize(
    "values",
    [
        np.arange(-40, 60) % 7,
        (np.arange(100) % 7).astype(np.uint8),
        np.arange(100) / 8 - 3,
        pd.date_range("2024-01-01", periods=100, freq="h").to_numpy(),
    ],
    ids=["int64", "uint8", "float64", "dates"],
)
def test_numbers_and_hashes_partials_digest_pandas_hashes(kernels, test_entries, flags, values):
    expected = pd.util.hash_pandas_object(pd.Series(values), index=False).to_numpy()
    digest = test_entries.fnv_digest(expected)
    view = values.view(np.int64) if values.dtype.kind == "M" else values
    (state,) = kernels.duplicate_partial([("numbers", view, values.dtype.kind == "f", False, str(values.dtype))])
    assert state == (digest, flags["by_hashes"] | flags["no_float_texts"], str(values.dtype), {})
    # Bytes are hashed as they are unless another item sends the share through str().
    for filled, bit in (([b"x", 1.5], "text_fallback"), ([b"x", "a"], "bytes_alone"), (["a", ("b",)], None)):
        road = ("hashes", expected, "object", False, np.array(filled + [None], dtype=object)[:-1], None)
        bits = flags["by_hashes"] | flags["no_float_texts"] | (flags[bit] if bit else 0)
        assert kernels.duplicate_partial([road]) == [(digest, bits, "object", {})]


def shares(values, k):
    bounds = np.linspace(0, len(values), k + 1).astype(int)
    return [values[a:b] for a, b in itertools.pairwise(bounds)]


def merged_states(kernels, columns, k):
    """Each column split into k shares, partials per share, merged."""
    roads = [[("values", s) for s in shares(c, k)] for c in columns]
    return kernels.duplicate_merge([kernels.duplicate_partial(list(run)) for run in zip(*roads, strict=True)])


@pytest.mark.parametrize("k", [1, 2, 5])
def test_merged_digests_meet_exactly_for_equal_columns(kernels, flags, k):
    x = np.arange(30) / 4 - 2
    x[::7] = np.nan
    moved = np.roll(x, 1)  # the same values, another row order
    zeros = np.where(np.isnan(x), x, 0.0)
    zeros[20] = -0.0
    columns = [x, x.copy(), moved, zeros, np.where(zeros == 0, 0.0, zeros)]
    states = merged_states(kernels, columns, k)
    assert states[0] == states[1] and states[0][0] != states[2][0]
    # The digest treats every zero alike; the merged state keeps the first one.
    assert states[3][0] == states[4][0]
    assert states[3][1] & flags["zero"] and not states[3][1] & flags["negative_zero"]
    late_negative = kernels.duplicate_merge(
        [
            [(1, flags["by_values"], "object")],
            [(1, flags["zero"] | flags["negative_zero"] | flags["by_values"], "object")],
        ]
    )
    assert late_negative[0][1] & flags["negative_zero"]


def test_merge_records_disagreeing_shares(kernels, flags):
    f = flags
    runs = [
        [(1, f["by_hashes"], "int64"), (2, f["by_values"], "object"), (3, f["failed"], None), (4, 0, None)],
        [(5, f["by_hashes"], "float64"), (6, f["by_hashes"], "object"), (7, f["by_hashes"], "int64"), (8, 0, None)],
    ]
    merged = kernels.duplicate_merge(runs)
    assert merged[0][1] & f["dtypes_differ"] and merged[0][2] == "int64"
    assert merged[1][1] & f["by_values"] and merged[1][1] & f["by_hashes"] and not merged[1][1] & f["dtypes_differ"]
    assert merged[2][1] == f["failed"]
    # Shares without rows leave the dtype to the others.
    assert merged[3][2] is None and not merged[3][1] & f["dtypes_differ"]
    with pytest.raises(ValueError, match="different columns"):
        kernels.duplicate_merge([runs[0], runs[1][:2]])


def test_plan_pairs_by_digest_and_road(kernels, flags):
    f = flags
    columns = [
        (10, f["by_hashes"] | f["no_float_texts"], "int64"),  # 0
        (10, f["by_hashes"] | f["no_float_texts"], "int64"),  # 1: 0's digest
        (10, f["by_values"] | f["no_float_texts"] | f["zero"] | f["negative_zero"], "object"),  # 2: values
        (11, f["by_hashes"], "object"),  # 3: texts that could be floats'
        (12, f["by_hashes"] | f["no_float_texts"], "object"),  # 4: texts that cannot
        (13, f["failed"], None),  # 5
        (14, f["by_values"] | f["by_hashes"], "object"),  # 6: both roads
        (15, f["by_hashes"] | f["dtypes_differ"], "int64"),  # 7: unsettled
        (16, f["by_hashes"] | f["text_fallback"] | f["bytes_alone"], "object"),  # 8: unsettled
    ]
    columns[7] += ({("first", int, None): 3, ("min",): 3, ("max",): 9},)
    pairs, prefixes, zeros = kernels.duplicate_plan(columns)
    anything = {(max(u, j), min(u, j)) for u in (6, 7, 8) for j in (0, 1, 2, 3, 4, 6, 7, 8) if j != u}
    assert pairs == sorted({(1, 0), (3, 2)} | anything)
    # The unsettled columns are hashed behind their witnesses.
    assert prefixes == {7: [3, 3, 9], 8: []}
    assert zeros == {2: 0.0} and np.signbit(zeros[2])


def equal_hash_pairs(hashes):
    return [
        (a, b)
        for a in range(len(hashes))
        for b in range(a)
        if hashes[a] is not None and hashes[b] is not None and np.array_equal(hashes[a], hashes[b])
    ]


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_confirmation_equals_numpy_and_first_of_class_equals_brute_force(kernels, seed):
    rng = np.random.default_rng(seed)
    n_rows, n_cols, k = 24, 9, 3
    base = rng.integers(0, 3, size=(3, n_rows)).astype(np.uint64)
    hashes = [base[rng.integers(0, 3)].copy() for _ in range(n_cols)]
    hashes[4][rng.integers(0, n_rows)] += np.uint64(1)
    hashes[6] = None
    hashes[7] = hashes[7][:-1]
    pairs = [(a, b) for a in range(n_cols) for b in range(a)]
    per_share = [
        kernels.duplicate_equal_pairs([None if h is None else h[a:b] for h in hashes], pairs)
        for a, b in itertools.pairwise(np.linspace(0, n_rows, k + 1).astype(int))
    ]
    merged = kernels.duplicate_confirm_merge(per_share)
    np.testing.assert_array_equal(merged, np.logical_and.reduce(per_share))
    equal = [pair for pair, same in zip(pairs, merged, strict=True) if same]
    assert equal == equal_hash_pairs(hashes)
    first = {}
    for later, earlier in equal:
        first[later] = min(first.get(later, later), earlier)
    assert kernels.duplicate_first_of_class(n_cols, equal) == sorted(first.items())


@pytest.mark.parametrize(
    "call",
    [
        lambda k: k.duplicate_equal_pairs([np.zeros(3, np.uint64)], [(1, 0)]),
        lambda k: k.duplicate_equal_pairs([np.zeros(6, np.uint64)[::2]] * 2, [(1, 0)]),
        lambda k: k.duplicate_first_of_class(2, [(2, 0)]),
        lambda k: k.duplicate_confirm_merge([np.ones(2, bool), np.ones(3, bool)]),
        lambda k: k.objects_could_be_float_texts(["1.5"], ""),
    ],
    ids=["pair-past-columns", "strided-hashes", "pair-past-n", "shares-of-other-pairs", "empty-fill"],
)
def test_bad_arguments_are_refused(kernels, call):
    with pytest.raises(ValueError):
        call(kernels)


def reference_could(values):
    """A share of texts and missing cells could hold floats' texts exactly
    when every text is non-empty and starts as a float's str() or the fill."""
    texts = [v for v in values if isinstance(v, str)]
    return all(t and (t[0] in "0123456789-i" or t[0] == FILL[0]) for t in texts)


FLOAT_TEXTS = [repr(float(v)) for v in [1.5, -0.0, np.inf, -np.inf, 1e-5, 1e16, 3.0, -2.25e-300]]


@pytest.mark.parametrize(
    "values",
    [
        FLOAT_TEXTS + [FILL, None, np.nan],
        ["1.5", "x"],
        ["1.5", ""],
        ["é", "1.5"],
        ["1.5", "\ud800"],
        ["-", "i", "9"],  # only the first character is looked at
        [None, None],
        [],
    ],
    ids=["float-texts", "later-word", "empty", "first-non-ascii", "surrogate", "starts-only", "missing", "no-rows"],
)
def test_text_shares_could_hold_float_texts(kernels, values):
    expected = reference_could(values)
    assert kernels.objects_could_be_float_texts(np.array(values, dtype=object), FILL) is expected
    if "\ud800" not in values:
        arrow = pa.array([None if not isinstance(v, str) else v for v in values], pa.large_string())
        s = pd.Series(pd.arrays.ArrowExtensionArray(arrow))
        assert kernels.text_could_be_float_texts(s, FILL) is expected
        # Other Series are not read as texts here.
        assert kernels.text_could_be_float_texts(pd.Series(values, dtype=object), FILL) is None


@pytest.mark.parametrize(
    "values, could",
    [
        # Items that are neither texts nor None/NaN are hashed through their
        # str(): from there on only the first exact str can rule out.
        ([1.5, "x"], False),
        (["1.5", 2, "x"], True),
        (["1.5", "", 2], False),
        ([b"x", "1.5"], True),
        ([pd.NA, "x"], False),
    ],
    ids=["first-text-after-number", "word-after-number", "empty-before-number", "bytes", "pandas-missing"],
)
def test_object_shares_of_other_items(kernels, values, could):
    assert kernels.objects_could_be_float_texts(np.array(values, dtype=object), FILL) is could


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("first_zero", [0.0, -0.0])
def test_float_text_hashes_behind_the_columns_first_zero(kernels, dtype, first_zero):
    values = np.array([np.nan, -first_zero, 2.5, first_zero, 0.0, -0.0], dtype=dtype)
    whole = pd.Series([first_zero, *values.tolist()], dtype=object).fillna(FILL)
    expected = pd.util.hash_pandas_object(whole, index=False).to_numpy()[1:]
    got = np.frombuffer(kernels.float_text_row_hashes(values, FILL, first_zero), dtype=np.uint64)
    np.testing.assert_array_equal(got, expected)
    np.testing.assert_array_equal(
        np.frombuffer(kernels.float_text_row_hashes(values, FILL, None), dtype=np.uint64), filled_hashes(values)
    )


def reference_fnv(raw: bytes) -> int:
    state, prime, mask = 14695981039346656037, 1099511628211, (1 << 64) - 1
    whole = len(raw) - len(raw) % 8
    for w in np.frombuffer(raw[:whole], dtype="<u8").tolist() + list(raw[whole:]):
        state = ((state ^ w) * prime) & mask
    return state


@pytest.mark.parametrize(
    "offset, length", [(0, 80), (1, 80), (3, 83), (0, 0)], ids=["aligned", "unaligned", "tail", "empty"]
)
def test_digest_of_a_buffer_as_it_lies(kernels, test_entries, offset, length):
    raw = np.random.default_rng(4).integers(0, 256, 200, dtype=np.uint8).tobytes()
    view = np.frombuffer(raw, dtype=np.uint8, count=length, offset=offset)
    assert test_entries.fnv_digest(view) == reference_fnv(raw[offset : offset + length])
    if length % 8 == 0:
        hashes = view.view(np.uint64)
        assert kernels.duplicate_partial([("hashes", hashes, "object", True, None, None)])[0][0] == reference_fnv(
            view.tobytes()
        )


def reference_witnesses(values):
    """The witnesses of an object share: each type's (and time zone's) first
    value, the least and largest ints, grouped by type in order of appearance."""
    out = {}
    values = values[~pd.isna(values)]
    types = pd.Series(np.frompyfunc(type, 1, 1)(values), dtype=object)
    for kind in types.drop_duplicates():
        of_kind = values[(types == kind).to_numpy()]
        if hasattr(of_kind[0], "tz"):
            for value in of_kind:
                out.setdefault(("first", kind, str(value.tz)), value)
        else:
            out[("first", kind, None)] = of_kind[0]
        if issubclass(kind, (int, np.integer)) and not issubclass(kind, (bool, np.bool_)):
            least, largest = min(of_kind), max(of_kind)
            out.setdefault(("min",), least)
            out.setdefault(("max",), largest)
            out[("min",)], out[("max",)] = min(out[("min",)], least), max(out[("max",)], largest)
    return out


def witness_share(seed, n=60):
    rng = np.random.default_rng(seed)
    stamp = pd.Timestamp("2024-03-01 12:00")
    pool = [
        "a", "1.5", b"x", None, np.nan, pd.NaT, True, np.bool_(False), 7, -3, 2**70, np.int64(-9), np.uint8(200),
        np.int32(7), 2.5, np.float32(1.5), stamp, stamp.tz_localize("UTC"), stamp.tz_localize("Asia/Tokyo"),
        pd.Timedelta(1, "s"), ("t",),
    ]  # fmt: skip
    return np.array([pool[i] for i in rng.integers(0, len(pool), n)] + [None], dtype=object)[:-1]


@pytest.mark.parametrize("k", [1, 2, 5])
@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_witnesses_are_each_types_first_and_the_int_range(kernels, seed, k):
    values = witness_share(seed)
    hashes = np.zeros(len(values), np.uint64)
    road = ("hashes", hashes, "object", True, None, values[~pd.isna(values)])
    (whole,) = kernels.duplicate_partial([road])
    expected = reference_witnesses(values)
    # The same values, in the same order, of the same types.
    assert list(whole[3]) == list(expected)
    assert [(type(v), v) for v in whole[3].values()] == [(type(v), v) for v in expected.values()]
    parts = []
    for share in shares(values, k):
        present = share[~pd.isna(share)]
        parts.append(kernels.duplicate_partial([("hashes", hashes[: len(share)], "object", True, None, present)]))
    # Merged in any tree, the shares have the whole share's witnesses.
    merged = kernels.duplicate_merge(parts)[0][3]
    assert merged == expected
    if k > 2:
        tree = kernels.duplicate_merge([kernels.duplicate_merge(parts[:2]), kernels.duplicate_merge(parts[2:])])
        assert tree[0][3] == merged


def test_merged_witnesses_keep_the_first_of_equal_ints(kernels):
    def state(*values):
        road = ("hashes", np.zeros(len(values), np.uint64), "object", True, None, np.array(values, dtype=object))
        return kernels.duplicate_partial([road])

    first = state(np.int64(5), 1)
    merged = kernels.duplicate_merge([first, state("a", np.int32(1), 9), state(7)])[0][3]
    kinds = [("first", np.int64, None), ("min",), ("max",), ("first", int, None), ("first", str, None)]
    assert list(merged) == [*kinds, ("first", np.int32, None)]
    # 1 comes before np.int32(1), and 9 is larger than np.int64(5).
    assert [type(merged[key]) for key in kinds[1:3]] == [int, int] and merged[("max",)] == 9
    # The merge builds new witnesses: the partition's are left as they were.
    assert list(first[0][3].values()) == [5, 1, 5, 1]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda k: k.duplicate_partial([("bits", np.zeros(1))]), ValueError),
        (lambda k: k.duplicate_partial([("values", np.zeros(1, np.int64))]), TypeError),
        (lambda k: k.duplicate_partial([["values", np.zeros(1)]]), TypeError),
        (lambda k: k.duplicate_merge([[(1, 0, None, [])]]), TypeError),
        (lambda k: k.duplicate_plan([(1, 0)]), TypeError),
    ],
    ids=["unknown-road", "int-values", "road-not-tuple", "witnesses-not-dict", "short-state"],
)
def test_bad_roads_and_states_are_refused(kernels, call, error):
    with pytest.raises(error):
        call(kernels)
