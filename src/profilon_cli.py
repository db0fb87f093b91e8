"""The `profilon` command: profile a data file and write its report.

    profilon DATA [--target COL ...] [--datetime-col COL] [--format md|json|html] [-o FILE] [--signal] ...
    profilon compare REF CUR [--target COL ...] [--datetime-col COL] [-o FILE] [--save-reference FILE]

The second form compares two data files (REF may also be a saved reference,
a .json file written by --save-reference); a first argument "compare" means
this form unless a file of that name exists. The report goes to standard
output as Markdown unless -o names a file, whose
extension picks the format (or --format does). Exit status: 0 done, 2 usage or
input error, 1 the analysis itself failed. Errors are one line on standard
error; progress (one line per analysis step, one per target of the signal
check) is shown only when standard error is a terminal and --quiet is not
given. With --signal, the signal check of each target follows the report in
Markdown, sits beside the score in HTML, and stands beside the report in
JSON ({"report": ..., "signal_check": ...}).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

EXIT_OK = 0
EXIT_ANALYSIS = 1
EXIT_USAGE = 2

INPUT_FORMATS = {
    ".csv": "csv",
    ".tsv": "tsv",
    ".tab": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".feather": "feather",
    ".arrow": "feather",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
}
# pandas reads these compressions of the text formats by the file name.
COMPRESSIONS = {".gz", ".bz2", ".xz", ".zst", ".zip"}
TEXT_FORMATS = {"csv", "tsv", "jsonl"}
FORMAT_NAMES = {"csv": "CSV", "tsv": "TSV", "parquet": "Parquet", "feather": "Feather", "jsonl": "JSON Lines"}

OUTPUT_FORMATS = {".md": "md", ".markdown": "md", ".txt": "md", ".json": "json", ".html": "html", ".htm": "html"}

# What the analysis reports to its step hook, in the order it runs.
STEPS = {
    "typing": "typing columns",
    "schema_missingness": "schema and missingness",
    "distributions": "distributions and outliers",
    "relationships": "relationships and feature relevance",
    "target": "target diagnostics",
    "time_axis": "time axis, lags and stationarity",
    "leakage": "leakage hints",
    "scoring": "scores and recommendations",
    "assembly": "assembling the report",
}


class InputError(Exception):
    """Bad input: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other input error, instead of usage + error.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="profilon",
        description="Profile a data file for regression and rate how well it suits a deep neural network.",
    )
    p.add_argument(
        "data",
        metavar="DATA",
        help="CSV, TSV, Parquet, Feather or JSON Lines file, or a folder or glob of Parquet files read as one "
        "dataset; '-' reads standard input",
    )
    p.add_argument("--target", action="append", metavar="COL", help="numeric target column; repeat for several")
    p.add_argument("--datetime-col", metavar="COL", help="time column (parsed as dates from text formats)")
    p.add_argument("--freq", metavar="F", help="pandas frequency of the time axis, e.g. D, W, MS (default: inferred)")
    p.add_argument(
        "--max-mi-features",
        type=int,
        default=60,
        metavar="N",
        help="features scored by mutual information (default 60)",
    )
    p.add_argument(
        "--max-cat-features", type=int, default=80, metavar="N", help="categorical features examined (default 80)"
    )
    p.add_argument("--corr-method", default="spearman", choices=["spearman", "pearson", "kendall"], metavar="M",
                   help="correlation method: spearman (default), pearson or kendall")  # fmt: skip
    p.add_argument(
        "--seed", type=int, metavar="N", help="seed NumPy's global generator first, for a reproducible report"
    )
    p.add_argument(
        "--signal",
        action="store_true",
        help="also check whether each target can be predicted from the features (cross-validated baselines "
        "against chance; needs --target)",
    )
    p.add_argument(
        "--signal-rows",
        type=int,
        default=30000,
        metavar="N",
        help="rows sampled for the signal check (default 30000)",
    )
    p.add_argument("--format", choices=["md", "json", "html"], help="report format (default: from -o, else md)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard output")
    p.add_argument("--input-format", choices=sorted(FORMAT_NAMES), help="format of DATA (default: from its extension)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress lines on standard error")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def build_compare_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="profilon compare",
        description="Compare a reference data file with a current one: drift per column, the schema difference, "
        "a domain classifier, and each side's suitability for training.",
    )
    p.add_argument("reference", metavar="REF", help="reference data file, or a saved reference (.json)")
    p.add_argument("current", metavar="CUR", help="current data file")
    p.add_argument("--target", action="append", metavar="COL", help="numeric target column; repeat for several")
    p.add_argument("--datetime-col", metavar="COL", help="time column (parsed as dates from text formats)")
    p.add_argument("--freq", metavar="F", help="pandas frequency of the time axis (default: inferred)")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="seed of the classifier's samples (default 0)")
    p.add_argument("--format", choices=["md", "json", "html"], help="report format (default: from -o, else md)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard output")
    p.add_argument("--save-reference", metavar="FILE", help="also save the reference's figures to FILE (.json)")
    p.add_argument("--input-format", choices=sorted(FORMAT_NAMES), help="format of the data files (default: from "
                   "their extensions)")  # fmt: skip
    p.add_argument(
        "-q", "--quiet", action="store_true", help="accepted for symmetry; the comparison prints no progress"
    )
    return p


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("profilon")
    except Exception:
        return "(not installed)"


