"""Evaluation configuration: which columns of the data table hold what."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator

from zentrix_gov.entities.llm_judge import LLMJudge


class GenAIConfiguration(BaseModel):
    """Column names of the records to evaluate, the tool catalogue and the default judge."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    input_fields: list[str] = Field(default_factory=lambda: ["input_text"])
    output_fields: list[str] = Field(default_factory=lambda: ["generated_text"])
    context_fields: list[str] = Field(default_factory=list)
    reference_fields: list[str] = Field(default_factory=lambda: ["ground_truth"])
    record_id_field: str = "record_id"
    record_timestamp_field: str = "record_timestamp"
    tool_calls_field: str | None = None
    # Either Python functions offered to the model or an already-described catalogue.
    tools: list[Callable[..., Any] | dict[str, Any]] | None = Field(default_factory=list)
    llm_judge: LLMJudge | None = None
    # Metric name -> the column holding each record's human label for it (runs store the
    # labels beside the results, and measure the metric's agreement with them).
    label_fields: dict[str, str] = Field(default_factory=dict)
    # Traced runs: the columns holding the evaluated operation's OpenTelemetry trace and span
    # ids ({"trace_id": column, "span_id": column}, hex), to which each record's evaluation
    # event is attached, and the column of the evaluated response's id.
    trace_fields: dict[str, str] | None = None
    response_id_field: str | None = None

    @field_validator("trace_fields")
    @classmethod
    def _both_ids(cls, value: dict[str, str] | None) -> dict[str, str] | None:
        if value is not None and set(value) != {"trace_id", "span_id"}:
            raise ValueError('trace_fields names two columns: {"trace_id": ..., "span_id": ...}')
        return value


class AgenticAIConfiguration(GenAIConfiguration):
    """Configuration of agentic applications: records also belong to messages and threads."""

    message_id_field: str = "message_id"
    conversation_id_field: str = "conversation_id"
    node_name_field: str | None = None
