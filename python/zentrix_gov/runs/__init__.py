"""Stored, resumable runs: units of work, the run store, exports.

``evaluate`` / ``evaluate_async`` run metrics over records a chunk at a time and commit each
finished unit (one metric over one chunk) to an SQLite run store, so an interrupted run keeps
its work; ``resume`` finishes it from the definition it stored. See
:mod:`zentrix_gov.runs.api`; callers that start services between reading the records and
running (the command line) use ``plan_run`` / ``plan_resume`` and ``execute``
(:mod:`zentrix_gov.runs.plans`).
"""

from __future__ import annotations

from zentrix_gov.utils.lazy_exports import lazy_exports

# Records per unit when nobody says otherwise. An interruption costs at most one unit per
# metric, and every unit pays fixed costs (an HTTP session with its connections, a pipeline
# set-up, a commit). A run with an LLM-judge metric uses small chunks: each judge call is
# slow and paid for, so losing 100 of them is the most an interruption should cost. Other
# runs use large ones: their records are cheap to evaluate again, and a unit keeps the
# detection service's 100 connections busy for ten rounds, so the fixed costs stay small.
DEFAULT_CHUNK_SIZE = 1000
JUDGE_CHUNK_SIZE = 100

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "JUDGE_CHUNK_SIZE",
    "ResultStatus",
    "Run",
    "RunError",
    "RunPlan",
    "RunStatus",
    "RunStore",
    "evaluate",
    "evaluate_async",
    "execute",
    "plan_resume",
    "plan_run",
    "resume",
    "resume_async",
]

_EXPORTS = {
    "ResultStatus": "zentrix_gov.runs.schema",
    "Run": "zentrix_gov.runs.api",
    "RunError": "zentrix_gov.runs.errors",
    "RunPlan": "zentrix_gov.runs.plans",
    "RunStatus": "zentrix_gov.runs.schema",
    "RunStore": "zentrix_gov.runs.store",
    "evaluate": "zentrix_gov.runs.api",
    "evaluate_async": "zentrix_gov.runs.api",
    "execute": "zentrix_gov.runs.plans",
    "plan_resume": "zentrix_gov.runs.plans",
    "plan_run": "zentrix_gov.runs.plans",
    "resume": "zentrix_gov.runs.api",
    "resume_async": "zentrix_gov.runs.api",
}


# Loaded on first use: importing the package loads neither pandas nor the providers.
__getattr__ = lazy_exports(__name__, _EXPORTS)
