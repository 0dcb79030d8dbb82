from collections.abc import Coroutine
from typing import Any, ClassVar

import aiohttp
import pandas as pd

from zentrix_gov.entities.evaluation_result import AggregateMetricResult
from zentrix_gov.entities.metric_threshold import MetricThreshold

ACCURACY_METRICS: list[str]
RAG_EVIDENCE_METRICS: list[str]
RAG_SMALL_MODELS: list[str]
EVIDENCES: list[str]

class Detectwire:
    RETRY_AFTER_STATUS_CODES: ClassVar[list[int]]
    RETRY_COUNT: ClassVar[int]
    BACK_OFF_FACTOR: ClassVar[float]
    REQUEST_TIMEOUT: ClassVar[float | None]

    base_url: str
    configuration: Any
    configuration_: dict  # always empty and unread; kept for callers that read it
    metric_name: str
    metric_display_name: str
    metric_method: str | None
    metric_group: Any
    service_instance_id: str
    thresholds: list[MetricThreshold]
    detector_params: dict | None
    evs_client: Any
    verify: bool

    def __init__(
        self,
        configuration: Any,
        metric_name: str,
        metric_display_name: str,
        metric_method: str | None = None,
        metric_group: Any = None,
        thresholds: list[MetricThreshold] | None = None,
        **kwargs: Any,
    ) -> None: ...
    def set_metric_name(self, metric_name: str) -> str: ...
    def get_detector_url(self, api_client: Any) -> str: ...
    def get_service_instance_id(self, api_client: Any) -> str: ...
    def get_tool_calls_content(self, data: pd.DataFrame) -> list[list[dict]]: ...
    def get_tools_catalog_content(self) -> Any: ...
    def send_with_retries(
        self, payload: str, session: aiohttp.ClientSession
    ) -> Coroutine[Any, Any, Any]: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def evaluate_async(self, data: pd.DataFrame) -> Coroutine[Any, Any, AggregateMetricResult]: ...

def _json_dumps(value: Any) -> str: ...
