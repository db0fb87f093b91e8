"""The native merges of the Dask driver's correlation ratios and level
counts (group_merge, group_between, level_routes, level_missing) side by
side with the Python code they replaced, through the driver's functions
that call them."""

import numbers
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import _profilon_kernels as kernels
from _profilon_dask import association, distinct


def bits(x):
    return None if x is None else np.float64(x).view(np.int64)


def python_merge_groups(parts):
    """The merge the driver made in Python before the kernel took it over:
    one index of the keys in first-seen order, shares added in order."""
    kept = [g for g in parts if len(g[0])]
    index = pd.Index(pd.unique(np.concatenate([g[0] for g in kept])))
    counts, sums = np.zeros(len(index), dtype=np.int64), np.zeros(len(index), dtype=np.float64)
    for keys, n, total in kept:
        where = index.get_indexer(keys)
        counts[where] += n
        sums[where] += total
    return index.to_numpy(), counts, sums


def group_parts(kind, parts, seed):
    """Per partition, distinct keys in a random order with counts and sums of
    magnitudes far apart (so any other order of the additions shows)."""
    rng = np.random.default_rng(seed)
    pools = {
        "text": np.array(["b", "a", "", "é", "日本"] + [f"k{j}" for j in range(40)], dtype=object),
        "ints": np.arange(-20, 25, dtype=np.int64),
        # True and 1 are one key to pandas' hash table, as to groupby.
        "mixed": np.array([True, 1, 2.5, "x", False, 0, (1, 2), "y"], dtype=object),
    }
    pool = pools[kind]
    out = []
    for _ in range(parts):
        keys = pd.unique(pool[rng.integers(0, len(pool), rng.integers(0, len(pool) + 1))])
        counts = rng.integers(1, 50, len(keys)).astype(np.int64)
        sums = rng.normal(0, 1, len(keys)) * 10.0 ** rng.integers(-8, 9, len(keys))
        out.append((np.asarray(keys), counts, sums))
    return out


@pytest.mark.parametrize("kind", ["text", "ints", "mixed"])
@pytest.mark.parametrize("parts, seed", [(1, 0), (2, 1), (3, 2), (7, 3), (20, 4)])
def test_native_group_merge_equals_the_python_merge(kind, parts, seed):
    pieces = group_parts(kind, parts, seed)
    if not any(len(p[0]) for p in pieces):
        pytest.skip("no groups drawn")
    want = python_merge_groups(pieces)
    got = association._merge_groups(pieces)
    assert list(got[0]) == list(want[0])
    assert got[1].tolist() == want[1].tolist()
    assert [bits(v) for v in got[2]] == [bits(v) for v in want[2]]


def python_between(keys, counts, sums, mu, total, whole_sum):
    """ss_between as the driver summed it in Python."""
    sums = np.where(counts == total, whole_sum, sums)
    _, ordered = pd.factorize(keys, sort=True)
    index = pd.Index(keys)
    ss = 0.0
    for j in index.get_indexer(ordered):
        d = sums[j] / float(counts[j]) - mu
        ss += float(counts[j]) * d**2
    return ss


@pytest.mark.parametrize("groups, seed", [(0, 0), (1, 1), (2, 2), (5, 3), (300, 4)])
def test_native_between_equals_the_python_sum(groups, seed):
    rng = np.random.default_rng(seed)
    keys = np.array([f"g{k}" for k in rng.permutation(groups)], dtype=object)
    counts = rng.integers(1, 40, groups).astype(np.int64)
    sums = rng.normal(3, 2, groups) * counts * 10.0 ** rng.integers(-5, 6, groups)
    # Off the groups' own sum: one group, holding every kept row, must take
    # the whole sum instead.
    total, whole_sum = int(counts.sum()), float(sums.sum()) + 0.125
    mu = whole_sum / total if total else 0.0
    want = python_between(keys, counts, sums, mu, total, whole_sum)
    got = association._between((keys, counts, sums), mu, total, whole_sum)
    assert bits(got) == bits(want)


def test_between_of_keys_that_do_not_sort_is_none_and_bad_ranks_are_refused():
    keys = np.array([1j, 2j], dtype=object)
    assert association._between((keys, np.array([1, 2]), np.array([1.0, 2.0])), 1.0, 3, 3.0) is None
    with pytest.raises(ValueError, match="permutation"):
        kernels.group_between(np.ones(2), np.ones(2, np.int64), np.array([0, 0]), 1.0, 2, 2.0)
    with pytest.raises(ValueError, match="positive"):
        kernels.group_between(np.ones(2), np.array([1, 0]), np.array([0, 1]), 1.0, 2, 2.0)
    with pytest.raises(ValueError, match="outside"):
        kernels.group_merge(np.array([0, 2]), np.ones(2, np.int64), np.ones(2), 2)


