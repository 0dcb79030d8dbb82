"""Errors of stored runs. Each carries what it is about, besides its message."""

from __future__ import annotations


class RunError(Exception):
    """A run could not be started, resumed, read or exported."""


class StoreError(RunError):
    """The run store cannot be used as asked (unwritable, another program's file, a schema
    this version does not read, a run that is not there or is owned by another process)."""


class RecordsError(RunError, ValueError):
    """The records file cannot be read as records; the message names the file and where."""


class ResumeRefused(RunError):
    """What a resumed run would evaluate differs from what the run started with."""

    def __init__(self, run_id: str, differences: list[str]):
        self.run_id = run_id
        self.differences = differences
        super().__init__(
            f"run {run_id} cannot be resumed: " + "; ".join(differences) + ". Start a new run."
        )


class UnitFailed(RunError):
    """A unit's metric failed as a whole; the run stops and keeps what it committed."""

    def __init__(self, metric: str, chunk: int, message: str):
        self.metric = metric
        self.chunk = chunk
        super().__init__(message)
