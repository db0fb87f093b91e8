"""Module surface: import, library names, published classes and signatures."""

import importlib.util
import inspect
import pickle
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy
import pandas
import pytest
import scipy.stats
import sklearn.feature_selection
import statsmodels.tsa.stattools

import profilon


def test_module_is_the_build_under_test(expected_location):
    assert Path(profilon.__file__).resolve().parent == expected_location()


def test_module_attributes_in_binding_order():
    names = [k for k in vars(profilon) if not k.startswith("__")]
    assert names == [
        "Optional", "List", "types", "Dict", "Tuple", "Any", "Union", "dataclass", "asdict",
        "DataFrame", "Series", "pd", "np", "NDArray", "sklearn", "re", "scipy_skew",
        "scipy_kurtosis", "spearmenr", "_adfuller", "_mi_reg",
        "EdaScoreBreakdown", "EdaReport", "EDA",
    ]  # fmt: skip
    assert profilon.__doc__ is None
    assert profilon.__cached__ is None


@pytest.mark.parametrize(
    "name, expected",
    [
        ("spearmenr", scipy.stats.spearmanr),
        ("scipy_skew", scipy.stats.skew),
        ("scipy_kurtosis", scipy.stats.kurtosis),
        ("_mi_reg", sklearn.feature_selection.mutual_info_regression),
        ("_adfuller", statsmodels.tsa.stattools.adfuller),
        ("types", __import__("types")),
        ("pd", pandas),
        ("np", numpy),
        ("DataFrame", pandas.DataFrame),
        ("Series", pandas.Series),
        ("re", __import__("re")),
        ("sklearn", __import__("sklearn")),
    ],
)
def test_library_names_are_the_library_objects(name, expected):
    assert getattr(profilon, name) is expected


def test_classes_are_plain_module_classes():
    for cls in (profilon.EdaScoreBreakdown, profilon.EdaReport, profilon.EDA):
        assert cls.__module__ == "profilon"
        assert cls.__qualname__ == cls.__name__
        assert cls.__mro__ == (cls, object)
    assert profilon.EDA.__doc__ is None


# The published signatures, written as the Python a reader would expect; the
# native methods must be indistinguishable from these to inspect.
PUBLISHED_EDA = """
def __init__(self): ...
def __getattr__(self, name: str) -> Any: ...
def __dir__(self): ...
def _compose_version(self) -> str: ...
def _is_public(self, name: str) -> bool: ...
def _dir_safe(self, mod: Optional[types.ModuleType]) -> List[str]: ...
def _union_attrs(self) -> List[str]: ...
def _is_categorical(self, s: Series) -> bool: ...
def _is_numeric(self, s: Series) -> bool: ...
def _safe_skew(self, x: NDArray) -> Optional[float]: ...
def _safe_kurtosis(self, x: NDArray) -> Optional[float]: ...
def _spearman_abs(self, x: NDArray, y: NDArray) -> Optional[float]: ...
def _pct(self, x: float) -> float: ...
def _iqr_outlier_share(self, arr: NDArray) -> float: ...
def _corr_proportion_strong(self, corr: DataFrame, thr: float) -> float: ...
def _canonical_time_lags(self, freq: Optional[str]) -> List[int]: ...
def _autocorr_at_lags(self, series: "pd.Series", lags: List[int]) -> Dict[int, float]: ...
def _seasonality_strength(self, ac_map: Dict[int, float]) -> float: ...
def _correlation_ratio_num_cat(self, y: Series, x_cat: Series) -> Optional[float]: ...
def _leakage_hints_per_target(self, df_X: DataFrame, y: Series) -> Tuple[float, List[str]]: ...
def eda_report_and_score(self, df: DataFrame, *, target: Optional[Union[str, List[str]]] = None,
                         datetime_col: Optional[str] = None, freq: Optional[str] = None,
                         max_mi_features: int = 60, max_cat_features: int = 80,
                         corr_method: str = "spearman") -> EdaReport: ...
def eda(self, df: DataFrame, **kwargs) -> EdaReport: ...
def eda_md(self, df: DataFrame, **kwargs) -> str: ...
def eda_print(self, df: DataFrame, **kwargs) -> None: ...
def signal_check(self, df: DataFrame, *, target: Optional[Union[str, List[str]]] = None,
                 datetime_col: Optional[str] = None, sample_rows: int = 30000, folds: int = 5,
                 chance_repeats: int = 2, seed: int = 0) -> "SignalReport": ...
def compare(self, reference: Any, current: Any = None, *, target: Optional[Union[str, List[str]]] = None,
            datetime_col: Optional[str] = None, freq: Optional[str] = None, split_at: Any = None,
            recent_share: Optional[float] = None, seed: int = 0) -> Any: ...
"""

