"""The libraries' private modules the analysis reads. Each is read because
a public call does not give what a kernel has to reproduce (a hash table's
key order, a tolerance, an option's raw value); when a release moves one, the
kernel behind it declines and the analysis slows down without a word, or
(the comparison's exact test) fails. Each entry here fails loudly instead,
naming what to re-read."""

import importlib
import re
from pathlib import Path

import pytest

# module, attribute (None: the module itself), what reads it
INTERNALS = [
    ("pandas.core.algorithms", "value_counts_arraylike", "the Dask level counts of object columns"),
    ("pandas.core.dtypes.cast", "find_common_type", "the Dask samples' common dtype of a target's pieces"),
    ("pandas.core.util.hashing", "hash_pandas_object", "the native row hashes (in memory and Dask)"),
    ("pandas.core.util", "hashing", "the native row hashes (in memory and Dask)"),
    ("pandas.core.dtypes.missing", None, "pandas 2's infinities-as-missing option, read where isna reads it"),
    ("pandas._config.config", "_global_config", "the same option, read without get_option's warning"),
    ("pandas.core.nanops", "_USE_BOTTLENECK", "the correlation ratio's group means (pandas' own summation)"),
    ("pandas.core.computation.expressions", "USE_NUMEXPR", "the correlation ratio: when pandas hands arithmetic on"),
    ("pandas.core.computation.expressions", "_MIN_ELEMENTS", "the correlation ratio: when pandas hands arithmetic on"),
    ("pandas._libs.missing", "NA", "the correlation ratio's factorized text"),
    ("pandas.core.frame", "DataFrame", "the module's library names, as the published module binds them"),
    ("pandas.core.series", "Series", "the module's library names, as the published module binds them"),
    ("sklearn.feature_selection._mutual_info", "mutual_info_regression", "the mutual-information kernel"),
    ("scipy.stats._stats_py", "_attempt_exact_2kssamp", "the comparison's exact two-sample test"),
    ("dask._expr", "Expr", "the Dask pass runner's kinds of collections"),
]


@pytest.mark.parametrize("module, attribute, reader", INTERNALS, ids=lambda v: v if isinstance(v, str) else None)
def test_private_library_name_is_where_it_was_read(module, attribute, reader):
    if module.startswith("dask"):
        pytest.importorskip("dask")
    try:
        found = importlib.import_module(module)
    except ImportError as error:
        pytest.fail(f"{module} is gone in the installed release ({error}); re-read it for {reader}")
    if attribute is not None:
        assert hasattr(found, attribute), f"{module}.{attribute} is gone; re-read the release for {reader}"


_PRIVATE = re.compile(
    r"""(?:["']|\bfrom\s+|\bimport\s+)"""
    r"(pandas\.(?:core|_\w+)(?:\.\w+)*|dask\._\w+(?:\.\w+)*|(?:sklearn|scipy)(?:\.\w+)*?\._\w+(?:\.\w+)*)"
)


def test_every_private_module_in_the_sources_is_listed():
    src = Path(__file__).resolve().parents[2] / "src"
    if not src.is_dir():
        pytest.skip("the sources are not beside the tests")
    used = {
        (name, str(path.relative_to(src)))
        for path in src.rglob("*")
        if path.suffix in {".py", ".cpp", ".hpp"}
        for name in _PRIVATE.findall(path.read_text())
    }
    listed = {module for module, _, _ in INTERNALS}
    assert sorted(u for u in used if u[0] not in listed) == []
