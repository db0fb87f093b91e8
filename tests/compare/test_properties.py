"""Whatever two small frames arrive, the comparison never crashes, never
modifies them, and always renders."""

import json
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import profilon

cells = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.integers(-5, 5).map(float),
    st.none(),
)
levels = st.one_of(st.sampled_from(["a", "b", "<c>", "d|e", ""]), st.none())


@st.composite
def frames(draw):
    n = draw(st.integers(0, 40))
    columns = {}
    for name in draw(st.lists(st.sampled_from(["x", "y", "c", "t", "&k"]), unique=True, min_size=1, max_size=4)):
        if name == "c" or name == "&k":
            columns[name] = pd.Series(draw(st.lists(levels, min_size=n, max_size=n)), dtype=object)
        elif name == "t":
            columns[name] = pd.Series(pd.date_range("2024-01-01", periods=n, freq="D"))
        else:
            columns[name] = pd.Series(draw(st.lists(cells, min_size=n, max_size=n)), dtype="float64")
    return pd.DataFrame(columns)


# The sides' analyses compute moments of infinities and near-overflow values,
# on which NumPy and SciPy warn by design.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames(), frames())
def test_any_pair_compares_and_renders(ref, cur):
    before = (ref.copy(deep=True), cur.copy(deep=True))
    report = profilon.EDA().compare(ref, cur)
    pd.testing.assert_frame_equal(ref, before[0])
    pd.testing.assert_frame_equal(cur, before[1])
    json.loads(report.to_json())
    ET.fromstring(report.to_html().split("\n", 1)[1])
    assert report.to_markdown().startswith("# Dataset comparison\n")
    for fig in report.columns.values():
        assert fig["drifted"] in (True, False, None)
        for key in ("ks_statistic", "js_distance"):
            value = fig.get(key)
            assert value is None or 0.0 <= value <= 1.0 or np.isclose(value, 1.0)
