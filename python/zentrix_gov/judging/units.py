"""Units of a run whose judges are measured: labels stored with the results, and judge
metrics asked once per variant (juror, repeat, options swapped or not).

A unit of a judge metric evaluates the metric once per variant, through the executor's own
``evaluate_unit`` (so on a Ray worker as anywhere else), all variants at once: the judge's
request slots bound how many requests are in flight. Each variant's verdicts are committed
as soon as it is done (``verdict_units``), so a resumed unit asks only the variants it
lacks. The unit's results are then the records' combined verdicts
(:mod:`zentrix_gov.judging.combine`), committed with the records' labels and judgements.

With a jury, a juror that fails as a whole (unreachable, refused) gives no verdicts; the
quorum decides. A single judge's failure fails the unit, as in any run.
"""

from __future__ import annotations

import asyncio
import dataclasses
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.judging.combine import JUROR_FAILED, Scale, combine_record, error_row
from zentrix_gov.judging.labels import LabelColumn, chunk_labels, label_columns
from zentrix_gov.judging.settings import (
    Judging,
    Variant,
    temperature_for,
    variant_metric,
    variants,
)
from zentrix_gov.judging.verdicts import store_variant, stored_variants, unit_extras
from zentrix_gov.runs.errors import UnitFailed
from zentrix_gov.runs.schema import RESULT_COLUMNS, ResultStatus
from zentrix_gov.runs.summary import merge_notes
from zentrix_gov.runs.units import UnitOutcome, unit_outcome
from zentrix_gov.spend.budget import BudgetReached

if TYPE_CHECKING:
    import sqlite3

    from zentrix_gov.entities.llm_judge import LLMJudge
    from zentrix_gov.runs.blueprint import RunBlueprint
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.runs.types import PlannedMetric, RunJob, UnitWork

Extras = Callable[["sqlite3.Connection"], None]


