"""Stored, resumable runs: units of work, the run store, exports.

``evaluate`` / ``evaluate_async`` run metrics over records a chunk at a time and commit each
finished unit (one metric over one chunk) to an SQLite run store, so an interrupted run keeps
its work and can be resumed. See :mod:`zentrix_gov.runs.api`.
"""

from __future__ import annotations

from typing import Any

# Records per unit when nobody says otherwise. Small enough that an interruption costs
# little judge work (a unit per metric), large enough that the detection service's 100
# connections are busy for several rounds per unit and a unit's fixed costs (an HTTP
# session, a pipeline set-up, a commit) stay a few percent of its time.
DEFAULT_CHUNK_SIZE = 500

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "Run",
    "RunError",
    "RunStore",
    "evaluate",
    "evaluate_async",
]

_EXPORTS = {
    "Run": "zentrix_gov.runs.api",
    "RunError": "zentrix_gov.runs.errors",
    "RunStore": "zentrix_gov.runs.store",
    "evaluate": "zentrix_gov.runs.api",
    "evaluate_async": "zentrix_gov.runs.api",
}


def __getattr__(name: str) -> Any:
    # Loaded on first use: importing the package loads neither pandas nor the providers.
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(module), name)
