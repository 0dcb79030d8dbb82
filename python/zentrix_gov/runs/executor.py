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
from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Any, Protocol

from zentrix_gov.runs.errors import UnitFailed
from zentrix_gov.runs.inputs import Source, read_chunks
from zentrix_gov.runs.store import RunStore, UnitRecord
from zentrix_gov.runs.units import UnitOutcome, prepare_chunk, readable_rows, unit_outcome

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.entities.metric import GenAIMetric


@dataclass
class PlannedMetric:
    """A metric of the run, with the column groups a record needs a value in to be read."""

    name: str
    metric: GenAIMetric
    filled: list[tuple[str, ...]] = field(default_factory=list)
    depends_on: list[str] = field(default_factory=list)


@dataclass
class UnitWork:
    """One unit, ready to evaluate."""

    metric: PlannedMetric
    chunk: int
    first_position: int
    frame: pd.DataFrame
    ids: list[str]
    rows: list[int]
    skipped: list[int]
    skip_reason: str


class UnitListener(Protocol):
    def unit_started(self, name: str) -> None: ...

    def unit_finished(
        self, name: str, work: UnitWork, outcome: UnitOutcome, seconds: float
    ) -> None: ...


class Executor(Protocol):
    """Runs a run's units and commits each one to the store as it finishes (the local
    executor, or ``zentrix_gov.runs.ray_executor.RayExecutor``)."""

    async def run(self, job: RunJob, store: RunStore, listener: UnitListener) -> None: ...


# Evaluates one metric over a frame of records; returns the metric's result record.
Evaluator = Callable[[Any, "pd.DataFrame"], Awaitable[Any]]
# Raises when a unit's outcome shows the whole unit failed (nothing may be stored then).
OutcomeCheck = Callable[[UnitWork, UnitOutcome], None]


@dataclass
class RunJob:
    """Everything the executor needs to run the units of one run."""

    run_id: str
    source: Source
    chunk_size: int
    metrics: list[PlannedMetric]
    configuration: Any
    evaluate: Evaluator
    started: str  # the run's start, ISO-8601: the timestamp of records that carry none
    committed: set[tuple[str, int]] = field(default_factory=set)
    check: OutcomeCheck | None = None

    def chunks(self) -> int:
        return -(-self.source.records // self.chunk_size)


class LocalExecutor:
    """Runs units on the running event loop. ``max_concurrency`` units at most are in flight
    at once (1: strictly one after another, metric by metric within each chunk)."""

    # One unit in flight per metric: an interruption costs at most one unit per metric.
    lanes = True

    def __init__(self, max_concurrency: int = 1):
        if max_concurrency < 1:
            raise ValueError(f"max_concurrency must be at least 1, got {max_concurrency}")
        self.max_concurrency = max_concurrency

    async def run(self, job: RunJob, store: RunStore, listener: UnitListener) -> None:
        """Evaluate and store every unit of ``job`` not yet committed. The first failure
        stops the run: units in flight are cancelled, and nothing of theirs is stored."""
        limit = asyncio.Semaphore(self.max_concurrency)
        lanes = {planned.name: asyncio.Lock() for planned in job.metrics if self.lanes}
        # Chunks in memory at once: enough to keep every lane busy across chunk boundaries.
        window = asyncio.Semaphore(self.max_concurrency + 1)
        tasks: list[asyncio.Task[Any]] = []
        failure: asyncio.Future[None] = asyncio.get_running_loop().create_future()

        async def run_unit(work: UnitWork, before: Sequence[asyncio.Task[Any]]) -> None:
            if before:
                await asyncio.gather(*before)
            async with lanes.get(work.metric.name) or contextlib.nullcontext(), limit:
                await self._run_unit(job, work, store, listener)

        def finished(task: asyncio.Task[Any]) -> None:
            if not task.cancelled() and task.exception() is not None and not failure.done():
                failure.set_exception(task.exception())

        try:
            for chunk, frame in enumerate(read_chunks(job.source, job.chunk_size)):
                todo = [m for m in job.metrics if (m.name, chunk) not in job.committed]
                if not todo:
                    continue
                await _first(window.acquire(), failure)
                by_name: dict[str, asyncio.Task[Any]] = {}
                for work in chunk_units(job, chunk, frame, todo):
                    planned = work.metric
                    before = [by_name[name] for name in planned.depends_on if name in by_name]
                    task = asyncio.ensure_future(run_unit(work, before))
                    task.add_done_callback(finished)
                    by_name[planned.name] = task
                    tasks.append(task)
                chunk_done = asyncio.gather(*by_name.values(), return_exceptions=True)
                chunk_done.add_done_callback(_release_to(window))
                tasks = [task for task in tasks if not task.done()]
            while tasks:
                await _first(asyncio.gather(*tasks, return_exceptions=True), failure)
                tasks = [task for task in tasks if not task.done()]
            if failure.done():
                failure.result()
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            if failure.done() and not failure.cancelled():
                failure.exception()  # retrieved: raised above, or superseded by another error

    async def _run_unit(
        self, job: RunJob, work: UnitWork, store: RunStore, listener: UnitListener
    ) -> None:
        name = work.metric.name
        listener.unit_started(name)
        started = time.perf_counter()
        outcome, attempts = await self.evaluate_unit(job, work)
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
        store.commit_unit(job.run_id, unit, outcome.rows, now())
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
    if work.rows:
        # A copy per unit: a provider may rewrite cells (tool calls) in the table it gets.
        data = work.frame.iloc[work.rows].reset_index(drop=True).copy()
        try:
            result = await evaluate(work.metric.metric, data)
        except UnitFailed as exc:
            exc.chunk = work.chunk
            raise
    return unit_outcome(
        result, work.ids, work.rows, work.skipped, work.skip_reason, work.first_position
    )


async def _first(awaitable: Awaitable[Any], failure: asyncio.Future[None]) -> Any:
    """Await ``awaitable``, unless the run fails first (then raise that failure)."""
    task = asyncio.ensure_future(awaitable)
    # A gathering future that is cancelled ends with an error of its own: read it, or
    # asyncio reports it as never retrieved.
    task.add_done_callback(lambda done: done.cancelled() or done.exception())
    try:
        await asyncio.wait({task, failure}, return_when=asyncio.FIRST_COMPLETED)
    except BaseException:
        task.cancel()
        raise
    if failure.done():
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError, Exception):
            await task
        failure.result()
    return task.result()


def _release_to(window: asyncio.Semaphore) -> Callable[[asyncio.Future[Any]], None]:
    def release(done: asyncio.Future[Any]) -> None:
        if not done.cancelled():
            done.exception()  # a cancelled chunk's gathering ends with an error; read it
        window.release()

    return release


def _fill_timestamps(frame: pd.DataFrame, configuration: Any, started: str) -> None:
    # Records without a timestamp get the run's start: the same on every resume.
    field_name = configuration.record_timestamp_field
    if field_name not in frame.columns or frame[field_name].isna().all():
        frame[field_name] = started


def now() -> str:
    return datetime.now().astimezone().isoformat(timespec="seconds")
