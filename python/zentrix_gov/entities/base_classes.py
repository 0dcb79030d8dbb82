"""Base records shared by result types."""

from __future__ import annotations

from typing import Annotated, Any

from pydantic import BaseModel, BeforeValidator, ConfigDict

from zentrix_gov.entities.enums import MetricGroup


def _plain_scalar(value: Any) -> Any:
    # Values read from data frames are often numpy scalars; store the Python number instead.
    if value is not None and not isinstance(value, (str, int, float)) and hasattr(value, "item"):
        try:
            return value.item()
        except (TypeError, ValueError):
            return value
    return value


PlainScalar = BeforeValidator(_plain_scalar)


def _known_group(value: Any) -> Any:
    # Known group names become members; other labels are kept as text.
    if isinstance(value, str) and not isinstance(value, MetricGroup):
        try:
            return MetricGroup(value)
        except ValueError:
            return value
    return value


GroupLabel = Annotated[MetricGroup | str | None, BeforeValidator(_known_group)]


class Error(BaseModel):
    """An error of one record's computation: a short code and an English message."""

    model_config = ConfigDict(frozen=True)

    code: str
    message_en: str


class BaseMetricResult(BaseModel):
    """Fields common to record-level and aggregate metric results."""

    model_config = ConfigDict(frozen=True)

    name: str
    display_name: str | None = None
    method: str | None = None
    provider: str | None = None
    group: GroupLabel = None


RecordId = Annotated[str | int | None, PlainScalar]