def input_format(data: str, given: str | None) -> str:
    if given:
        return given
    if data == "-":
        return "csv"
    if _is_glob(data) or Path(data).is_dir():
        # A folder or a pattern of files is read as one Parquet dataset.
        return "parquet"
    suffixes = [s.lower() for s in Path(data).suffixes]
    if suffixes and suffixes[-1] in COMPRESSIONS:
        suffixes.pop()
    if suffixes and suffixes[-1] in INPUT_FORMATS:
        return INPUT_FORMATS[suffixes[-1]]
    raise InputError(
        f"cannot tell the format of {data!r} from its extension; use --input-format csv|tsv|parquet|feather|jsonl"
    )


def output_format(output: str | None, given: str | None) -> str:
    if given:
        return given
    if output is None:
        return "md"
    suffix = Path(output).suffix.lower()
    if suffix in OUTPUT_FORMATS:
        return OUTPUT_FORMATS[suffix]
    raise InputError(f"cannot tell the report format from {output!r}; use --format md|json|html")


def _require_pyarrow(fmt: str) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise InputError(f"reading {FORMAT_NAMES[fmt]} needs pyarrow: pip install 'profilon[io]'") from None


def _is_glob(data: str) -> bool:
    return any(c in data for c in "*?[") and not Path(data).exists()


def parquet_parts(data: str) -> list[str]:
    """The files of a Parquet dataset given as a folder (every .parquet or .pq
    file below it) or a glob pattern, in name order."""
    if Path(data).is_dir():
        parts = [str(p) for p in Path(data).rglob("*") if p.is_file() and p.suffix.lower() in (".parquet", ".pq")]
        what = "folder"
    else:
        import glob

        parts = [p for p in glob.glob(data, recursive=True) if Path(p).is_file()]
        what = "pattern"
    if not parts:
        raise InputError(f"cannot read {data!r}: no Parquet file in that {what}")
    return sorted(parts)


def read_dataset(data: str) -> Any:
    parts = parquet_parts(data)
    _require_pyarrow("parquet")
    import pyarrow.dataset as ds

    try:
        table = ds.dataset(parts, format="parquet").to_table()
    except OSError as e:
        raise InputError(f"cannot read {data!r}: {e.strerror or _first_line(e)}") from None
    except Exception as e:
        raise InputError(f"cannot read {data!r} as one Parquet dataset: {_first_line(e)}") from None
    df = table.to_pandas()
    if df.shape[1] == 0 or df.shape[0] == 0:
        raise InputError(f"{data} is empty: it has no data rows")
    return df


