"""The Dask driver's correlation ratios and leakage checks, against the
in-memory analysis' own calls on the frame Dask delivers."""

import math

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")


from lone_passes import scan  # noqa: E402

import _profilon_dask as driver  # noqa: E402
import _profilon_kernels as kernels  # noqa: E402
import profilon  # noqa: E402
from _profilon_dask.association import CorrelationRatios  # noqa: E402
from _profilon_dask.leakage import LeakageChecks  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402

# Dask's synchronous scheduler, except where a test passes a cluster's.
pytestmark = pytest.mark.usefixtures("sync")


def bits(x):
    return None if x is None else np.float64(x).view(np.int64)


def ratio_frame(n, seed):
    rng = np.random.default_rng(seed)
    y = rng.normal(10, 3, n)
    y[rng.random(n) < 0.1] = np.nan
    levels = np.array(["b", "a", "c", "d"], dtype=object)
    text = levels[rng.integers(0, 4, n)]
    text[rng.random(n) < 0.1] = None
    return pd.DataFrame(
        {
            "y": y,
            "y_int": rng.integers(-50, 50, n),
            "y_nullable": pd.array(np.where(rng.random(n) < 0.2, None, rng.integers(0, 9, n)), dtype="Int64"),
            "text": text,
            "ints": rng.integers(0, 5, n),
            "cat": pd.Categorical(text, categories=["d", "c", "b", "a", "never"]),
            # Group means close to the overall mean: a small ratio, where
            # the rounding of the sums shows most.
            "noise": rng.integers(0, 3, n).astype(str),
            "mixed": pd.Series([[1, "x", 2.5][k % 3] for k in range(n)], dtype=object),
            "single": np.full(n, "s", dtype=object),
        }
    )


def run_ratios(ddf, targets, columns, scheduler=None):
    group = CorrelationRatios(ddf, targets, columns)
    scheduler = scheduler or pinned_scheduler(ddf)
    passes = [Pass(scheduler) for _ in range(3)]
    group.add_first(passes[0])
    r = passes[0].run()
    group.add_second(passes[1], r)
    r = passes[1].run()
    group.add_third(passes[2], r)
    r = passes[2].run()
    tables = scan(ddf, scheduler)
    group.fill(r, tables)
    return tables.cat_corr_ratio


TARGETS = ["y", "y_int", "y_nullable"]
COLUMNS = ["text", "ints", "cat", "noise", "mixed", "single"]


@pytest.mark.parametrize("n", [0, 1, 2, 3, 40, 3000])
@pytest.mark.parametrize("k", [1, 3, 7])
def test_correlation_ratio_matches_the_in_memory_method(n, k):
    pdf = ratio_frame(n, seed=n + k)
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    ref = ddf.compute()
    got = run_ratios(ddf, TARGETS, COLUMNS)
    eda = profilon.EDA()
    for t in TARGETS:
        for c in COLUMNS:
            want = eda._correlation_ratio_num_cat(ref[t], ref[c])
            value = got[t][c]
            if want is None or value is None:
                assert value is want, (t, c, value, want)
            elif t == "y" and (k == 1 or ref[c].nunique() == 1):
                # Every sum of a float64 target is NumPy's own when each
                # group lies in one partition or holds every row.
                assert bits(value) == bits(want), (t, c, value, want)
            else:
                # Integer targets: pandas sums the groups as ints cast in
                # buffers; exact in float64 at these sizes either way.
                assert value == pytest.approx(want, rel=1e-12, abs=1e-300), (t, c)


def test_correlation_ratio_where_numpys_summation_is_unknown(monkeypatch):
    # A NumPy whose piece length the probe cannot tell: the ratios take the
    # whole-array order and the per-group add.reduce, within rounding.
    monkeypatch.setattr(kernels, "numpy_sum_block", lambda: None)
    pdf = ratio_frame(500, seed=5)
    ddf = dd.from_pandas(pdf, npartitions=3, sort=False)
    ref = ddf.compute()
    got = run_ratios(ddf, TARGETS, ["ints", "noise"])
    eda = profilon.EDA()
    for t in TARGETS:
        for c in ["ints", "noise"]:
            want = eda._correlation_ratio_num_cat(ref[t], ref[c])
            assert got[t][c] == pytest.approx(want, rel=1e-12, abs=1e-300), (t, c)


