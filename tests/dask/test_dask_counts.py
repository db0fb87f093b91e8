"""The Dask driver's distinct counts, rare-level shares and duplicate
columns, against the schema step's own pandas calls on the frame Dask
delivers.

Dask turns object text into string[pyarrow] unless `dataframe.convert-string`
is off; the driver counts what the partitions hold, so the reference is
always `ddf.compute()`, and with the conversion on a text column's None,
NaN and pd.NA are one missing kind, as they are in that frame.
"""

import os
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")


from lone_passes import scan  # noqa: E402

import profilon  # noqa: E402
from _profilon_dask.distinct import add_distinct_counts  # noqa: E402
from _profilon_dask.duplicates import add_duplicate_candidates, add_duplicate_confirm  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402


def count_frame(n=23):
    """Columns whose levels occur around the rare threshold (2 below 300
    rows), with every kind of equal-but-different value pandas merges."""
    i = np.arange(n)
    mixes = [None, np.nan, pd.NA, 1, 1.0, True, "1", "a", -0.0, "b", Decimal(1)]
    return pd.DataFrame(
        {
            "zeros": np.where(i % 3 == 0, -0.0, np.where(i % 3 == 1, 0.0, np.nan)),
            "floats": np.where(i % 4 == 0, np.nan, i % 9 / 2),
            "objects": pd.Series([mixes[k % 11] for k in i], dtype=object),
            "text": pd.Series([None if k % 7 == 0 else f"t{k % 13}" for k in i], dtype=object),
            "ints": i % 5,
            "unique": i * 3,
            "bools": i % 3 == 0,
            "int_na": pd.array([None if k % 6 == 0 else k % 4 for k in i], dtype="Int64"),
            "bool_na": pd.array([None if k % 5 == 0 else k % 2 == 0 for k in i], dtype="boolean"),
            "cat": pd.Categorical([["x", "y", None, "x"][k % 4] for k in i], categories=["x", "y", "never"]),
            "when": pd.Series(pd.date_range("2024-01-01", periods=n, freq="h")).where(i % 5 != 0),
            "when_tz": pd.Series(pd.date_range("2024-03-31", periods=n, freq="h", tz="Europe/Paris")).where(i % 4 != 1),
            "all_nan": np.full(n, np.nan),
            "all_none": np.full(n, None, dtype=object),
            "arrow_ints": pd.array([None if k % 4 == 0 else k % 5 for k in i], dtype="int64[pyarrow]"),
            "arrow_text": pd.array([None if k % 4 == 0 else str(k % 5) for k in i], dtype="large_string[pyarrow]"),
            "durations": pd.to_timedelta(i % 3, unit="s"),
            "periods": pd.period_range("2024-01", periods=n, freq="M"),
            "complex": (i % 3) * (1 - 1j),
            "small_floats": (i % 6 / 4).astype(np.float32),
        }
    )


def expected_rare(pdf, columns):
    # The schema step's calls.
    out = {}
    for c in columns:
        vc = pdf[c].value_counts(dropna=False)
        total = vc.sum()
        if total > 0:
            thr = max(int(0.01 * total), 2)
            out[c] = float(vc[vc <= thr].sum() / total)
    return out


def expected_duplicates(df):
    """The schema step's duplicate columns on the whole frame, by its own
    pandas calls (fillna and hash_pandas_object on each whole column)."""
    if len(df) == 0 or df.shape[1] > 200:
        return []
    has_missing = df.isna().any().tolist()

    def filled(s, missing):
        dtype = s.dtype
        is_numpy = isinstance(dtype, np.dtype)
        is_object = is_numpy and dtype.kind == "O"
        if not missing and is_numpy:
            return s.infer_objects() if is_object else s
        is_datetime = pd.api.types.is_datetime64_any_dtype(dtype)
        if not missing and is_datetime:
            return s
        if (is_numpy and not is_object) or is_datetime:
            s = s.astype("object")
        return s.fillna("__NAN__")

    def hashes(s, missing):
        try:
            f = filled(s, missing)
        except Exception:
            try:
                f = filled(s.astype("object"), missing)
            except Exception:
                return None
        try:
            return pd.util.hash_pandas_object(f, index=False).to_numpy().tobytes()
        except Exception:
            return None

    seen, out = [], []
    for c, missing in zip(df.columns, has_missing, strict=True):
        h = hashes(df[c], missing)
        if h is None:
            continue
        first = next((label for label, earlier in seen if earlier == h), None)
        if first is None:
            seen.append((c, h))
        else:
            out.append((c, first))
    return out


