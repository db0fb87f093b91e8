"""The page's column panels: one per column, each an element carrying the
column's label (escaped) and an SVG chart; the page well-formed, without
script or network, small on wide frames; the report itself untouched."""

import copy
import dataclasses
import pickle
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import profilon

SVG = "{http://www.w3.org/2000/svg}"


def panels(page):
    root = ET.fromstring(page)  # raises on anything that is not well-formed
    return root, [el for el in root.iter("section") if el.get("data-column") is not None]


def test_every_column_has_a_panel_with_a_chart(mixed, mixed_report):
    df, _ = mixed
    root, found = panels(mixed_report.to_html())
    # ElementTree unescapes attributes: the labels read back as they are.
    assert [p.get("data-column") for p in found] == [format(c) for c in df.columns]
    for p in found:
        assert p.find(SVG + "svg") is not None, p.get("data-column")
    links = [a.get("href") for a in root.iter("a") if (a.get("href") or "").startswith("#column-")]
    assert links == [f"#{p.get('id')}" for p in found]


def test_hostile_labels_are_text(mixed_report, hostile_labels):
    page = mixed_report.to_html()
    assert "<script" not in page
    _, found = panels(page)
    assert set(hostile_labels) <= {p.get("data-column") for p in found}
    assert 'data-column="&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;"' in page
    assert 'data-column="line&#10;break"' in page


@pytest.mark.parametrize(
    "section,expected",
    [("targets", 2), ("correlation", 1)],
)
def test_targets_and_heat_map_are_drawn(mixed_report, section, expected):
    root, _ = panels(mixed_report.to_html())
    found = [el for el in root.iter("section") if el.get("id") == section]
    assert len(found) == 1
    charts = list(found[0].iter(SVG + "svg"))
    assert len(charts) >= expected


def test_the_heat_map_holds_the_most_relevant_numeric_columns(mixed_report):
    corr = mixed_report.detail["correlation"]
    cols = corr["columns"]
    assert cols[:2] == ["y", "x"] and len(cols) <= 30
    assert all(len(row) == len(cols) for row in corr["matrix"])
    m = np.array(corr["matrix"], dtype=float)
    assert np.array_equal(m, m.T, equal_nan=True)
    defined = ~np.isnan(np.diag(m))
    assert defined.sum() >= 2 and np.allclose(np.diag(m)[defined], 1.0)


@pytest.mark.parametrize("name,limit", [("typical", 300_000), ("wide", 1_500_000)])
def test_bench_pages_stay_small_with_every_column(bench_frames, name, limit):
    df, kwargs = bench_frames[name]()
    report = profilon.EDA().eda_report_and_score(df, **kwargs)
    page = report.to_html()
    assert len(page.encode("utf-8")) <= limit
    _, found = panels(page)
    assert len(found) == df.shape[1]


def test_the_report_is_unchanged_by_its_figures(mixed, mixed_report):
    df, kwargs = mixed
    bare = dataclasses.replace(mixed_report)
    assert not hasattr(bare, "detail")
    assert bare == mixed_report or bare.to_json() == mixed_report.to_json()  # NaN fields are never ==
    assert dataclasses.asdict(bare).keys() == dataclasses.asdict(mixed_report).keys()
    assert repr(bare) == repr(mixed_report)
    assert bare.to_markdown() == mixed_report.to_markdown()
    assert "detail" not in mixed_report.to_dict()
    # A page without the figures is the page of before: no column panels.
    _, found = panels(bare.to_html())
    assert found == []
    assert bare.to_html() != mixed_report.to_html()


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_copies_keep_the_figures(mixed_report, clone):
    other = clone(mixed_report)
    assert other.to_json(detail=True) == mixed_report.to_json(detail=True)
    assert other.to_html() == mixed_report.to_html()


@pytest.mark.parametrize("detail", [None, {}, {"columns": "nonsense"}, {"columns": [{"label": "a", "kind": 3}]}])
def test_broken_figures_never_break_the_page(mixed_report, detail):
    report = copy.copy(mixed_report)
    report.detail = detail
    ET.fromstring(report.to_html())


def test_wide_frames_draw_panels_compactly():
    rng = np.random.default_rng(0)
    import pandas as pd

    narrow = pd.DataFrame({"y": rng.normal(size=300), "c": rng.choice([f"v{i}" for i in range(40)], 300)})
    wide = pd.concat([narrow, pd.DataFrame(rng.normal(size=(300, 120))).add_prefix("x")], axis=1)

    def level_bars(df):
        report = profilon.EDA().eda_report_and_score(df, target="y")
        _, found = panels(report.to_html())
        panel = next(p for p in found if p.get("data-column") == "c")
        return len([t for t in panel.iter(SVG + "text") if t.get("class") != "value"])

    assert level_bars(narrow) == 16  # 15 levels and "(other)"
    assert level_bars(wide) == 6


def test_very_wide_frames_keep_every_panel_at_a_bounded_size():
    import pandas as pd

    rng = np.random.default_rng(1)
    df = pd.DataFrame(rng.normal(size=(200, 2000))).add_prefix("x").assign(y=rng.normal(size=200))
    report = profilon.EDA().eda_report_and_score(df, target="y")
    page = report.to_html()
    _, found = panels(page)
    assert len(found) == df.shape[1]
    assert len(page.encode("utf-8")) / df.shape[1] < 1500
    # Bins are drawn four to a bar: ten bars for the forty bins.
    bars = next(p for p in found if p.get("data-column") == "x0").find(SVG + "svg").find(SVG + "path")
    assert bars.get("d").count("M") == 10