PUBLISHED_RECORDS = """
def weighted_total(self) -> float: ...
def to_dict(self) -> Dict[str, Any]: ...
def to_markdown(self, *, max_mi: int = 15, max_cat: int = 15) -> str: ...
def to_json(self, indent: Optional[int] = None, *, detail: bool = False) -> str: ...
def to_html(self, *, max_mi: int = 15, max_cat: int = 15) -> str: ...
def _repr_html_(self) -> str: ...
def _repr_markdown_(self) -> str: ...
"""


def published(source):
    ns = dict(vars(profilon))
    before = set(ns)
    exec(source, ns)
    return {k: v for k, v in ns.items() if k not in before}


EDA_REFERENCE = published(PUBLISHED_EDA)
EDA_ORDER = [line.split("(")[0][4:] for line in PUBLISHED_EDA.split("\n") if line.startswith("def ")]
RECORD_REFERENCE = published(PUBLISHED_RECORDS)


def test_eda_methods_in_published_order():
    methods = [k for k, v in vars(profilon.EDA).items() if callable(v)]
    assert methods == EDA_ORDER


@pytest.mark.parametrize(
    "owner, name",
    [("EDA", n) for n in EDA_ORDER]
    + [("EdaScoreBreakdown", "weighted_total")]
    + [("EdaReport", n) for n in ("to_dict", "to_markdown", "to_json", "to_html", "_repr_html_", "_repr_markdown_")],
)
def test_signatures_match_published(owner, name):
    cls = getattr(profilon, owner)
    reference = (EDA_REFERENCE if owner == "EDA" else RECORD_REFERENCE)[name]
    method = vars(cls)[name]
    assert str(inspect.signature(method)) == str(inspect.signature(reference))
    assert method.__annotations__ == reference.__annotations__
    assert method.__defaults__ == reference.__defaults__
    assert method.__kwdefaults__ == reference.__kwdefaults__
    assert method.__name__ == name
    assert method.__qualname__ == f"{owner}.{name}"
    assert method.__module__ == "profilon"
    assert method.__globals__ is vars(profilon)
    if owner == "EDA":
        bound = getattr(profilon.EDA(), name)
        assert str(inspect.signature(bound)) == str(inspect.signature(reference.__get__(object())))


def test_string_annotation_stays_a_string():
    assert profilon.EDA._autocorr_at_lags.__annotations__["series"] == "pd.Series"


@pytest.mark.parametrize(
    "name, doc",
    [
        (
            "_union_attrs",
            "Union of public attributes across available backends (plus tamsel EDA API & public aliases).",
        ),
        ("_correlation_ratio_num_cat", "Correlation ratio η² for numeric y and categorical x."),
        ("_leakage_hints_per_target", "Leakage score (1=good) and reasons for a single target."),
        ("eda", "Shorthand for eda_report_and_score(...), regression-only; supports multi-target."),
        ("eda_md", "Return a Markdown EDA summary string."),
        ("eda_print", "Print a readable EDA summary to stdout."),
        ("_pct", None),
        ("__init__", None),
    ],
)
def test_docstrings(name, doc):
    assert vars(profilon.EDA)[name].__doc__ == doc


def test_analysis_docstring():
    lines = [
        "Regression-only EDA with a 0–100 DNN suitability score.",
        "- Targets can be: None, a single column name, or a list of column names.",
        "- Features may be numeric and/or categorical (target must be numeric).",
        "- Numeric↔target relevance: mutual_info_regression (if available) else Spearman |ρ|.",
        "- Categorical↔target relevance: correlation ratio (η²) (no extra deps).",
        "- Time-series diagnostics are read-only (no feature engineering).",
    ]
    expected = "\n" + "".join(" " * 8 + line + "\n" for line in lines) + " " * 8
    assert profilon.EDA.eda_report_and_score.__doc__ == expected


