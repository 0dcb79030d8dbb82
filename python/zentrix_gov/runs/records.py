"""A stored run's results as the SDK's result records."""

from __future__ import annotations

from typing import TYPE_CHECKING

from zentrix_gov.runs.export import stored_records
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.summary import aggregate_value, summarize

if TYPE_CHECKING:
    from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult


def stored_results(store: RunStore, run: RunRecord) -> MetricsEvaluationResult:
    """One ``AggregateMetricResult`` per metric that evaluated records, in the run's order."""
    from zentrix_gov.entities.evaluation_result import (
        AggregateMetricResult,
        MetricsEvaluationResult,
        RecordMetricResult,
    )

    results = []
    for summary in summarize(store, run):
        if summary.identity is None:
            continue
        records = [
            RecordMetricResult.model_validate(fields)
            for fields in stored_records(store, run, summary)
        ]
        errors = list(summary.notes)
        if summary.failed:
            errors += [error.model_dump() for record in records for error in record.errors or []]
        identity = summary.aggregate or {}
        results.append(
            AggregateMetricResult(
                **{
                    key: identity.get(key)
                    for key in ("name", "display_name", "method", "provider", "group")
                },
                value=aggregate_value(summary),
                total_records=summary.read,
                record_level_metrics=records,
                min=summary.minimum,
                max=summary.maximum,
                mean=summary.value if summary.values else None,
                thresholds=identity.get("thresholds") or [],
                errors=errors or None,
            )
        )
    return MetricsEvaluationResult(metrics_result=results)
