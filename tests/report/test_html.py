"""EdaReport.to_html, _repr_html_ and _repr_markdown_.

The page must be well-formed XML (parsed strictly here), say everything the
Markdown report says, draw a chart for every section that has data and say
so in a sentence when it has none, and print every label as text.
"""

import dataclasses
import os
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pytest
from test_render import GOLDEN, REPORTS, breakdown

import profilon

SVG = "{http://www.w3.org/2000/svg}"


def parse(page):
    assert page.startswith('<!DOCTYPE html>\n<html lang="en">')
    return ET.fromstring(page)  # raises on anything that is not well-formed


def own_text(el):
    """The text of an element without its nested lists, as a reader sees it."""
    parts = [el.text or ""]
    for child in el:
        if child.tag != "ul":
            parts.append(own_text(child))
        parts.append(child.tail or "")
    return "".join(parts)


def text_lines(root):
    return [own_text(el) for el in root.iter() if el.tag in ("h1", "h2", "h3", "li", "p")]


def markdown_lines(md):
    out = []
    for line in md.split("\n"):
        line = line.lstrip(" ")
        for marker in ("### ", "## ", "# ", "- "):
            if line.startswith(marker):
                line = line[len(marker) :]
                break
        if line:
            out.append(line.replace("**", ""))
    return out


def is_subsequence(needles, haystack):
    it = iter(haystack)
    return all(any(n == h for h in it) for n in needles)


def figures(root):
    return {own_text(fig.find("figcaption")): fig.find(SVG + "svg") for fig in root.iter("figure")}


def empty_notes(root):
    return [el.text for el in root.iter("p") if el.get("class") == "empty"]


@pytest.mark.parametrize("name", list(REPORTS))
def test_page_says_everything_the_markdown_says(name):
    report = REPORTS[name]()
    root = parse(report.to_html())
    assert is_subsequence(markdown_lines(report.to_markdown()), text_lines(root))
    assert root.find("head/title").text == f"EDA & DNN Suitability: {report.suitability_score}/100"


def test_options_reach_the_text_and_the_charts():
    report = REPORTS["one_target_time"]()
    root = parse(report.to_html(max_mi=1, max_cat=0))
    assert is_subsequence(markdown_lines(report.to_markdown(max_mi=1, max_cat=0)), text_lines(root))
    charts = figures(root)
    assert len(bars(charts["Numeric feature relevance (mutual information) \u2014 target price"])) == 1
    assert "Categorical correlation ratio (\u03b7\u00b2) \u2014 target price: no feature was scored." in empty_notes(
        root
    )


def bars(svg):
    """(label, printed value, bar width) of each row of a bar chart."""
    rows = []
    for g in svg.findall(SVG + "g"):
        texts = g.findall(SVG + "text")
        rect = g.find(SVG + "rect")
        rows.append((texts[0].text, texts[1].text, None if rect is None else float(rect.get("width"))))
    return rows


def test_charts_of_a_report_with_target_and_time_axis():
    root = parse(REPORTS["one_target_time"]().to_html())
    charts = figures(root)
    assert list(charts) == [
        "Suitability score by target (0\u2013100)",
        "Missing share by column (highest 30)",
        "Numeric feature relevance (mutual information) \u2014 target price",
        "Categorical correlation ratio (\u03b7\u00b2) \u2014 target price",
        "Autocorrelation at the canonical lags \u2014 target price",
        "The 13 components (0\u20131, weight in brackets)",
    ]
    assert empty_notes(root) == []
    # Only columns with something missing get a bar.
    assert [(label, value) for label, value, _ in bars(charts["Missing share by column (highest 30)"])] == [
        ("temp", "0.5%")
    ]
    mi = bars(charts["Numeric feature relevance (mutual information) \u2014 target price"])
    assert [(label, value) for label, value, _ in mi] == [("volume", "0.4123"), ("temp", "0.0876")]
    assert mi[0][2] / mi[1][2] == pytest.approx(0.41234567 / 0.0876, rel=1e-2)
    acf = bars(charts["Autocorrelation at the canonical lags \u2014 target price"])
    assert [label for label, _, _ in acf] == ["lag 1", "lag 7", "lag 30", "lag 365"]
    components = bars(charts["The 13 components (0\u20131, weight in brackets)"])
    assert [label for label, _, _ in components][:2] == ["Size Adequacy (15)", "Feature To Row Ratio (10)"]
    assert len(components) == 13
    assert components[0][1] == "0.20" and components[0][2] == pytest.approx(components[1][2] * 0.2, rel=1e-2)


