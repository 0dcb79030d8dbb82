"""Metrics by name: the table the command line and ``zentrix_gov.evaluate`` build metrics from."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from pydantic import ValidationError

from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.metrics.detectors import (
    RISK_FACTORIES,
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
    FaithfulnessMetric,
    HAPMetric,
    KeywordDetectionMetric,
    PIIMetric,
    PromptSafetyRiskMetric,
    RegexDetectionMetric,
    RiskMetric,
    ToolCallAccuracyMetric,
    TopicRelevanceMetric,
)
from zentrix_gov.metrics.rag import RAG_CLASSES, RAG_METRICS

MetricFactory = Callable[..., GenAIMetric]

METRICS_BY_NAME: dict[str, MetricFactory] = {
    "hap": HAPMetric,
    "pii": PIIMetric,
    "keyword": KeywordDetectionMetric,
    "regex": RegexDetectionMetric,
    "topic_relevance": TopicRelevanceMetric,
    "answer_relevance": AnswerRelevanceMetric,
    "faithfulness": FaithfulnessMetric,
    "context_relevance": ContextRelevanceMetric,
    "tool_call_accuracy": ToolCallAccuracyMetric,
    "prompt_safety_risk": PromptSafetyRiskMetric,
    **RISK_FACTORIES,
    **RAG_CLASSES,
}


class UnknownMetricError(ValueError):
    """A metric name that is not in :data:`METRICS_BY_NAME`."""

    def __init__(self, name: str):
        self.name = name
        super().__init__(f"Unknown metric {name!r}. Known metrics: {', '.join(known_metrics())}.")


class MetricParameterError(ValueError):
    """Parameters that do not fit the metric; ``problems`` lists one sentence per fault."""

    def __init__(self, name: str, problems: list[str]):
        self.name = name
        self.problems = problems
        super().__init__(f"Metric {name!r}: {'; '.join(problems)}.")


def known_metrics() -> list[str]:
    """The names :func:`metric_from_name` accepts, in table order."""
    return list(METRICS_BY_NAME)


def metric_summary(name: str) -> str:
    """One line describing the metric called ``name``, for listings."""
    from zentrix_gov.entities.detector_catalog import DETECTOR_METRICS

    _factory(name)
    return RAG_METRICS[name].summary if name in RAG_METRICS else DETECTOR_METRICS[name].summary


def metric_class(name: str) -> type[GenAIMetric]:
    """The class of the metric called ``name``."""
    factory = _factory(name)
    return RiskMetric if name in RISK_FACTORIES else factory  # type: ignore[return-value]


def metric_from_name(name: str, **params: Any) -> GenAIMetric:
    """A new metric called ``name``, built with ``params`` (e.g. ``keywords=[...]``).

    Raises :class:`UnknownMetricError` for a name not in the table and
    :class:`MetricParameterError` when the parameters do not fit the metric.
    """
    factory = _factory(name)
    if "name" in params or (name in RISK_FACTORIES and "risk" in params):
        raise MetricParameterError(name, ["the metric's name is fixed and cannot be a parameter"])
    try:
        return factory(**params)
    except ValidationError as exc:
        raise MetricParameterError(name, _describe(exc)) from None


def _factory(name: str) -> MetricFactory:
    if not isinstance(name, str) or name not in METRICS_BY_NAME:
        raise UnknownMetricError(str(name))
    return METRICS_BY_NAME[name]


def _describe(error: ValidationError) -> list[str]:
    """One readable sentence per validation fault."""
    problems = []
    for item in error.errors():
        location = ".".join(str(part) for part in item["loc"])
        kind = item["type"]
        if kind == "missing":
            problems.append(f"missing parameter {location!r}")
        elif kind == "extra_forbidden":
            problems.append(f"unknown parameter {location!r}")
        else:
            message = item["msg"].removeprefix("Value error, ")
            problems.append(f"parameter {location!r}: {message}" if location else message)
    return problems
