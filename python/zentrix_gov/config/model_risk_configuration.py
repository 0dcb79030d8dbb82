"""Configuration of a foundation-model risk evaluation."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, PositiveInt

from zentrix_gov.entities.foundation_model import CustomFoundationModel, ZnAIFoundationModel


class ZnGCCredentials(BaseModel):
    """Credentials of a separate governance-connected platform hosting the model."""

    url: str | None = None
    username: str | None = None
    password: str | None = None
    api_key: str | None = None


class ZnGCConfiguration(BaseModel):
    model_config = ConfigDict(protected_namespaces=())

    credentials: ZnGCCredentials
    model_id: str | None = None


class ModelRiskConfiguration(BaseModel):
    """Which model to evaluate, against which risks, and where to write the report."""

    model_config = ConfigDict(arbitrary_types_allowed=True, protected_namespaces=())

    model_details: ZnAIFoundationModel | CustomFoundationModel
    risk_dimensions: list[str] | None = None
    max_sample_size: PositiveInt | None = None
    pdf_report_output_path: str | None = None
    thresholds: Any = Field(default=None)
    zn_gc_configuration: ZnGCConfiguration | None = None
