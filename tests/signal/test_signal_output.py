"""The signal report's renderings, and the command's --signal."""

import json
import re
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

import profilon


@pytest.fixture
def report(eda, curved_frame):
    df = curved_frame.assign(**{"<b>&price": curved_frame["x3"]})
    df["const"] = "same"
    return eda.signal_check(df, target=["y", "const"], sample_rows=600)


def test_markdown_names_each_target_and_its_figures(report):
    text = report.to_markdown()
    y = report.targets["y"]
    assert text.startswith("## Signal Check\n")
    assert "### Target y: **strong**" in text
    assert "### Target const: **not checked**" in text
    assert f"linear **{y['r2_linear']:.4f}**, boosted **{y['r2_boosted']:.4f}**" in text
    assert f"rows used: 600 of {y['rows_available']}" in text
    assert report._repr_markdown_() == text


def test_json_is_the_dictionary(report):
    assert json.loads(report.to_json()) == json.loads(json.dumps(report.to_dict()))
    assert report.to_json(indent=2).startswith('{\n  "settings"')


def test_non_text_labels_are_plain_json(eda):
    rng = np.random.default_rng(4)
    df = pd.DataFrame({0: rng.normal(size=200), ("a", 1): rng.normal(size=200), "y": rng.normal(size=200)})
    data = json.loads(eda.signal_check(df, target=["y", 0]).to_json())
    assert list(data["targets"]) == ["y", "0"]
    # As in the analysis' JSON, a tuple label is a list; the other target is
    # no feature.
    for record in data["targets"].values():
        assert [t["feature"] for t in record["top_features"]] == [["a", 1]]


def test_html_escapes_labels_and_is_well_formed(report):
    page = report.to_html()
    fragment = report._repr_html_()
    assert fragment in page and "<b>&price" not in page
    assert "&lt;b&gt;&amp;price" in page
    ET.fromstring(page.split("\n", 1)[1])  # XML-parseable after the doctype
    root = ET.fromstring(fragment)
    assert root.get("class") == "profilon-signal"
    verdicts = [span.text for span in root.iter("span") if "verdict" in span.get("class", "")]
    assert verdicts == ["strong", "not checked"]


@pytest.fixture
def csv(tmp_path, curved_frame):
    path = tmp_path / "data.csv"
    curved_frame.head(400).to_csv(path, index=False)
    return path


@pytest.mark.parametrize("fmt", ["md", "json", "html"])
def test_the_command_adds_the_signal_check_to_each_format(cli, csv, tmp_path, capsys, fmt, eda):
    frame = cli.read_frame(str(csv), "csv")
    expected_report = profilon.EDA().eda_report_and_score(frame, target="y")
    expected_signal = eda.signal_check(frame, target="y", sample_rows=300)
    out = tmp_path / f"out.{fmt}"
    assert cli.main([str(csv), "--target", "y", "--signal", "--signal-rows", "300", "-o", str(out), "-q"]) == 0
    text = out.read_text(encoding="utf-8")
    if fmt == "md":
        head, sep, tail = text.partition("\n\n## Signal Check\n")
        assert head + "\n" == expected_report.to_markdown() + "\n"
        # Only the seconds spent may differ between the two runs.
        seconds = re.compile(r"; [0-9.]+ s$", re.M)
        assert seconds.sub("", sep + tail) == seconds.sub("", "\n\n" + expected_signal.to_markdown() + "\n")
        assert "### Target y: **strong**" in tail
    elif fmt == "json":
        data = json.loads(text)
        assert list(data) == ["report", "signal_check"]
        assert data["report"] == json.loads(expected_report.to_json())
        record = data["signal_check"]["targets"]["y"]
        expected = json.loads(expected_signal.to_json())["targets"]["y"]
        record.pop("seconds"), expected.pop("seconds")
        assert record == expected
    else:
        header_end = text.index("</header>") + len("</header>")
        assert text[header_end:].startswith('<div class="profilon-signal">')
        assert text.count('id="signal-check"') == 1
    assert capsys.readouterr().err == ""


def test_the_command_shows_a_line_per_target_on_a_terminal(cli, csv, capsys, monkeypatch):
    monkeypatch.setattr("sys.stderr.isatty", lambda: True)
    code = cli.main([str(csv), "--target", "y", "--target", "x0", "--signal", "--signal-rows", "200"])
    assert code == 0
    lines = capsys.readouterr().err.splitlines()
    signal_lines = [line for line in lines if "signal check" in line]
    assert signal_lines[:2] == ["profilon: signal check [1/2] target 'y'", "profilon: signal check [2/2] target 'x0'"]
    assert signal_lines[2].startswith("profilon: signal check ready in ") and len(signal_lines) == 3
    assert not hasattr(profilon, "_signal_clock")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--signal"], "profilon: --signal needs --target: name the numeric column(s) to check\n"),
        (["--signal", "--target", "y", "--signal-rows", "0"],
         "profilon: --signal-rows must be a positive number of rows, not 0\n"),
    ],
)  # fmt: skip
def test_the_command_refuses_a_signal_check_it_cannot_run(cli, csv, capsys, args, message):
    assert cli.main([str(csv), *args]) == 2
    captured = capsys.readouterr()
    assert (captured.err, captured.out) == (message, "")
