"""``zentrix_gov.evaluate``: evaluate metrics over a table of records.

A thin front of the evaluation driver that accepts metric names as well as metric objects,
fills in a default configuration and runs the driver's concurrent form on request.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, NamedTuple

from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY
from zentrix_gov.utils.python_utils import is_missing, records_frame

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult

__all__ = ["evaluate", "evaluate_async", "resolve_metric_dependencies"]

# Rows named in an error message, at most.
_ROWS_SHOWN = 10


class _Job(NamedTuple):
    configuration: Any
    data: Any
    metrics: list[GenAIMetric]
    metric_groups: list[MetricGroup]


def evaluate(
    data: pd.DataFrame | dict[str, Any] | list[dict[str, Any]],
    metrics: Iterable[GenAIMetric | str] | GenAIMetric | str,
    configuration: GenAIConfiguration | None = None,
    *,
    api_client: Any = None,
    metric_groups: Iterable[MetricGroup | str] | None = None,
    concurrent: bool = False,
    max_concurrency: int = DEFAULT_MAX_CONCURRENCY,
) -> MetricsEvaluationResult:
    """Evaluate ``metrics`` (and the metrics of ``metric_groups``) over ``data``.

    ``data`` is a DataFrame (one row per record), one record as a dict, or a list of dicts.
    A DataFrame is changed in place: the record id and timestamp columns named by the
    configuration are added when missing. ``metrics`` may mix metric objects and metric names
    (``"hap"``, ``"faithfulness"``, ...; see ``zentrix_gov.metrics.METRICS_BY_NAME``).
    Without a ``configuration`` the default column names of ``GenAIConfiguration`` apply.
    Without an ``api_client`` the default client is built from the ``ZNG_*`` environment.

    ``concurrent=True`` evaluates up to ``max_concurrency`` metrics at a time on an event
    loop; otherwise metrics run one after another. Returns a ``MetricsEvaluationResult``
    holding one result per metric.
    """
    job = _prepare(data, metrics, configuration, metric_groups, max_concurrency)
    if concurrent:
        from zentrix_gov.utils.async_util import run_in_event_loop

        return run_in_event_loop(_run_async, job, api_client, max_concurrency)

    from zentrix_gov.evaluators.impl import metricrun

    return metricrun._evaluate_metrics(
        job.configuration, job.data, job.metrics, api_client, job.metric_groups
    )


async def evaluate_async(
    data: pd.DataFrame | dict[str, Any] | list[dict[str, Any]],
    metrics: Iterable[GenAIMetric | str] | GenAIMetric | str,
    configuration: GenAIConfiguration | None = None,
    *,
    api_client: Any = None,
    metric_groups: Iterable[MetricGroup | str] | None = None,
    max_concurrency: int = DEFAULT_MAX_CONCURRENCY,
) -> MetricsEvaluationResult:
    """As :func:`evaluate` with ``concurrent=True``, awaited on the caller's event loop."""
    job = _prepare(data, metrics, configuration, metric_groups, max_concurrency)
    return await _run_async(job, api_client, max_concurrency)


def resolve_metric_dependencies(
    metrics: Iterable[GenAIMetric], metric_groups: Iterable[MetricGroup] = ()
) -> list[GenAIMetric]:
    """``metrics`` and the metrics of ``metric_groups`` with the metrics they depend on, in
    the order the driver evaluates them (a dependency before the metrics that need it)."""
    from zentrix_gov.evaluators.impl import metricrun

    return list(
        metricrun._resolve_metric_dependencies(
            metrics=list(metrics), metric_groups=list(metric_groups)
        )
    )


async def _run_async(job: _Job, api_client: Any, max_concurrency: int) -> MetricsEvaluationResult:
    from zentrix_gov.evaluators.impl import metricrun

    return await metricrun._evaluate_metrics_async(
        job.configuration,
        job.data,
        job.metrics,
        api_client,
        job.metric_groups,
        max_concurrency=max_concurrency,
    )