def test_sections_without_data_say_so():
    root = parse(REPORTS["no_target"]().to_html())
    assert list(figures(root)) == [
        "Missing share by column (highest 30)",
        "The 13 components (0\u20131, weight in brackets)",
    ]
    assert empty_notes(root) == [
        "No target column was analysed, so there are no per-target scores.",
        "No feature relevance was computed: no relevance charts.",
        "No time axis was analysed: no time-series diagnostics or autocorrelation charts.",
    ]


def test_gauge_fill_follows_the_score():
    widths = {}
    for score in (0.0, 50.0, 100.0, float("nan")):
        report = dataclasses.replace(REPORTS["no_target"](), suitability_score=score)
        gauge = next(s for s in parse(report.to_html()).iter(SVG + "svg") if "gauge" in s.get("class"))
        rects = gauge.findall(SVG + "rect")
        widths[score] = float(rects[1].get("width")) if len(rects) > 1 else None
    assert widths[0.0] == 0.0 and widths[100.0] == pytest.approx(2 * widths[50.0]) and widths[100.0] > 0
    assert list(widths.values())[-1] is None


def test_missing_chart_keeps_the_highest_thirty():
    shares = {f"c{i:02d}": i / 100 for i in range(40)}
    report = dataclasses.replace(REPORTS["no_target"](), missingness={"by_column_missing_share": shares})
    chart = figures(parse(report.to_html()))["Missing share by column (highest 30)"]
    assert [label for label, _, _ in bars(chart)] == [f"c{i:02d}" for i in range(39, 9, -1)]


HOSTILE = [
    "<script>alert(1)</script>",
    "a & b",
    'say "hi"',
    "it's",
    "]]><!--",
    "pr\u00eds \u2713 \u6570\u636e",
    "tab\there",
    "bell\x07null\x00",
    "**half bold",
    "very long " * 30,
    "line\nbreak",
    "lone \ud800 surrogate",
]


def hostile_report():
    names = HOSTILE
    per_target = {n: 50.0 for n in names[:3]}
    return dataclasses.replace(
        REPORTS["two_targets"](),
        missingness={"by_column_missing_share": {n: 0.1 for n in names}, "total_missing_share": 0.1},
        relationships={
            "corr_method": "spearman",
            "mutual_information_top_by_target": {t: {n: 0.5 for n in names} for t in names[:3]},
            "cat_corr_ratio_top_by_target": {t: {n: 0.2 for n in names} for t in names[:3]},
        },
        time_series={"per_target": {t: {"adfuller_pvalue": 0.5, "autocorr_at_lags": {1: 0.5}} for t in names[:3]}},
        suitability_score_by_target=per_target,
        score_breakdown_by_target={t: dataclasses.asdict(breakdown()) for t in names[:3]},
        recommendations=[f"Check {n}" for n in names],
    )


def test_hostile_labels_print_as_text():
    report = hostile_report()
    page = report.to_html()
    root = parse(page)
    assert list(root.iter("script")) == [] and list(root.iter(SVG + "script")) == []
    assert "<script>" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    lines = text_lines(root)
    for name in ["<script>alert(1)</script>", "a & b", 'say "hi"', "it's", "]]><!--", "pr\u00eds \u2713 \u6570\u636e"]:
        assert f"Check {name}" in lines
    # Characters XML cannot carry are replaced, never dropped silently.
    assert "Check bell\ufffdnull\ufffd" in lines
    assert "Check lone \ufffd surrogate" in lines
    # Long labels are shortened in the charts but kept whole in the text.
    long = "very long " * 30
    assert f"Check {long}" in lines
    drawn = [t.text for t in root.iter(SVG + "text")]
    assert "very long very long very lo\u2026" in drawn
    assert max(len(t) for t in drawn if t) <= 28
    # An unmatched ** in a label opens no bold that would swallow the line.
    assert "Check **half bold" in lines


