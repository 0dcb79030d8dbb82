"""Starting, resuming and finishing a stored run (see :mod:`zentrix_gov.runs.blueprint` for what
a run stores about itself, and :mod:`zentrix_gov.runs.plans` for how a caller gets here)."""

from __future__ import annotations

import asyncio
import contextlib
import secrets
import sys
from datetime import datetime
from importlib import metadata
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.blueprint import RunBlueprint
from zentrix_gov.runs.errors import ResumeRefused, UnitFailed
from zentrix_gov.runs.inputs import Fingerprint, Source
from zentrix_gov.runs.planning import result_name, unit_metric
from zentrix_gov.runs.schema import RunStatus
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.types import Silent
from zentrix_gov.runs.usage import budget_stop, write_session
from zentrix_gov.spend.budget import Spend, spending
from zentrix_gov.utils.clock import now
from zentrix_gov.utils.sessions import shared_sessions

if TYPE_CHECKING:
    from zentrix_gov.runs.summary import MetricSummary
    from zentrix_gov.runs.types import (
        Evaluator,
        Executor,
        OutcomeCheck,
        PlannedMetric,
        RunListener,
    )

__all__ = ["RunBlueprint", "new_run_id", "package_versions", "resume_run", "run_units", "start_run"]

# Packages whose versions are stored with every run: what computed its results.
VERSIONED_PACKAGES = ("zentrix-gov", "unitxt", "evalassist", "litellm", "pandas", "pydantic")


def new_run_id() -> str:
    """Sortable by start time, unique without coordination."""
    return datetime.now().strftime("%Y%m%d-%H%M%S-") + secrets.token_hex(3)


def start_run(
    store: RunStore, blueprint: RunBlueprint, source: Source, print_: Fingerprint
) -> RunRecord:
    """Store a new run of ``blueprint`` over ``source`` and claim it."""
    model, url = blueprint.judge()
    run = RunRecord(
        id=new_run_id(),
        started=now(),
        status=RunStatus.RUNNING,
        command=blueprint.command,
        config_hash=blueprint.config_hash(),
        metrics_hash=blueprint.metrics_hash(),
        total_records=source.records,
        chunk_size=blueprint.chunk_size,
        metrics=list(blueprint.names),
        versions=package_versions(),
        definition=blueprint.definition(),
        input_path=print_.path,
        input_size=print_.size,
        input_hash=print_.sha256,
        judge_model=model,
        judge_url=url,
    )
    store.begin_run(run)
    return run


def resume_run(
    store: RunStore, run: RunRecord, blueprint: RunBlueprint, print_: Fingerprint
) -> RunRecord:
    """Claim ``run`` again after checking that ``blueprint`` and the input are what it started
    with; a difference is refused with ``ResumeRefused`` naming it."""
    differences = []
    if (print_.size, print_.sha256) != (run.input_size, run.input_hash):
        differences.append(
            f"the records file {print_.path} changed since the run started "
            f"({run.input_size} bytes, sha256 {run.input_hash[:12] if run.input_hash else '-'}; "
            f"now {print_.size} bytes, sha256 {print_.sha256[:12]})"
        )
    if blueprint.config_hash() != run.config_hash:
        differences.append("the configuration changed (columns, tools or judge model)")
    if blueprint.metrics_hash() != run.metrics_hash or list(blueprint.names) != list(run.metrics):
        differences.append("the metric definitions changed (metrics, their parameters or criteria)")
    stored_judging = (run.definition.get("judging") or {}).get("settings")
    given = blueprint.judging_definition()
    if (given or {}).get("settings") != stored_judging:
        differences.append("how the judges are asked changed (repeats, swapped options, jury)")
    jury = len((run.definition.get("judging") or {}).get("jurors") or [])
    if jury != len((given or {}).get("jurors") or []):
        differences.append(f"its jury had {jury} jurors: give the run as many again")
    if differences:
        raise ResumeRefused(run.id, differences)
    if run.status is RunStatus.COMPLETE:
        raise ResumeRefused(run.id, ["it is complete already"])
    store.claim(run.id)
    if store.find_run(run.id).status is RunStatus.COMPLETE:  # finished by its owner meanwhile
        store.release(run.id)
        raise ResumeRefused(run.id, ["it is complete already"])
    store.reopen_run(run.id)
    run.status = RunStatus.RUNNING
    return run