def dup_frame(n=24):
    """Duplicates and near-duplicates of every dtype kind."""
    i = np.arange(n)
    text = pd.Series([f"t{k % 4}" for k in i], dtype=object)
    floats = np.where(i % 5 == 0, np.nan, i % 7 / 2)
    one_off = floats.copy()
    if n:
        # Equal to `floats` but for one missing cell.
        one_off[min(7, n - 1)] = np.nan
    zeros = np.where(i % 2 == 0, 0.0, 1.0)
    neg_zeros = np.where(i % 2 == 0, -0.0, 1.0)
    when = pd.Series(pd.date_range("2024-01-01", periods=n, freq="D")).where(i % 6 != 2)
    return pd.DataFrame(
        {
            "ints": i % 4,
            "ints_again": i % 4,
            "int32": (i % 4).astype(np.int32),
            "bools": i % 2 == 0,
            "bools_as_ints": (i % 2 == 0).astype(np.int64),
            "int_na": pd.array(i % 4, dtype="Int64"),
            "objects_of_ints": pd.Series(list(i % 4), dtype=object),
            "floats": floats,
            "floats_again": floats.copy(),
            "floats_one_more_nan": one_off,
            "objects_of_floats": pd.Series(list(floats), dtype=object),
            "zeros": zeros,
            "neg_zeros": neg_zeros,
            "text": text,
            "text_again": text.copy(),
            "cat": pd.Categorical(text, categories=["t0", "t1", "t2", "t3", "unused"]),
            "cat_na": pd.Categorical(text.where(i % 5 != 0)),
            "text_na": text.where(i % 5 != 0),
            "nan_text": pd.Series(["__NAN__" if k % 5 == 0 else f"t{k % 4}" for k in i], dtype=object),
            "int_na_missing": pd.array([None if k % 5 == 0 else k % 4 for k in i], dtype="Int64"),
            "bool_na": pd.array([None if k % 5 == 0 else k % 2 == 0 for k in i], dtype="boolean"),
            "when": when,
            "when_again": when.copy(),
            "when_tz": when.dt.tz_localize("UTC"),
            "all_nan": np.full(n, np.nan),
            "all_none": np.full(n, None, dtype=object),
            "all_nat": pd.Series(pd.NaT, index=range(n), dtype="datetime64[ns]"),
        }
    )


def run_passes(ddf, level_cols=(), scheduler=None, **options):
    """Pass 1 (scan), then distinct counts and duplicate candidates in pass
    2, then the duplicate confirmation in pass 3."""
    scheduler = scheduler or pinned_scheduler(ddf)
    tables = scan(ddf, scheduler=scheduler)
    second = Pass(scheduler)
    counts = add_distinct_counts(second, ddf, levels=level_cols, **options)
    candidates = add_duplicate_candidates(second, ddf, tables, split_every=options.get("split_every", 8))
    results = second.run()
    counts(results, tables)
    plan = candidates(results, tables)
    third = Pass(scheduler)
    confirm = add_duplicate_confirm(third, ddf, plan, split_every=options.get("split_every", 8))
    confirm(third.run(), tables)
    return tables


def tables_of(ddf, **options):
    return run_passes(ddf, **options)


@pytest.mark.parametrize("ranges, split_every", [(1, 8), (3, 2), (8, 8)])
@pytest.mark.parametrize("convert_string", [True, False], ids=["convert-string", "object-text"])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_counts_equal_pandas(sync, n_parts, convert_string, ranges, split_every):
    pdf = count_frame()
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(pdf, npartitions=n_parts)
    whole = ddf.compute()
    level_cols = ["cat", "objects", "text", "zeros", "unique", "all_none", "when_tz"]
    tables = run_passes(ddf, level_cols, ranges=ranges, split_every=split_every)
    assert tables.nunique_by_col.to_dict() == whole.nunique().to_dict()
    assert tables.rare_share_by_col == expected_rare(whole, level_cols)
    assert list(tables.rare_share_by_col) == level_cols
    assert tables.duplicate_pairs == expected_duplicates(whole)


