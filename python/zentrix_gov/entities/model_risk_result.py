"""Result records of a foundation-model risk evaluation."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel


class RiskMetric(BaseModel):
    name: str
    value: Any = None


class Benchmark(BaseModel):
    name: str
    metrics: list[RiskMetric] = []


class Risk(BaseModel):
    name: str
    benchmarks: list[Benchmark] = []


class ModelRiskResult(BaseModel):
    risks: list[Risk] = []
    output_file_path: str | None = None
