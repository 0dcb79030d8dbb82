"""Runs from their definitions: a plan of what to evaluate over which records, made for a
new run or rebuilt from a stored one, and its execution.

    plan = plan_run("records.jsonl", ["hap", "pii"], configuration)   # records read, checked
    run = await execute(plan, store, api_client=client)               # started, then run

    plan = plan_resume(store, "last")                                 # from the stored run
    run = await execute(plan, store, api_client=client, judge=judge)  # the rest of it

A plan is made before any request is sent: the records are read once (their columns and
unique ids checked), the metrics ordered and checked against the columns and the installed
extras. Between the two steps a caller starts the services the plan needs
(:meth:`RunPlan.needs_judge`, :meth:`RunPlan.needs_detection`), as the command line does.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zentrix_gov.judging.labels import check_labels
from zentrix_gov.runs.blueprint import RunBlueprint, can_rebuild
from zentrix_gov.runs.errors import RecordsError, ResumeRefused, RunError
from zentrix_gov.runs.inputs import (
    IN_MEMORY,
    Fingerprint,
    Source,
    fingerprint,
    frame_source,
    open_source,
)
from zentrix_gov.runs.planning import default_chunk_size, judges, plan_metrics
from zentrix_gov.runs.runner import resume_run, run_units, start_run
from zentrix_gov.runs.schema import RunRecord, RunStatus
from zentrix_gov.runs.units import UniqueIds

if TYPE_CHECKING:
    from zentrix_gov.entities.llm_judge import LLMJudge
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.judging.settings import Judging
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.runs.types import Executor, OutcomeCheck, PlannedMetric, RunListener
    from zentrix_gov.spend.budget import Spend


@dataclass
class RunPlan:
    """A run ready to start, or to resume (``resumed``): what it evaluates and over which
    records."""

    blueprint: RunBlueprint
    source: Source
    fingerprint: Fingerprint
    resumed: RunRecord | None = None

    @property
    def planned(self) -> list[PlannedMetric]:
        return self.blueprint.planned

    def needs_judge(self) -> bool:
        """Whether some metric asks an LLM judge."""
        return any(judges(entry.metric) for entry in self.planned)

    def needs_detection(self) -> bool:
        """Whether some metric is computed by the detection service."""
        return any(
            "providers.detectwire" in getattr(entry.metric, "provider_path", "")
            for entry in self.planned
        )


def plan_run(
    records: Any,
    metrics: Iterable[GenAIMetric | str] | GenAIMetric | str,
    configuration: Any = None,
    *,
    chunk_size: int | None = None,
    options: Mapping[str, Any] | None = None,
    command: list[str] | str | None = None,
    judging: Judging | None = None,
) -> RunPlan:
    """The plan of a new run of ``metrics`` over ``records`` (a records file, or a table in
    memory). ``chunk_size`` defaults to 100 records when a metric asks an LLM judge, else
    1,000. ``options`` are the caller's, stored with the run as given (the command line keeps
    how it asked its judge there); ``command`` says how the run was asked for. ``judging``
    says how judge verdicts are asked (repeats, swapped options, jury; stored with the
    run). The labels the configuration's ``label_fields`` name are checked here, before
    any request."""
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.metrics import metric_from_name

    if chunk_size is not None and chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    configuration = configuration or GenAIConfiguration()
    if isinstance(metrics, str | bytes) or not isinstance(metrics, Iterable):
        metrics = [metrics]  # type: ignore[list-item]
    metric_list = [metric_from_name(m) if isinstance(m, str) else m for m in metrics]
    source, print_ = open_records(records, configuration)
    planned = plan_metrics(metric_list, configuration, source.columns, source.path)
    check_labels(source, configuration, planned)
    names = [entry.name for entry in planned]
    blueprint = RunBlueprint(
        metrics=[entry.metric for entry in planned],
        names=names,
        configuration=configuration,
        chunk_size=chunk_size or default_chunk_size([entry.metric for entry in planned]),
        command=command or f"zentrix_gov.runs.evaluate({source.path!r}, {names!r})",
        options=dict(options or {}),
        planned=planned,
        judging=judging,
    )
    return RunPlan(blueprint, source, print_)


def plan_resume(store: RunStore, reference: str, *, records: Any = None) -> RunPlan:
    """The plan of the rest of the stored run ``reference`` (an id, a unique start of one,
    or ``last``), rebuilt from the definition it stored, whoever started it. The records are
    read again from the run's records file; a run of a table in memory is given the table
    again (``records``). Raises ``ResumeRefused`` for a complete run, or one that cannot be
    rebuilt."""
    run = store.find_run(reference)
    if run.status is RunStatus.COMPLETE:
        raise ResumeRefused(run.id, ["it is complete already"])
    if not can_rebuild(run.definition):
        raise ResumeRefused(
            run.id,
            ["it was stored by an earlier version of zentrix-gov, which kept no definition "
             "to rebuild it from; finish it with that version"],
        )  # fmt: skip
    if records is None:
        if run.input_path in (None, IN_MEMORY):
            raise ResumeRefused(
                run.id, ["it evaluated a table in memory: give the table again (records=...)"]
            )
        records = run.input_path
    blueprint = RunBlueprint.from_definition(
        run.definition, chunk_size=run.chunk_size, command=run.command
    )
    source, print_ = open_records(records, blueprint.configuration)
    blueprint.planned = plan_metrics(
        blueprint.metrics, blueprint.configuration, source.columns, source.path
    )
    check_labels(source, blueprint.configuration, blueprint.planned)
    return RunPlan(blueprint, source, print_, resumed=run)


async def execute(
    plan: RunPlan,
    store: RunStore,
    *,
    api_client: Any = None,
    judge: LLMJudge | None = None,
    executor: Executor | None = None,
    listener: RunListener | None = None,
    check: OutcomeCheck | None = None,
    details: Mapping[str, Any] | None = None,
    spend: Spend | None = None,
    jurors: Sequence[LLMJudge] | None = None,
    tracing: Any = None,
) -> RunRecord:
    """Start the planned run (or take the resumed one back), evaluate every unit not yet
    committed and store how it ended; returns the stored run.

    ``judge`` judges the metrics that ask the configuration's judge; ``details`` are stored
    with a new run (e.g. the detection service used). ``jurors``, two or more, judge every
    judge metric as a jury (each juror's verdicts stored; ``judge`` is then the first).
    ``spend`` counts the judge's requests and holds the budget, if any
    (:class:`zentrix_gov.spend.Spend`). Refusals (``ResumeRefused``, a store that another
    process owns) come before any request; a failure of the run is raised after the run is
    marked ``failed`` (``interrupted`` for a cancellation or a budget reached). ``tracing``
    (``zentrix_gov.tracing.for_run(...)``) traces it."""
    if spend is not None and spend.budgeted and not getattr(executor, "keeps_budget", True):
        raise RunError(
            "a budget is kept by the local executor only: its requests each ask the one "
            "count before they are sent; run without the budget, or on the local executor"
        )
    blueprint = plan.blueprint
    blueprint.jurors = list(jurors or [])
    judge = judge if judge is not None or not blueprint.jurors else blueprint.jurors[0]
    if judge is not None:
        blueprint.configuration = blueprint.configuration.model_copy(update={"llm_judge": judge})
    blueprint.details.update(details or {})
    if plan.resumed is not None:
        run = resume_run(store, plan.resumed, blueprint, plan.fingerprint)
    else:
        run = start_run(store, blueprint, plan.source, plan.fingerprint)
    await run_units(
        store,
        run,
        blueprint,
        plan.source,
        blueprint.planned,
        api_client=api_client,
        listener=listener,
        check=check,
        executor=executor,
        spend=spend,
        tracing=tracing,
    )
    return store.find_run(run.id)


def open_records(records: Any, configuration: Any) -> tuple[Source, Fingerprint]:
    """The records as a source (read once: columns, count, unique ids) with the fingerprint
    of their content. A records file is named by its absolute path, so that the run can be
    resumed, and its texts read, from any folder."""
    if isinstance(records, str | os.PathLike):
        path = os.path.abspath(os.fspath(records))
        ids = UniqueIds(path, configuration.record_id_field)
        source = open_source(path, ids, configuration.record_id_field)
        print_ = fingerprint(path)
    else:
        from zentrix_gov.utils.python_utils import records_frame

        source, print_ = frame_source(records_frame(records))
        ids = UniqueIds(source.path, configuration.record_id_field)
        ids(0, source.frame)
    ids.check(source)
    if not source.records:
        raise RecordsError(f"records file {source.path} holds no records")
    return source, print_
