"""Metrics computed by the text-detection service.

Every class here builds a ``Detectwire`` provider for its own metric when it is evaluated
and returns the provider's ``AggregateMetricResult``. The provider (and with it pandas and
aiohttp) is imported only then, so defining and configuring metrics stays cheap.
"""

from __future__ import annotations

import functools
import re
from typing import Any, ClassVar, Literal

from pydantic import ConfigDict, Field, field_validator, model_validator

from zentrix_gov.entities.enums import BasaltGuardianRisks, MetricGroup
from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.entities.metric_registry import register_group_metric
from zentrix_gov.entities.metric_threshold import MetricThreshold

__all__ = [
    "AnswerRelevanceMetric",
    "ContextRelevanceMetric",
    "DetectorMetric",
    "FaithfulnessMetric",
    "HAPMetric",
    "KeywordDetectionMetric",
    "PIIMetric",
    "PromptSafetyRiskMetric",
    "RegexDetectionMetric",
    "RiskMetric",
    "ToolCallAccuracyMetric",
    "TopicRelevanceMetric",
]

SHARED_RISK_METHOD = "basalt_guardian"


def _at_most(limit: float) -> list[MetricThreshold]:
    # Detection metrics: the value is the strongest detection's score, lower is better.
    return [MetricThreshold(type="upper_limit", value=limit)]


def _at_least(limit: float) -> list[MetricThreshold]:
    # Relevance and accuracy metrics: higher is better.
    return [MetricThreshold(type="lower_limit", value=limit)]


def _as_frame(data: Any) -> Any:
    """The records as a data frame (a dictionary is one record, a list one per element)."""
    import pandas as pd

    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, dict):
        return pd.DataFrame([data])
    if isinstance(data, list):
        return pd.DataFrame(data)
    raise TypeError(
        f"Records must be a pandas DataFrame, a dict or a list of dicts, not {type(data).__name__}."
    )


class DetectorMetric(GenAIMetric):
    """Base of the metrics computed by the text-detection service.

    Subclasses fix ``name`` and may send parameters to the detector by overriding
    :meth:`detector_params`.
    """

    # Misspelt parameters must fail loudly rather than be dropped silently.
    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    # Which columns of the configuration the metric reads (besides the record id).
    required_fields: ClassVar[tuple[str, ...]] = ("input_fields",)
    # One line for listings such as the command line's ``metrics`` command.
    summary: ClassVar[str] = ""

    def detector_params(self) -> dict[str, Any] | None:
        """Parameters sent to the detector with every record (None: none)."""
        return None

    def _provider(self, configuration: Any, api_client: Any) -> Any:
        from zentrix_gov.providers.detectwire import Detectwire

        return Detectwire(
            configuration,
            self.name,
            self.display_name,
            metric_method=self.method,
            metric_group=self.group,
            thresholds=list(self.thresholds),
            api_client=api_client,
            detector_params=self.detector_params(),
        )

    def evaluate(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """Send every record to the detection service and return the aggregate result."""
        return self._provider(configuration, api_client).evaluate(_as_frame(data))

    async def evaluate_async(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """As :meth:`evaluate`, with the requests sent on the running event loop."""
        provider = self._provider(configuration, api_client)
        return await provider.evaluate_async(_as_frame(data))


class HAPMetric(DetectorMetric):
    """Hate, abuse and profanity in the input text."""

    summary: ClassVar[str] = "hate, abuse and profanity in the input (0 = none)"

    name: Literal["hap"] = "hap"
    display_name: str = "HAP"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))


class PIIMetric(DetectorMetric):
    """Personal data (e-mail addresses, phone and card numbers, ...) in the input text."""

    summary: ClassVar[str] = "personal data in the input: e-mail, phone, card numbers (0 = none)"

    name: Literal["pii"] = "pii"
    display_name: str = "PII"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))


class KeywordDetectionMetric(DetectorMetric):
    """Whole-word, case-insensitive occurrences of the given keywords in the input text."""

    summary: ClassVar[str] = "occurrences of the given keywords in the input (needs keywords)"

    name: Literal["keyword"] = "keyword"
    display_name: str = "Keyword Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))
    keywords: list[str]

    @field_validator("keywords")
    @classmethod
    def _check_keywords(cls, keywords: list[str]) -> list[str]:
        if not keywords:
            raise ValueError("give at least one keyword")
        if not all(keyword.strip() for keyword in keywords):
            raise ValueError("keywords must not be empty or blank")
        return keywords

    def detector_params(self) -> dict[str, Any]:
        return {"keywords": list(self.keywords)}


class RegexDetectionMetric(DetectorMetric):
    """Matches of the given regular expressions in the input text."""

    summary: ClassVar[str] = (
        "matches of the given regular expressions in the input (needs patterns)"
    )

    name: Literal["regex"] = "regex"
    display_name: str = "Regex Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))
    patterns: list[str]

    @field_validator("patterns")
    @classmethod
    def _check_patterns(cls, patterns: list[str]) -> list[str]:
        if not patterns:
            raise ValueError("give at least one pattern")
        for pattern in patterns:
            if not pattern:
                raise ValueError("patterns must not be empty")
            # Fail here, once, instead of once per record at the service.
            try:
                re.compile(pattern)
            except re.error as exc:
                raise ValueError(f"pattern {pattern!r} does not compile: {exc}") from None
        return patterns

    def detector_params(self) -> dict[str, Any]:
        return {"regex": list(self.patterns)}


