"""The `profilon` command, run as a real process (`python -m profilon_cli`).

Each input format must give the same report as the library call on the same
frame; bad input must give one line on standard error and exit status 2.
"""

import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import profilon

ROOT = Path(__file__).resolve().parents[2]
HAS_PYARROW = True
try:
    import pyarrow  # noqa: F401
except ImportError:
    HAS_PYARROW = False
needs_pyarrow = pytest.mark.skipif(not HAS_PYARROW, reason="pyarrow is not installed (pip install 'profilon[io]')")


def command_env(extra_path=()):
    # The module under test (the dev build, when PROFILON_BUILD_DIR names
    # one) and the command's own module from the source tree.
    paths = [str(p) for p in extra_path]
    paths.append(os.path.dirname(profilon.__file__))
    paths.append(str(ROOT / "src"))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env["PYTHONPATH"]] if env.get("PYTHONPATH") else paths)
    return env


def run(*args, stdin=None, extra_path=(), **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "profilon_cli", *map(str, args)],
        input=stdin,
        capture_output=True,
        env=command_env(extra_path),
        timeout=300,
        **kwargs,
    )


def make_frame():
    rng = np.random.default_rng(11)
    n = 150
    x1 = rng.normal(size=n)
    df = pd.DataFrame(
        {
            "date": pd.date_range("2021-01-01", periods=n, freq="D"),
            "x1": x1,
            "x2": rng.normal(10.0, 3.0, size=n),
            "count": rng.integers(0, 50, size=n),
            "city": rng.choice(["Oslo", "Lima", "Pune"], size=n),
            "y": 2.0 * x1 + rng.normal(0.0, 0.5, size=n),
        }
    )
    df.loc[[3, 40, 77], "x2"] = np.nan
    return df


@pytest.fixture(scope="module")
def frame():
    return make_frame()


def library_report(df, **kwargs):
    np.random.seed(0)
    return profilon.EDA().eda_report_and_score(df, **kwargs)


WRITERS = {
    "data.csv": lambda df, p: df.to_csv(p, index=False),
    "data.tsv": lambda df, p: df.to_csv(p, sep="\t", index=False),
    "data.csv.gz": lambda df, p: df.to_csv(p, index=False),
    # Through the json module: pandas' own writer keeps 10 digits only.
    "data.jsonl": lambda df, p: p.write_text(
        "".join(json.dumps(r, default=str) + "\n" for r in df.astype({"date": str}).to_dict("records"))
    ),
    "data.parquet": lambda df, p: df.to_parquet(p, index=False),
    "data.feather": lambda df, p: df.to_feather(p),
    "data.txt": lambda df, p: df.to_csv(p, index=False),  # with --input-format csv
}


@pytest.mark.parametrize(
    "name",
    [pytest.param(n, marks=needs_pyarrow) if n.endswith(("parquet", "feather")) else n for n in WRITERS],
)
def test_each_input_format_gives_the_library_report(tmp_path, frame, name):
    path = tmp_path / name
    WRITERS[name](frame, path)
    extra = ["--input-format", "csv"] if name.endswith(".txt") else []
    got = run(path, *extra, "--target", "y", "--datetime-col", "date", "--seed", "0")
    assert got.returncode == 0, got.stderr
    assert got.stderr == b""
    expected = library_report(frame, target="y", datetime_col="date").to_markdown()
    assert got.stdout.decode("utf-8") == expected + "\n"


def test_standard_input_and_every_option_reach_the_analysis(frame):
    got = run(
        "-", "--target", "y", "--target", "x1", "--datetime-col", "date", "--freq", "D",
        "--max-mi-features", "2", "--max-cat-features", "1", "--corr-method", "pearson", "--seed", "3",
        stdin=frame.to_csv(index=False).encode(),
    )  # fmt: skip
    assert got.returncode == 0, got.stderr
    np.random.seed(3)
    expected = profilon.EDA().eda_report_and_score(
        frame, target=["y", "x1"], datetime_col="date", freq="D", max_mi_features=2, max_cat_features=1,
        corr_method="pearson",
    )  # fmt: skip
    assert got.stdout.decode("utf-8") == expected.to_markdown() + "\n"


@pytest.mark.parametrize(
    "how", [("--format", "json"), ("-o", "report.json"), ("-o", "report.html", "--format", "json")]
)
def test_json_output_loads_and_equals_to_dict(tmp_path, frame, how, json_values):
    path = tmp_path / "data.csv"
    frame.to_csv(path, index=False)
    args = [a if not a.startswith("report.") else tmp_path / a for a in how]
    got = run(path, "--target", "y", "--datetime-col", "date", "--seed", "0", *args)
    assert got.returncode == 0, got.stderr
    text = got.stdout.decode() if "-o" not in how else Path(args[1]).read_text(encoding="utf-8")
    report = library_report(frame, target="y", datetime_col="date")
    assert json.loads(text) == json_values(report.to_dict())


def test_html_file_is_the_report_page(tmp_path, frame):
    path = tmp_path / "data.csv"
    frame.to_csv(path, index=False)
    out = tmp_path / "report.html"
    got = run(path, "--target", "y", "--datetime-col", "date", "--seed", "0", "-o", out)
    assert (got.returncode, got.stdout, got.stderr) == (0, b"", b"")
    expected = library_report(frame, target="y", datetime_col="date").to_html()
    assert out.read_text(encoding="utf-8") == expected


def write(path, content):
    path.write_bytes(content)
    return path