def test_correlation_ratio_reads_each_partition_once_per_pass(partition_reads, counted_frame):
    pdf = ratio_frame(60, seed=1)
    pieces = [pdf.iloc[:25], pdf.iloc[25:25], pdf.iloc[25:]]
    ddf = counted_frame(pieces)
    got = run_ratios(ddf, ["y"], ["text"])
    # Three passes of the ratio plus the scan that fills the tables.
    assert partition_reads == {0: 4, 1: 4, 2: 4}
    want = profilon.EDA()._correlation_ratio_num_cat(pdf["y"], pdf["text"])
    assert got["y"]["text"] == pytest.approx(want, rel=1e-12)


def leakage_reference(df, targets):
    """The in-memory checks, written out with the same pandas calls."""
    X = df.drop(columns=targets, errors="ignore")
    num = X.select_dtypes(include=[np.number])
    hits, identical = {}, {}
    for t in targets:
        y = df[t]
        identical[t] = [c for c in X.columns if X[c].equals(y)]
        if not pd.api.types.is_numeric_dtype(y):
            continue
        both = num.notna().to_numpy() & y.notna().to_numpy()[:, None]
        enough = num.iloc[:, both.sum(axis=0) >= 2]
        with np.errstate(all="ignore"):
            corr = enough.corrwith(y, method="pearson").abs()
        hits[t] = corr[corr >= 0.99].index.tolist()
    return hits, identical


