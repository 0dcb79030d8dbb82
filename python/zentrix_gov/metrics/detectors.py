"""Metrics computed by the text-detection service.

Every class here builds a ``Detectwire`` provider for its own metric when it is evaluated
and returns the provider's ``AggregateMetricResult``. The provider (and with it pandas and
aiohttp) is imported only then, so defining and configuring metrics stays cheap.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable
from typing import Any, ClassVar, Literal

from pydantic import ConfigDict, Field, field_validator, model_validator

from zentrix_gov.entities.detector_catalog import (
    DETECTOR_METRICS,
    SHARED_RISK_DETECTOR,
    DetectorMetricInfo,
)
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

SHARED_RISK_METHOD = SHARED_RISK_DETECTOR


def _thresholds(name: str) -> list[MetricThreshold]:
    """The default thresholds of a metric: an upper limit for detections, where a higher
    value is worse, a lower limit for qualities."""
    info = DETECTOR_METRICS[name]
    kind = "upper_limit" if info.higher_is_worse else "lower_limit"
    return [MetricThreshold(type=kind, value=info.default_threshold)]


class DetectorMetric(GenAIMetric):
    """Base of the metrics computed by the text-detection service.

    Subclasses name the catalogue entries they build in ``metric_names`` (see
    ``zentrix_gov.entities.detector_catalog``), fix ``name`` and may send parameters to the
    detector by overriding :meth:`detector_params`. Defining a subclass registers its
    metrics with their groups.
    """

    # Misspelt parameters must fail loudly rather than be dropped silently.
    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    # The catalogue entries this class builds; one, except for the risk metrics.
    metric_names: ClassVar[tuple[str, ...]] = ()
    # A callable per name in ``metric_names`` building that metric; filled on definition.
    factories: ClassVar[dict[str, Callable[..., DetectorMetric]]] = {}

    provider_path: ClassVar[str] = "zentrix_gov.providers.detectwire:Detectwire"
    # The provider runs its requests on an event loop of its own.
    provider_needs_own_loop: ClassVar[bool] = False

    @classmethod
    def __pydantic_init_subclass__(cls, **kwargs: Any) -> None:
        super().__pydantic_init_subclass__(**kwargs)
        if "metric_names" not in cls.__dict__:
            return  # a subclass of a metric class: the metric is registered already
        cls.factories = {name: cls._factory_for(name) for name in cls.metric_names}
        for name in cls.metric_names:
            info = DETECTOR_METRICS[name]
            if len(cls.metric_names) == 1:
                cls._check_defaults(info)
            if info.in_group:
                register_group_metric(info.group, cls.factories[name])

    @classmethod
    def _factory_for(cls, name: str) -> Callable[..., DetectorMetric]:
        return cls

    @classmethod
    def _check_defaults(cls, info: DetectorMetricInfo) -> None:
        fields = cls.model_fields
        declared = (fields["name"].default, fields["group"].default, fields["method"].default)
        if declared != (info.name, info.group, info.method):
            raise TypeError(
                f"{cls.__name__} declares name, group and method {declared}, but the catalogue "
                f"says {(info.name, info.group, info.method)}"
            )

    @property
    def info(self) -> DetectorMetricInfo:
        """This metric's entry in the detector catalogue."""
        return DETECTOR_METRICS[self.name]

    @property
    def required_fields(self) -> tuple[str, ...]:
        """The configuration settings whose columns must hold a value for a record."""
        return self.info.reads

    def detector_params(self) -> dict[str, Any] | None:
        """Parameters sent to the detector with every record (None: none)."""
        return None

    def build_provider(self, frame: Any, configuration: Any, api_client: Any) -> Any:
        """A ``Detectwire`` sending every record to the detection service."""
        return self.provider_class()(
            configuration,
            self.name,
            self.display_name,
            metric_method=self.method,
            metric_group=self.group,
            thresholds=list(self.thresholds),
            api_client=api_client,
            detector_params=self.detector_params(),
        )


class HAPMetric(DetectorMetric):
    """Hate, abuse and profanity in the input text."""

    metric_names: ClassVar[tuple[str, ...]] = ("hap",)

    name: Literal["hap"] = "hap"
    display_name: str = "HAP"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("hap"))


