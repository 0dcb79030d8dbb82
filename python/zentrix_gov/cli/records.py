"""The records file of a run (CSV, JSON, JSON Lines or Parquet), and which metrics read
which of its columns."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from zentrix_gov.cli.errors import UsageError

if TYPE_CHECKING:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.runs.executor import PlannedMetric
    from zentrix_gov.runs.inputs import Fingerprint, Source


def open_records(path: str, configuration: GenAIConfiguration) -> tuple[Source, Fingerprint]:
    """Read the records file once to check it (its records, columns and unique ids) and
    take its fingerprint; the run then streams it a chunk at a time."""
    from zentrix_gov.runs.errors import RecordsError
    from zentrix_gov.runs.inputs import fingerprint, open_source
    from zentrix_gov.runs.units import UniqueIds

    try:
        ids = UniqueIds(path, configuration.record_id_field)
        source = open_source(path, ids, configuration.record_id_field)
        ids.check(source)
        if not source.records:
            raise RecordsError(f"records file {path} holds no records")
        return source, fingerprint(path)
    except RecordsError as exc:
        raise UsageError(str(exc)) from None


def plan(
    metrics: Sequence[GenAIMetric], configuration: GenAIConfiguration, source: Source, path: str
) -> list[PlannedMetric]:
    """The metrics in the order they run, after checking the columns each one reads."""
    from zentrix_gov.runs.planning import PlanError, plan_metrics

    try:
        return plan_metrics(metrics, configuration, source.columns, path)
    except PlanError as exc:
        raise UsageError(str(exc)) from None
