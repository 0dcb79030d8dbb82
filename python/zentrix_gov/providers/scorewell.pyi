import threading
from collections.abc import Coroutine
from types import ModuleType
from typing import Any, ClassVar

import cachetools
import pandas as pd
from pydantic import BaseModel

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.evaluation_result import AggregateMetricResult
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.utils.environment import (
    get_unitxt_enable_inference_cache as get_unitxt_enable_inference_cache,
)
from zentrix_gov.utils.environment import (
    get_untixt_enable_inference_cache as get_untixt_enable_inference_cache,
)

unitxt_imports: ModuleType
engine_imports: ModuleType
# Bound on first use (reading one loads unitxt):
ChatAPIFormat: type
Format: type
MLPInferenceEngineGeneration: type
OpenAiInferenceEngine: type
AzureOpenAIInferenceEngine: type
TaskBasedLLMasJudge: type
SequentialOperator: type
MultiStream: type
LiteLLMInferenceEngine: type
PortKeyInferenceEngine: type
ZnoAIGatewayInferenceEngine: type
CustomFunctionInferenceEngine: type

_inference_engine_cache: cachetools.TTLCache
_inference_engine_cache_lock: threading.Lock
METRIC_TO_TEMPLATE: dict[str, str]

def patch_bertscore_overflow() -> None: ...

class UnitxtColumnMapping(BaseModel):
    question: str
    answer: str
    contexts: str
    ground_truths: str

class Scorewell:
    CLIP_METRIC_METHODS: ClassVar[dict[str, set[str]]]
    METRIC_METHODS_WITH_LOCKS: ClassVar[set[str]]
    _lock: ClassVar[threading.Lock]

    configuration: GenAIConfiguration
    configuration_: dict  # always empty and unread; kept for callers that read it
    metric_name: str
    metric_display_name: str
    metric_method: str
    metric_group: Any
    column_mapping: UnitxtColumnMapping
    llm_judge: LLMJudge | None
    metric_alias: str | None
    metric_prefix: str
    thresholds: list[MetricThreshold]

    def __init__(
        self,
        configuration: GenAIConfiguration,
        metric_name: str,
        metric_display_name: str,
        metric_method: str,
        metric_prefix: str,
        metric_alias: str | None = None,
        metric_group: Any = None,
        column_mapping: UnitxtColumnMapping | None = None,
        llm_judge: LLMJudge | None = None,
        thresholds: list[MetricThreshold] | None = None,
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _create_inference_engine_impl(
        provider: str | None,
        model_id: str | None,
        use_cache: bool,
        credentials_json: str | None,
        parameters_json: str | None = "",
    ) -> Any: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def evaluate_async(self, data: pd.DataFrame) -> Coroutine[Any, Any, AggregateMetricResult]: ...