@pytest.mark.parametrize("layout", [[0, 5, 0, 0, 7, 0], [0, 0, 0], [1, 0, 1, 0, 1, 0, 1], [300, 1, 2]], ids=str)
@pytest.mark.parametrize("make", [count_frame, dup_frame], ids=["counts", "duplicates"])
def test_empty_and_uneven_partitions(sync, make, layout, counted_frame):
    pdf = make(sum(layout))
    bounds = np.concatenate([[0], np.cumsum(layout)])
    pieces = [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    ddf = counted_frame(pieces, meta=pdf.iloc[:0])
    whole = ddf.compute()
    tables = run_passes(ddf, list(pdf.columns), ranges=4, split_every=2)
    assert tables.nunique_by_col.to_dict() == whole.nunique().to_dict()
    # No rows: no share, as the schema step leaves such a column out.
    assert tables.rare_share_by_col == expected_rare(whole, pdf.columns)
    assert tables.duplicate_pairs == expected_duplicates(whole)


def constancy_pieces():
    """Partitions of columns that are constant within each share, but not
    always across shares: one value per share, equal values of other bits
    (the two zeros, tz-aware instants), shares with no value at all, and a
    share whose dtype is not the metadata's."""
    utc = pd.Timestamp("2024-01-01 12:00", tz="UTC")

    def piece(n, a, b, z, when, flag, na, t):
        return pd.DataFrame(
            {
                "per_share": np.full(n, a),
                "zeros": np.full(n, z),
                "gaps": np.where(np.arange(n) % 2 == 0, np.nan, b),
                "when": pd.Series([when] * n, dtype="datetime64[ns]"),
                "instant": pd.Series([t] * n, dtype="datetime64[ns, UTC]").dt.tz_convert("Asia/Tokyo"),
                "flag": np.full(n, flag),
                "int_na": pd.array([na if i % 3 else None for i in range(n)], dtype="Int64"),
                "label": np.full(n, "x", dtype=object),
            }
        )

    day = pd.Timestamp("2024-01-01")
    pieces = [
        piece(3, 1.0, 5.0, -0.0, day, True, 4, utc),
        piece(0, 1.0, 5.0, 0.0, day, True, 4, utc),
        piece(4, 2.0, np.nan, 0.0, pd.NaT, True, None, pd.NaT),
        piece(2, 1.0, 5.0, 0.0, day, False, 4, utc),
    ]
    odd = pieces[3].copy()
    odd["per_share"] = odd["per_share"].astype(np.int64)
    odd["gaps"] = odd["gaps"].astype(np.float32)
    return pieces, pieces[:2] + [odd] + pieces[2:3]


@pytest.mark.parametrize("which", [0, 1], ids=["same-dtypes", "odd-share"])
@pytest.mark.parametrize("make", ["constancy", "counts"])
def test_counts_capped_outside_exact_columns(sync, make, which, counted_frame):
    if make == "constancy":
        pieces = constancy_pieces()[which]
        exact = ["label"]
    else:
        pdf = count_frame(40)
        pieces = [pdf.iloc[a:b] for a, b in [(0, 9), (9, 9), (9, 30), (30, 40)]]
        exact = ["objects", "text", "cat", "all_none", "arrow_text"]
    ddf = counted_frame(pieces, meta=pieces[0].iloc[:0])
    whole = ddf.compute()
    tables = run_passes(ddf, exact, exact=exact)
    expected = {c: (u if c in exact else min(u, 2)) for c, u in whole.nunique().items()}
    assert tables.nunique_by_col.to_dict() == expected
    assert tables.rare_share_by_col == expected_rare(whole, exact)


@pytest.mark.parametrize(
    "values",
    [
        pd.Series([-0.0, 0.0, 0.0, -0.0] * 4),
        pd.Series([1, 1.0, True, "1", 2, 2.0, np.int64(2), np.float32(2.0), Decimal(2)] * 2, dtype=object),
        pd.Series([pd.Timestamp("2024-01-01"), "2024-01-01", pd.NaT, None, np.nan] * 3, dtype=object),
        # NumPy's NaN scalars are each a level of their own (3 at most count
        # as rare below 300 rows), Python's NaNs are one level.
        pd.Series(list(np.array([np.nan, 1.0, np.nan] * 5)) + [float("nan") for _ in range(3)], dtype=object),
        pytest.param(
            pd.Series(["a", "\ud800", "b", "\ud800", "a"] * 2, dtype=object),
            # pandas' own hash table reads freed memory when it factorizes a
            # lone surrogate (AddressSanitizer shows it without profilon
            # loaded), so the sanitizer run cannot count these levels.
            marks=pytest.mark.skipif(
                "libasan" in os.environ.get("LD_PRELOAD", ""), reason="pandas' factorize of a lone surrogate"
            ),
        ),
    ],
    ids=["signed-zeros", "equal-numbers", "dates-and-missing-kinds", "nan-objects", "lone-surrogate"],
)
def test_values_equal_across_partitions_are_one_level(sync, values):
    pdf = pd.DataFrame({"v": values})
    if pdf["v"].dtype != values.dtype:
        pytest.skip(f"this pandas makes the column {pdf['v'].dtype}, which cannot hold these values' kind")
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=5)
    tables = run_passes(ddf, ["v"], ranges=5, split_every=2)
    assert tables.nunique_by_col["v"] == pdf["v"].nunique()
    assert tables.rare_share_by_col == expected_rare(pdf, ["v"])