def python_routes(keys, ranges):
    """How the driver routed pandas-counted object levels in Python: a text
    by pandas' hash of it, a number by the interpreter's hash, the rest to
    range 0."""
    from pandas.util import hash_array

    out = np.zeros(len(keys), dtype=np.intp)
    for i, v in enumerate(keys):
        if isinstance(v, str):
            out[i] = int(hash_array(np.array([v], dtype=object), categorize=False)[0] % np.uint64(ranges))
        elif isinstance(v, (numbers.Number, np.number, np.bool_)):
            out[i] = hash(v) % ranges
    return out


ROUTED_KEYS = {
    "texts": ["", "a", "é", "Ж", "😀", "日本"] + [f"w{k}" for k in range(200)],
    "numbers": [0, 1, True, 1.0, -7, 2**70, -(2**70), 0.5, np.int8(-3), np.float32(2.5), np.uint64(2**63), 1 + 2j],
    "decimals": [Decimal("1.5"), Fraction(3, 2), 1.5],
    "others": [pd.Timestamp("2020-01-01"), (1, 2), b"bytes", frozenset([1]), None],
}


@pytest.mark.parametrize("kind", list(ROUTED_KEYS))
@pytest.mark.parametrize("ranges", [1, 3, 8])
def test_native_level_routes_equal_the_python_routes(test_entries, kind, ranges):

    keys = np.empty(len(ROUTED_KEYS[kind]), dtype=object)
    keys[:] = ROUTED_KEYS[kind]
    got = test_entries.level_routes(keys, ranges, distinct._NUMBERS)
    assert got.dtype == np.intp
    assert got.tolist() == python_routes(keys, ranges).tolist()


def test_level_routes_of_lone_surrogates_are_fixed_and_equal_for_equal_texts(test_entries):

    # No UTF-8 form: pandas' hash raises for these, the route must not.
    texts = ["a\ud800", "".join(["a", "\ud800"]), "\udfff", "b\ud800c"] * 50
    keys = np.array(texts, dtype=object)
    got = test_entries.level_routes(keys, 64, distinct._NUMBERS)
    assert ((got >= 0) & (got < 64)).all()
    assert got[0] == got[1] and len(set(got[:4].tolist())) > 1
    assert got.tolist() == test_entries.level_routes(keys, 64, distinct._NUMBERS).tolist()
    with pytest.raises(ValueError, match="at least 1"):
        test_entries.level_routes(keys, 0, distinct._NUMBERS)


def python_missing_kinds(keys, counts):
    """The driver's Python sorting of missing keys into the kernel's kinds
    (None, pd.NA, NaT, a float NaN) and the lone ones, equal only to
    themselves."""
    kinds, lone = np.zeros(4, dtype=np.int64), []
    for key, count in zip(keys, counts, strict=True):
        slot = 0 if key is None else 1 if key is pd.NA else 2 if key is pd.NaT else 3 if type(key) is float else None
        if slot is None:
            lone.append(count)
        else:
            kinds[slot] += count
    return kinds, np.array(lone, dtype=np.int64)


MISSING_KEYS = {
    "kinds": [None, pd.NA, pd.NaT, float("nan"), None, float("-nan")],
    "lone": [np.float64("nan"), np.datetime64("NaT", "ns"), Decimal("NaN"), np.float32("nan")],
    "mixed": [Decimal("NaN"), None, np.float64("nan"), pd.NaT, float("nan"), pd.NA],
    "none": [],
}


@pytest.mark.parametrize("kind", list(MISSING_KEYS))
def test_native_missing_kinds_equal_the_python_sorting(kind):

    keys = MISSING_KEYS[kind]
    counts = np.arange(3, 3 + len(keys), dtype=np.int64)
    got = kernels.level_missing(keys, counts, distinct._MISSING_KINDS)
    want = python_missing_kinds(keys, counts)
    assert got[0].tolist() == want[0].tolist() and got[1].tolist() == want[1].tolist()
    # And through a share pandas counts: its value_counts' missing keys.
    s = pd.Series(np.array(keys + ["x"], dtype=object))
    kinds, lone, keys, key_counts, _ = distinct._pandas_levels(s)
    assert dict(zip(keys, key_counts.tolist(), strict=True)) == {"x": 1}
    assert int(kinds.sum() + lone.sum()) == s.isna().sum()