# Argument errors must read exactly as the interpreter's own for the same def.
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2), {}),
        ((1, 2), {"target": "y"}),
        ((1, 2), {"target": "y", "freq": "D"}),
        ((1,), {"df": 2}),
        ((1,), {"bogus": 2}),
        ((), {"target": "y"}),
    ],
)
def test_argument_errors_match_the_interpreter(args, kwargs):
    reference = EDA_REFERENCE["eda_report_and_score"]
    with pytest.raises(TypeError) as expected:
        reference(object(), *args, **kwargs)
    with pytest.raises(TypeError) as got:
        profilon.EDA().eda_report_and_score(*args, **kwargs)
    assert str(got.value) == "EDA." + str(expected.value)


def test_missing_arguments_are_listed_like_the_interpreter():
    reference = RECORD_REFERENCE["weighted_total"]
    with pytest.raises(TypeError) as expected:
        reference()
    with pytest.raises(TypeError) as got:
        profilon.EdaScoreBreakdown.weighted_total()
    assert str(got.value) == "EdaScoreBreakdown." + str(expected.value)


def test_methods_pickle_by_reference_and_print_like_functions():
    method = profilon.EDA.eda_report_and_score
    assert pickle.loads(pickle.dumps(method)) is method
    assert repr(method).startswith("<function EDA.eda_report_and_score at 0x")


def test_kwdefaults_are_read_at_call_time(monkeypatch):
    method = profilon.EDA.eda_report_and_score
    changed = dict(method.__kwdefaults__, corr_method="pearson")
    monkeypatch.setattr(method, "__kwdefaults__", changed)
    report = profilon.EDA().eda_report_and_score(pandas.DataFrame({"a": [1.0, 2.0]}))
    assert report.relationships["corr_method"] == "pearson"


class _KeyComparisonFails(str):
    """A text key that collides with a parameter name and cannot be compared."""

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        raise MemoryError("compare")


@pytest.mark.parametrize("use", ["call", "signature"])
def test_kwdefaults_lookup_errors_propagate(monkeypatch, use):
    method = profilon.EDA.eda_report_and_score
    changed = {_KeyComparisonFails(k) if k == "target" else k: v for k, v in method.__kwdefaults__.items()}
    monkeypatch.setattr(method, "__kwdefaults__", changed)
    with pytest.raises(MemoryError, match="compare"):
        if use == "call":
            profilon.EDA().eda_report_and_score(pandas.DataFrame({"a": [1.0, 2.0]}))
        else:
            inspect.signature(method)


# Every allocation from the n-th on fails while a method binds its arguments
# and builds the interpreter's "missing argument" message. Run in a child
# process: a C++ exception escaping into the interpreter would abort it.
NO_MEMORY = textwrap.dedent(
    """
    import sys, _testcapi
    sys.path.insert(0, {path!r})
    import profilon
    calls = [profilon.EDA().eda_report_and_score, profilon.EdaScoreBreakdown.weighted_total]
    seen = set()
    for call in calls:
        for start in range(300):
            try:
                _testcapi.set_nomemory(start, 0)
                try:
                    call()
                finally:
                    _testcapi.remove_mem_hooks()
            except (MemoryError, TypeError) as exc:
                seen.add(type(exc).__name__)
            else:
                raise AssertionError("bound without its arguments")
    # A failed call must have left the recursion depth as it found it.
    def deep(n):
        return n if n == 0 else deep(n - 1)
    deep(sys.getrecursionlimit() - 50)
    print(sorted(seen))
    """
)


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs CPython's _testcapi")
def test_allocation_failures_while_binding_raise_memory_error():
    script = NO_MEMORY.format(path=str(Path(profilon.__file__).parent))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["['MemoryError',", "'TypeError']"]


