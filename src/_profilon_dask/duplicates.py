"""Duplicate columns: the pairs the in-memory schema step reports, found in
two passes.

What the schema step does on the whole frame: nothing when the frame has no
rows or more than 200 columns; otherwise it walks the columns in order and
fills each one's missing cells with "__NAN__" (a number, date or duration
column with missing cells is first turned into objects; an object column
without missing cells has its dtype inferred, as the fill would; a column
whose dtype refuses the text, such as a categorical, is filled as objects);
its row hashes are `pd.util.hash_pandas_object(filled, index=False)`. A
column whose row hashes equal, byte for byte, those of an earlier column that
is not itself a duplicate is reported as (column, that earlier column); a
column that cannot be filled or hashed is left out. Equality is therefore an
equivalence of whole hash arrays, and a duplicate is paired with the first
column of its class.

Here:
  pass 2 (`add_duplicate_candidates`; it needs pass 1's missing flags): each
    partition fills and hashes its share of every column exactly as the
    step does on the whole column, given the whole column's missing flag,
    and returns an 8-byte digest of each column's row hashes; the digests
    are combined on the workers in partition order, in a tree of the same
    shape for every column. Columns with the same combined digest are
    candidates. A float column with missing cells, whose hashes are those
    of the str() of its values, is digested by its values instead (which
    tell the same columns apart, but far faster); it is a candidate with
    the float columns of its digest and with every column whose shares all
    could hold those texts (`native_hashes.could_be_float_texts`). A few
    decisions the step takes on the whole column can come out differently
    on a share of it (the dtype an object column infers, and whether an
    object column with bytes in it is hashed through its texts); each
    partition reports what it decided, and a column whose partitions
    disagree is a candidate with every other column, and is hashed in pass 3
    behind a few rows of its own values that force the whole column's
    decisions. So is a column digested by its values in some partitions and
    by its hashes in others.
  pass 3 (`add_duplicate_confirm`): equal digests are not proof. Each
    partition hashes the candidate columns again and compares the row hashes
    of every candidate pair, the step's own comparison; a pair is equal when
    it is equal in every partition. Only frames with candidates read their
    data a third time for this. The zeros of a float column with missing
    cells all hash as the text of the whole column's first zero ("0.0" or
    "-0.0"), which pass 2 found.

The row hashes of texts, of floats with missing cells and of plain numbers
come from the native kernels (`native_hashes`), which give pandas' own hashes
without building a Python object per row; other columns are hashed by pandas.

Not reproduced: an object column that mixes texts with numbers that are
equal across number types (1 and 1.0 and True) hashes each such number
through the text of the first of them in the whole column; a partition sees
its own first one.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .native_hashes import could_be_float_texts, hashes_digest, native_digest, native_row_hashes
from .passes import Pass, combine_tree
from .tables import Tables

# The schema step leaves wider frames out.
MAX_DUPLICATE_SCAN_COLS = 200
FILL_TEXT = "__NAN__"
# Digests combined per task on the way to a column's whole digest.
DIGEST_SPLIT_EVERY = 8


class _Stage:
    """What happened to one column's share on its way to its row hashes."""

    def __init__(self, prefix: list[Any]) -> None:
        self.prefix = prefix
        self.inserted = 0
        self.objects: pd.Series | None = None
        self.filled: pd.Series | None = None

    def as_objects(self, s: pd.Series) -> pd.Series:
        """`s` as objects, behind the prefix rows (once)."""
        if s.dtype != object:
            s = s.astype("object")
        if self.prefix and not self.inserted:
            s = pd.concat([pd.Series(self.prefix, dtype=object), s], ignore_index=True)
            self.inserted = len(self.prefix)
        if self.objects is None:
            self.objects = s
        return s


def _filled_column(s: pd.Series, has_missing: bool, stage: _Stage) -> pd.Series:
    # The schema step's fill, step for step.
    dtype = s.dtype
    is_numpy = isinstance(dtype, np.dtype)
    is_object = is_numpy and dtype.kind == "O"
    if is_object:
        s = stage.as_objects(s)
    if not has_missing and is_numpy:
        return s.infer_objects() if is_object else s
    is_datetime = pd.api.types.is_datetime64_any_dtype(dtype)
    if not has_missing and is_datetime:
        return s
    if (is_numpy and not is_object) or is_datetime:
        s = stage.as_objects(s)
    return s.fillna(FILL_TEXT)


