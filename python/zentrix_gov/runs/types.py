"""The types a run's parts share: the planned metrics, the units of work, the job an
executor runs, and the listener that hears how it goes. Planning, the executors and the
runner import them from here, so that none of them imports another for its types."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.runs.inputs import Source
    from zentrix_gov.runs.schema import RunRecord
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.runs.units import UnitOutcome


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
    variant: Any = None  # how the judge is asked, for a judge asked several ways (judging)


class RunListener(Protocol):
    """Hears how a run goes (the command line's progress lines)."""

    def run_started(
        self, store: RunStore, run: RunRecord, planned: Sequence[PlannedMetric]
    ) -> None: ...

    def unit_started(self, name: str) -> None: ...

    def unit_finished(
        self, name: str, work: UnitWork, outcome: UnitOutcome, seconds: float
    ) -> None: ...


# The name the executors used before run_started existed; a listener of either kind works.
UnitListener = RunListener


class Silent:
    """A listener that hears nothing."""

    def run_started(self, store: Any, run: Any, planned: Any) -> None:
        pass

    def unit_started(self, name: str) -> None:
        pass

    def unit_finished(self, name: str, work: Any, outcome: Any, seconds: float) -> None:
        pass


# Evaluates one metric over a frame of records; returns the metric's result record.
Evaluator = Callable[[Any, "pd.DataFrame"], Awaitable[Any]]
# Raises when a unit's outcome shows the whole unit failed (nothing may be stored then).
OutcomeCheck = Callable[[UnitWork, "UnitOutcome"], None]


@dataclass
class RunJob:
    """Everything an executor needs to run the units of one run."""

    run_id: str
    source: Source
    chunk_size: int
    metrics: list[PlannedMetric]
    configuration: Any
    evaluate: Evaluator
    started: str  # the run's start, ISO-8601: the timestamp of records that carry none
    committed: set[tuple[str, int]] = field(default_factory=set)
    check: OutcomeCheck | None = None
    # Labels and judges asked several ways (zentrix_gov.judging.units.JudgingPlan), if any.
    judging: Any = None
    tracing: Any = None  # the run's spans (zentrix_gov.tracing.spans.RunTracing), or None

    def chunks(self) -> int:
        return -(-self.source.records // self.chunk_size)


class Executor(Protocol):
    """Runs a run's units and commits each one to the store as it finishes (the local
    executor, or ``zentrix_gov.runs.ray_executor.RayExecutor``)."""

    async def run(self, job: RunJob, store: RunStore, listener: RunListener) -> None: ...
