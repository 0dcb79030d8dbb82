"""A run in progress: one line per metric as it finishes, a waiting line while metrics are
outstanding, and the checks that stop a run whose service cannot be reached."""

from __future__ import annotations

import asyncio
import sys
import time
from collections.abc import Awaitable, Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, TextIO, TypeVar

from zentrix_gov.cli.errors import one_line
from zentrix_gov.runs.schema import ResultStatus

if TYPE_CHECKING:
    from zentrix_gov.cli.service import Service
    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.types import PlannedMetric, UnitWork
    from zentrix_gov.runs.units import UnitOutcome

T = TypeVar("T")

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


class UnitProgress:
    """Progress of a run's units on standard error.

    A metric's line comes when its last unit is stored, with its value over all its stored
    records. While metrics are outstanding a waiting line says for how long and how far they
    are: rewritten every second on a terminal, printed every ``wait_every`` seconds
    otherwise.
    """

    tick_seconds = 1.0
    wait_every = 10.0

    def __init__(
        self,
        quiet: bool,
        out: TextIO | None = None,
        on_start: Callable[[RunRecord], None] | None = None,
    ):
        self.quiet = quiet
        self.out = out if out is not None else sys.stderr
        self.on_start = on_start
        self.run: RunRecord | None = None  # once the run has started
        self.outstanding: dict[str, float] = {}  # metric name -> when its first unit started
        self.seconds: dict[str, float] = {}
        self._waiting_shown = False  # a waiting line is on the terminal, unfinished
        self.verdicts: Any = None  # a cli.verdict_progress.VerdictCount: verdicts as they come

    def run_started(
        self, store: RunStore, run: RunRecord, planned: Sequence[PlannedMetric]
    ) -> None:
        """The run, started or resumed: what is left of each metric."""
        self.store = store
        self.run = run
        self.total_records = run.total_records
        chunks = -(-run.total_records // run.chunk_size)
        committed = store.committed_units(run.id)
        self.left = {p.name: chunks - sum(1 for n, _ in committed if n == p.name) for p in planned}
        self.records_done = {p.name: store.records_done(run.id, [p.name]) for p in planned}
        self.total = len(planned)
        self.done = self.total - sum(1 for left in self.left.values() if left > 0)
        self.width = max((len(p.name) for p in planned), default=0)
        if self.verdicts is not None:
            self.verdicts.start(self.total_records, self.records_done)
        if self.on_start is not None:
            self.on_start(run)

    @property
    def _terminal(self) -> bool:
        isatty = getattr(self.out, "isatty", None)
        return bool(isatty and isatty())

    # ------------------------------------------------------------------ listener

    def unit_started(self, name: str) -> None:
        self.outstanding.setdefault(name, time.perf_counter())

    def unit_finished(
        self, name: str, work: UnitWork, outcome: UnitOutcome, seconds: float
    ) -> None:
        self.left[name] -= 1
        self.records_done[name] += len(work.ids)
        self.seconds[name] = self.seconds.get(name, 0.0) + seconds
        if self.left[name] == 0:
            self.outstanding.pop(name, None)
            self.report(name)

    # ------------------------------------------------------------------ output

    async def ticking(self, work: Awaitable[T]) -> T:
        """Await ``work`` with the waiting line kept up to date meanwhile."""
        ticker = asyncio.ensure_future(self._keep_ticking())
        try:
            return await work
        finally:
            ticker.cancel()
            await asyncio.gather(ticker, return_exceptions=True)
            self.clear()

    async def _keep_ticking(self) -> None:
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
            f"{name} {now - since:.0f}s ({self.records_done[name]}/{self.total_records} records)"
            for name, since in sorted(self.outstanding.items())
        )
        heard = self.verdicts.text() if self.verdicts is not None else ""
        if heard:
            waited += f"; {heard}"
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

    def report(self, name: str) -> None:
        from zentrix_gov.runs.summary import format_value, summarize

        self.done += 1
        if self.quiet:
            return
        self.clear()
        summary = summarize(self.store, self.run, [name])[0]
        counter = f"[{self.done:>{len(str(self.total))}}/{self.total}]"
        if not summary.read:
            detail = (
                f"{'-':>8}  not evaluated: all {self.total_records} records have "
                f"{summary.skip_reason}"
            )
        else:
            detail = f"{format_value(summary.value):>8}  {_records(summary.read)}"
            if summary.errors:
                detail += f", {summary.errors} with errors"
            if summary.skipped:
                detail += f" ({summary.skipped} skipped: {summary.skip_reason})"
            detail += f"  {self.seconds.get(name, summary.seconds):.2f}s"
        print(f"{counter} {name:<{self.width}} {detail}", file=self.out, flush=True)


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


def worker_setup(seconds: float | None) -> None:
    """What a Ray worker sets as it starts, as ``request_timeout`` does for this process:
    the detection provider's request time-out (``None`` or 0: the HTTP library's own)."""
    from zentrix_gov.providers.detectwire import Detectwire

    Detectwire.REQUEST_TIMEOUT = seconds or None


def unreachable_check(service: Service) -> Any:
    """A unit check that stops the run, storing nothing of the unit, when none of its
    requests could even connect to the detection service: those records have no results,
    only an outage, and a resumed run must ask for them again."""
    from zentrix_gov.runs.errors import UnitFailed

    def check(work: UnitWork, outcome: UnitOutcome) -> None:
        failed = [row for row in outcome.rows if row[2] == ResultStatus.ERROR]
        if not work.rows or len(failed) < len(work.rows):
            return
        if all(
            row[9] == "REQUEST_FAILED"
            and any(marker in (row[10] or "").lower() for marker in _CONNECT_FAILURES)
            for row in failed
        ):
            raise UnitFailed(
                work.metric.name,
                work.chunk,
                f"cannot connect to the detection service at {service.url} "
                f"({one_line(failed[0][10], 200)})",
            )

    return check
