from collections.abc import Coroutine
from types import ModuleType
from typing import Any

import pandas as pd

from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.evaluation_result import AggregateMetricResult
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.utils.environment import (
    get_unitxt_enable_inference_cache as get_unitxt_enable_inference_cache,
)
from zentrix_gov.utils.environment import (
    get_untixt_enable_inference_cache as get_untixt_enable_inference_cache,
)

ea_imports: ModuleType
engine_imports: ModuleType
# Bound on first use (reading one loads evalassist and unitxt):
EACriteria: type
EACriteriaOption: type
Instance: type
DirectJudge: type
CrossProviderInferenceEngine: type
PortKeyInferenceEngine: type
GoogleStudioInferenceEngine: type
# Bound on first use, set up to read its encodings from disk only:
tiktoken: ModuleType

VARIABLES_PATTERN: str

class Critwise:
    """The class to invoke eval assist library for computing the LLMAJ metrics."""

    metric_name: str
    display_name: str
    value_type: str
    llm_judge: LLMJudge | None
    options: list[Option]
    criteria_description: str | None
    prompt_template: str | None
    context_fields: list[str]
    prediction_field: str | None
    metric_group: MetricGroup | None
    metric_method: str | None
    thresholds: list[MetricThreshold]
    record_id_field: str
    record_timestamp_field: str
    compute_token_count: bool
    encoding: Any  # tiktoken.Encoding, set by evaluations that count tokens

    def __init__(
        self,
        metric_name: str,
        display_name: str,
        value_type: str,
        llm_judge: LLMJudge | None,
        options: list[Option],
        criteria_description: str | None = None,
        prompt_template: str | None = None,
        context_fields: list[str] | None = None,
        prediction_field: str | None = None,
        metric_group: MetricGroup | None = None,
        metric_method: str | None = None,
        thresholds: list[MetricThreshold] | None = None,
        **kwargs: Any,
    ) -> None: ...
    def evaluate(self, data: pd.DataFrame) -> AggregateMetricResult: ...
    def evaluate_async(self, data: pd.DataFrame) -> Coroutine[Any, Any, AggregateMetricResult]: ...
