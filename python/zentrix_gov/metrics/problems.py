"""Readable sentences for the validation faults of metric definitions."""

from __future__ import annotations

import reprlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from pydantic import ValidationError

# Most characters of a value a message repeats: a name, a key, a value given in a file.
ECHO_LIMIT = 200


def echo(value: Any, limit: int = ECHO_LIMIT) -> str:
    """``repr(value)`` for a message, at most ``limit`` characters.

    Long texts and large or deeply nested lists are shortened while they are written out, so
    a value of any size (a file's alias-expanded list, say) costs little to show.
    """
    shortener = reprlib.Repr()
    shortener.maxlevel = 3
    shortener.maxstring = shortener.maxother = max(limit, 10)
    for attribute in ("maxlist", "maxtuple", "maxdict", "maxset", "maxfrozenset", "maxdeque"):
        setattr(shortener, attribute, 8)
    text = shortener.repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


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
            problems.append(f"missing {noun} {echo(location)}")
        elif kind == "extra_forbidden":
            problems.append(f"unknown {noun} {echo(location)}")
        else:
            message = item["msg"].removeprefix("Value error, ")
            problems.append(f"{noun} {echo(location)}: {message}" if location else message)
    return problems
