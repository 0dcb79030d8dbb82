from collections.abc import Coroutine
from typing import Any

import pandas as pd

from zentrix_gov.clients.api_client import APIClient
from zentrix_gov.config import AgenticAIConfiguration, GenAIConfiguration
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult
from zentrix_gov.entities.metric import GenAIMetric

api_client_cache: APIClient | None

def _evaluate_metrics(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame | dict | list[dict],
    metrics: list[GenAIMetric],
    api_client: APIClient | None = None,
    metric_groups: list[MetricGroup] = ...,
    **kwargs: Any,
) -> MetricsEvaluationResult: ...
def _evaluate_metrics_async(
    configuration: GenAIConfiguration | AgenticAIConfiguration,
    data: pd.DataFrame | dict | list[dict],
    metrics: list[GenAIMetric],
    api_client: APIClient | None = None,
    metric_groups: list[MetricGroup] = ...,
    **kwargs: Any,
) -> Coroutine[Any, Any, MetricsEvaluationResult]: ...
def _resolve_metric_dependencies(
    metrics: list[GenAIMetric] = ..., metric_groups: list[MetricGroup] = ...
) -> list[GenAIMetric]: ...