def test_rebound_module_names_are_seen_at_the_next_call(monkeypatch):
    class FakeLibrary:
        __version__ = "9.9.9"

    monkeypatch.setattr(profilon, "pd", FakeLibrary())
    assert profilon.EDA()._compose_version().startswith("pandas:9.9.9 | numpy:")


def test_uninitialised_instance_raises_recursion_error():
    bare = profilon.EDA.__new__(profilon.EDA)
    with pytest.raises(RecursionError):
        _ = bare.anything


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_the_entry_symbol_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", profilon.__file__], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    assert symbols == {"PyInit_profilon"}


BLOCKED_IMPORT = textwrap.dedent(
    """
    import importlib.abc, sys
    sys.path.insert(0, {path!r})

    class Blocker(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name == "statsmodels" or name.startswith("statsmodels."):
                raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
            return None

    blocker = Blocker()
    sys.meta_path.insert(0, blocker)
    try:
        import profilon
    except ModuleNotFoundError as exc:
        print("failed:", exc.name, "profilon" in sys.modules)
    sys.meta_path.remove(blocker)
    import profilon
    import statsmodels.tsa.stattools
    print("then:", profilon.EDA.__name__, profilon._adfuller is statsmodels.tsa.stattools.adfuller)
    """
)


def test_missing_library_fails_the_import_and_a_later_import_runs_again():
    script = BLOCKED_IMPORT.format(path=str(Path(profilon.__file__).parent))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["failed: statsmodels False", "then: EDA True"]


def test_no_source_file_name_is_shared():
    # A name that two files share makes a debugger's frames, a compiler's
    # messages and a search by file name ambiguous.
    src = Path(__file__).resolve().parents[2] / "src"
    if not src.is_dir():
        pytest.skip("the sources are not beside the tests")
    seen: dict[str, list[str]] = {}
    for path in src.rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts:
            seen.setdefault(path.name, []).append(str(path.relative_to(src)))
    shared = {name: paths for name, paths in seen.items() if len(paths) > 1 and name != "__init__.py"}
    assert shared == {}


def _entries(module):
    return {name for name, value in vars(module).items() if inspect.isbuiltin(value)}


def _attributes_read(paths, *, importing=None):
    """The attribute names read in these Python files (of those that import
    `importing`, when given), and their string constants (the tests reach
    some entries through getattr)."""
    import ast

    read, strings = set(), set()
    for path in paths:
        tree = ast.parse(path.read_text(), str(path))
        nodes = list(ast.walk(tree))
        if importing is not None and not any(
            (isinstance(n, ast.Import) and any(a.name == importing for a in n.names))
            or (isinstance(n, ast.ImportFrom) and n.module == importing)
            for n in nodes
        ):
            continue
        read |= {n.attr for n in nodes if isinstance(n, ast.Attribute)}
        strings |= {n.value for n in nodes if isinstance(n, ast.Constant) and isinstance(n.value, str)}
    return read, strings


def _source_calls():
    root = Path(__file__).resolve().parents[2]
    if not (root / "src").is_dir() or not (root / "bench").is_dir():
        pytest.skip("the sources and the benchmarks are not beside the tests (an sdist)")
    paths = [p for d in ("src", "bench") for p in (root / d).rglob("*.py")]
    return _attributes_read(paths, importing="_profilon_kernels")[0]


def test_the_shipped_kernel_module_declares_what_the_sources_call(kernels):
    # _profilon_kernels ships in the wheels for the Dask driver; an entry that
    # no source or benchmark calls belongs in _profilon_test_entries. The
    # sources call the entries as attributes of the module (the native code
    # calls the kernels themselves).
    called = _source_calls()
    assert sorted(_entries(kernels) - called) == []


def test_the_test_entries_are_called_by_tests_alone_and_declared_once(kernels, test_entries):
    called = _source_calls()
    shipped, test_only = _entries(kernels), _entries(test_entries)
    # An entry the sources start calling moves back to the shipped module.
    assert sorted(test_only & called) == []
    assert sorted(shipped & test_only) == []
    # One that no test calls either is dead code in both.
    read, strings = _attributes_read(Path(__file__).resolve().parents[1].rglob("*.py"))
    assert sorted(test_only - read - strings) == []
