"""The worker of the Ray executor: a Ray actor that evaluates units and hands them back.

A worker lives for the whole run, so what is costly to build stays built from one unit to
the next: the imported libraries, the judge engines the providers cache per process, the
embedding models the template library has loaded. It never writes to the run store: it
returns each unit's outcome (the store rows and the unit's summary) to the driver.

This module does not import Ray; the executor makes the class an actor.
"""

from __future__ import annotations

import asyncio
import os
import time
from collections.abc import Callable, Mapping
from contextlib import nullcontext
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import UnitFailed
from zentrix_gov.runs.executor import evaluate_unit
from zentrix_gov.runs.types import UnitWork
from zentrix_gov.spend.budget import spending
from zentrix_gov.utils.sessions import RunSessions, using

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.runs.types import Evaluator, PlannedMetric
    from zentrix_gov.runs.units import UnitOutcome
    from zentrix_gov.spend.prices import PriceBook


@dataclass
class UnitReply:
    """What a worker hands back for a unit: its outcome, or why its metric failed."""

    pid: int
    seconds: float
    outcome: UnitOutcome | None = None
    failure: str | None = None  # the message of the unit's UnitFailed
    cause: BaseException | None = None  # and its cause, when it survives the trip
    spans: list[dict[str, Any]] = field(default_factory=list)  # of a traced unit
    prices: dict[str, Any] = field(default_factory=dict)  # the judge prices it looked up

    def raise_failure(self, metric: str, chunk: int) -> None:
        if self.failure is None:
            return
        raise UnitFailed(metric, chunk, self.failure) from self.cause


class UnitWorker:
    """Evaluates units of the metrics it was given, with ``evaluate`` (the run's evaluator:
    the configuration and the service client travel with it). ``setup`` runs once, when
    the worker starts (and again if Ray restarts it). ``judge_share``: the judge requests
    this worker may have at once, its share of the run's; its units share one HTTP session
    per service. ``prices``: the run's, to price the judge's requests."""

    def __init__(
        self,
        evaluate: Evaluator,
        metrics: Mapping[str, PlannedMetric],
        setup: Callable[[], Any] | None = None,
        judge_share: int | None = None,
        prices: PriceBook | None = None,
    ):
        from zentrix_gov.engines.judge_channel import set_share
        from zentrix_gov.spend.budget import Spend

        set_share(judge_share)
        # Prices the judge's requests as the driver would; a budget is the driver's alone.
        self._spend = Spend(prices)
        if setup is not None:
            setup()
        self.evaluate = evaluate
        self.metrics = dict(metrics)
        self._warm: set[str] = set()  # metrics this worker has finished a unit of
        self._first: asyncio.Lock | None = None
        self._sessions: RunSessions | None = None

    def ready(self) -> int:
        """The worker's process id, once it is up."""
        return os.getpid()

    async def run_unit(
        self,
        metric: str,
        chunk: int,
        first_position: int,
        records: tuple[pd.DataFrame, list[str]],
        rows: list[int],
        skipped: list[int],
        skip_reason: str,
        planned: PlannedMetric | None = None,
        trace: dict[str, Any] | None = None,
    ) -> UnitReply:
        """Evaluate ``metric`` over the chunk's records (the frame and its record ids); as
        ``planned`` says when given (a judge asked another way). ``trace``: the unit's trace
        context (``zentrix_gov.tracing.relay``); the spans made under it come back with the
        reply."""
        started = time.perf_counter()
        frame, ids = records
        work = UnitWork(
            planned or self.metrics[metric],
            chunk,
            first_position,
            frame,
            ids,
            rows,
            skipped,
            skip_reason,
        )
        self._sessions = self._sessions or RunSessions()
        with _traced(trace) as spans:
            try:
                with using(self._sessions), spending(self._spend):
                    if metric in self._warm:
                        outcome = await evaluate_unit(self.evaluate, work)
                    else:
                        outcome = await self._first_unit(work)
            except UnitFailed as exc:
                reply = UnitReply(
                    os.getpid(),
                    time.perf_counter() - started,
                    failure=str(exc),
                    cause=_portable(exc.__cause__),
                )
            else:
                reply = UnitReply(os.getpid(), time.perf_counter() - started, outcome)
            if spans is not None:
                reply.spans = spans()
        reply.prices = self._spend.prices.used()
        return reply

    async def _first_unit(self, work: UnitWork) -> UnitOutcome:
        """A metric's first units in this worker run one at a time: the providers load
        their libraries (and build their judge engines) on first use, and their lazy
        loaders refuse a second thread while one is loading."""
        if self._first is None:
            self._first = asyncio.Lock()
        async with self._first:
            outcome = await evaluate_unit(self.evaluate, work)
            self._warm.add(work.metric.name)
        return outcome


def _traced(trace: dict[str, Any] | None) -> Any:
    if trace is None:
        return nullcontext(None)
    from zentrix_gov.tracing.relay import traced_unit

    return traced_unit(trace)


def _portable(error: BaseException | None) -> BaseException | None:
    """``error`` when it can be sent back to the driver, else an error with its text."""
    if error is None:
        return None
    from ray import cloudpickle

    try:
        cloudpickle.loads(cloudpickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error