def package_versions() -> dict[str, str]:
    versions = {"python": sys.version.split()[0]}
    for name in VERSIONED_PACKAGES:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            continue
    return versions


async def run_units(
    store: RunStore,
    run: RunRecord,
    blueprint: RunBlueprint,
    source: Source,
    planned: list[PlannedMetric],
    *,
    api_client: Any,
    max_concurrency: int = 1,
    listener: RunListener | None = None,
    check: OutcomeCheck | None = None,
    executor: Executor | None = None,
    spend: Spend | None = None,
    tracing: Any = None,
) -> list[MetricSummary]:
    """Evaluate and store every unit of ``run`` not committed yet, then mark the run
    ``complete`` or ``failed`` (some metric produced no value). A failure marks it
    ``failed``, an interruption (Ctrl-C, cancellation) ``interrupted``; both are raised
    again; a budget reached marks it ``interrupted`` with the reason and raises
    ``BudgetStopped``. Returns the run's summary.

    The units run on ``executor`` (default: a ``LocalExecutor`` of ``max_concurrency``);
    its ``close()``, when it has one, is called once the run's status is stored. ``spend``
    counts (and may bound) the judge requests; the units share their HTTP sessions.
    ``tracing`` (``zentrix_gov.tracing.for_run``) traces the run, its units and requests."""
    from zentrix_gov.judging.units import judging_plan
    from zentrix_gov.runs.executor import LocalExecutor
    from zentrix_gov.runs.export import failure_text
    from zentrix_gov.runs.summary import summarize
    from zentrix_gov.runs.types import RunJob

    job = RunJob(
        run_id=run.id,
        source=source,
        chunk_size=run.chunk_size,
        metrics=planned,
        configuration=blueprint.configuration,
        evaluate=driver_evaluator(blueprint.configuration, api_client),
        started=run.started,
        committed=store.committed_units(run.id),
        check=check,
        judging=judging_plan(blueprint, planned),
        tracing=tracing,
    )
    executor = executor or LocalExecutor(max_concurrency)
    listener = listener or Silent()
    spend = spend if spend is not None else Spend()
    listener.run_started(store, run, planned)
    session_started = now()
    traced = (
        tracing.run(run, planned, executor, blueprint.configuration)
        if tracing
        else contextlib.nullcontext()
    )
    with traced as run_span:
        try:
            with spending(spend):
                async with shared_sessions():
                    await executor.run(job, store, listener)
        except (KeyboardInterrupt, asyncio.CancelledError):
            if store.owns(run.id):
                store.finish_run(run.id, RunStatus.INTERRUPTED, now())
            raise
        except BaseException as exc:
            stopped = budget_stop(run.id, spend)
            if store.owns(run.id):  # only the run's owner may say how it ended
                status = RunStatus.INTERRUPTED if stopped else RunStatus.FAILED
                error = str(stopped or exc) or type(exc).__name__
                store.finish_run(run.id, status, now(), error)
            if stopped is not None:
                raise stopped from None
            raise
        finally:
            if store.owns(run.id):
                write_session(store, run.id, session_started, now(), spend)
            close = getattr(executor, "close", None)
            if close is not None:
                close()
        summaries = summarize(store, run)
        failure = failure_text(summaries)
        status = RunStatus.FAILED if failure else RunStatus.COMPLETE
        store.finish_run(run.id, status, now(), failure)
        if run_span is not None:
            run_span.set_attribute("zentrix.run.status", str(status))
    return summaries


def driver_evaluator(configuration: Any, api_client: Any) -> Evaluator:
    """Units evaluate their metric as a one-off ``zentrix_gov.evaluate_async`` of that metric
    over the unit's records would; a failure of the metric as a whole becomes
    ``UnitFailed``, with the failure as its cause."""
    from zentrix_gov.evaluation import evaluate_async

    async def evaluate(metric: Any, data: Any) -> Any:
        try:
            evaluation = await evaluate_async(
                data, [unit_metric(metric)], configuration, api_client=api_client
            )
        except Exception as exc:
            cause = getattr(exc, "cause", None) or exc
            raise UnitFailed(result_name(metric), -1, str(cause)) from exc
        results = list(getattr(evaluation, "metrics_result", []) or [])
        return results[0] if results else None

    return evaluate