@pytest.mark.parametrize("convert_string", [True, False], ids=["convert-string", "object-text"])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_duplicates_equal_the_schema_step(sync, n_parts, convert_string):
    pdf = dup_frame()
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(pdf, npartitions=n_parts)
    whole = ddf.compute()
    expected = expected_duplicates(whole)
    # The frame exercises both outcomes of the corner cases.
    assert ("floats_again", "floats") in expected and all(c != "floats_one_more_nan" for c, _ in expected)
    assert tables_of(ddf).duplicate_pairs == expected


@pytest.mark.parametrize(
    "pieces",
    [
        # An object column without missing cells whose shares infer
        # different dtypes (int64, float64, object): the whole infers float64
        # in the first case, stays object in the second.
        [pd.Series([1, 2], dtype=object), pd.Series([1.5, 2.0], dtype=object)],
        [pd.Series([1, 2], dtype=object), pd.Series(["a", 2], dtype=object)],
        # Bytes are hashed as bytes unless a value elsewhere in the column
        # sends the whole column through its texts, which ASCII bytes pass
        # unchanged and other bytes fail (the column is then left out).
        [pd.Series([b"\xff", b"b"], dtype=object), pd.Series(["a", 3], dtype=object)],
        [pd.Series([b"a", "b"], dtype=object), pd.Series([b"a", 3], dtype=object)],
    ],
    ids=["numbers", "numbers-and-text", "bytes-and-numbers", "bytes-and-text"],
)
def test_whole_column_decisions_of_object_columns(sync, pieces, counted_frame):
    whole = pd.concat(pieces, ignore_index=True)
    as_floats = pd.to_numeric(whole, errors="coerce")
    texts = [v.decode("latin-1") if isinstance(v, bytes) else str(v) for v in whole]
    frame = pd.DataFrame({"a": whole, "b": whole.copy(), "floats": as_floats, "texts": texts, "ints": np.arange(4)})
    parts = [frame.iloc[a : a + 2] for a in range(0, len(frame), 2)]
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = counted_frame(parts, meta=frame.iloc[:0])
        tables = tables_of(ddf)
        assert ddf.compute().equals(frame)
    assert tables.duplicate_pairs == expected_duplicates(frame)


@pytest.mark.parametrize(
    "n_rows, n_cols, expected",
    [(0, 3, []), (5, 200, [(f"c{j}", "c0") for j in range(1, 200)]), (5, 201, [])],
    ids=["no-rows", "200-columns", "201-columns"],
)
def test_frames_the_scan_leaves_out(sync, n_rows, n_cols, expected):
    pdf = pd.DataFrame({f"c{j}": np.ones(n_rows) for j in range(n_cols)})
    assert expected_duplicates(pdf) == expected
    tables = tables_of(dd.from_pandas(pdf, npartitions=2))
    assert tables.duplicate_pairs == expected


