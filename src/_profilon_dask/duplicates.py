"""Duplicate columns: the pairs the in-memory schema step reports, found by
the duplicate-digest kernel (`kernels/duplicate_digests.hpp`): pass 2 digests
each partition's share of every column, pass 3 compares the row hashes of the
candidate pairs. Here stays what pandas defines: the schema step's fill and
hashing of the shares the native roads (`native_hashes`) do not take, and the
witnesses, the values of an object share that force decisions on the shares
behind it (docs/distributed.md tells what is not reproduced)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from functools import reduce
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .native_hashes import could_be_float_texts, native_digest, native_row_hashes
from .passes import Pass, combine_tree
from .tables import Tables

# The schema step leaves wider frames out.
MAX_DUPLICATE_SCAN_COLS = 200
FILL_TEXT = "__NAN__"
# Digests combined per task on the way to a column's whole digest.
DIGEST_SPLIT_EVERY = 8
_FLAGS = kernels.duplicate_flags()


class _ColumnFacts(NamedTuple):
    """The kernel's state of a column over some partitions (its flags' bits:
    `kernels.duplicate_flags()`), and witnesses."""

    digest: int
    flags: int
    dtype: str | None
    witnesses: dict[Any, Any]


class _Stage:
    """One share on its way to its row hashes: the prefix rows put before it
    as objects, its object copy and its filled rows."""

    def __init__(self, prefix: list[Any]) -> None:
        self.prefix, self.inserted = prefix, 0
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
    if isinstance(dtype, np.dtype) or pd.api.types.is_datetime64_any_dtype(dtype):
        if not has_missing:
            return stage.as_objects(s).infer_objects() if dtype.kind == "O" else s
        s = stage.as_objects(s)
    return s.fillna(FILL_TEXT)


def _column_row_hashes(s: pd.Series, has_missing: bool, prefix: list[Any]) -> tuple[np.ndarray | None, _Stage]:
    """The row hashes of a share as the schema step hashes the whole column
    whose missing flag is `has_missing` (None: left out), and its stage;
    `prefix` rows go first wherever it becomes objects, hashes dropped."""
    s = s.reset_index(drop=True)
    n = len(s)
    # The whole column has a missing cell, so the step's calls behave as with
    # one (a refused fill, no narrowed dtype): this share gets one, dropped.
    appended = has_missing and n and not bool(s.isna().any())
    if appended:
        s = s.reindex(range(n + 1))
    filled = None
    for attempt in (s, None):
        stage = _Stage(prefix)
        try:
            # The object copy stands in where the dtype refuses, as in the step.
            if attempt is None or not isinstance(s.dtype, pd.SparseDtype):
                filled = _filled_column(stage.as_objects(s) if attempt is None else s, has_missing, stage)
                break
        except Exception:
            continue
    if filled is None:
        return None, stage
    try:
        hashes = pd.util.hash_pandas_object(filled, index=False).to_numpy()
    except Exception:
        return None, stage
    end = len(hashes) - 1 if appended else len(hashes)
    stage.filled = filled.iloc[stage.inserted : end]
    return np.ascontiguousarray(hashes[stage.inserted : end]), stage


def _witnesses(objects: pd.Series | None, skip: int) -> dict[Any, Any]:
    """Values of an object share that force its decisions on a share behind
    them: each type's (and time zone's) first, the least and largest ints."""
    out: dict[Any, Any] = {}
    values = np.zeros(0, dtype=object) if objects is None else objects.to_numpy()[skip:]
    values = values[~pd.isna(values)]
    types = pd.Series(np.frompyfunc(type, 1, 1)(values), dtype=object)
    for kind in types.drop_duplicates():
        of_kind = values[(types == kind).to_numpy()]
        if hasattr(of_kind[0], "tz"):
            for value in of_kind:
                out.setdefault(("first", kind, str(value.tz)), value)
        else:
            out[("first", kind, None)] = of_kind[0]
        if issubclass(kind, (int, np.integer)) and not issubclass(kind, (bool, np.bool_)):
            out = _merge_witnesses(out, {("min",): min(of_kind), ("max",): max(of_kind)})
    return out


def _merge_witnesses(first: dict[Any, Any], second: dict[Any, Any]) -> dict[Any, Any]:
    out = dict(first)
    for key, value in second.items():
        out.setdefault(key, value)
    for key, pick in ((("min",), min), (("max",), max)):
        if key in first and key in second:
            out[key] = pick(first[key], second[key])
    return out


def _object_decisions(filled: pd.Series) -> tuple[bool, bool]:
    """Whether pandas hashes an object share through str() (some value is no
    text, bytes or tuple), and whether it holds bytes."""
    types = set(map(type, filled.to_numpy()))
    fallback = any(not issubclass(t, (str, bytes, tuple)) for t in types)
    return fallback, any(issubclass(t, bytes) for t in types)


def _share_facts(column: pd.Series, missing: bool) -> _ColumnFacts:
    native = native_digest(column, missing, FILL_TEXT)
    if native is not None:
        return _ColumnFacts(*native)
    hashes, stage = _column_row_hashes(column, missing, [])
    if hashes is None:
        return _ColumnFacts(0, _FLAGS["failed"], None, {})
    filled = stage.filled
    fallback, has_bytes = _object_decisions(filled) if filled.dtype == object else (False, False)
    could = could_be_float_texts(column, FILL_TEXT)
    state = kernels.duplicate_hashes_partial(hashes, str(filled.dtype), fallback, has_bytes and not fallback, could)
    return _ColumnFacts(*state, _witnesses(stage.objects, stage.inserted))


def _candidate_partition(part: pd.DataFrame, has_missing: list[bool]) -> list[_ColumnFacts]:
    return [_share_facts(part.iloc[:, j], missing) for j, missing in enumerate(has_missing)]


def _combine_facts(parts: list[list[_ColumnFacts]]) -> list[_ColumnFacts]:
    merged = kernels.duplicate_merge(parts)
    return [
        _ColumnFacts(*state, reduce(_merge_witnesses, (p[j].witnesses for p in parts), {}))
        for j, state in enumerate(merged)
    ]


@dataclass
class DuplicatePlan:
    """Pass 3's work: the pairs (later, earlier) of columns to compare, the
    witnesses to hash some columns behind, the first zeros of floats."""

    n_cols: int
    pairs: list[tuple[int, int]]
    prefixes: dict[int, list[Any]]
    has_missing: list[bool]
    zeros: dict[int, float] = field(default_factory=dict)


def _plan(facts: list[_ColumnFacts], has_missing: list[bool]) -> DuplicatePlan:
    pairs, unsettled, zeros = kernels.duplicate_plan(facts)
    prefixes = {u: list(facts[u].witnesses.values()) for u in unsettled}
    return DuplicatePlan(len(facts), pairs, prefixes, has_missing, {j: -0.0 if neg else 0.0 for j, neg in zeros})


def add_duplicate_candidates(
    p: Pass, ddf: Any, tables: Tables, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], DuplicatePlan]:
    """Adds every column's digest state to pass 2 (`tables`: pass 1's). Its
    `fill` returns pass 3's plan (no pair: `duplicate_pairs` is [] already)."""
    import dask

    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    has_missing = [bool(x) for x in tables.col_has_missing]
    at = None
    if tables.n_rows > 0 and len(ddf.columns) <= MAX_DUPLICATE_SCAN_COLS:
        per_part = dask.delayed(_candidate_partition, pure=True)
        at = p.add(
            combine_tree([per_part(part, has_missing) for part in p.partitions(ddf)], _combine_facts, split_every)
        )

    def fill(results: list[Any], tables: Tables) -> DuplicatePlan:
        plan = DuplicatePlan(len(ddf.columns), [], {}, has_missing) if at is None else _plan(results[at], has_missing)
        if not plan.pairs:
            tables.duplicate_pairs = []
        return plan

    return fill