def leakage_frame(n, seed):
    rng = np.random.default_rng(seed)
    y = rng.normal(size=n)
    y[::9] = np.nan
    copy = y.copy()
    near = y + rng.normal(scale=1e-3, size=n)
    return pd.DataFrame(
        {
            "y": y,
            "copy": copy,
            "copy32": y.astype(np.float32),
            "near": near,
            "neg": -3 * y + 1,
            "far": rng.normal(size=n),
            "const": np.ones(n),
            "sparse": np.where(np.arange(n) == 3, 1.0, np.nan),
            "nullable": pd.array(np.where(np.isnan(y), None, np.round(y * 100)), dtype="Int64"),
            "label": np.array(["a", "b"] * (n // 2) + ["a"] * (n % 2), dtype=object),
            "y2": rng.normal(size=n),
            "y2_copy": None,
        }
    ).assign(y2_copy=lambda d: d["y2"])


def run_leakage(ddf, targets, scheduler=None):
    # The candidates the extension names in its request, by the in-memory rule.
    meta = ddf._meta
    numeric = list(meta.drop(columns=targets).select_dtypes(include=[np.number]).columns)
    checks = LeakageChecks(ddf, targets, numeric, [t for t in targets if pd.api.types.is_numeric_dtype(meta[t])])
    scheduler = scheduler or pinned_scheduler(ddf)
    one, two = Pass(scheduler), Pass(scheduler)
    checks.add_first(one)
    checks.add_second(two, one.run())
    tables = scan(ddf, scheduler)
    checks.fill(two.run(), tables)
    return tables


@pytest.mark.parametrize("n", [0, 1, 2, 5, 200])
@pytest.mark.parametrize("k", [1, 3, 7])
def test_leakage_checks_match_pandas(n, k):
    pdf = leakage_frame(n, seed=k)
    ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    ref = ddf.compute()
    targets = ["y", "y2", "label"]
    tables = run_leakage(ddf, targets)
    hits, identical = leakage_reference(ref, targets)
    assert tables.leakage_corr_hits == hits
    assert tables.target_identical_cols == identical
    if n == 200:
        assert hits["y"] == ["copy", "copy32", "near", "neg", "nullable"] and identical["y"] == ["copy"]
        assert hits["y2"] == ["y2_copy"] and identical["y2"] == ["y2_copy"] and "label" not in hits


def test_both_on_a_cluster(client):  # noqa: F811 (the fixture imported above)
    pdf = ratio_frame(500, seed=3).join(leakage_frame(500, seed=3).drop(columns="y").add_prefix("l_"))
    ddf = dd.from_pandas(pdf, npartitions=4, sort=False)
    ref = ddf.compute()
    ratios = run_ratios(ddf, ["y"], ["text", "cat"], scheduler=client.get)
    eda = profilon.EDA()
    for c in ["text", "cat"]:
        assert ratios["y"][c] == pytest.approx(eda._correlation_ratio_num_cat(ref["y"], ref[c]), rel=1e-12)
    tables = run_leakage(ddf, ["l_y2"], scheduler=client.get)
    hits, identical = leakage_reference(ref, ["l_y2"])
    assert (tables.leakage_corr_hits, tables.target_identical_cols) == (hits, identical)
    assert identical == {"l_y2": ["l_y2_copy"]}


def kernel_case(n, groups, seed):
    rng = np.random.default_rng(seed)
    # Magnitudes far apart, so that any other order of the additions shows.
    y = rng.standard_normal(n) * 10.0 ** rng.integers(-9, 9, n)
    codes = rng.integers(0, groups, n)
    # One group far longer than NumPy's 8192-value pieces, starting late.
    codes[n // 3 : n // 3 + min(n // 2, 20_000)] = groups - 1
    return y, codes


@pytest.mark.parametrize(
    "n, groups, stride",
    [(0, 3, 1), (1, 1, 1), (7, 2, 1), (130, 5, 1), (40_000, 4, 1), (40_000, 400, 2), (60_000, 9, 3)],
)
def test_group_sums_kernel_is_add_reduce_per_group_in_first_seen_order(test_entries, n, groups, stride):
    y, codes = kernel_case(n * stride, groups + 2, seed=n + groups)
    y, codes = y[::stride], codes[::stride]
    order, counts, sums = test_entries.group_sums(y, codes, groups + 2, kernels.numpy_sum_block())
    assert order.tolist() == pd.unique(codes).tolist()
    for g, count, total in zip(order, counts, sums, strict=True):
        run = np.ascontiguousarray(y[codes == g])
        assert count == len(run)
        assert bits(total) == bits(np.add.reduce(run)), (g, count)


@pytest.mark.parametrize("bad", [-1, 3, 2**40])
def test_group_sums_kernel_refuses_codes_outside_the_groups(test_entries, bad):
    with pytest.raises(ValueError, match="outside"):
        test_entries.group_sums(np.ones(4), np.array([0, 1, bad, 2]), 3, 0)


def ratio_partitions(n, cuts, seed):
    """Two targets (one with missing values) and two columns' codes (one
    with missing cells), cut into partitions at `cuts`, and each pair's kept
    rows over the whole."""
    rng = np.random.default_rng(seed)
    ys = [rng.standard_normal(n) * 10.0 ** rng.integers(-9, 9, n) for _ in range(2)]
    ys[0][rng.random(n) < 0.2] = np.nan
    codes = [rng.integers(-1, 4, n), rng.integers(0, 6, n)]
    bounds = list(zip([0, *cuts], [*cuts, n], strict=True))
    parts = [([y[a:b] for y in ys], [c[a:b] for c in codes]) for a, b in bounds]
    return ys, codes, parts, [~np.isnan(y) & (c >= 0) for y in ys for c in codes]


@pytest.mark.parametrize("n, cuts", [(3, [1]), (500, [0, 170, 170, 499]), (40_000, [9000, 25_000])])
def test_ratio_passes_give_numpys_sums_over_any_cut_of_the_rows(test_entries, n, cuts):
    ys, codes, parts, kept = ratio_partitions(n, cuts, seed=n)
    block = kernels.numpy_sum_block() or 0
    counts = np.array([kernels.ratio_kept(p_ys, [c < 0 for c in p_codes]) for p_ys, p_codes in parts])
    assert counts.sum(axis=0).tolist() == [int(k.sum()) for k in kept]
    totals, offsets, blocks = counts.sum(axis=0), np.cumsum(counts, axis=0) - counts, np.full(4, block)
    sums = [kernels.ratio_sums(*p, counts[i], offsets[i], totals, blocks, block) for i, p in enumerate(parts)]
    mus = []
    for j, k in enumerate(kept):
        values, keys = ys[j // 2][k], codes[j % 2][k]
        whole = kernels.pairwise_combine([s[j][0] for s in sums], int(totals[j]), block)
        assert bits(whole) == bits(np.add.reduce(values)), j
        merged = np.zeros(6, np.int64)
        for s in sums:
            np.add.at(merged, s[j][1], s[j][2])
        assert merged.tolist() == np.bincount(keys, minlength=6).tolist()
        mus.append(whole / len(values))
    mus[3] = None  # a pair without a mean is not summed
    squares = [
        kernels.ratio_squares(p_ys, [c < 0 for c in p_codes], counts[i], offsets[i], totals, mus)
        for i, (p_ys, p_codes) in enumerate(parts)
    ]
    assert all(s[3] is None for s in squares)
    for j in range(3):
        got = kernels.pairwise_combine([s[j] for s in squares], int(totals[j]), 0)
        want = test_entries.numpy_sum((ys[j // 2][kept[j]] - mus[j]) ** 2, 0)
        assert bits(got) == bits(want), j


@pytest.mark.parametrize(
    "call, match",
    [
        # Pass 2 keeping another number of rows than pass 1 counted.
        (lambda y, c: kernels.ratio_sums([y], [c], [3], [0], [4], [0], 0), "count"),
        (lambda y, c: kernels.ratio_squares([y], [c < 0], [3], [0], [4], [1.0]), "count"),
        (lambda y, c: kernels.ratio_sums([y], [c], [4], [1], [4], [0], 0), "count"),
        # A pair whose target or codes were not read.
        (lambda y, c: kernels.ratio_sums([None], [c], [4], [0], [4], [0], 0), "missing"),
        (lambda y, c: kernels.ratio_sums([y], [None], [4], [0], [4], [0], 0), "missing"),
        (lambda y, c: kernels.ratio_kept([None], [None]), "missing"),
        (lambda y, c: kernels.ratio_kept([y], [(c < 0)[:3]]), "length"),
        (lambda y, c: kernels.ratio_sums([y], [c], [4, 0], [0, 0], [4, 0], [0, 0], 0), "one per pair"),
    ],
)
def test_ratio_passes_refuse_inputs_that_do_not_fit(call, match):
    with pytest.raises(ValueError, match=match):
        call(np.array([1.0, 2.0, 3.0, 4.0]), np.array([0, 1, 0, 2]))


def text_frame(n, seed):
    """Text keys whose first rows often have a missing target, so that a
    partition's first-seen order among kept rows differs from that among
    all rows; missing keys, an empty key and text beyond ASCII."""
    rng = np.random.default_rng(seed)
    levels = np.array(["b", "a", "", "é", "日本", "c d", "zz"] + [f"k{j}" for j in range(60)], dtype=object)
    keys = levels[rng.integers(0, len(levels), n)]
    keys[rng.random(n) < 0.1] = None
    # Magnitudes far apart: a sum cut where NumPy does not cut it differs.
    y = rng.normal(5, 2, n) * 10.0 ** rng.integers(-6, 7, n)
    y[rng.random(n) < 0.3] = np.nan
    return pd.DataFrame({"y": y, "y_int": rng.integers(-9, 9, n), "text": keys, "few": levels[rng.integers(0, 3, n)]})


ARROW_TEXT = ["string[pyarrow]", "str_nan", "arrow_string", "arrow_large_string"]


def nan_text_dtype():
    """Arrow-backed text whose missing value is NaN (the default text
    dtype of newer pandas)."""
    try:
        return pd.StringDtype("pyarrow", na_value=np.nan)
    except TypeError:  # pandas before 2.3 names it by its storage
        return pd.StringDtype("pyarrow_numpy")


def as_arrow_text(pdf, kind):
    pa = pytest.importorskip("pyarrow")
    if kind == "str_nan":
        dtype = nan_text_dtype()
    else:
        dtype = {
            "string[pyarrow]": pd.StringDtype("pyarrow"),
            "arrow_string": pd.ArrowDtype(pa.string()),
            "arrow_large_string": pd.ArrowDtype(pa.large_string()),
        }[kind]
    return pdf.astype({"text": dtype, "few": dtype})


@pytest.mark.parametrize("kind", ARROW_TEXT)
@pytest.mark.parametrize("n, k", [(0, 1), (3, 2), (50, 1), (2000, 1), (2000, 4)])
def test_arrow_text_ratios_equal_those_of_the_same_text_as_objects(kind, n, k):
    pdf = text_frame(n, seed=n + k)
    with dask.config.set({"dataframe.convert-string": False}):
        objects = dd.from_pandas(pdf, npartitions=k, sort=False)
        arrow = dd.from_pandas(as_arrow_text(pdf, kind), npartitions=k, sort=False)
    targets, columns = ["y", "y_int"], ["text", "few"]
    want = run_ratios(objects, targets, columns)
    got = run_ratios(arrow, targets, columns)
    for t in targets:
        for c in columns:
            assert bits(got[t][c]) == bits(want[t][c]), (t, c, got[t][c], want[t][c])
    if k == 1:
        eda = profilon.EDA()
        assert bits(got["y"]["text"]) == bits(eda._correlation_ratio_num_cat(pdf["y"], pdf["text"]))


def reference_groups(pdf, t, c):
    """The groups of one partition written out with pandas and NumPy: the
    keys of the kept rows in first-seen order, each one's count and
    add.reduce of its values in row order."""
    kept = (pdf[t].notna() & pdf[c].notna()).to_numpy()
    keys = pdf[c].to_numpy(dtype=object)[kept]
    y = pdf[t].to_numpy(dtype=np.float64)[kept]
    first = pd.unique(keys)
    return first.tolist(), [int((keys == g).sum()) for g in first], [np.add.reduce(y[keys == g]) for g in first]


@pytest.mark.parametrize("kind", ARROW_TEXT)
@pytest.mark.parametrize("rows", [slice(0, 0), slice(700, 3000), slice(0, 40_000)])
def test_a_partitions_arrow_text_groups_are_pandas_first_seen_groups(kind, rows):
    from _profilon_dask import association

    pdf = text_frame(40_000, seed=5).iloc[rows]
    arrow = as_arrow_text(pdf, kind)
    targets, columns = ["y", "y_int"], ["text", "few"]
    pairs = [(t, c) for t in targets for c in columns]
    kept = association._count_kept(arrow, targets, columns)
    block = driver.summaries._sum_block(kernels)
    got = association._sum_partial(arrow, targets, columns, kept, [0] * 4, kept, [0, 0, block, block], block)
    for (t, c), part, count in zip(pairs, got, kept, strict=True):
        if count < 2:
            assert part is None
            continue
        keys, counts, sums = part[1]
        want_keys, want_counts, want_sums = reference_groups(pdf, t, c)
        assert keys.dtype == object and keys.tolist() == want_keys
        assert counts.tolist() == want_counts
        assert [bits(s) for s in sums] == [bits(s) for s in want_sums]
    want_kept = [int((pdf[t].notna() & pdf[c].notna()).sum()) for t, c in pairs]
    assert kept.tolist() == want_kept


@pytest.mark.parametrize("n", [0, 1, 1000, 50_000])
@pytest.mark.parametrize("missing", [0.0, 0.3])
def test_pair_sums_kernel_is_the_sums_over_complete_rows(n, missing):
    rng = np.random.default_rng([n, int(missing * 10)])
    a = rng.standard_normal(n) * 1e6 + 3e9
    b = 2.0 * a + rng.standard_normal(n)
    a[rng.random(n) < missing] = np.nan
    b[rng.random(n) < missing] = np.nan
    both = ~(np.isnan(a) | np.isnan(b))
    x, y = a[both], b[both]
    count, sa, sb = kernels.pair_sums(a, b, None)
    assert count == len(x)
    # Compensated sums: as close to the exact sums as float64 holds them.
    assert (sa, sb) == (pytest.approx(math.fsum(x), rel=1e-15), pytest.approx(math.fsum(y), rel=1e-15))
    means = (float(np.mean(x)) if len(x) else 0.0, float(np.mean(y)) if len(y) else 0.0)
    sab, saa, sbb = kernels.pair_sums(a, b, means)
    dx, dy = x - means[0], y - means[1]
    want = [math.fsum(dx * dy), math.fsum(dx * dx), math.fsum(dy * dy)]
    assert [sab, saa, sbb] == [pytest.approx(w, rel=1e-13, abs=1e-300) for w in want]


def test_pair_sums_kernel_with_infinities():
    a = np.array([1.0, np.inf, 2.0, np.nan])
    b = np.array([1.0, 1.0, 1.0, 1.0])
    count, sa, sb = kernels.pair_sums(a, b, None)
    assert (count, sa, sb) == (3, np.inf, 3.0)
    sab, saa, _ = kernels.pair_sums(a, b, (np.inf, 1.0))
    assert math.isnan(sab) and math.isnan(saa)
    with pytest.raises(ValueError, match="same length"):
        kernels.pair_sums(a, b[:2], None)


def python_hit(parts, threshold):
    """The merge the driver made in Python: the partitions' sums added by
    sum(), then NumPy's divisions and square roots."""
    sab, saa, sbb = (sum(p[i] for p in parts) for i in range(3))
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.float64(sab) / np.sqrt(np.float64(saa)) / np.sqrt(np.float64(sbb))
    return not np.isnan(r) and abs(min(max(float(r), -1.0), 1.0)) >= threshold


@pytest.mark.parametrize("parts", [1, 3, 7])
@pytest.mark.parametrize("slope", [2.0, -1.0, 0.0, 1e-3])
@pytest.mark.parametrize("special", [None, "inf", "constant"])
def test_pair_merges_are_the_python_merges(parts, slope, special):
    rng = np.random.default_rng([parts, int(slope * 1000) % 7919, len(special or "")])
    n = 3000
    a = rng.standard_normal(n) * 1e3 + 5e6
    b = slope * a + rng.standard_normal(n) * (1.0 if slope else 1e3)
    a[rng.random(n) < 0.2] = np.nan
    if special == "inf":
        b[17] = np.inf
    elif special == "constant":
        b[:] = 4.0
    cuts = np.array_split(np.arange(n), parts)
    first = [kernels.pair_sums(a[c], b[c], None) for c in cuts]
    n_pairs = sum(f[0] for f in first)
    want = (sum(f[1] for f in first) / n_pairs, sum(f[2] for f in first) / n_pairs)
    means = kernels.pair_means(first)
    assert [bits(m) for m in means] == [bits(w) for w in want]
    second = [kernels.pair_sums(a[c], b[c], means) for c in cuts]
    for threshold in (0.99, 0.5):
        assert kernels.pair_hit(second, threshold) is python_hit(second, threshold)
    if special is None and slope in (2.0, -1.0):
        assert kernels.pair_hit(second, 0.99) is True


@pytest.mark.parametrize(
    ("parts", "want"),
    [
        ([], None),
        ([(0, 0.0, 0.0)], None),
        ([(1, 2.0, 3.0), (0, 0.0, 0.0)], None),
        ([(1, 2.0, 3.0), (1, 4.0, 5.0)], (3.0, 4.0)),
    ],
)
def test_pair_means_under_two_pairs_is_none(parts, want):
    assert kernels.pair_means(parts) == want


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: kernels.pair_means([(-1, 0.0, 0.0)]), ValueError, "negative"),
        (lambda: kernels.pair_means([(2, 1.0)]), ValueError, "three"),
        (lambda: kernels.pair_hit([(1.0, 2.0)], 0.99), ValueError, "three"),
        (lambda: kernels.pair_hit([(1.0, 2.0, 3.0)]), TypeError, "pair_hit"),
        (lambda: kernels.pair_means([("x", 1.0, 2.0)]), RuntimeError, "cast"),
    ],
)
def test_pair_merges_refuse_malformed_sums(call, error, match):
    with pytest.raises(error, match=match):
        call()
