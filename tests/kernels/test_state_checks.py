"""States that travel between the Dask driver's tasks come back to the kernels
from Python; a malformed one is refused by the kernel with a ValueError that
names what is wrong, never a RuntimeError from a C++ exception that slipped
through, and never read as if it were sound."""

import numpy as np
import pytest

U32, I64 = np.uint32, np.int64
NO_EDGES: list = []


def _driver(name):
    return lambda kernels, test_entries: getattr(kernels, name)


def _tests_only(name):
    return lambda kernels, test_entries: getattr(test_entries, name)


CASES = [
    ("quantile_gather", _driver, ([np.ones(3)], [np.array([[0, 0, 5, 10, 3, 2]], I64)]), "a plan row out of range"),
    (
        "quantile_gather",
        _driver,
        ([np.ones(3)], [np.array([[0, 0, 5, 10, 0, 0], [0, 0, 4, 10, 0, 0]], I64)]),
        "plan rows out of bucket order",
    ),
    ("quantile_refine", _driver, (np.array([[3, 0, 0, 1, 0, 0]], I64),), "bucket levels are 0, 1 and 2"),
    (
        "quantile_merge",
        _tests_only,
        ([(0, np.array([3], U32), np.array([0], I64), np.ones(1), np.ones(1), 0, None)],),
        "counts must be positive",
    ),
    ("level_merge", _driver, ([],), "at least one state"),
    ("few_merge", _driver, ([(np.array([3], np.uint8), np.array([0], np.uint64))],), "levels: 0, 1 or 2"),
    ("duplicate_first_of_class", _driver, (2, [(5, 0)]), "past n_columns"),
    ("duplicate_equal_pairs", _driver, ([None], [(1, 0)]), "a column not given"),
    ("pairwise_combine", _driver, ([(np.array([[5, 3]], I64), np.ones(1), NO_EDGES)], 10, 0), "node row out of range"),
    ("pairwise_combine", _driver, ([(np.zeros((0, 2), I64), np.ones(1), NO_EDGES)], 10, 0), "one [lo, hi) row"),
    ("summary_scan", _driver, ([np.zeros(3)], np.array([2], np.uint8)), "a kind is 0"),
    (
        "ratio_squares",
        _driver,
        ([np.zeros(2)], [None], np.array([-1], I64), np.zeros(1, I64), np.zeros(1, I64), [None]),
        "never negative",
    ),
]


@pytest.mark.parametrize("name,module,args,message", CASES, ids=[f"{c[0]}:{c[3]}" for c in CASES])
def test_a_malformed_state_is_refused_with_the_kernels_reason(kernels, test_entries, name, module, args, message):
    entry = module(name)(kernels, test_entries)
    with pytest.raises(ValueError) as caught:
        entry(*args)
    assert message in str(caught.value)