def _confirm_partition(part: pd.DataFrame, plan: DuplicatePlan, where: dict[int, int] | None = None) -> np.ndarray:
    """Which candidate pairs are equal here; `where`: column positions in a
    partition of fewer columns."""
    hashes: list[np.ndarray | None] = [None] * plan.n_cols
    for j in sorted({j for pair in plan.pairs for j in pair}):
        column, prefix = part.iloc[:, j if where is None else where[j]], plan.prefixes.get(j, [])
        native = None if prefix else native_row_hashes(column, plan.has_missing[j], FILL_TEXT, plan.zeros.get(j))
        hashes[j] = native.hashes if native is not None else _column_row_hashes(column, plan.has_missing[j], prefix)[0]
    return kernels.duplicate_equal_pairs(hashes, plan.pairs)


def add_duplicate_confirm(
    p: Pass, ddf: Any, plan: DuplicatePlan, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], None]:
    """Adds the comparison of `plan`'s pairs (if any) to pass 3; its `fill`
    sets `tables.duplicate_pairs`."""
    import dask

    at = None
    if plan.pairs:
        per_part = dask.delayed(_confirm_partition, pure=True)
        where = {j: p.position(ddf, j) for pair in plan.pairs for j in pair}
        partials = [per_part(part, plan, where) for part in p.partitions(ddf)]
        at = p.add(combine_tree(partials, kernels.duplicate_confirm_merge, split_every))

    def fill(results: list[Any], tables: Tables) -> None:
        equal = [] if at is None else [pair for pair, same in zip(plan.pairs, results[at], strict=True) if same]
        # The step's pairs: (column, the first earlier column equal to it).
        first = kernels.duplicate_first_of_class(plan.n_cols, equal)
        tables.duplicate_pairs = [(ddf.columns[a], ddf.columns[b]) for a, b in first]

    return fill
