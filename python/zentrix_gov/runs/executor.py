"""The local executor: runs a run's units in this process, on its event loop.

Chunks are read in order; each chunk's units are started as soon as it is read and stored as
soon as they finish. Each metric works through its chunks in order, one unit at a time, so an
interruption costs at most one unit of work per metric; different metrics, and a metric and
the metrics after it, overlap up to the concurrency limit. A metric that depends on another
starts on a chunk once its dependency has finished that chunk. At most a few chunks are held
in memory at once, whatever the size of the input.

``chunk_units`` and ``evaluate_unit`` are the steps any executor shares: the Ray executor
(``ray_executor``) is this one with the evaluation of each unit sent to a worker.
"""

from __future__ import annotations

import asyncio
import contextlib
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import UnitFailed
from zentrix_gov.runs.inputs import read_chunks
from zentrix_gov.runs.schema import UnitRecord
from zentrix_gov.runs.types import Evaluator, PlannedMetric, RunJob, RunListener, UnitWork
from zentrix_gov.runs.units import UnitOutcome, prepare_chunk, readable_rows, unit_outcome
from zentrix_gov.spend.budget import BudgetReached
from zentrix_gov.spend.usage import unit_usage
from zentrix_gov.utils.clock import now

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.runs.store import RunStore


class LocalExecutor:
    """Runs units on the running event loop. ``max_concurrency`` units at most are in flight
    at once (1: strictly one after another, metric by metric within each chunk)."""

    # One unit in flight per metric: an interruption costs at most one unit per metric.
    lanes = True

    def __init__(self, max_concurrency: int = 1):
        if max_concurrency < 1:
            raise ValueError(f"max_concurrency must be at least 1, got {max_concurrency}")
        self.max_concurrency = max_concurrency

    async def run(self, job: RunJob, store: RunStore, listener: RunListener) -> None:
        """Evaluate and store every unit of ``job`` not yet committed. The first failure
        stops the run: units in flight are cancelled, nothing of theirs is stored, and that
        failure is raised (not the group of what it cancelled)."""
        limit = asyncio.Semaphore(self.max_concurrency)
        lanes = {planned.name: asyncio.Lock() for planned in job.metrics if self.lanes}
        # Chunks in memory at once: enough to keep every lane busy across chunk boundaries.
        window = asyncio.Semaphore(self.max_concurrency + 1)

        async def run_unit(work: UnitWork, before: Sequence[asyncio.Task[None]]) -> None:
            if before:
                await asyncio.gather(*before)
            async with lanes.get(work.metric.name) or contextlib.nullcontext(), limit:
                await self._run_unit(job, work, store, listener)

        failure: BaseException | None = None
        try:
            async with asyncio.TaskGroup() as group:
                for chunk, frame in enumerate(read_chunks(job.source, job.chunk_size)):
                    todo = [m for m in job.metrics if (m.name, chunk) not in job.committed]
                    if not todo:
                        continue
                    await window.acquire()
                    by_name: dict[str, asyncio.Task[None]] = {}
                    for work in chunk_units(job, chunk, frame, todo):
                        before = [
                            by_name[name] for name in work.metric.depends_on if name in by_name
                        ]
                        by_name[work.metric.name] = group.create_task(run_unit(work, before))
                    chunk_done = asyncio.gather(*by_name.values(), return_exceptions=True)
                    chunk_done.add_done_callback(lambda _: window.release())
        except BaseExceptionGroup as failures:
            # The first failure is the run's; the others were caused by its cancellations.
            failure = failures.exceptions[0]
        if failure is not None:
            # Raised here, not in the handler: chained to the group, the failure would hold
            # the group (and every frame of its tracebacks) in a cycle until a collection.
            raise failure

    async def _run_unit(
        self, job: RunJob, work: UnitWork, store: RunStore, listener: RunListener
    ) -> None:
        name = work.metric.name
        listener.unit_started(name)
        started = time.perf_counter()
        also = None
        with job.tracing.unit(work) if job.tracing else contextlib.nullcontext() as traced:
            if job.judging is None:
                outcome, attempts = await self.evaluate_unit(job, work)
            else:
                outcome, attempts, also = await job.judging.evaluate(self, job, work, store)
            if outcome.usage is not None and outcome.usage.refused:
                # The budget kept some of its requests from being sent: left for the resume.
                raise BudgetReached(f"metric {name!r}: records {work.first_position + 1} on")
            if job.check is not None:
                job.check(work, outcome)
            seconds = time.perf_counter() - started
            unit = UnitRecord(
                metric=name,
                chunk=work.chunk,
                first_position=work.first_position,
                records=len(work.ids),
                wall_seconds=round(seconds, 6),
                attempts=attempts,
                summary=outcome.summary,
            )
            store.commit_unit(job.run_id, unit, outcome.rows, now(), outcome.usage, also)
            if traced is not None:
                traced.finished(outcome, attempts)
        listener.unit_finished(name, work, outcome, seconds)

    async def evaluate_unit(self, job: RunJob, work: UnitWork) -> tuple[UnitOutcome, int]:
        """The unit's outcome, and how many attempts it took."""
        return await evaluate_unit(job.evaluate, work), 1


def chunk_units(
    job: RunJob, chunk: int, frame: pd.DataFrame, metrics: Sequence[PlannedMetric]
) -> list[UnitWork]:
    """The units of ``metrics`` over ``frame``, the records of chunk ``chunk`` as read."""
    first = chunk * job.chunk_size
    frame = prepare_chunk(frame, job.configuration, first)
    _fill_timestamps(frame, job.configuration, job.started)
    ids = frame[job.configuration.record_id_field].tolist()
    units = []
    for planned in metrics:
        rows, skipped, reason = readable_rows(frame, planned.filled)
        units.append(UnitWork(planned, chunk, first, frame, ids, rows, skipped, reason))
    return units


async def evaluate_unit(evaluate: Evaluator, work: UnitWork) -> UnitOutcome:
    """Evaluate the unit's metric over the records it reads; one store row per record."""
    result = None
    with unit_usage(len(work.rows)) as usage:
        if work.rows:
            # A copy per unit: a provider may rewrite cells (tool calls) in the table it gets.
            data = work.frame.iloc[work.rows].reset_index(drop=True).copy()
            try:
                result = await evaluate(work.metric.metric, data)
            except UnitFailed as exc:
                if usage.refused:
                    raise BudgetReached(str(exc)) from exc
                exc.chunk = work.chunk
                raise
    outcome = unit_outcome(
        result, work.ids, work.rows, work.skipped, work.skip_reason, work.first_position
    )
    outcome.usage = usage.spend([work.first_position + row for row in work.rows])
    return outcome


def _fill_timestamps(frame: pd.DataFrame, configuration: Any, started: str) -> None:
    # Records without a timestamp get the run's start: the same on every resume.
    field_name = configuration.record_timestamp_field
    if field_name not in frame.columns or frame[field_name].isna().all():
        frame[field_name] = started
