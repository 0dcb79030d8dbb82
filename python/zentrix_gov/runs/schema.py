"""The run store's tables, its migrations, the statuses it stores, and the records of its
rows.

A store is made by creating the first version's tables and then applying every migration in
order, exactly as an older store is upgraded: a new store and an upgraded one cannot differ.
Each migration is a named function of the open transaction, recorded in ``migrations`` when
it is applied.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable
from dataclasses import dataclass, field
from enum import StrEnum
from typing import Any

from zentrix_gov.runs.usage import store_spend


class RunStatus(StrEnum):
    """How a run stands. A run whose process is gone reads as ``INTERRUPTED``."""

    RUNNING = "running"
    COMPLETE = "complete"
    FAILED = "failed"
    INTERRUPTED = "interrupted"


class ResultStatus(StrEnum):
    """How a record's result for a metric stands: a value (or a verdict), an error, or not
    evaluated because the record lacks a value the metric reads."""

    OK = "ok"
    ERROR = "error"
    SKIPPED = "skipped"


def _check(column: str, statuses: type[StrEnum]) -> str:
    return f"CHECK ({column} IN ({', '.join(repr(status.value) for status in statuses)}))"


# The tables of the first schema version; later versions are migrations of it.
FIRST_TABLES = (
    f"""CREATE TABLE runs (
    id TEXT PRIMARY KEY,
    started TEXT NOT NULL,
    ended TEXT,
    status TEXT NOT NULL {_check("status", RunStatus)},
    command TEXT NOT NULL,
    config_hash TEXT NOT NULL,
    metrics_hash TEXT NOT NULL,
    input_path TEXT,
    input_size INTEGER,
    input_hash TEXT,
    total_records INTEGER NOT NULL,
    chunk_size INTEGER NOT NULL,
    metrics TEXT NOT NULL,
    versions TEXT NOT NULL,
    judge_model TEXT,
    judge_url TEXT,
    definition TEXT NOT NULL,
    error TEXT
)""",
    """CREATE TABLE units (
    run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
    metric TEXT NOT NULL,
    chunk INTEGER NOT NULL,
    first_position INTEGER NOT NULL,
    records INTEGER NOT NULL,
    wall_seconds REAL NOT NULL,
    attempts INTEGER NOT NULL,
    summary TEXT NOT NULL,
    committed TEXT NOT NULL,
    PRIMARY KEY (run_id, metric, chunk)
)""",
    f"""CREATE TABLE results (
    run_id TEXT NOT NULL,
    metric TEXT NOT NULL,
    position INTEGER NOT NULL,
    record_id TEXT NOT NULL,
    status TEXT NOT NULL {_check("status", ResultStatus)},
    value,
    label TEXT,
    explanation TEXT,
    feedback TEXT,
    error_code TEXT,
    error_text TEXT,
    skip_reason TEXT,
    input_tokens INTEGER,
    output_tokens INTEGER,
    record TEXT,
    PRIMARY KEY (run_id, metric, position)
) WITHOUT ROWID""",
)


def record_migrations(db: sqlite3.Connection) -> None:
    """Version 2: the store records the migrations applied to it."""
    db.execute("CREATE TABLE migrations (version INTEGER PRIMARY KEY, name TEXT, applied TEXT)")


def judge_measures(db: sqlite3.Connection) -> None:
    """Version 3: human labels beside the results; every verdict of a judge asked several
    times (repeats, swapped options, jurors), which of them a unit has stored, and what
    each record's verdicts came to (see :mod:`zentrix_gov.judging.verdicts`)."""
    # No type: a label is an option's name or a number, and keeps what it is.
    db.execute("ALTER TABLE results ADD COLUMN human_label")
    db.execute(
        f"""CREATE TABLE verdicts (
    run_id TEXT NOT NULL,
    metric TEXT NOT NULL,
    position INTEGER NOT NULL,
    juror INTEGER NOT NULL,
    repeat INTEGER NOT NULL,
    swapped INTEGER NOT NULL,
    record_id TEXT NOT NULL,
    status TEXT NOT NULL {_check("status", ResultStatus)},
    value,
    label TEXT,
    explanation TEXT,
    feedback TEXT,
    input_tokens INTEGER,
    output_tokens INTEGER,
    error_code TEXT,
    error_text TEXT,
    record TEXT,
    PRIMARY KEY (run_id, metric, position, juror, repeat, swapped)
) WITHOUT ROWID"""
    )
    db.execute(
        """CREATE TABLE verdict_units (
    run_id TEXT NOT NULL,
    metric TEXT NOT NULL,
    chunk INTEGER NOT NULL,
    juror INTEGER NOT NULL,
    repeat INTEGER NOT NULL,
    swapped INTEGER NOT NULL,
    seconds REAL NOT NULL,
    summary TEXT NOT NULL,
    committed TEXT NOT NULL,
    PRIMARY KEY (run_id, metric, chunk, juror, repeat, swapped)
)"""
    )
    db.execute(
        """CREATE TABLE judgements (
    run_id TEXT NOT NULL,
    metric TEXT NOT NULL,
    position INTEGER NOT NULL,
    asked INTEGER NOT NULL,
    answered INTEGER NOT NULL,
    agreeing INTEGER,
    jurors_answered INTEGER NOT NULL,
    flipped INTEGER,
    jurors TEXT,
    PRIMARY KEY (run_id, metric, position)
) WITHOUT ROWID"""
    )


# MIGRATIONS[n - 1] brings a store from schema version n to n + 1, in the transaction given.
Migration = Callable[[sqlite3.Connection], None]
MIGRATIONS: tuple[Migration, ...] = (record_migrations, judge_measures, store_spend)
SCHEMA_VERSION = len(MIGRATIONS) + 1

# Columns of a result row, in the order commit_unit takes them (after run_id and metric).
RESULT_COLUMNS = (
    "position",
    "record_id",
    "status",
    "value",
    "label",
    "explanation",
    "feedback",
    "input_tokens",
    "output_tokens",
    "error_code",
    "error_text",
    "skip_reason",
    "record",
)


@dataclass
class RunRecord:
    """One row of ``runs``."""

    id: str
    started: str
    status: RunStatus
    command: list[str] | str
    config_hash: str
    metrics_hash: str
    total_records: int
    chunk_size: int
    metrics: list[str]
    versions: dict[str, str]
    definition: dict[str, Any]
    input_path: str | None = None
    input_size: int | None = None
    input_hash: str | None = None
    judge_model: str | None = None
    judge_url: str | None = None
    ended: str | None = None
    error: str | None = None

    def __post_init__(self) -> None:
        self.status = RunStatus(self.status)


@dataclass
class UnitRecord:
    """One finished unit: which records it covered and how it went."""

    metric: str
    chunk: int
    first_position: int
    records: int
    wall_seconds: float
    attempts: int
    summary: dict[str, Any] = field(default_factory=dict)


RUN_FIELDS = tuple(RunRecord.__dataclass_fields__)
# Fields of a run kept as JSON text.
JSON_FIELDS = {"command", "metrics", "versions", "definition"}