class TopicRelevanceMetric(DetectorMetric):
    """Whether the input stays on the topic set by the application's system prompt."""

    summary: ClassVar[str] = (
        "input on the topic of the system prompt (1 = on topic; needs system_prompt)"
    )

    name: Literal["topic_relevance"] = "topic_relevance"
    display_name: str = "Topic Relevance"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_least(0.7))
    system_prompt: str

    @field_validator("system_prompt")
    @classmethod
    def _check_prompt(cls, system_prompt: str) -> str:
        if not system_prompt.strip():
            raise ValueError("the system prompt must not be blank")
        return system_prompt

    def detector_params(self) -> dict[str, Any]:
        return {"system_prompt": self.system_prompt}


class AnswerRelevanceMetric(DetectorMetric):
    """How well the generated answer addresses the input question."""

    summary: ClassVar[str] = "how well the answer addresses the question (1 = fully)"
    required_fields: ClassVar[tuple[str, ...]] = ("input_fields", "output_fields")

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str = "Answer Relevance"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_least(0.7))


class FaithfulnessMetric(DetectorMetric):
    """How much of the generated answer is supported by the retrieved contexts.

    With the default method the results carry the supporting context passages as evidences.
    """

    summary: ClassVar[str] = "share of the answer supported by the contexts (1 = all)"
    required_fields: ClassVar[tuple[str, ...]] = ("output_fields", "context_fields")

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str = "Faithfulness"
    method: str | None = "faithfulness_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_least(0.7))


class ContextRelevanceMetric(DetectorMetric):
    """How relevant the retrieved contexts are to the input question.

    With the default method the results carry the most relevant passages as evidences.
    """

    summary: ClassVar[str] = "relevance of the best context to the question (1 = fully)"
    required_fields: ClassVar[tuple[str, ...]] = ("input_fields", "context_fields")

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str = "Context Relevance"
    method: str | None = "context_relevance_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_least(0.7))


class ToolCallAccuracyMetric(DetectorMetric):
    """Whether the model's tool calls fit the tool catalogue (known tools, valid arguments)."""

    summary: ClassVar[str] = "tool calls valid against the tool catalogue (1 = all valid)"
    required_fields: ClassVar[tuple[str, ...]] = ("input_fields", "tool_calls_field", "tools")

    name: Literal["tool_call_accuracy"] = "tool_call_accuracy"
    display_name: str = "Tool Call Accuracy"
    group: MetricGroup | None = MetricGroup.TOOL_CALL_QUALITY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_least(0.8))


# Risks about how the answer behaves rather than about harmful content.
_ANSWER_QUALITY_RISKS = frozenset({BasaltGuardianRisks.EVASIVENESS.value})


def _default_risk_group(risk: str) -> MetricGroup:
    return (
        MetricGroup.ANSWER_QUALITY if risk in _ANSWER_QUALITY_RISKS else MetricGroup.CONTENT_SAFETY
    )


class RiskMetric(DetectorMetric):
    """One risk of the shared risk detector ("harm", "social_bias", "jailbreak", ...).

    The metric is named after its risk: ``RiskMetric(risk="jailbreak").name == "jailbreak"``.
    """

    summary: ClassVar[str] = "risk of the shared risk detector in the input (0 = none)"

    risk: str = BasaltGuardianRisks.HARM.value
    name: str = BasaltGuardianRisks.HARM.value
    method: str | None = SHARED_RISK_METHOD
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))

    @model_validator(mode="before")
    @classmethod
    def _name_from_risk(cls, values: Any) -> Any:
        if not isinstance(values, dict):
            return values
        values = dict(values)
        risk = values.get("risk") or values.get("name") or BasaltGuardianRisks.HARM.value
        risk = getattr(risk, "value", risk)
        if values.get("name") and values["name"] != risk:
            raise ValueError(
                f"the name of a risk metric is its risk; got name {values['name']!r} "
                f"for risk {risk!r}"
            )
        values["risk"] = values["name"] = risk
        values.setdefault("group", _default_risk_group(risk))
        return values

    @field_validator("risk")
    @classmethod
    def _check_risk(cls, risk: str) -> str:
        known = BasaltGuardianRisks.values()
        if risk not in known:
            raise ValueError(f"unknown risk {risk!r}; known risks: {', '.join(known)}")
        return risk

    def detector_params(self) -> dict[str, Any]:
        return {"risk_name": self.risk}


class PromptSafetyRiskMetric(DetectorMetric):
    """Overall safety risk of the prompt, judged by the shared risk detector."""

    summary: ClassVar[str] = "overall safety risk of the prompt (0 = safe)"

    name: Literal["prompt_safety_risk"] = "prompt_safety_risk"
    display_name: str = "Prompt Safety Risk"
    method: str | None = SHARED_RISK_METHOD
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _at_most(0.5))


def risk_metric_factory(risk: str) -> functools.partial[RiskMetric]:
    """A callable building ``RiskMetric(risk=risk, **params)``."""
    return functools.partial(RiskMetric, risk=risk)


RISK_FACTORIES: dict[str, functools.partial[RiskMetric]] = {
    risk: risk_metric_factory(risk) for risk in BasaltGuardianRisks.values()
}


def _register_groups() -> None:
    # Metrics that need parameters (keywords, patterns, a system prompt) cannot be built
    # without them, so they belong to no group.
    memberships: list[tuple[MetricGroup, Any]] = [
        (MetricGroup.CONTENT_SAFETY, HAPMetric),
        (MetricGroup.CONTENT_SAFETY, PIIMetric),
        (MetricGroup.RETRIEVAL_QUALITY, FaithfulnessMetric),
        (MetricGroup.RETRIEVAL_QUALITY, ContextRelevanceMetric),
        (MetricGroup.RETRIEVAL_QUALITY, AnswerRelevanceMetric),
        (MetricGroup.TOOL_CALL_QUALITY, ToolCallAccuracyMetric),
    ]
    memberships += [(_default_risk_group(risk), f) for risk, f in RISK_FACTORIES.items()]
    for group, factory in memberships:
        register_group_metric(group, factory)


_register_groups()