def _column_row_hashes(s: pd.Series, has_missing: bool, prefix: list[Any]) -> tuple[np.ndarray | None, _Stage]:
    """The row hashes of one share of a column, as the schema step hashes the
    whole column whose missing flag is `has_missing`; None when the step
    would leave the column out. `prefix` rows, put before the share's values
    wherever they become objects, steer the dtype inference and the text
    fallback of the hashing; their hashes are not returned. The stage that
    made the hashes holds the filled share (`filled`, its own rows only)."""
    s = s.reset_index(drop=True)
    n = len(s)
    appended = False
    if has_missing and n and not bool(s.isna().any()):
        # The whole column has a missing cell, and the step's calls behave
        # as they do with one (a refused fill, no narrowed dtype): this share
        # gets one at its end, whose hash is dropped.
        s = s.reindex(range(n + 1))
        appended = True
    stage = _Stage(prefix)
    filled: pd.Series | None
    try:
        filled = None if isinstance(s.dtype, pd.SparseDtype) else _filled_column(s, has_missing, stage)
    except Exception:
        filled = None
    if filled is None:
        # The object copy stands in, as in the step; a stage of its own, so
        # that the prefix goes in front of the copy.
        stage = _Stage(prefix)
        try:
            filled = _filled_column(stage.as_objects(s), has_missing, stage)
        except Exception:
            return None, stage
    try:
        hashes = pd.util.hash_pandas_object(filled, index=False).to_numpy()
    except Exception:
        return None, stage
    end = len(hashes) - 1 if appended else len(hashes)
    stage.filled = filled.iloc[stage.inserted : end]
    return np.ascontiguousarray(hashes[stage.inserted : end]), stage


def _witnesses(objects: pd.Series | None, skip: int) -> dict[Any, Any]:
    """A few values of an object share that force its decisions on any share
    they are put before: the first value of each type (and time zone), and
    the smallest and largest integers."""
    out: dict[Any, Any] = {}
    if objects is None:
        return out
    values = objects.to_numpy()[skip:]
    values = values[~pd.isna(values)]
    if not len(values):
        return out
    types = pd.Series(np.frompyfunc(type, 1, 1)(values), dtype=object)
    for kind in types.drop_duplicates():
        of_kind = values[(types == kind).to_numpy()]
        if hasattr(of_kind[0], "tz"):
            for value in of_kind:
                out.setdefault(("first", kind, str(value.tz)), value)
        else:
            out[("first", kind, None)] = of_kind[0]
        if issubclass(kind, (int, np.integer)) and not issubclass(kind, (bool, np.bool_)):
            low, high = min(of_kind), max(of_kind)
            if ("min",) not in out or low < out[("min",)]:
                out[("min",)] = low
            if ("max",) not in out or high > out[("max",)]:
                out[("max",)] = high
    return out


def _merge_witnesses(first: dict[Any, Any], second: dict[Any, Any]) -> dict[Any, Any]:
    out = dict(first)
    for key, value in second.items():
        if key not in out:
            out[key] = value
        elif key == ("min",) and value < out[key]:
            out[key] = value
        elif key == ("max",) and value > out[key]:
            out[key] = value
    return out


def _digest(data: bytes) -> bytes:
    return hashlib.blake2b(data, digest_size=8).digest()


@dataclass
class _ColumnFacts:
    """One column over some partitions, in partition order."""

    digest: bytes = b""
    failed: bool = False
    # dtypes of the filled shares of non-empty partitions
    dtypes: set[str] = field(default_factory=set)
    # object shares hashed through their texts / holding bytes without that
    text_fallback: bool = False
    bytes_without_fallback: bool = False
    witnesses: dict[Any, Any] = field(default_factory=dict)
    # how the non-empty shares were digested: "values" (floats with missing
    # cells) or "hashes"
    roads: set[str] = field(default_factory=set)
    # whether every share could hold the texts of a float column's values
    could_be_float_texts: bool = True
    # the first zero of a float column with missing cells, in partition order
    first_zero: float | None = None


def _object_decisions(filled: pd.Series) -> tuple[bool, bool]:
    """Whether pandas hashes this object share through the texts of its
    values (some value is neither text, bytes nor a tuple), and whether it
    holds bytes (whose text differs from their own hashing)."""
    types = set(map(type, filled.to_numpy()))
    fallback = any(not issubclass(t, (str, bytes, tuple)) for t in types)
    has_bytes = any(issubclass(t, bytes) for t in types)
    return fallback, has_bytes