class PIIMetric(DetectorMetric):
    """Personal data (e-mail addresses, phone and card numbers, ...) in the input text."""

    metric_names: ClassVar[tuple[str, ...]] = ("pii",)

    name: Literal["pii"] = "pii"
    display_name: str = "PII"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("pii"))


class KeywordDetectionMetric(DetectorMetric):
    """Whole-word, case-insensitive occurrences of the given keywords in the input text."""

    metric_names: ClassVar[tuple[str, ...]] = ("keyword",)

    name: Literal["keyword"] = "keyword"
    display_name: str = "Keyword Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("keyword"))
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

    metric_names: ClassVar[tuple[str, ...]] = ("regex",)

    name: Literal["regex"] = "regex"
    display_name: str = "Regex Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("regex"))
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

    metric_names: ClassVar[tuple[str, ...]] = ("topic_relevance",)

    name: Literal["topic_relevance"] = "topic_relevance"
    display_name: str = "Topic Relevance"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: _thresholds("topic_relevance")
    )
    system_prompt: str

    @field_validator("system_prompt")
    @classmethod
    def _check_prompt(cls, system_prompt: str) -> str:
        if not system_prompt.strip():
            raise ValueError("the system prompt must not be blank")
        return system_prompt

    def detector_params(self) -> dict[str, Any]:
        return {"system_prompt": self.system_prompt}


class FaithfulnessMetric(DetectorMetric):
    """How much of the generated answer is supported by the retrieved contexts.

    With the default method the results carry the supporting context passages as evidences.
    """

    metric_names: ClassVar[tuple[str, ...]] = ("faithfulness",)

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str = "Faithfulness"
    method: str | None = "faithfulness_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("faithfulness"))


class ContextRelevanceMetric(DetectorMetric):
    """How relevant the retrieved contexts are to the input question.

    With the default method the results carry the most relevant passages as evidences.
    """

    metric_names: ClassVar[tuple[str, ...]] = ("context_relevance",)

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str = "Context Relevance"
    method: str | None = "context_relevance_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: _thresholds("context_relevance")
    )


class AnswerRelevanceMetric(DetectorMetric):
    """How well the generated answer addresses the input question."""

    metric_names: ClassVar[tuple[str, ...]] = ("answer_relevance",)

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str = "Answer Relevance"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: _thresholds("answer_relevance")
    )


class ToolCallAccuracyMetric(DetectorMetric):
    """Whether the model's tool calls fit the tool catalogue (known tools, valid arguments)."""

    metric_names: ClassVar[tuple[str, ...]] = ("tool_call_accuracy",)

    name: Literal["tool_call_accuracy"] = "tool_call_accuracy"
    display_name: str = "Tool Call Accuracy"
    group: MetricGroup | None = MetricGroup.TOOL_CALL_QUALITY
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: _thresholds("tool_call_accuracy")
    )


class RiskMetric(DetectorMetric):
    """One risk of the shared risk detector ("harm", "social_bias", "jailbreak", ...).

    The metric is named after its risk: ``RiskMetric(risk="jailbreak").name == "jailbreak"``.
    """

    metric_names: ClassVar[tuple[str, ...]] = tuple(BasaltGuardianRisks.values())

    risk: str = BasaltGuardianRisks.HARM.value
    name: str = BasaltGuardianRisks.HARM.value
    method: str | None = SHARED_RISK_METHOD
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = Field(default_factory=lambda: _thresholds("harm"))

    @classmethod
    def _factory_for(cls, name: str) -> Callable[..., DetectorMetric]:
        return functools.partial(cls, risk=name)

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
        if risk in DETECTOR_METRICS:
            values.setdefault("group", DETECTOR_METRICS[risk].group)
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

    metric_names: ClassVar[tuple[str, ...]] = ("prompt_safety_risk",)

    name: Literal["prompt_safety_risk"] = "prompt_safety_risk"
    display_name: str = "Prompt Safety Risk"
    method: str | None = SHARED_RISK_METHOD
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: _thresholds("prompt_safety_risk")
    )


# The same callables that are registered with the groups.
RISK_FACTORIES: dict[str, Callable[..., DetectorMetric]] = dict(RiskMetric.factories)