@pytest.mark.parametrize(
    "columns",
    [
        # At most 5 pairs each: the report lists the first 5.
        ["ints", "ints_again", "int32", "bools", "bools_as_ints", "int_na", "objects_of_ints"],
        ["floats", "floats_again", "floats_one_more_nan", "objects_of_floats", "zeros", "neg_zeros"],
        ["text", "text_again", "cat", "cat_na", "text_na", "nan_text", "int_na_missing", "bool_na"],
        ["when", "when_again", "when_tz", "all_nan", "all_none", "all_nat"],
    ],
    ids=["integers", "floats", "text", "dates-and-empty"],
)
def test_figures_agree_with_the_in_memory_report(sync, columns):
    pdf = dup_frame(40)[columns].assign(y=np.arange(40.0))
    report = profilon.EDA().eda_report_and_score(pdf, target="y").to_dict()
    schema = report["schema"]
    # Object text as the in-memory analysis saw it.
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=3)
        tables = tables_of(ddf, level_cols=schema["categorical_cols"])
    assert len(tables.duplicate_pairs) <= 5
    assert tables.duplicate_pairs == [tuple(pair) for pair in schema["duplicate_cols_examples"]]
    assert tables.rare_share_by_col == report["relationships"]["rare_category_share_by_col"]
    constant = [c for c, u in tables.nunique_by_col.items() if u <= 1]
    assert constant == schema["constant_cols"]


def test_the_figures_add_no_read_to_their_passes(sync, partition_reads, count_executions, counted_frame):
    pdf = dup_frame(40)
    pieces = [pdf.iloc[a : a + 6] for a in range(0, 40, 6)]
    ddf = counted_frame(pieces)
    tables = scan(ddf)
    second = Pass(pinned_scheduler(ddf))
    lengths = second.add([dask.delayed(len)(part) for part in second.partitions(ddf)])
    counts = add_distinct_counts(second, ddf, ranges=3, split_every=2, levels=["text"])
    candidates = add_duplicate_candidates(second, ddf, tables, split_every=2)
    partition_reads.clear()
    with count_executions() as executions:
        results = second.run()
    assert executions.count == 1
    assert partition_reads == {i: 1 for i in range(len(pieces))}
    assert results[lengths] == [len(p) for p in pieces]
    counts(results, tables)
    plan = candidates(results, tables)
    assert plan.pairs
    third = Pass(pinned_scheduler(ddf))
    confirm = add_duplicate_confirm(third, ddf, plan, split_every=2)
    partition_reads.clear()
    with count_executions() as executions:
        confirm(third.run(), tables)
    assert executions.count == 1
    assert partition_reads == {i: 1 for i in range(len(pieces))}
    assert tables.duplicate_pairs == expected_duplicates(ddf.compute())


def test_no_candidates_no_third_read(sync, partition_reads, count_executions, counted_frame, split):
    pdf = pd.DataFrame({"a": np.arange(10.0), "b": np.arange(10) % 3})
    ddf = counted_frame(split(pdf, 3))
    tables = scan(ddf)
    second = Pass(pinned_scheduler(ddf))
    plan = add_duplicate_candidates(second, ddf, tables)(second.run(), tables)
    assert plan.pairs == [] and tables.duplicate_pairs == []
    third = Pass(pinned_scheduler(ddf))
    add_duplicate_confirm(third, ddf, plan)
    partition_reads.clear()
    with count_executions() as executions:
        assert third.run() == []
    assert executions.count == 0 and partition_reads == {}


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_figures_on_a_cluster(client, n_parts, counted_frame, split):
    pdf = pd.concat([count_frame(30), dup_frame(30).add_prefix("d_")], axis=1)
    ddf = counted_frame(split(pdf, n_parts))
    whole = ddf.compute(scheduler="sync")
    level_cols = ["cat", "objects", "text", "d_cat_na"]
    tables = run_passes(ddf, level_cols, scheduler=client.get, ranges=3, split_every=2)
    assert tables.nunique_by_col.to_dict() == whole.nunique().to_dict()
    assert tables.rare_share_by_col == expected_rare(whole, level_cols)
    assert tables.duplicate_pairs == expected_duplicates(whole)


@pytest.mark.parametrize(
    "add, options",
    [
        (add_distinct_counts, {"ranges": 0}),
        (add_distinct_counts, {"split_every": 1}),
    ],
)
def test_bad_options_are_refused(sync, add, options):
    ddf = dd.from_pandas(count_frame(), npartitions=2)
    with pytest.raises(ValueError, match="at least"):
        add(Pass(dask.get), ddf, **options)