def _candidate_partition(part: pd.DataFrame, has_missing: list[bool]) -> list[_ColumnFacts]:
    out = []
    for j, missing in enumerate(has_missing):
        column = part.iloc[:, j]
        native = native_digest(column, missing, FILL_TEXT)
        if native is not None:
            out.append(
                _ColumnFacts(
                    digest=native.digest,
                    dtypes=set() if native.dtype is None else {native.dtype},
                    text_fallback=native.text_fallback,
                    bytes_without_fallback=native.bytes_without_fallback,
                    witnesses=native.witnesses,
                    roads={native.road} if len(column) else set(),
                    could_be_float_texts=native.could_be_float_texts,
                    first_zero=native.first_zero,
                )
            )
            continue
        hashes, stage = _column_row_hashes(column, missing, [])
        facts = _ColumnFacts(
            roads={"hashes"} if len(column) else set(), could_be_float_texts=could_be_float_texts(column, FILL_TEXT)
        )
        if hashes is None:
            facts.failed = True
        else:
            facts.digest = hashes_digest(hashes)
            filled = stage.filled
            if len(filled):
                facts.dtypes.add(str(filled.dtype))
                if filled.dtype == object:
                    fallback, has_bytes = _object_decisions(filled)
                    facts.text_fallback = fallback
                    facts.bytes_without_fallback = has_bytes and not fallback
            facts.witnesses = _witnesses(stage.objects, stage.inserted)
        out.append(facts)
    return out


def _combine_facts(parts: list[list[_ColumnFacts]]) -> list[_ColumnFacts]:
    out = []
    for j in range(len(parts[0])):
        column = [p[j] for p in parts]
        facts = _ColumnFacts()
        facts.failed = any(f.failed for f in column)
        if not facts.failed:
            # In partition order: a share's position is part of the digest.
            facts.digest = _digest(b"".join(f.digest for f in column))
            for f in column:
                facts.dtypes |= f.dtypes
                facts.text_fallback |= f.text_fallback
                facts.bytes_without_fallback |= f.bytes_without_fallback
                facts.witnesses = _merge_witnesses(facts.witnesses, f.witnesses)
                facts.roads |= f.roads
                facts.could_be_float_texts = facts.could_be_float_texts and f.could_be_float_texts
                if facts.first_zero is None:
                    facts.first_zero = f.first_zero
        out.append(facts)
    return out


@dataclass
class DuplicatePlan:
    """What pass 2 found for pass 3: the pairs (later, earlier) of column
    positions to compare, the prefix rows of the columns whose shares must
    be hashed behind them, and the first zero of the float columns with
    missing cells that have one."""

    n_cols: int
    pairs: list[tuple[int, int]]
    prefixes: dict[int, list[Any]]
    has_missing: list[bool]
    zeros: dict[int, float] = field(default_factory=dict)


def _plan(facts: list[_ColumnFacts], has_missing: list[bool]) -> DuplicatePlan:
    """Pass 3's plan from every column's combined facts."""
    usable = [j for j, f in enumerate(facts) if not f.failed]
    unsettled = {
        j for j in usable if len(facts[j].dtypes) > 1 or (facts[j].text_fallback and facts[j].bytes_without_fallback)
    }
    # Digests of values and of hashes do not compare: a column with both is
    # a candidate with every other column.
    anything = unsettled | {j for j in usable if len(facts[j].roads) > 1}
    by_values = {j for j in usable if facts[j].roads == {"values"}} - anything
    pairs: set[tuple[int, int]] = set()
    groups: dict[tuple[bool, bytes], list[int]] = {}
    for j in usable:
        if j not in anything:
            groups.setdefault((j in by_values, facts[j].digest), []).append(j)
    for members in groups.values():
        for a, later in enumerate(members):
            for earlier in members[:a]:
                pairs.add((later, earlier))
    could = [j for j in usable if j not in by_values and j not in anything and facts[j].could_be_float_texts]
    for u in by_values:
        for j in could:
            pairs.add((max(u, j), min(u, j)))
    for u in anything:
        for j in usable:
            if j != u:
                pairs.add((max(u, j), min(u, j)))
    return DuplicatePlan(
        len(facts),
        sorted(pairs),
        {u: list(facts[u].witnesses.values()) for u in sorted(unsettled)},
        has_missing,
        {j: facts[j].first_zero for j in sorted(by_values) if facts[j].first_zero is not None},
    )