BAD_INPUTS = {
    "missing file": (lambda d: (d / "nope.csv",), "no such file"),
    "folder without Parquet files": (lambda d: (d,), "no Parquet file in that folder"),
    "pattern matching nothing": (lambda d: (d / "*.parquet",), "no Parquet file in that pattern"),
    "directory with format": (lambda d: (d, "--input-format", "csv"), "is a directory"),
    "unknown extension": (lambda d: (write(d / "data.xlsx", b"a,b\n1,2\n"),), "--input-format"),
    "empty file": (lambda d: (write(d / "empty.csv", b""),), "is empty"),
    "header only": (lambda d: (write(d / "head.csv", b"a,b\n"),), "no data rows"),
    "unknown target": (
        lambda d: (d / "data.csv", "--target", "price"),
        "--target 'price' is not a column; the columns are: date, x1, x2, count, city, y",
    ),
    "unknown time column": (
        lambda d: (d / "data.csv", "--datetime-col", "when"),
        "--datetime-col 'when' is not a column",
    ),
    "text target": (lambda d: (d / "data.csv", "--target", "city"), "--target 'city' is not numeric"),
    "dates that are not dates": (lambda d: (d / "data.csv", "--datetime-col", "city"), "could not be read as dates"),
    "unknown output extension": (lambda d: (d / "data.csv", "-o", d / "out.xyz"), "--format md|json|html"),
    "unknown option": (lambda d: (d / "data.csv", "--colour"), "unrecognized arguments: --colour"),
    "bad number": (lambda d: (d / "data.csv", "--seed", "x"), "invalid int value"),
    "bad format name": (lambda d: (d / "data.csv", "--format", "pdf"), "invalid choice"),
    "unwritable output": (lambda d: (d / "data.csv", "-o", d / "no" / "such" / "report.md"), "cannot write"),
    "broken parquet": (lambda d: (write(d / "bad.parquet", b"not parquet"),), "as Parquet"),
    "ragged csv": (lambda d: (write(d / "bad.csv", b"a,b\n1,2\n1,2,3,4\n"),), "as CSV"),
}  # fmt: skip


@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_gives_one_line_and_status_2(tmp_path, frame, case):
    if case == "broken parquet" and not HAS_PYARROW:
        pytest.skip("pyarrow is not installed")
    frame.to_csv(tmp_path / "data.csv", index=False)
    make_args, message = BAD_INPUTS[case]
    got = run(*make_args(tmp_path))
    err = got.stderr.decode()
    assert got.returncode == 2, err
    assert got.stdout == b""
    assert err.count("\n") == 1 and err.startswith("profilon: "), err
    assert message in err
    assert "Traceback" not in err


def test_parquet_without_pyarrow_says_how_to_get_it(tmp_path):
    # A package that fails to import stands in for a missing pyarrow.
    shadow = tmp_path / "shadow" / "pyarrow"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    data = write(tmp_path / "data.feather", b"whatever")
    got = run(data, extra_path=[tmp_path / "shadow"])
    assert got.returncode == 2
    assert got.stderr.decode() == "profilon: reading Feather needs pyarrow: pip install 'profilon[io]'\n"


def test_analysis_failure_is_status_1(monkeypatch, tmp_path, frame, capsys):
    sys.path.insert(0, str(ROOT / "src"))
    try:
        import profilon_cli
    finally:
        sys.path.remove(str(ROOT / "src"))
    path = tmp_path / "data.csv"
    frame.to_csv(path, index=False)

    def fail(self, df, **kwargs):
        raise ValueError("singular matrix\nsecond line")

    monkeypatch.setattr(profilon.EDA, "eda_report_and_score", fail)
    assert profilon_cli.main([str(path), "--target", "y"]) == 1
    assert capsys.readouterr().err == "profilon: analysis failed: ValueError: singular matrix\n"
    assert "_step_clock" not in vars(profilon)


def run_on_terminal(*args):
    """Runs the command with its standard error on a pseudo-terminal."""
    leader, follower = pty.openpty()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "profilon_cli", *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=follower,
            env=command_env(),
        )
        os.close(follower)
        chunks = []
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal closes with the process
                break
            if not chunk:
                break
            chunks.append(chunk)
        out = proc.stdout.read()
        proc.wait(timeout=300)
    finally:
        os.close(leader)
    return proc.returncode, out, b"".join(chunks).decode().replace("\r\n", "\n")


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tmp_path, frame, quiet):
    path = tmp_path / "data.csv"
    frame.to_csv(path, index=False)
    args = [path, "--target", "y", "--datetime-col", "date", "--seed", "0"] + (["--quiet"] if quiet else [])
    code, out, err = run_on_terminal(*args)
    assert code == 0
    expected = library_report(frame, target="y", datetime_col="date").to_markdown() + "\n"
    assert out.decode() == expected
    if quiet:
        assert err == ""
    else:
        lines = err.splitlines()
        assert lines[0] == "profilon: [1/9] typing columns"
        assert lines[8] == "profilon: [9/9] assembling the report"
        assert lines[9].startswith("profilon: report ready in ") and len(lines) == 10
    # Piped, the same run is silent.
    piped = run(*args)
    assert (piped.returncode, piped.stderr, piped.stdout) == (0, b"", out)


def test_the_quick_start_csv_gives_the_quick_start_report(tmp_path):
    # The README's two command-line steps: the quick start writes its
    # dataset as CSV, and the command's report of that file is the one the
    # quick start printed.
    csv = tmp_path / "macro.csv"
    quick = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--csv", str(csv)],
        capture_output=True,
        text=True,
        env=command_env(),
        timeout=300,
        check=True,
    )
    out = run(csv, "--target", "realgdp", "--datetime-col", "date", "--seed", "0", text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == quick.stdout
