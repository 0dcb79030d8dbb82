"""Evaluation configuration records."""

from zentrix_gov.config.gen_ai_configuration import AgenticAIConfiguration, GenAIConfiguration
from zentrix_gov.config.model_risk_configuration import (
    ModelRiskConfiguration,
    ZnGCConfiguration,
    ZnGCCredentials,
)

__all__ = [
    "AgenticAIConfiguration",
    "GenAIConfiguration",
    "ModelRiskConfiguration",
    "ZnGCConfiguration",
    "ZnGCCredentials",
]
