"""Result records of metric evaluations."""

from __future__ import annotations

import math
from collections.abc import Iterable
from datetime import datetime
from typing import TYPE_CHECKING, Annotated, Any

from pydantic import BaseModel, ConfigDict

from zentrix_gov.entities.base_classes import (
    BaseMetricResult,
    Error,
    PlainScalar,
    RecordId,
)
from zentrix_gov.entities.metric_threshold import MetricThreshold

if TYPE_CHECKING:
    import pandas as pd

Number = Annotated[float | int | None, PlainScalar]


def _is_value(value: Any) -> bool:
    """Whether ``value`` counts as a computed number (None and NaN do not)."""
    if value is None or isinstance(value, str):
        return False
    try:
        return not math.isnan(value)
    except TypeError:
        return False


class RecordMetricResult(BaseMetricResult):
    """One metric value of one record."""

    record_id: RecordId = None
    record_timestamp: str | datetime | None = None
    value: Number = None
    label: str | None = None
    thresholds: list[MetricThreshold] = []
    explanation: str | None = None
    additional_info: dict[str, Any] | None = None
    evidences: list[Any] | None = None
    errors: list[Error] | None = None


class AggregateMetricResult(BaseMetricResult):
    """The result of one metric over all records.

    ``value`` is the mean of the records that produced a value, or the text "Error" when none
    did; ``errors`` then collects the records' errors.
    """

    value: Annotated[float | int | str | None, PlainScalar] = None
    total_records: int = 0
    record_level_metrics: list[RecordMetricResult] = []
    min: Number = None
    max: Number = None
    mean: Number = None
    thresholds: list[MetricThreshold] = []
    errors: list[Error] | None = None

    @classmethod
    def create(cls, record_results: Iterable[RecordMetricResult]) -> AggregateMetricResult:
        """Aggregate record results of one metric.

        Name, display name, method, group, provider and thresholds come from the first
        record. Records whose value is None or NaN are counted in ``total_records`` but left
        out of min, max and mean.
        """
        records = list(record_results)
        if not records:
            raise ValueError("Cannot aggregate metric results: no record results were given.")
        first = records[0]
        values = [record.value for record in records if _is_value(record.value)]
        common = {
            "name": first.name,
            "display_name": first.display_name,
            "method": first.method,
            "group": first.group,
            "provider": first.provider,
            "total_records": len(records),
            "record_level_metrics": records,
            "thresholds": first.thresholds,
        }
        if not values:
            errors = [error for record in records for error in (record.errors or ())]
            return cls(value="Error", min=None, max=None, mean=None, errors=errors, **common)
        mean = round(sum(values) / len(values), 4)
        return cls(value=mean, min=min(values), max=max(values), mean=mean, **common)


class MetricsEvaluationResult(BaseModel):
    """All metric results of one evaluation, in the order they were produced."""

    model_config = ConfigDict(frozen=True, arbitrary_types_allowed=True)

    # Metrics may return any result record; they are kept as given.
    metrics_result: list[Any] = []

    def to_dict(self) -> dict[str, Any]:
        """Plain dictionaries for every metric result."""
        return {"metrics_result": [_as_dict(result) for result in self.metrics_result]}

    def to_df(self) -> pd.DataFrame:
        """A data frame with one row per record result of every metric."""
        import pandas as pd

        rows: list[dict[str, Any]] = []
        for result in self.metrics_result:
            records = getattr(result, "record_level_metrics", None)
            if records is None:
                # A metric that returned a single record-level result.
                rows.append(_as_dict(result))
                continue
            rows.extend(_as_dict(record) for record in records)
        frame = pd.DataFrame(rows)
        leading = [column for column in ("record_id", "name", "value") if column in frame]
        return frame[leading + [column for column in frame.columns if column not in leading]]


def _as_dict(result: Any) -> dict[str, Any]:
    if isinstance(result, BaseModel):
        return result.model_dump()
    if isinstance(result, dict):
        return dict(result)
    return dict(vars(result))