def many_levels_frame(n, seed):
    """Numbers, flags and dates with enough levels that the native counts
    split every range into buckets, and level counts on both sides of the
    rare threshold."""
    rng = np.random.default_rng(seed)
    floats = rng.normal(size=n)
    floats[rng.random(n) < 0.05] = np.nan
    floats[rng.random(n) < 0.05] = -0.0
    floats[rng.random(n) < 0.05] = 0.0
    info = np.iinfo(np.int64)
    ints = rng.choice(np.array([info.min, info.max, -1, 0, 1], dtype=np.int64), n)
    wide = rng.random(n) < 0.2
    ints[wide] = rng.integers(0, 150, size=n)[wide]
    when = pd.Series(pd.to_datetime("2024-01-01") + pd.to_timedelta(rng.integers(0, 5000, size=n), unit="min"))
    return pd.DataFrame(
        {
            "floats": floats,
            "float32": rng.normal(size=n).round(2).astype(np.float32),
            "ints": ints,
            "uint64": rng.choice(np.array([0, 2**64 - 1, 2**63], dtype=np.uint64), n),
            "int8": rng.integers(-128, 128, size=n).astype(np.int8),
            "bools": rng.random(n) < 0.001,
            "int_na": pd.array(np.where(rng.random(n) < 0.1, None, rng.integers(0, 400, size=n)), dtype="Int64"),
            "when": when.where(rng.random(n) > 0.01),
            "when_tz": when.dt.tz_localize("UTC").dt.tz_convert("Asia/Tokyo"),
            "durations": pd.to_timedelta(rng.integers(0, 40, size=n), unit="s"),
        }
    )


@pytest.mark.parametrize("ranges", [1, 8])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_many_levels_equal_pandas(sync, n_parts, ranges):
    pdf = many_levels_frame(40_000, n_parts)
    ddf = dd.from_pandas(pdf, npartitions=n_parts)
    tables = run_passes(ddf, list(pdf.columns), ranges=ranges, split_every=2)
    assert tables.nunique_by_col.to_dict() == pdf.nunique().to_dict()
    assert tables.rare_share_by_col == expected_rare(pdf, pdf.columns)


@pytest.mark.parametrize(
    "meta, pieces",
    [
        (
            np.float64,
            [[-0.0, 1.5, np.nan, 2.0], np.array([0, 2, 3, 3]), np.array([0.0, 1.5, np.nan], dtype=np.float32)],
        ),
        ("Int64", [pd.array([1, None, 2], dtype="Int64"), np.array([2, 5, 5, 1]), np.array([True, False])]),
        (np.int64, [np.array([7, 8, 8]), np.array([8.0, 9.0]), np.array([], dtype=np.int64)]),
        # No share of the metadata's dtype: the levels are the shares' own
        # (1.5 is not 1), as in the computed frame.
        (np.int64, [np.array([1.5, 1.0, 1.5]), np.array([2.5, 1.0])]),
    ],
    ids=["floats", "nullable-ints", "ints", "no-share-of-the-metadatas"],
)
@pytest.mark.parametrize("ranges", [1, 3, 8])
def test_shares_whose_dtype_is_not_the_metadatas(sync, meta, pieces, ranges, counted_frame):
    # A partition whose column is not of the metadata's dtype is counted in
    # Python, the others natively; their levels must still meet.
    frames = [pd.DataFrame({"v": pd.Series(p, dtype=None if not isinstance(p, list) else meta)}) for p in pieces]
    meta_frame = pd.DataFrame({"v": pd.Series([], dtype=meta)})
    ddf = counted_frame(frames, meta=meta_frame)
    whole = ddf.compute()
    tables = run_passes(ddf, ["v"], ranges=ranges, split_every=2)
    assert tables.nunique_by_col["v"] == whole["v"].nunique()
    assert tables.rare_share_by_col == expected_rare(whole, ["v"])


@pytest.mark.parametrize(
    "values",
    [
        np.array([0.5, -0.0, 0.0, np.nan, 0.5], dtype=np.float16),
        pd.array([0.5, -0.0, 0.0, None, 0.5], dtype="Float64"),
        pd.Categorical([1, 2, 2]),
        pd.array([1, 2, None, 2], dtype="uint8[pyarrow]"),
    ],
    ids=["float16", "nullable-floats", "category", "arrow-ints"],
)
@pytest.mark.parametrize("n_parts", [1, 3])
def test_numbers_the_kernel_does_not_read(sync, values, n_parts):
    # Left to the Python path, with the same figures as pandas.
    pdf = pd.DataFrame({"v": values.take(np.tile(np.arange(len(values)), 3))})
    assert pdf["v"].dtype == values.dtype
    ddf = dd.from_pandas(pdf, npartitions=n_parts)
    whole = ddf.compute()
    tables = run_passes(ddf, ["v"], ranges=3, split_every=2)
    assert tables.nunique_by_col["v"] == whole["v"].nunique()
    assert tables.rare_share_by_col == expected_rare(whole, ["v"])


