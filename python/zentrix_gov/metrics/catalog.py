"""Metrics by name: the table the command line and ``zentrix_gov.evaluate`` build metrics from."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from pydantic import ValidationError

from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.metrics.criteria import COMMAND_NAME as CRITERIA
from zentrix_gov.metrics.criteria import SUMMARY as CRITERIA_SUMMARY
from zentrix_gov.metrics.criteria import CriteriaMetric
from zentrix_gov.metrics.criteria_files import CriteriaFileError, load_criteria
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
from zentrix_gov.metrics.problems import describe_validation
from zentrix_gov.metrics.rag import RAG_CLASSES, RAG_METRICS

MetricFactory = Callable[..., GenAIMetric]


def _criteria_metric(**params: Any) -> CriteriaMetric:
    """The metric of ``metric_from_name("criteria", ...)``: one criterion."""
    metrics = criteria_from_params(params)
    if len(metrics) > 1:
        raise MetricParameterError(
            CRITERIA,
            [
                f"{params['file']} defines {len(metrics)} criteria; load them all with "
                "load_criteria(path)"
            ],
        )
    return metrics[0]


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
    CRITERIA: _criteria_metric,
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
    if name == CRITERIA:
        return CRITERIA_SUMMARY
    return RAG_METRICS[name].summary if name in RAG_METRICS else DETECTOR_METRICS[name].summary


def metric_class(name: str) -> type[GenAIMetric]:
    """The class of the metric called ``name``."""
    factory = _factory(name)
    if name == CRITERIA:
        return CriteriaMetric
    return RiskMetric if name in RISK_FACTORIES else factory  # type: ignore[return-value]


def metric_from_name(name: str, /, **params: Any) -> GenAIMetric:
    """A new metric called ``name``, built with ``params`` (e.g. ``keywords=[...]``).

    ``"criteria"`` takes one criterion's definition (``name=..., criteria=..., options=...``)
    or ``file=PATH``, a criteria file holding exactly one criterion.

    Raises :class:`UnknownMetricError` for a name not in the table and
    :class:`MetricParameterError` when the parameters do not fit the metric.
    """
    factory = _factory(name)
    fixed_name = name != CRITERIA and "name" in params
    if fixed_name or (name in RISK_FACTORIES and "risk" in params):
        raise MetricParameterError(name, ["the metric's name is fixed and cannot be a parameter"])
    try:
        return factory(**params)
    except ValidationError as exc:
        raise MetricParameterError(name, describe_validation(exc)) from None


def criteria_from_params(params: dict[str, Any]) -> list[CriteriaMetric]:
    """The criteria named by the parameters of ``"criteria"``: those of the file of
    ``file=PATH`` (one or several), or the one inline definition."""
    if "file" in params:
        others = [key for key in params if key != "file"]
        if others:
            raise MetricParameterError(
                CRITERIA,
                [f"give file or an inline definition, not both (also given: {others[0]!r})"],
            )
        path = params["file"]
        if not isinstance(path, str | os.PathLike) or not str(path).strip():
            raise MetricParameterError(CRITERIA, ["parameter 'file' must be a file path"])
        try:
            return load_criteria(path)
        except CriteriaFileError as exc:
            raise MetricParameterError(CRITERIA, [str(exc)]) from None
    if not params:
        raise MetricParameterError(
            CRITERIA,
            ["give a definition (name, criteria or prompt_template, options) or file=PATH"],
        )
    try:
        return [CriteriaMetric(**params)]
    except ValidationError as exc:
        raise MetricParameterError(CRITERIA, describe_validation(exc)) from None


def _factory(name: str) -> MetricFactory:
    if not isinstance(name, str) or name not in METRICS_BY_NAME:
        raise UnknownMetricError(str(name))
    return METRICS_BY_NAME[name]