def test_repr_html_is_the_page_body():
    report = REPORTS["one_target_time"]()
    body = report._repr_html_()
    assert body.startswith('<div class="profilon-report"><style>') and body.endswith("</div>")
    assert body in report.to_html()
    ET.fromstring(body)


def test_repr_markdown_goes_through_to_markdown():
    class Custom(profilon.EdaReport):
        def to_markdown(self, **kwargs):
            return "custom"

    report = REPORTS["no_target"]()
    assert report._repr_markdown_() == report.to_markdown()
    assert Custom(**{f.name: getattr(report, f.name) for f in dataclasses.fields(report)})._repr_markdown_() == "custom"


def test_rendering_errors_propagate_and_leave_no_page():
    report = dataclasses.replace(REPORTS["no_target"](), missingness={"total_missing_share": "lots"})
    with pytest.raises(ValueError):
        report.to_html()
    with pytest.raises(TypeError):
        report.to_html(15)


def test_page_needs_no_network_and_no_script():
    page = REPORTS["one_target_time"]().to_html()
    root = parse(page)
    for el in root.iter():
        for attr in ("src", "href"):
            value = el.get(attr)
            assert value is None or not value.startswith(("http:", "https:", "//")), (el.tag, value)
    assert root.find(".//link") is None and root.find(".//img") is None
    assert "@import" not in page and "url(" not in page


# Golden pages of two report shapes. Unlike the Markdown ones they were
# written out by to_html itself when the page was designed, then read through
# and looked at in a browser; they pin the page against unintended change.
@pytest.mark.parametrize("name", ["no_target", "one_target_time"])
def test_html_matches_golden_file(name):
    expected = (GOLDEN / f"{name}.html").read_bytes()
    assert REPORTS[name]().to_html().encode("utf-8") == expected


# ---------------------------------------------------------------------------
# In a browser
# ---------------------------------------------------------------------------


def png_size_and_pixels(path):
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    idat = b""
    pos = 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8 : pos + 8 + length]
        pos += 12 + length
    return width, height, zlib.decompress(idat)


@pytest.mark.parametrize("width", [1280, 390])
def test_page_renders_in_headless_chromium(tmp_path, width):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed (apt-get install chromium, or run tools/render-report)")
    page = tmp_path / "report.html"
    page.write_text(REPORTS["one_target_time"]().to_html(), encoding="utf-8")
    shot = tmp_path / "shot.png"
    # The browser is not the code under test: the sanitizer run's preloaded
    # runtime and allocator switch would only make it hang.
    env = {
        k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    }
    subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--force-device-scale-factor=1",
         f"--window-size={width},1600", f"--screenshot={shot}", page.as_uri()],
        check=True, capture_output=True, timeout=120, env=env,
    )  # fmt: skip
    w, h, raw = png_size_and_pixels(shot)
    assert (w, h) == (width, 1600)
    # A blank page is one colour: its scanlines compress to a handful of
    # distinct byte values. Text and charts give many.
    assert len(set(raw)) > 64


@pytest.mark.parametrize("record", [{}, {"autocorr_at_lags": None}, {"autocorr_at_lags": [0.5]}])
def test_unusable_autocorrelation_records_get_a_sentence(record):
    report = dataclasses.replace(
        REPORTS["one_target_time"](), time_series={"freq_inferred": "D", "per_target": {"price": record}}
    )
    root = parse(report.to_html())
    assert "Autocorrelation \u2014 target price: no lag could be measured." in empty_notes(root)
