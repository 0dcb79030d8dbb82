"""The built-in benchmark sets: which risks exist, their benchmarks and their prompts.

``data/catalogue.json`` lists each risk with its benchmarks and the check that scores them;
each benchmark's prompts are in ``data/<benchmark>.jsonl``, one JSON object per line with at
least ``id`` and ``prompt`` and the fields its check reads (``canary``, ``pii``, ``answer``,
``aliases``).
"""

from __future__ import annotations

import json
import random
from dataclasses import dataclass
from functools import cache
from importlib import resources
from typing import Any

DATA_PACKAGE = "metrics_plugin.mra"


@dataclass(frozen=True)
class BenchmarkInfo:
    risk: str
    name: str
    check: str
    description: str


@cache
def catalogue() -> dict[str, dict[str, Any]]:
    """Risk name -> {"description": ..., "benchmarks": {name: {"check": ..., ...}}}, in order."""
    text = resources.files(DATA_PACKAGE).joinpath("data", "catalogue.json").read_text("utf-8")
    return json.loads(text)


def risk_names() -> list[str]:
    return list(catalogue())


def benchmarks_of(risk: str) -> list[BenchmarkInfo]:
    entry = catalogue()[risk]
    return [
        BenchmarkInfo(risk, name, info["check"], info.get("description", ""))
        for name, info in entry["benchmarks"].items()
    ]


def resolve_risks(risk_dimensions: Any) -> list[str]:
    """The risks to evaluate, in the order asked for (all of them when none are named).

    Names are matched without regard to case, spaces or hyphens ("PII leakage" is
    "pii_leakage"); an unknown name is a ValueError listing the known ones.
    """
    if risk_dimensions is None or (
        isinstance(risk_dimensions, list | tuple) and not risk_dimensions
    ):
        return risk_names()
    if isinstance(risk_dimensions, str):
        risk_dimensions = [risk_dimensions]
    known = {_key(name): name for name in risk_names()}
    chosen: list[str] = []
    for requested in risk_dimensions:
        name = known.get(_key(str(requested)))
        if name is None:
            raise ValueError(
                f"Unknown risk dimension {requested!r}. Known risk dimensions: "
                + ", ".join(risk_names())
                + "."
            )
        if name not in chosen:
            chosen.append(name)
    return chosen


def _key(name: str) -> str:
    return "_".join(name.strip().lower().replace("-", " ").split())


@cache
def _load(benchmark: str) -> tuple[dict[str, Any], ...]:
    path = resources.files(DATA_PACKAGE).joinpath("data", f"{benchmark}.jsonl")
    items = []
    for number, line in enumerate(path.read_text("utf-8").splitlines(), 1):
        if not line.strip():
            continue
        item = json.loads(line)
        if not isinstance(item.get("prompt"), str) or not item.get("id"):
            raise ValueError(f"{benchmark}.jsonl line {number}: an item needs an id and a prompt.")
        items.append(item)
    return tuple(items)


def load_items(benchmark: str) -> list[dict[str, Any]]:
    """The prompts of one benchmark (copies: callers may change them)."""
    return [dict(item) for item in _load(benchmark)]


def sample_items(benchmark: str, max_sample_size: int | None, seed: int) -> list[dict[str, Any]]:
    """Up to ``max_sample_size`` items of ``benchmark``, drawn with a generator seeded by
    ``seed`` and the benchmark's name, in the order of the data file. The same seed always
    draws the same items."""
    items = load_items(benchmark)
    if max_sample_size is None or max_sample_size >= len(items):
        return items
    chosen = random.Random(f"{seed}:{benchmark}").sample(range(len(items)), max_sample_size)
    return [items[index] for index in sorted(chosen)]