def add_duplicate_candidates(
    p: Pass, ddf: Any, tables: Tables, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], DuplicatePlan]:
    """Adds to pass `p` (pass 2; `tables` holds pass 1's counts) the digests
    of every column's row hashes. Returns `fill(results, tables)`, which
    returns the plan of pass 3 and, when there is nothing to confirm, sets
    `tables.duplicate_pairs` to the empty list already."""
    import dask

    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    columns = ddf.columns
    has_missing = [bool(x) for x in tables.col_has_missing]
    if tables.n_rows <= 0 or len(columns) > MAX_DUPLICATE_SCAN_COLS:

        def nothing(results: list[Any], tables: Tables) -> DuplicatePlan:
            tables.duplicate_pairs = []
            return DuplicatePlan(len(columns), [], {}, has_missing)

        return nothing

    per_part = dask.delayed(_candidate_partition, pure=True)
    partials = [per_part(part, has_missing) for part in p.partitions(ddf)]
    at = p.add(combine_tree(partials, _combine_facts, split_every))

    def fill(results: list[Any], tables: Tables) -> DuplicatePlan:
        plan = _plan(results[at], has_missing)
        if not plan.pairs:
            tables.duplicate_pairs = []
        return plan

    return fill


def _confirm_partition(part: pd.DataFrame, plan: DuplicatePlan, where: dict[int, int] | None = None) -> np.ndarray:
    """Which candidate pairs are equal in this partition; `where` maps a
    column's position in the frame to its position in `part` (a pass that
    reads fewer columns)."""
    involved = sorted({j for pair in plan.pairs for j in pair})
    hashes: dict[int, np.ndarray | None] = {}
    for j in involved:
        column, prefix = part.iloc[:, j if where is None else where[j]], plan.prefixes.get(j, [])
        native = None if prefix else native_row_hashes(column, plan.has_missing[j], FILL_TEXT, plan.zeros.get(j))
        if native is not None:
            hashes[j] = native.hashes
        else:
            hashes[j], _ = _column_row_hashes(column, plan.has_missing[j], prefix)
    equal = np.zeros(len(plan.pairs), dtype=bool)
    for i, (a, b) in enumerate(plan.pairs):
        ha, hb = hashes[a], hashes[b]
        equal[i] = ha is not None and hb is not None and ha.shape == hb.shape and bool(np.array_equal(ha, hb))
    return equal


def _all_equal(parts: list[np.ndarray]) -> np.ndarray:
    return np.logical_and.reduce(parts)


def first_of_class_pairs(columns: pd.Index, n_cols: int, equal_pairs: list[tuple[int, int]]) -> list[tuple[Any, Any]]:
    """(column, first earlier equal column), in column order: the step's
    pairs, given which pairs of columns are equal (an equivalence)."""
    first_equal: dict[int, int] = {}
    for later, earlier in equal_pairs:
        if earlier < first_equal.get(later, n_cols):
            first_equal[later] = earlier
    return [(columns[j], columns[first_equal[j]]) for j in range(n_cols) if j in first_equal]


def add_duplicate_confirm(
    p: Pass, ddf: Any, plan: DuplicatePlan, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], None]:
    """Adds to pass `p` (pass 3) the exact comparison of the candidate pairs
    of `plan`. Returns `fill(results, tables)`, which sets
    `tables.duplicate_pairs`. Adds nothing when there is no candidate."""
    import dask

    columns = ddf.columns
    if not plan.pairs:

        def nothing(results: list[Any], tables: Tables) -> None:
            tables.duplicate_pairs = []

        return nothing

    per_part = dask.delayed(_confirm_partition, pure=True)
    where = {j: p.position(ddf, j) for pair in plan.pairs for j in pair}
    partials = [per_part(part, plan, where) for part in p.partitions(ddf)]
    at = p.add(combine_tree(partials, _all_equal, split_every))

    def fill(results: list[Any], tables: Tables) -> None:
        equal = results[at]
        confirmed = [pair for pair, same in zip(plan.pairs, equal, strict=True) if same]
        tables.duplicate_pairs = first_of_class_pairs(columns, plan.n_cols, confirmed)

    return fill
