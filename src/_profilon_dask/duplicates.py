"""Duplicate columns: the pairs the in-memory schema step reports, found by
the duplicate-digest kernel (`kernels/duplicate_digests.hpp`), which digests
a partition's shares of every column in pass 2, merges them with their
witnesses and plans pass 3's comparison of the candidates' row hashes. Here
stays what pandas defines: the schema step's fill and hashing of the shares
the native roads (`native_hashes`) do not take (docs/distributed.md tells
what is not reproduced)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import _profilon_kernels as kernels

from .native_hashes import could_be_float_texts, native_row_hashes, share_road
from .passes import Pass, combine_tree
from .tables import Tables

# The schema step leaves wider frames out, and fills missing cells with this text.
MAX_DUPLICATE_SCAN_COLS = kernels.rules()["duplicate_scan_columns"]
FILL_TEXT = kernels.rules()["duplicate_fill_text"]
# Digests combined per task on the way to a column's whole digest.
DIGEST_SPLIT_EVERY = 8


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


def _pandas_road(column: pd.Series, missing: bool) -> tuple[Any, ...] | None:
    """The kernel's road of a share pandas hashes: its hashes, with the
    filled objects and the present ones before the fill (None: it failed)."""
    hashes, stage = _column_row_hashes(column, missing, [])
    if hashes is None:
        return None
    filled = stage.filled.to_numpy() if stage.filled.dtype == object else None
    objects = None if stage.objects is None else stage.objects.to_numpy()
    present = None if objects is None else objects[~pd.isna(objects)]
    return ("hashes", hashes, str(stage.filled.dtype), could_be_float_texts(column, FILL_TEXT), filled, present)


def _candidate_partition(part: pd.DataFrame, has_missing: list[bool]) -> list[Any]:
    columns = [(part.iloc[:, j], missing) for j, missing in enumerate(has_missing)]
    return kernels.duplicate_partial([share_road(c, m, FILL_TEXT) or _pandas_road(c, m) for c, m in columns])


class DuplicatePlan(NamedTuple):
    """Pass 3's work (the kernel's plan): the pairs (later, earlier) of
    columns to compare, the witnesses to hash some columns behind, the first
    zeros of floats; and every column's missing flag."""

    pairs: list[tuple[int, int]]
    prefixes: dict[int, list[Any]]
    zeros: dict[int, float]
    has_missing: list[bool]


def add_duplicate_candidates(
    p: Pass, ddf: Any, tables: Tables, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], DuplicatePlan]:
    """Adds every column's digest state to pass 2 (`tables`: pass 1's). Its
    `fill` returns pass 3's plan (no pair: `duplicate_pairs` is [] already)."""
    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    has_missing = [bool(x) for x in tables.col_has_missing]
    at = None
    if tables.n_rows > 0 and len(ddf.columns) <= MAX_DUPLICATE_SCAN_COLS:
        partials = p.tasks(ddf, _candidate_partition, has_missing)
        at = p.add(combine_tree(partials, kernels.duplicate_merge, split_every))

    def fill(results: list[Any], tables: Tables) -> DuplicatePlan:
        plan = DuplicatePlan(*(([], {}, {}) if at is None else kernels.duplicate_plan(results[at])), has_missing)
        if not plan.pairs:
            tables.duplicate_pairs = []
        return plan

    return fill


def _confirm_partition(part: pd.DataFrame, plan: DuplicatePlan, where: dict[int, int] | None = None) -> np.ndarray:
    """Which candidate pairs are equal here; `where`: column positions in a
    partition of fewer columns."""
    hashes: list[np.ndarray | None] = [None] * len(plan.has_missing)
    for j in sorted({j for pair in plan.pairs for j in pair}):
        column, prefix = part.iloc[:, j if where is None else where[j]], plan.prefixes.get(j, [])
        native = None if prefix else native_row_hashes(column, plan.has_missing[j], FILL_TEXT, plan.zeros.get(j))
        hashes[j] = native[0] if native is not None else _column_row_hashes(column, plan.has_missing[j], prefix)[0]
    return kernels.duplicate_equal_pairs(hashes, plan.pairs)


def add_duplicate_confirm(
    p: Pass, ddf: Any, plan: DuplicatePlan, split_every: int = DIGEST_SPLIT_EVERY
) -> Callable[[list[Any], Tables], None]:
    """Adds the comparison of `plan`'s pairs (if any) to pass 3; its `fill`
    sets `tables.duplicate_pairs`."""
    at = None
    if plan.pairs:
        where = {j: p.position(ddf, j) for pair in plan.pairs for j in pair}
        partials = p.tasks(ddf, _confirm_partition, plan, where)
        at = p.add(combine_tree(partials, kernels.duplicate_confirm_merge, split_every))

    def fill(results: list[Any], tables: Tables) -> None:
        equal = [] if at is None else [pair for pair, same in zip(plan.pairs, results[at], strict=True) if same]
        # The step's pairs: (column, the first earlier column equal to it).
        first = kernels.duplicate_first_of_class(len(plan.has_missing), equal)
        tables.duplicate_pairs = [(ddf.columns[a], ddf.columns[b]) for a, b in first]

    return fill
