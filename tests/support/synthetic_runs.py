"""Stored runs written straight into a run store, with no evaluation: for the tests and
benchmarks of what reads runs (reports, comparisons), where thousands of runs or a run of
100,000 records must cost seconds.

``store_run(store, [SyntheticMetric("quality", values), ...], records=path)`` writes a
complete run the way the runner would: a run row, one unit per metric and chunk, one
result row per record.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from zentrix_gov.runs.inputs import fingerprint
from zentrix_gov.runs.runner import new_run_id, package_versions
from zentrix_gov.runs.store import RunRecord, RunStore, UnitRecord
from zentrix_gov.runs.units import default_id
from zentrix_gov.utils.clock import now


@dataclass
class SyntheticMetric:
    """One metric's results: a value per record (None: the record has none)."""

    name: str
    values: Sequence[float | None]
    labels: Sequence[str | None] | None = None
    statuses: Sequence[str] | None = None  # default: "ok" with a value, else "error"
    explanations: Sequence[str | None] | None = None
    thresholds: Sequence[dict[str, Any]] = ()
    method: str | None = None
    error_code: str = "SERVICE_ERROR"
    error_text: str = "the detection service answered 500"
    skip_reason: str = "no answer"

    def status(self, position: int) -> str:
        if self.statuses is not None:
            return self.statuses[position]
        return "ok" if self.values[position] is not None else "error"


def write_records(path: Path, rows: Sequence[dict[str, Any]]) -> Path:
    """A JSON Lines records file."""
    with path.open("w", encoding="utf-8") as handle:
        for row in rows:
            handle.write(json.dumps(row, ensure_ascii=False) + "\n")
    return path


def store_run(
    store: RunStore,
    metrics: Sequence[SyntheticMetric],
    *,
    records: Path | None = None,
    ids: Sequence[str] | None = None,
    id_field: str = "record_id",
    chunk_size: int = 1000,
) -> RunRecord:
    """A complete run of ``metrics`` (all over the same records) over the file ``records``
    (or a table in memory when None); ids are position-derived unless given."""
    total = len(metrics[0].values)
    print_ = fingerprint(str(records)) if records is not None else None
    run = RunRecord(
        id=new_run_id(),
        started=now(),
        status="running",
        command=["python -m zentrix_gov", "evaluate", str(records)],
        config_hash="synthetic",
        metrics_hash="synthetic",
        total_records=total,
        chunk_size=chunk_size,
        metrics=[metric.name for metric in metrics],
        versions=package_versions(),
        definition={"id_field": id_field, "cwd": str(Path.cwd())},
        input_path=str(records) if records is not None else "<data frame>",
        input_size=print_.size if print_ else total,
        input_hash=print_.sha256 if print_ else "synthetic",
    )
    store.begin_run(run)
    for metric in metrics:
        identity = {
            "name": metric.name,
            "display_name": metric.name.replace("_", " ").title(),
            "method": metric.method,
            "provider": "synthetic",
            "group": None,
            "thresholds": list(metric.thresholds),
        }
        summary = {"identity": identity, "aggregate": identity, "notes": []}
        for chunk, first in enumerate(range(0, total, chunk_size)):
            positions = range(first, min(first + chunk_size, total))
            rows = [_row(metric, position, ids) for position in positions]
            unit = UnitRecord(metric.name, chunk, first, len(rows), 0.01, 1, summary)
            store.commit_unit(run.id, unit, rows, now())
    store.finish_run(run.id, "complete", now())
    return store.find_run(run.id)


def _row(metric: SyntheticMetric, position: int, ids: Sequence[str] | None) -> tuple[Any, ...]:
    record_id = ids[position] if ids is not None else default_id(position)
    status = metric.status(position)
    if status == "skipped":
        return (position, record_id, "skipped", *(None,) * 8, metric.skip_reason, None)
    value = metric.values[position]
    label = metric.labels[position] if metric.labels is not None else None
    explanation = metric.explanations[position] if metric.explanations is not None else None
    error = status == "error"
    record = json.dumps({"record_id": record_id, "value": value, "label": label})
    return (
        position,
        record_id,
        status,
        value,
        label,
        explanation,
        None,
        None,
        None,
        metric.error_code if error else None,
        metric.error_text if error else None,
        None,
        record,
    )
