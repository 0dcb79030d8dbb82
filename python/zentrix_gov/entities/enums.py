"""Enumerations shared by configuration, metrics and results."""

from __future__ import annotations

from enum import StrEnum
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from zentrix_gov.entities.metric import GenAIMetric


class MetricGroup(StrEnum):
    """Groups of related metrics that can be requested together."""

    RETRIEVAL_QUALITY = "retrieval_quality"
    ANSWER_QUALITY = "answer_quality"
    CONTENT_SAFETY = "content_safety"
    TOOL_CALL_QUALITY = "tool_call_quality"
    READABILITY = "readability"

    def get_metrics(self) -> list[GenAIMetric]:
        """The metrics registered for this group (new instances on every call)."""
        from zentrix_gov.entities.metric_registry import group_metrics

        return group_metrics(self)


class EvaluationProvider(StrEnum):
    """Labels of the engines that compute metric values; written into every result."""

    UNITXT = "unitxt"
    DETECTORS = "detectors"
    EVALASSIST = "evalassist"
    LOCAL = "local"
    CUSTOM = "custom"


class ModelProviderType(StrEnum):
    """Kinds of foundation-model providers."""

    OPENAI = "openai"
    ZNAI = "znai"
    AZURE_OPENAI = "azure_openai"
    AWS_BEDROCK = "aws_bedrock"
    GOOGLE_AI_STUDIO = "google_ai_studio"
    VERTEX_AI = "vertex_ai"
    CUSTOM = "custom"
    PORTKEY = "portkey"
    ZNO_AI_GATEWAY = "zno_ai_gateway"


class Region(StrEnum):
    """Cloud regions of the platform."""

    US_SOUTH = "us-south"
    AU_SYD = "au-syd"
    CA_TOR = "ca-tor"
    EU_DE = "eu-de"
    JP_TOK = "jp-tok"
    EU_GB = "eu-gb"
    AP_SOUTH = "ap-south-1"
    US_GOV_EAST1 = "us-gov-east1"


class BasaltGuardianRisks(StrEnum):
    """Risks served by the shared risk detector."""

    HARM = "harm"
    SOCIAL_BIAS = "social_bias"
    JAILBREAK = "jailbreak"
    VIOLENCE = "violence"
    PROFANITY = "profanity"
    UNETHICAL_BEHAVIOR = "unethical_behavior"
    SEXUAL_CONTENT = "sexual_content"
    EVASIVENESS = "evasiveness"

    @classmethod
    def values(cls) -> list[str]:
        return [member.value for member in cls]
