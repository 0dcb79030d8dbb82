"""Answer options of criteria-based judge metrics."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict


class Option(BaseModel):
    """One option the judge may pick: a label, its description and the score it is worth."""

    model_config = ConfigDict(frozen=True)

    name: str
    description: str = ""
    value: float | int | None = None
