"""Readable sentences for the validation faults of metric definitions."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pydantic import ValidationError


def location_text(location: Sequence[str | int]) -> str:
    """A validation location as a path: ``("options", 1, "value")`` -> ``options[1].value``."""
    text = ""
    for part in location:
        if isinstance(part, int):
            text += f"[{part}]"
        else:
            text += f".{part}" if text else str(part)
    return text


def describe_validation(error: ValidationError, noun: str = "parameter") -> list[str]:
    """One readable sentence per validation fault; ``noun`` is what the inputs are called
    ("parameter" for keyword arguments, "field" in files)."""
    problems = []
    for item in error.errors():
        location = location_text(item["loc"])
        kind = item["type"]
        if kind == "missing":
            problems.append(f"missing {noun} {location!r}")
        elif kind == "extra_forbidden":
            problems.append(f"unknown {noun} {location!r}")
        else:
            message = item["msg"].removeprefix("Value error, ")
            problems.append(f"{noun} {location!r}: {message}" if location else message)
    return problems
