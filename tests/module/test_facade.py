"""The backend facade: forwarding, listings and the version string."""

import types

import numpy
import pandas
import pytest
import sklearn

import profilon


def test_init_binds_the_library_objects(eda):
    assert list(vars(eda)) == ["random", "linalg", "fft", "_np", "_pd", "_sk"]
    assert eda.random is numpy.random and eda.linalg is numpy.linalg and eda.fft is numpy.fft
    assert eda._np is numpy and eda._pd is pandas and eda._sk is sklearn


@pytest.mark.parametrize(
    "name, expected",
    [
        ("array", numpy.array),  # numpy wins over pandas.array
        ("unique", numpy.unique),
        ("read_csv", pandas.read_csv),
        ("isna", pandas.isna),
        ("clone", sklearn.clone),
        ("__version__", numpy.__version__),
        ("no_such_name_anywhere", None),
    ],
)
def test_forwarding_order(eda, name, expected):
    assert getattr(eda, name) is expected


def test_own_methods_are_not_forwarded(eda):
    assert eda.eda_report_and_score.__func__ is profilon.EDA.eda_report_and_score
    assert hasattr(eda, "anything_at_all")


def test_forwarding_lets_other_errors_through(eda):
    class Exploding(types.ModuleType):
        def __getattr__(self, name):
            raise RuntimeError(f"lazy import of {name} failed")

    eda._np = Exploding("fake")
    with pytest.raises(RuntimeError, match="lazy import of whatever failed"):
        _ = eda.whatever


@pytest.mark.parametrize("name, public", [("mean", True), ("", True), ("_private", False), ("__dict__", False)])
def test_is_public(eda, name, public):
    assert eda._is_public(name) is public


def test_dir_safe(eda):
    assert eda._dir_safe(None) == []
    names = eda._dir_safe(numpy)
    assert "array" in names and not any(n.startswith("_") for n in names)
    assert names == sorted(names)

    class Unlistable:
        def __dir__(self):
            raise ValueError("no listing")

    assert eda._dir_safe(Unlistable()) == []


def test_dir_safe_lets_interrupts_through(eda):
    class Interrupting:
        def __dir__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        eda._dir_safe(Interrupting())


def test_union_attrs(eda):
    names = eda._union_attrs()
    assert names == sorted(names) == eda._union_attrs()
    assert {"Tamsel", "train_test_split", "DataFrame", "array", "clone", "set_priority"} <= set(names)
    assert not any(n.startswith("_") for n in names)
    assert len(names) == len(set(names))


def test_dir_of_an_instance(eda):
    names = dir(eda)
    assert names == sorted(set(names))
    assert {"_np", "eda_report_and_score", "__getattr__", "array", "DataFrame", "clone", "__version__"} <= set(names)
    eda._sklearn_submods = ["model_selection_extra"]
    assert "model_selection_extra" in dir(eda)


def test_compose_version(eda, monkeypatch):
    assert eda._compose_version() == (
        f"pandas:{pandas.__version__} | numpy:{numpy.__version__} | sklearn:{sklearn.__version__}"
    )
    monkeypatch.setattr(sklearn, "__version__", "")
    assert eda._compose_version() == f"pandas:{pandas.__version__} | numpy:{numpy.__version__}"
    for lib in (pandas, numpy):
        monkeypatch.delattr(lib, "__version__")
    assert eda._compose_version() == "unknown"


def test_compose_version_formats_non_string_versions(eda, monkeypatch):
    monkeypatch.setattr(profilon, "np", types.SimpleNamespace(__version__=(2, 0)))
    assert " | numpy:(2, 0) | " in eda._compose_version()


def test_compose_version_lets_other_errors_through(eda, monkeypatch):
    class Broken:
        @property
        def __version__(self):
            raise RuntimeError("metadata unreadable")

    monkeypatch.setattr(profilon, "sklearn", Broken())
    with pytest.raises(RuntimeError, match="metadata unreadable"):
        eda._compose_version()
