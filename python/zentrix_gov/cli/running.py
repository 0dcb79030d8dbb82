"""Running the planned metrics against the service, one after another or concurrently."""

from __future__ import annotations

import asyncio
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.errors import EvaluationFailed, one_line
from zentrix_gov.cli.libraries import explain
from zentrix_gov.cli.plan import MetricRun
from zentrix_gov.cli.report import error_count, format_value
from zentrix_gov.entities.errors import MetricComputationError

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.cli.service import Service

# Texts of the exceptions aiohttp raises when no connection could be made at all.
_CONNECT_FAILURES = (
    "cannot connect to host",
    "connect call failed",
    "connection refused",
    "name or service not known",
    "temporary failure in name resolution",
    "nodename nor servname",
    "no address associated",
    "network is unreachable",
)


class Progress:
    """One line per metric on standard error as it finishes, and a waiting line while
    metrics are outstanding: rewritten every second on a terminal, printed every
    ``wait_every`` seconds otherwise."""

    tick_seconds = 1.0
    wait_every = 10.0

    def __init__(
        self, runs: list[MetricRun], total_records: int, quiet: bool, out: TextIO | None = None
    ):
        self.total = len(runs)
        self.total_records = total_records
        self.quiet = quiet
        self.out = out if out is not None else sys.stderr
        self.done = 0
        self.width = max(len(run.name) for run in runs)
        self.outstanding: dict[str, float] = {}  # metric name -> when it started
        self._waiting_shown = False  # a waiting line is on the terminal, unfinished

    @property
    def _terminal(self) -> bool:
        isatty = getattr(self.out, "isatty", None)
        return bool(isatty and isatty())

    def started(self, run: MetricRun) -> None:
        self.outstanding[run.name] = time.perf_counter()

    def finished(self, run: MetricRun) -> None:
        self.outstanding.pop(run.name, None)

    async def keep_ticking(self) -> None:
        """Show how long the outstanding metrics have been waiting, until cancelled."""
        if self.quiet:
            return
        interval = self.tick_seconds if self._terminal else self.wait_every
        while True:
            await asyncio.sleep(interval)
            self.show_waiting()

    def show_waiting(self) -> None:
        if self.quiet or not self.outstanding:
            return
        now = time.perf_counter()
        waited = ", ".join(
            f"{name} {now - since:.0f}s" for name, since in sorted(self.outstanding.items())
        )
        if self._terminal:
            self.out.write(f"\r\033[K  waiting for {waited}")
            self._waiting_shown = True
        else:
            self.out.write(f"  waiting for {waited}\n")
        self.out.flush()

    def clear(self) -> None:
        """Remove an unfinished waiting line from the terminal."""
        if self._waiting_shown:
            self.out.write("\r\033[K")
            self.out.flush()
            self._waiting_shown = False

    def report(self, run: MetricRun) -> None:
        self.done += 1
        if self.quiet:
            return
        self.clear()
        counter = f"[{self.done:>{len(str(self.total))}}/{self.total}]"
        if run.result is None:
            detail = (
                f"{'-':>8}  not evaluated: all {self.total_records} records have {run.skip_reason}"
            )
        else:
            value = format_value(getattr(run.result, "value", None))
            detail = f"{value:>8}  {_records(len(run.rows))}"
            errors = error_count(run.result)
            if errors:
                detail += f", {errors} with errors"
            if run.skipped_ids:
                detail += f" ({len(run.skipped_ids)} skipped: {run.skip_reason})"
            detail += f"  {run.seconds:.2f}s"
        print(f"{counter} {run.name:<{self.width}} {detail}", file=self.out, flush=True)


def _records(count: int) -> str:
    return f"{count} record" if count == 1 else f"{count} records"


@contextmanager
def request_timeout(seconds: float | None) -> Iterator[None]:
    """Set the detection provider's request time-out for the duration of a run.

    ``None`` or 0 leaves the HTTP library's own limit. The previous setting is restored.
    """
    from zentrix_gov.providers.detectwire import Detectwire

    missing = object()
    before = Detectwire.__dict__.get("REQUEST_TIMEOUT", missing)
    Detectwire.REQUEST_TIMEOUT = seconds or None
    try:
        yield
    finally:
        if before is missing:
            del Detectwire.REQUEST_TIMEOUT
        else:
            Detectwire.REQUEST_TIMEOUT = before


async def evaluate_run(
    run: MetricRun,
    frame: pd.DataFrame,
    configuration: Any,
    service: Service,
    progress: Progress,
) -> MetricRun:
    """Evaluate one metric on its records; the result and time go into ``run``."""
    from zentrix_gov.evaluation import evaluate_async

    if not run.rows:
        return run
    # A copy per metric: the provider may rewrite cells (tool calls) in the table it gets.
    records = frame.iloc[run.rows].reset_index(drop=True).copy()
    progress.started(run)
    started = time.perf_counter()
    try:
        evaluation = await evaluate_async(
            records, [run.metric], configuration, api_client=service.api_client
        )
    except MetricComputationError as exc:
        reason = explain(exc.cause if exc.cause is not None else exc)
        raise EvaluationFailed(f"metric {run.name!r} failed: {reason}") from None
    except Exception as exc:
        raise EvaluationFailed(
            f"metric {run.name!r} failed: {type(exc).__name__}: {explain(exc)}"
        ) from None
    finally:
        progress.finished(run)
    results = list(getattr(evaluation, "metrics_result", []) or [])
    run.result = results[0] if results else None
    run.seconds = time.perf_counter() - started
    return run


async def run_metrics(
    runs: list[MetricRun],
    frame: pd.DataFrame,
    configuration: Any,
    service: Service,
    progress: Progress,
    max_concurrency: int | None = None,
) -> None:
    """Evaluate every run: one after another in order, or with ``max_concurrency`` at most
    that many at a time. Stops at the first failure; outstanding metrics are cancelled."""
    ticker = asyncio.ensure_future(progress.keep_ticking())
    tasks: list[asyncio.Future[MetricRun]] = []
    try:
        if max_concurrency is None:
            for run in runs:
                await evaluate_run(run, frame, configuration, service, progress)
                check_reachable(run, service)
                progress.report(run)
            return
        limit = asyncio.Semaphore(max_concurrency)

        async def one(run: MetricRun) -> MetricRun:
            async with limit:
                return await evaluate_run(run, frame, configuration, service, progress)

        tasks = [asyncio.ensure_future(one(run)) for run in runs]
        for finished in asyncio.as_completed(tasks):
            run = await finished
            check_reachable(run, service)
            progress.report(run)
    finally:
        ticker.cancel()
        for task in tasks:
            task.cancel()
        await asyncio.gather(ticker, *tasks, return_exceptions=True)
        progress.clear()


def check_reachable(run: MetricRun, service: Service) -> None:
    """Stop the run when no request of a metric could even connect to the service."""
    result = run.result
    if result is None or getattr(result, "value", None) != "Error":
        return
    errors = list(getattr(result, "errors", None) or [])
    if errors and all(
        error.code == "REQUEST_FAILED"
        and any(marker in error.message_en.lower() for marker in _CONNECT_FAILURES)
        for error in errors
    ):
        raise EvaluationFailed(
            f"cannot connect to the detection service at {service.url} "
            f"({one_line(errors[0].message_en, 200)})"
        )