def read_frame(data: str, fmt: str) -> Any:
    import pandas as pd

    if data != "-" and fmt == "parquet" and (_is_glob(data) or Path(data).is_dir()):
        return read_dataset(data)
    source: Any = sys.stdin if data == "-" else data
    if data != "-":
        path = Path(data)
        if not path.exists():
            raise InputError(f"cannot read {data!r}: no such file")
        if path.is_dir():
            raise InputError(f"cannot read {data!r}: it is a directory")
        if not os.access(path, os.R_OK):
            raise InputError(f"cannot read {data!r}: permission denied")
    if fmt in ("parquet", "feather"):
        if data == "-":
            raise InputError(f"{FORMAT_NAMES[fmt]} cannot be read from standard input; give a file")
        _require_pyarrow(fmt)
    try:
        if fmt == "csv":
            df = pd.read_csv(source, **_exact_csv_floats(pd))
        elif fmt == "tsv":
            df = pd.read_csv(source, sep="\t", **_exact_csv_floats(pd))
        elif fmt == "jsonl":
            # Values keep the types JSON gave them: no guessing of dates or
            # narrower dtypes, which would make the report differ from the
            # frame that was written.
            import _profilon_kernels

            dates = (
                {} if _profilon_kernels.release_window("pandas_json_dates_as_written", pd) else {"convert_dates": False}
            )
            df = pd.read_json(source, lines=True, dtype=False, precise_float=True, **dates)
        elif fmt == "parquet":
            df = pd.read_parquet(source)
        else:
            df = pd.read_feather(source)
    except pd.errors.EmptyDataError:
        raise InputError(f"{_name(data)} is empty") from None
    except OSError as e:
        raise InputError(f"cannot read {_name(data)}: {e.strerror or e}") from None
    except Exception as e:
        raise InputError(f"cannot read {_name(data)} as {FORMAT_NAMES[fmt]}: {_first_line(e)}") from None
    if not isinstance(df, pd.DataFrame):  # a JSON Lines file of bare values
        raise InputError(f"cannot read {_name(data)} as {FORMAT_NAMES[fmt]}: not a table")
    if df.shape[1] == 0 or df.shape[0] == 0:
        raise InputError(f"{_name(data)} is empty: it has no data rows")
    return df


def _exact_csv_floats(pd: Any) -> dict[str, str]:
    # Numbers are parsed back to the exact doubles that were written: the
    # default parser can be off in the last bit before pandas 3.1.
    import _profilon_kernels

    return {} if _profilon_kernels.release_window("pandas_csv_floats_exact", pd) else {"float_precision": "round_trip"}


def _name(data: str) -> str:
    return "standard input" if data == "-" else repr(data)


