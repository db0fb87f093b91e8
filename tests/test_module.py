"""Module surface: import, library names, class shapes, symbol exports."""

import importlib
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import profilon
from conftest import expected_location


def test_module_is_the_build_under_test():
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
