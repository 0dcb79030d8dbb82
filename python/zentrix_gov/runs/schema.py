"""The run store's tables, and the records of its rows."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

SCHEMA_VERSION = 1
RUN_STATUSES = ("running", "complete", "failed", "interrupted")

SCHEMA = """
CREATE TABLE runs (
    id TEXT PRIMARY KEY,
    started TEXT NOT NULL,
    ended TEXT,
    status TEXT NOT NULL CHECK (status IN ('running', 'complete', 'failed', 'interrupted')),
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
);
CREATE TABLE units (
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
);
CREATE TABLE results (
    run_id TEXT NOT NULL,
    metric TEXT NOT NULL,
    position INTEGER NOT NULL,
    record_id TEXT NOT NULL,
    status TEXT NOT NULL CHECK (status IN ('ok', 'error', 'skipped')),
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
) WITHOUT ROWID;
"""
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
# Upgrades of older stores: MIGRATIONS[n] brings a store from schema n to n + 1.
MIGRATIONS: dict[int, str] = {}


@dataclass
class RunRecord:
    """One row of ``runs``."""

    id: str
    started: str
    status: str
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