def _prepare(
    data: Any,
    metrics: Any,
    configuration: Any,
    metric_groups: Any,
    max_concurrency: Any,
) -> _Job:
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int):
        kind = type(max_concurrency).__name__
        raise TypeError(f"max_concurrency must be an integer, not {kind}.")
    if max_concurrency < 1:
        raise ValueError(f"max_concurrency must be at least 1, got {max_concurrency}.")
    frame = records_frame(data)
    metric_list = _metric_list(metrics)
    group_list = _group_list(metric_groups)
    if not metric_list and not group_list:
        raise ValueError("Give at least one metric or metric group to evaluate.")
    if configuration is None:
        from zentrix_gov.config import GenAIConfiguration

        configuration = GenAIConfiguration()
    if not frame.empty:  # the driver itself refuses an empty table
        every_metric = metric_list + [m for group in group_list for m in group.get_metrics()]
        _check_columns(frame, every_metric, configuration)
        _check_record_ids(frame, configuration.record_id_field)
        configuration = _without_absent_outputs(frame, configuration)
    return _Job(configuration, frame, metric_list, group_list)


def _read_columns(metric: GenAIMetric, configuration: Any) -> list[tuple[str, str]]:
    """(column, configuration setting) of every column a detector metric reads."""
    from zentrix_gov.entities.detector_catalog import DetectorMetricInfo

    info = getattr(metric, "info", None)
    if not isinstance(info, DetectorMetricInfo):
        return []  # other metrics check their own inputs
    return [
        (column, use.setting) for use in info.column_uses(configuration) for column in use.columns
    ]


def _check_record_ids(frame: Any, id_field: str) -> None:
    """Refuse an id column that has values for some records only.

    The driver fills a column without any value itself; a partly filled one would only fail
    once every request has been answered.
    """
    if id_field not in frame.columns:
        return
    missing = [row for row, value in enumerate(frame[id_field]) if is_missing(value)]
    if missing and len(missing) < len(frame):
        shown = ", ".join(str(row) for row in missing[:_ROWS_SHOWN])
        more = f" and {len(missing) - _ROWS_SHOWN} more" if len(missing) > _ROWS_SHOWN else ""
        raise ValueError(
            f"The record id column {id_field!r} has no value in rows {shown}{more} (counting "
            "from 0). Give every record an id, or leave the column out to have ids generated."
        )


def _check_columns(frame: Any, metrics: list[GenAIMetric], configuration: Any) -> None:
    present = {str(column) for column in frame.columns}
    for metric in metrics:
        for column, setting in _read_columns(metric, configuration):
            if column not in present:
                raise ValueError(
                    f"The records have no column {column!r} (named by {setting} of the "
                    f"configuration), which metric {metric.name!r} reads. Their columns are: "
                    f"{', '.join(map(str, frame.columns))}."
                )


def _without_absent_outputs(frame: Any, configuration: Any) -> Any:
    # The synchronous driver casts every output column to text; a column the records do not
    # have (and no requested metric reads) would make that cast fail.
    outputs = [field for field in configuration.output_fields if field in frame.columns]
    if outputs == list(configuration.output_fields):
        return configuration
    return configuration.model_copy(update={"output_fields": outputs})


def _metric_list(metrics: Any) -> list[GenAIMetric]:
    from zentrix_gov.metrics import metric_from_name

    if metrics is None:
        return []
    if isinstance(metrics, GenAIMetric | str):
        metrics = [metrics]
    result = []
    for metric in metrics:
        if isinstance(metric, str):
            metric = metric_from_name(metric)
        elif not isinstance(metric, GenAIMetric):
            raise TypeError(
                f"Metrics must be GenAIMetric objects or metric names, not {type(metric).__name__}."
            )
        result.append(metric)
    return result


def _group_list(metric_groups: Any) -> list[MetricGroup]:
    if metric_groups is None:
        return []
    if isinstance(metric_groups, MetricGroup | str):
        metric_groups = [metric_groups]
    groups = []
    for group in metric_groups:
        try:
            groups.append(MetricGroup(group))
        except ValueError:
            known = ", ".join(member.value for member in MetricGroup)
            raise ValueError(f"Unknown metric group {group!r}. Known groups: {known}.") from None
    return groups
