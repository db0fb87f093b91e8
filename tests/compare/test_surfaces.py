"""The comparison report's forms (Markdown, JSON, HTML, the notebook's) and
the `profilon compare` command."""

import json
import math
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

HOSTILE = '<script>alert("x")</script> & |pipe|\nline'


@pytest.fixture
def hostile_report(eda, rng):
    n = 400
    ref = pd.DataFrame({HOSTILE: rng.normal(size=n), "lvl": rng.choice(["<b>", "a&b"], n), "y": rng.normal(size=n)})
    cur = pd.DataFrame(
        {HOSTILE: rng.normal(3, 1, n), "lvl": rng.choice(["<b>", "a&b", '"q"'], n), "y": rng.normal(size=n)}
    )
    cur.loc[::5, "y"] = np.nan
    return eda.compare(ref, cur, target="y")


def test_html_escapes_every_label_and_is_well_formed(hostile_report):
    page = hostile_report.to_html()
    assert "<script>" not in page
    assert "&lt;script&gt;" in page and "&lt;b&gt;" in page
    # The page parses as XML once the doctype line is set aside.
    root = ET.fromstring(page.split("\n", 1)[1])
    svgs = root.findall(".//{http://www.w3.org/2000/svg}svg")
    # The drifted column, the target and the categorical column the
    # classifier leans on.
    assert len(svgs) == 3
    assert hostile_report._repr_html_().startswith('<div class="profilon-compare">')


def test_markdown_keeps_table_rows_whole(hostile_report):
    text = hostile_report.to_markdown()
    row = next(line for line in text.splitlines() if line.startswith("| `<script>"))
    assert "\\|pipe\\|" in row and row.count(" | ") == 7
    assert hostile_report._repr_markdown_() == text


def test_json_is_standard_and_complete(hostile_report):
    d = json.loads(hostile_report.to_json())
    assert set(d) == set(hostile_report.to_dict())
    fig = d["columns"][HOSTILE]
    assert fig["drifted"] is True
    assert fig["ks_statistic"] == hostile_report.columns[HOSTILE]["ks_statistic"]
    assert d["domain_classifier"]["rows_per_side"] == [400, 400]
    walk = [d]
    while walk:  # no NaN or infinity anywhere: standard JSON
        x = walk.pop()
        if isinstance(x, dict):
            walk.extend(x.values())
        elif isinstance(x, list):
            walk.extend(x)
        elif isinstance(x, float):
            assert math.isfinite(x)


def write_pair(tmp_path, rng, shift=0.6):
    n = 600
    ref = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n), "y": rng.normal(size=n)})
    cur = pd.DataFrame({"a": rng.normal(shift, 1, n), "b": rng.normal(size=n), "y": rng.normal(size=n)})
    ref.to_csv(tmp_path / "ref.csv", index=False)
    cur.to_csv(tmp_path / "cur.csv", index=False)
    return str(tmp_path / "ref.csv"), str(tmp_path / "cur.csv")


def test_cli_compare_writes_the_report_and_a_reference(cli, tmp_path, rng, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ref, cur = write_pair(tmp_path, rng)
    code = cli.main(["compare", ref, cur, "--target", "y", "-o", "out.json", "--save-reference", "r.json"])
    assert code == 0, capsys.readouterr().err
    d = json.loads((tmp_path / "out.json").read_text())
    assert d["drifted_columns"] == ["a"]
    assert d["targets"]["y"]["suitability_reference"] is not None
    code = cli.main(["compare", "r.json", cur, "--target", "y"])
    out = capsys.readouterr().out
    assert code == 0 and out.startswith("# Dataset comparison\n")
    assert "- Drifted columns: `a`" in out


@pytest.mark.parametrize(
    "args, message",
    [
        (["--target", "nope"], "profilon: --target 'nope' is not a column; the columns are: a, b, y"),
        (["-o", "out.xyz"], "profilon: cannot tell the report format from 'out.xyz'; use --format md|json|html"),
        (["--bogus"], "profilon compare: error: unrecognized arguments: --bogus (see profilon compare --help)"),
    ],
)
def test_cli_compare_user_mistakes_are_one_line_and_exit_2(cli, tmp_path, rng, capsys, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    ref, cur = write_pair(tmp_path, rng)
    with pytest.raises(SystemExit) if "--bogus" in args else _nothing() as exit_info:
        code = cli.main(["compare", ref, cur, *args])
    if exit_info is not None:
        code = exit_info.value.code
    err = capsys.readouterr().err
    assert code == 2
    assert err == message + "\n"


class _nothing:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize(
    "content, message",
    [
        (
            '{"format": "profilon-reference", "version": 7}',
            "is a saved reference of format version 7; this profilon reads version 1",
        ),
        ("[1, 2]", "is not a saved profilon reference"),
        ("{", "is not a saved profilon reference (it is not JSON)"),
    ],
)  # fmt: skip
def test_cli_compare_checks_a_saved_reference(cli, tmp_path, rng, capsys, content, message):
    _, cur = write_pair(tmp_path, rng)
    saved = tmp_path / "old.json"
    saved.write_text(content)
    assert cli.main(["compare", str(saved), cur]) == 2
    err = capsys.readouterr().err
    assert err.startswith("profilon: ") and err.rstrip("\n").endswith(message) and err.count("\n") == 1


def test_a_file_named_compare_is_still_data(cli, tmp_path, rng, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pd.DataFrame({"a": rng.normal(size=50)}).to_csv(tmp_path / "compare", index=False)
    assert cli.main(["compare", "--input-format", "csv"]) == 0
    assert capsys.readouterr().out.startswith("# ")
