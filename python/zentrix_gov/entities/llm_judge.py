"""The judge model of LLM-as-judge metrics."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict

from zentrix_gov.entities.foundation_model import FoundationModel


class LLMJudge(BaseModel):
    """Wraps the foundation model that judges records."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    model: FoundationModel
