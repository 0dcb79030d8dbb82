"""The time as the SDK writes it in stored runs and reports."""

from __future__ import annotations

from datetime import datetime


def now() -> str:
    """The local time with its offset, to the second (ISO 8601)."""
    return datetime.now().astimezone().isoformat(timespec="seconds")