@dataclass
class JudgingPlan:
    """How a run's units store labels and ask their judges."""

    judging: Judging
    jurors: list[LLMJudge] = field(default_factory=list)  # empty: each metric's own judge
    labels: dict[str, LabelColumn] = field(default_factory=dict)
    temperature: float | None = None

    def variants_of(self, planned: PlannedMetric) -> list[Variant]:
        """The variants each record of the metric is judged by (one: asked as usual)."""
        from zentrix_gov.runs.planning import judges

        if not judges(planned.metric):
            return []
        return variants(planned.metric, self.judging, len(self.jurors))

    def judge_of(self, metric: Any, juror: int, configuration: Any) -> LLMJudge | None:
        if self.jurors:
            return self.jurors[juror]
        return getattr(metric, "llm_judge", None) or getattr(configuration, "llm_judge", None)

    async def evaluate(
        self, executor: Any, job: RunJob, work: UnitWork, store: RunStore
    ) -> tuple[UnitOutcome, int, Extras | None]:
        """The unit's outcome, its attempts, and what to commit with it."""
        asked = self.variants_of(work.metric)
        judgements: list[tuple[Any, ...]] = []
        if len(asked) > 1:
            outcome, attempts, judgements = await self._judged(executor, job, work, store, asked)
        else:
            outcome, attempts = await executor.evaluate_unit(job, work)
        column = self.labels.get(work.metric.name)
        labels = []
        if column is not None:
            cells = chunk_labels(column, work.frame)
            labels = [(work.first_position + row, label) for row, label in enumerate(cells)]
        if not labels and not judgements:
            return outcome, attempts, None
        return outcome, attempts, unit_extras(job.run_id, work.metric.name, labels, judgements)

    async def _judged(
        self, executor: Any, job: RunJob, work: UnitWork, store: RunStore, asked: list[Variant]
    ) -> tuple[UnitOutcome, int, list[tuple[Any, ...]]]:
        name = work.metric.name
        positions = range(work.first_position, work.first_position + len(work.ids))
        done = stored_variants(store, job.run_id, name, work.chunk, positions)
        rows = {variant: found[0] for variant, found in done.items() if variant in asked}
        summaries = {variant: found[1] for variant, found in done.items() if variant in asked}
        failures: list[dict[str, Any]] = []
        sent = 0

        async def ask(variant: Variant) -> None:
            nonlocal sent
            metric = variant_metric(
                work.metric.metric,
                variant,
                self.judge_of(work.metric.metric, variant.juror, job.configuration),
                self.judging,
                self.temperature,
            )
            planned = dataclasses.replace(work.metric, metric=metric)
            started = time.perf_counter()
            try:
                outcome, attempts = await executor.evaluate_unit(
                    job, dataclasses.replace(work, metric=planned, variant=variant)
                )
            except UnitFailed as exc:
                if len(self.jurors) < 2:
                    raise
                rows[variant] = _failed_rows(work, f"{variant.describe()} failed: {exc}")
                failures.append({"code": JUROR_FAILED, "message_en": f"juror {variant.juror + 1}: "
                                 f"{exc}"})  # fmt: skip
                return
            sent += attempts
            if outcome.usage is not None and outcome.usage.refused:
                # Verdicts the budget kept from being asked: the variant is left for the resume.
                raise BudgetReached(f"metric {name!r}: {variant.describe()} not all asked")
            seconds = time.perf_counter() - started
            store_variant(store, job.run_id, name, work.chunk, variant, outcome.rows,
                          outcome.summary, seconds, outcome.usage)  # fmt: skip
            rows[variant], summaries[variant] = outcome.rows, outcome.summary

        todo = [variant for variant in asked if variant not in rows]
        try:
            async with asyncio.TaskGroup() as group:
                for variant in todo:
                    group.create_task(ask(variant))
        except BaseExceptionGroup as failed:
            raise failed.exceptions[0] from None
        outcome, judgements = self._combined(work, asked, rows, summaries, failures)
        # Each variant's usage was stored with it: the unit adds nothing more.
        outcome.usage = None
        return outcome, max(sent, 1), judgements

    def _combined(
        self,
        work: UnitWork,
        asked: list[Variant],
        rows: dict[Variant, list[tuple[Any, ...]]],
        summaries: dict[Variant, dict[str, Any]],
        failures: list[dict[str, Any]],
    ) -> tuple[UnitOutcome, list[tuple[Any, ...]]]:
        options = getattr(work.metric.metric, "options", None)
        scale = Scale({o.name: float(o.value) for o in options} if options else None)
        by_position: dict[int, dict[Variant, tuple[Any, ...]]] = {}
        for variant in asked:
            for row in rows[variant]:
                if row[2] != ResultStatus.SKIPPED:
                    by_position.setdefault(row[0], {})[variant] = row
        jurors = max(len(self.jurors), 1)
        combined = [
            combine_record(by_position[work.first_position + row], jurors, self.judging, scale)
            for row in work.rows
        ]
        skipped = unit_outcome(
            None, work.ids, [], work.skipped, work.skip_reason, work.first_position
        ).rows
        final = sorted([entry.row for entry in combined] + skipped, key=lambda row: row[0])
        first = next((summaries[v] for v in asked if v in summaries), {})
        notes = merge_notes([summaries[v].get("notes") or [] for v in asked if v in summaries])
        summary = {**first, "notes": notes + failures}
        outcome = UnitOutcome(
            summary,
            final,
            values=sum(row[3] is not None for row in final),
            errors=sum(row[2] == ResultStatus.ERROR for row in final),
        )
        return outcome, [entry.judgement for entry in combined]


def _failed_rows(work: UnitWork, message: str) -> list[tuple[Any, ...]]:
    """Every evaluated record of the unit as an error of a juror that gave no verdict."""
    blank = [None] * len(RESULT_COLUMNS)
    rows = []
    for row in work.rows:
        cells = list(blank)
        cells[0], cells[1], cells[2] = work.first_position + row, work.ids[row], "error"
        rows.append(error_row(cells, JUROR_FAILED, message))
    return rows


def judging_plan(blueprint: RunBlueprint, planned: list[PlannedMetric]) -> JudgingPlan | None:
    """How the run's units store labels and ask their judges; None when they do neither
    (the units then run exactly as they always did)."""
    judging = getattr(blueprint, "judging", None) or Judging()
    jurors = list(getattr(blueprint, "jurors", None) or [])
    labels = {column.metric: column for column in label_columns(blueprint.configuration, planned)}
    plan = JudgingPlan(judging, jurors if len(jurors) > 1 else [], labels)
    plan.temperature = temperature_for(judging, plan.jurors)
    if not labels and all(len(plan.variants_of(entry)) <= 1 for entry in planned):
        return None
    return plan
