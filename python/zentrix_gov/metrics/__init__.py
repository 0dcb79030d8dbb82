"""Public metric classes.

The detector metrics are computed by the text-detection service::

    from zentrix_gov.metrics import HAPMetric, KeywordDetectionMetric, RiskMetric

    metrics = [HAPMetric(), KeywordDetectionMetric(keywords=["refund"]), RiskMetric(risk="harm")]

Each class registers its metrics with their groups when it is defined (the group registry
loads this package on its first lookup), so ``MetricGroup.CONTENT_SAFETY.get_metrics()``
lists them. What each metric reads and sends is described in
``zentrix_gov.entities.detector_catalog``. ``metric_from_name("hap")`` builds a metric from
its name (see ``METRICS_BY_NAME``).

The RAG metrics of ``zentrix_gov.metrics.rag`` (``RagFaithfulnessMetric``, ...,
``AnswerCorrectnessMetric``) are computed locally by unitxt pipelines: token overlap,
sentence embeddings or an LLM judge (``method=``).

``CriteriaMetric`` is a criterion of the user's own: an LLM judge picks one of its answer
options per record. ``load_criteria(path)`` reads criteria from a YAML or JSON file; on the
command line the metric is called ``criteria``.
"""

from zentrix_gov.metrics.catalog import (
    METRICS_BY_NAME,
    MetricParameterError,
    UnknownMetricError,
    known_metrics,
    metric_class,
    metric_from_name,
)
from zentrix_gov.metrics.criteria import CriteriaMetric
from zentrix_gov.metrics.criteria_files import CriteriaFileError, load_criteria
from zentrix_gov.metrics.detectors import (
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
    DetectorMetric,
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
from zentrix_gov.metrics.rag import (
    AnswerCorrectnessMetric,
    RagAnswerRelevanceMetric,
    RagContextRelevanceMetric,
    RagFaithfulnessMetric,
    RagMetric,
)

__all__ = [
    "METRICS_BY_NAME",
    "AnswerCorrectnessMetric",
    "AnswerRelevanceMetric",
    "ContextRelevanceMetric",
    "CriteriaFileError",
    "CriteriaMetric",
    "DetectorMetric",
    "FaithfulnessMetric",
    "HAPMetric",
    "KeywordDetectionMetric",
    "MetricParameterError",
    "PIIMetric",
    "PromptSafetyRiskMetric",
    "RagAnswerRelevanceMetric",
    "RagContextRelevanceMetric",
    "RagFaithfulnessMetric",
    "RagMetric",
    "RegexDetectionMetric",
    "RiskMetric",
    "ToolCallAccuracyMetric",
    "TopicRelevanceMetric",
    "UnknownMetricError",
    "known_metrics",
    "load_criteria",
    "metric_class",
    "metric_from_name",
]
