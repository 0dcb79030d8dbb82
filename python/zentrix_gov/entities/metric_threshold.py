"""Threshold attached to a metric and carried into its results."""

from __future__ import annotations

from typing import Literal

from pydantic import BaseModel, ConfigDict


class MetricThreshold(BaseModel):
    """A bound on a metric value: ``lower_limit`` (value should be at least) or ``upper_limit``."""

    model_config = ConfigDict(frozen=True)

    type: Literal["lower_limit", "upper_limit"] = "lower_limit"
    value: float = 0.0

    def is_violated(self, value: float | None) -> bool:
        """Whether ``value`` lies on the wrong side of the bound (None never violates)."""
        if value is None:
            return False
        if self.type == "lower_limit":
            return value < self.value
        return value > self.value