def _first_line(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def _column_list(columns: Sequence[Any], limit: int = 20) -> str:
    names = [str(c) for c in columns]
    shown = ", ".join(names[:limit])
    return shown + (f", ... ({len(names) - limit} more)" if len(names) > limit else "")


def check_columns(df: Any, targets: Sequence[str], datetime_col: str | None, fmt: str) -> Any:
    import pandas as pd

    columns = list(df.columns)
    for col in list(targets) + ([datetime_col] if datetime_col is not None else []):
        if col not in columns:
            flag = "--datetime-col" if col == datetime_col and col not in targets else "--target"
            raise InputError(f"{flag} {col!r} is not a column; the columns are: {_column_list(columns)}")
    for col in targets:
        if not pd.api.types.is_numeric_dtype(df[col]):
            raise InputError(f"--target {col!r} is not numeric (its type is {df[col].dtype}); targets must be numbers")
    if datetime_col is not None and fmt in TEXT_FORMATS:
        try:
            with warnings.catch_warnings():
                # pandas' note that it parses element by element is not ours
                # to pass on; a failure is reported below.
                warnings.simplefilter("ignore", UserWarning)
                parsed = pd.to_datetime(df[datetime_col])
        except Exception as e:
            raise InputError(f"--datetime-col {datetime_col!r} could not be read as dates: {_first_line(e)}") from None
        df[datetime_col] = parsed  # our own frame, read from the file
    return df


class Progress:
    """Step hook: one line per analysis step on standard error."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.start = time.perf_counter()
        self.count = 0

    def __call__(self, step: str) -> None:
        if step == "end":
            line = f"profilon: report ready in {time.perf_counter() - self.start:.1f} s"
        else:
            self.count += 1
            line = f"profilon: [{self.count}/{len(STEPS)}] {STEPS.get(step, step)}"
        self.stream.write(line + "\n")
        self.stream.flush()


class SignalProgress:
    """Signal-check hook: one line per target on standard error."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.start = time.perf_counter()

    def __call__(self, target: Any, index: int, count: int) -> None:
        self.stream.write(f"profilon: signal check [{index}/{count}] target {target!r}\n")
        self.stream.flush()

    def done(self) -> None:
        self.stream.write(f"profilon: signal check ready in {time.perf_counter() - self.start:.1f} s\n")
        self.stream.flush()


@contextlib.contextmanager
def module_hook(module: Any, name: str, hook: Any) -> Iterator[None]:
    """Sets a hook the module's methods call (a module global) for one call,
    then puts back what was there, or nothing."""
    missing = object()
    before = vars(module).get(name, missing)
    setattr(module, name, hook)
    try:
        yield
    finally:
        if before is missing:
            delattr(module, name)
        else:
            setattr(module, name, before)


def signal_check(df: Any, args: argparse.Namespace, progress: SignalProgress | None) -> Any:
    import profilon

    kwargs = dict(
        target=args.target,
        datetime_col=args.datetime_col,
        sample_rows=args.signal_rows,
        seed=0 if args.seed is None else args.seed,
    )
    if progress is None:
        return profilon.EDA().signal_check(df, **kwargs)
    with module_hook(profilon, "_signal_clock", progress):
        result = profilon.EDA().signal_check(df, **kwargs)
    progress.done()
    return result


def analyse(df: Any, args: argparse.Namespace, hook: Callable[[str], None] | None) -> Any:
    import numpy as np

    import profilon

    if args.seed is not None:
        np.random.seed(args.seed)
    kwargs = dict(
        target=args.target,
        datetime_col=args.datetime_col,
        freq=args.freq,
        max_mi_features=args.max_mi_features,
        max_cat_features=args.max_cat_features,
        corr_method=args.corr_method,
    )
    if hook is None:
        return profilon.EDA().eda_report_and_score(df, **kwargs)
    # The analysis calls the module's step hook, if one is set, at each step.
    with module_hook(profilon, "_step_clock", hook):
        return profilon.EDA().eda_report_and_score(df, **kwargs)


def render(report: Any, fmt: str, signal: Any = None) -> str:
    if fmt == "json":
        if signal is None:
            return str(report.to_json(indent=2)) + "\n"
        import json

        both = {"report": json.loads(report.to_json()), "signal_check": json.loads(signal.to_json())}
        return json.dumps(both, indent=2, allow_nan=False) + "\n"
    if fmt == "html":
        page = str(report.to_html())
        if signal is None:
            return page
        # Beside the score: the page's header holds the score and the
        # per-target scores.
        section = str(signal._repr_html_())
        at = page.find("</header>")
        at = at + len("</header>") if at >= 0 else page.rfind("</body>")
        return page[:at] + section + page[at:]
    text = str(report.to_markdown()) + "\n"
    if signal is not None:
        text += "\n" + str(signal.to_markdown()) + "\n"
    return text


def _fail(code: int, message: str) -> int:
    sys.stderr.write(f"profilon: {message}\n")
    sys.stderr.flush()
    return code


SAVED_REFERENCE_FORMAT = "profilon-reference"
SAVED_REFERENCE_VERSION = 1


def check_saved_reference(path: str) -> None:
    """A saved reference the comparison can read, else an InputError."""
    import json

    try:
        with open(path, encoding="utf-8") as fh:
            doc = json.load(fh)
    except FileNotFoundError:
        raise InputError(f"cannot read {path!r}: no such file") from None
    except OSError as e:
        raise InputError(f"cannot read {path!r}: {e.strerror or e}") from None
    except ValueError:
        raise InputError(f"{path!r} is not a saved profilon reference (it is not JSON)") from None
    if not isinstance(doc, dict) or doc.get("format") != SAVED_REFERENCE_FORMAT:
        raise InputError(f"{path!r} is not a saved profilon reference")
    if doc.get("version") != SAVED_REFERENCE_VERSION:
        raise InputError(
            f"{path!r} is a saved reference of format version {doc.get('version')}; "
            f"this profilon reads version {SAVED_REFERENCE_VERSION}"
        )


def _columns_of_reference(reference: Any) -> list[Any]:
    if isinstance(reference, str):
        import json

        with open(reference, encoding="utf-8") as fh:
            return [c["label"] for c in json.load(fh)["columns"]]
    return list(reference.columns)


def compare_main(argv: Sequence[str]) -> int:
    args = build_compare_parser().parse_args(argv)
    targets = args.target or []
    try:
        out_fmt = output_format(args.output, args.format)
        if Path(args.reference).suffix.lower() == ".json":
            check_saved_reference(args.reference)
            reference: Any = args.reference
        else:
            ref_fmt = input_format(args.reference, args.input_format)
            reference = check_columns(read_frame(args.reference, ref_fmt), [], args.datetime_col, ref_fmt)
        cur_fmt = input_format(args.current, args.input_format)
        current = check_columns(read_frame(args.current, cur_fmt), targets, args.datetime_col, cur_fmt)
        ref_columns = _columns_of_reference(reference)
        for col in targets:
            if col not in ref_columns:
                raise InputError(f"--target {col!r} is not a column of the reference {args.reference!r}")
    except InputError as e:
        return _fail(EXIT_USAGE, str(e))
    except KeyboardInterrupt:
        return _fail(130, "interrupted")

    import profilon

    try:
        report = profilon.EDA().compare(
            reference,
            current,
            target=targets or None,
            datetime_col=args.datetime_col,
            freq=args.freq,
            seed=args.seed,
        )
        text = render(report, out_fmt)
    except KeyboardInterrupt:
        return _fail(130, "interrupted")
    except Exception as e:
        return _fail(EXIT_ANALYSIS, f"comparison failed: {type(e).__name__}: {_first_line(e)}")
    return _write(text, args.output, report, args.save_reference)


def _write(text: str, output: str | None, report: Any = None, save_reference: str | None = None) -> int:
    try:
        if save_reference is not None:
            report.save_reference(save_reference)
        if output is None:
            sys.stdout.write(text)
            sys.stdout.flush()
        else:
            with open(output, "w", encoding="utf-8", newline="\n") as fh:
                fh.write(text)
    except BrokenPipeError:
        # A reader that stopped early (`| head`) is not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except OSError as e:
        where = "standard output" if output is None else repr(output)
        if save_reference is not None and e.filename == save_reference:
            where = repr(save_reference)
        return _fail(EXIT_USAGE, f"cannot write {where}: {e.strerror or e}")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "compare" and not os.path.exists("compare"):
        return compare_main(argv[1:])
    args = build_parser().parse_args(argv)
    # pandas 2.2.0 and 2.2.1 tell whoever imports them without pyarrow that
    # it will be required; the command's user imported nothing, and its
    # standard error holds one line per problem.
    warnings.filterwarnings(
        "ignore", message=r"\s*Pyarrow will become a required dependency", category=DeprecationWarning
    )
    try:
        out_fmt = output_format(args.output, args.format)
        in_fmt = input_format(args.data, args.input_format)
        df = read_frame(args.data, in_fmt)
        if args.signal and not args.target:
            raise InputError("--signal needs --target: name the numeric column(s) to check")
        if args.signal_rows < 1:
            raise InputError(f"--signal-rows must be a positive number of rows, not {args.signal_rows}")
        df = check_columns(df, args.target or [], args.datetime_col, in_fmt)
    except InputError as e:
        return _fail(EXIT_USAGE, str(e))
    except KeyboardInterrupt:
        return _fail(130, "interrupted")

    show_progress = not args.quiet and sys.stderr.isatty()
    try:
        report = analyse(df, args, Progress(sys.stderr) if show_progress else None)
        signal = None
        if args.signal:
            signal = signal_check(df, args, SignalProgress(sys.stderr) if show_progress else None)
        text = render(report, out_fmt, signal)
    except KeyboardInterrupt:
        return _fail(130, "interrupted")
    except Exception as e:
        return _fail(EXIT_ANALYSIS, f"analysis failed: {type(e).__name__}: {_first_line(e)}")

    return _write(text, args.output)


if __name__ == "__main__":
    sys.exit(main())