def test_native_level_tables_report_their_size_to_dask():
    from dask.sizeof import sizeof

    from _profilon_dask import distinct

    part = pd.DataFrame({"x": np.arange(100_000, dtype=np.float64)})
    _, piece = distinct._distinct_partial(part, list(part.dtypes), 1)
    # Dask spills and pauses by these figures: a piece of per-range tables
    # must weigh what its arrays weigh.
    assert sizeof(piece) >= 1_600_000
    assert sizeof([piece, piece]) >= 3_200_000


def test_a_partitions_ranges_own_their_tables():
    from _profilon_dask import distinct

    part = pd.DataFrame({"x": np.arange(50_000, dtype=np.float64)})
    _, *states = distinct._distinct_partial(part, list(part.dtypes), 8)
    assert sum(len(state[0]) for state in states) == 50_000
    # A range that kept a view of the column's whole table would hold it all
    # while Dask weighs (and spills) only its share.
    assert all(state[0].base is None and state[1].base is None for state in states)


def arrow_text_shares():
    import pyarrow as pa

    texts = ["", "a", "é", "Ж", "😀", "a\x00b", "long text " * 9, None, "a", "", None, "😀"]
    rng = np.random.default_rng(5)
    many = [None if i % 17 == 3 else f"t{v}" for i, v in enumerate(rng.integers(0, 3000, 5000))]
    chunked = pa.chunked_array([pa.array(texts[:5]), pa.array(texts[5:]), pa.array([], pa.string())])
    shares = {
        "string": pd.Series(texts, dtype="string[pyarrow]"),
        "arrow": pd.Series(texts, dtype=pd.ArrowDtype(pa.string())),
        "large": pd.Series(texts, dtype=pd.ArrowDtype(pa.large_string())),
        "chunks": pd.Series(pd.arrays.ArrowStringArray(chunked)),
        "many": pd.Series(many, dtype="string[pyarrow]").iloc[7:],
        "empty": pd.Series([], dtype="string[pyarrow]"),
    }
    try:
        shares["nan_string"] = pd.Series(texts, dtype=pd.StringDtype("pyarrow", na_value=np.nan))
    except TypeError:  # pandas without strings that hold NaN
        shares["nan_string"] = pd.Series(texts, dtype="string[pyarrow_numpy]")
    return shares


@pytest.mark.parametrize("kind", list(arrow_text_shares()))
@pytest.mark.parametrize("ranges", [1, 4])
def test_arrow_text_levels_equal_value_counts(monkeypatch, kind, ranges):
    # The native codes stand in for value_counts and the routing by pandas'
    # hash of each text: the states of the share are the same, keys and all.
    from _profilon_dask import distinct

    s = arrow_text_shares()[kind]
    part = pd.DataFrame({"x": s.reset_index(drop=True)})
    new = distinct._distinct_partial(part, [s.dtype], ranges)
    monkeypatch.setattr(distinct, "_text_levels", lambda *args: None)
    old = distinct._distinct_partial(part, [s.dtype], ranges)
    assert new[0] == old[0] == len(s)
    for state, want_state in zip(new[1:], old[1:], strict=True):
        assert [type(key) for key in state[6]] == [type(key) for key in want_state[6]]
        for got, want in zip(state, want_state, strict=True):
            assert np.array_equal(got, want)


@pytest.mark.parametrize("kind", ["string", "chunks", "many", "large"])
def test_arrow_text_codes_equal_a_dictionary_encoding(kind):
    import pyarrow as pa

    from _profilon_dask import arrow_text

    s = arrow_text_shares()[kind]
    codes, uniques = arrow_text.arrow_text_codes(s)
    encoded = pa.chunked_array(s.array._pa_array).combine_chunks().dictionary_encode()
    want = pa.compute.fill_null(encoded.indices, -1).to_numpy(zero_copy_only=False)
    assert codes.tolist() == want.tolist()
    assert uniques.tolist() == encoded.dictionary.to_pylist()
