"""Stored, resumable evaluations from Python.

    from zentrix_gov import runs

    run = runs.evaluate("records.jsonl", ["hap", "pii"], configuration, store="runs.sqlite")
    run.summary()          # value, spread and coverage per metric
    run.export("results.json")
    runs.resume(run.id, store="runs.sqlite")   # the rest of an interrupted run

Records may be a CSV, JSON Lines, JSON or Parquet file (streamed a chunk at a time, except
JSON), or a table in memory (a DataFrame, a dict or a list of dicts; it is not changed). A
run stores its definition, so :func:`resume` rebuilds it from the store, whether the
command line or Python started it.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.export import write_csv, write_json
from zentrix_gov.runs.planning import result_name
from zentrix_gov.runs.plans import execute, plan_resume, plan_run
from zentrix_gov.runs.schema import RunStatus
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.summary import MetricSummary, summarize
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

if TYPE_CHECKING:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentrix_gov.entities.llm_judge import LLMJudge
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.judging.agreement import Agreement
    from zentrix_gov.judging.settings import Judging
    from zentrix_gov.runs.types import Executor, RunListener
    from zentrix_gov.spend.budget import Spend


class Run:
    """A stored run, read from its store."""

    def __init__(self, store: str | os.PathLike[str] | None, run_id: str):
        self.store_path = Path(store) if store is not None else None
        self.id = run_id

    def open_store(self) -> RunStore:
        """The run's store, opened for reading (use it in a ``with`` block)."""
        return RunStore(self.store_path, create=False)

    @property
    def record(self) -> RunRecord:
        with self.open_store() as store:
            return store.find_run(self.id)

    @property
    def status(self) -> RunStatus:
        """``running``, ``complete``, ``failed`` or ``interrupted``."""
        return self.record.status

    def summary(self) -> list[MetricSummary]:
        with self.open_store() as store:
            return summarize(store, store.find_run(self.id))

    def export(self, path: str | os.PathLike[str], id_field: str = "record_id") -> Path:
        """Write the results JSON to ``path`` and the per-record CSV beside it; returns the
        CSV's path. A symbolic link is written through; a name that is not a regular file
        (a device, a folder, ...) is refused with ``OutputPathError``."""
        from zentrix_gov.utils.files import output_target, staged_files

        json_target = output_target(path, str(path))
        csv_path = Path(path).with_suffix(".csv")
        csv_target = output_target(csv_path, str(csv_path))
        with self.open_store() as store:
            run = store.find_run(self.id)
            summaries = summarize(store, run)
            with staged_files() as stage:
                write_csv(store, run, stage(csv_target), id_field)
                # Renamed last: when the JSON file is there, the run's files are complete.
                write_json(store, run, stage(json_target), export_header(run, summaries), summaries)
        return csv_path

    def results(self) -> MetricsEvaluationResult:
        """Every metric's result with all its record results (held in memory)."""
        from zentrix_gov.runs.records import stored_results

        with self.open_store() as store:
            return stored_results(store, store.find_run(self.id))

    def agreement(self, metric: str | None = None, *, seed: int = 0) -> list[Agreement]:
        """How the run's verdicts agree with its human labels, per labelled metric (or the
        one named): the figures with seeded paired-bootstrap 95 % intervals, as
        ``runs agreement`` prints them."""
        from zentrix_gov.judging.agreement import run_agreement

        with self.open_store() as store:
            return run_agreement(store, store.find_run(self.id), metric, seed=seed)

    def __repr__(self) -> str:
        return f"Run({self.id!r})"


def export_header(run: RunRecord, summaries: list[MetricSummary]) -> dict[str, Any]:
    from zentrix_gov.runs.export import failure_text

    if run.status in (RunStatus.RUNNING, RunStatus.INTERRUPTED):
        header: dict[str, Any] = {
            "status": RunStatus.INTERRUPTED,
            "error": f"run {run.id} was interrupted before it finished; resume it to complete it",
        }
    else:
        failure = run.error if run.status is RunStatus.FAILED else failure_text(summaries)
        header = {"status": RunStatus.FAILED if failure else RunStatus.COMPLETE}
        if failure:
            header["error"] = failure
    header["records_file"] = run.input_path
    header["total_records"] = run.total_records
    service = run.definition.get("detection_service")
    if service is not None:
        header["detection_service"] = service
    return header


def evaluate(
    records: Any,
    metrics: Iterable[GenAIMetric | str] | GenAIMetric | str,
    configuration: GenAIConfiguration | None = None,
    **options: Any,
) -> Run:
    """Evaluate ``metrics`` over ``records`` as a stored run; see :func:`evaluate_async`."""
    return asyncio.run(evaluate_async(records, metrics, configuration, **options))


async def evaluate_async(
    records: Any,
    metrics: Iterable[GenAIMetric | str] | GenAIMetric | str,
    configuration: GenAIConfiguration | None = None,
    *,
    store: str | os.PathLike[str] | None = None,
    resume: str | None = None,
    chunk_size: int | None = None,
    max_concurrency: int | None = None,
    api_client: Any = None,
    executor: str | Executor = "local",
    listener: RunListener | None = None,
    spend: Spend | None = None,
    judging: Judging | None = None,
    jurors: Sequence[LLMJudge] | None = None,
    tracer_provider: Any = None,
    trace_content: bool = False,
) -> Run:
    """Evaluate ``metrics`` over ``records`` a chunk of ``chunk_size`` records at a time,
    committing each metric's results for each chunk to the run store as they come. The
    default chunk is 100 records when a metric asks an LLM judge per record, else 1,000.

    ``store`` is the SQLite file (default ``$ZENTRIX_STORE`` or ``.zentrix/runs.sqlite``).
    ``resume`` names an unfinished run (or ``"last"``) to finish instead of starting a new
    one: the records, configuration and metrics must be those it started with (see
    :func:`resume` to finish one from its stored definition alone).

    ``executor`` is ``"local"`` (this process; up to ``max_concurrency`` units at once,
    default 1), ``"ray"`` (workers of the Ray cluster at ``$RAY_ADDRESS``, or of a local
    one started for the run; up to ``max_concurrency`` units at once over the whole
    cluster, default 10) or an executor object such as
    ``zentrix_gov.runs.ray_executor.RayExecutor(address=..., resources=...)``, which
    brings its own limit. Either way this process alone writes the store, and a run may be
    resumed on another executor. ``listener`` hears the run start and each unit end.
    ``spend`` prices the judge's requests and may bound them with a budget, e.g.
    ``Spend(PriceBook(), budget_usd=5.0)`` (see :mod:`zentrix_gov.spend`); a run the
    budget stops raises ``BudgetStopped`` and is stored as ``interrupted``.
    Returns the :class:`Run`; its status is ``complete``, or ``failed`` when some metric
    produced no value. An error that stops the run is raised after the run is marked
    ``failed`` (``interrupted`` for a cancellation); what was committed stays, and
    :func:`resume` picks up from there.

    Judges you can measure: the configuration's ``label_fields`` name each metric's column
    of human labels (stored with the results; :meth:`Run.agreement` measures them);
    ``judging`` (a :class:`zentrix_gov.judging.Judging`) asks each judge verdict several
    times, with swapped options, and combines them; ``jurors`` (two or more judges) judge
    every judge metric as a jury.

    ``tracer_provider`` (an OpenTelemetry ``TracerProvider``) traces the run: a span for
    it, one per unit and per request, an evaluation event per record and metric (see
    :mod:`zentrix_gov.tracing`); without one, the application's global provider does when
    it has set one. Prompts, answers and explanations go into spans only with
    ``trace_content``.
    """
    from zentrix_gov.tracing import for_run

    chosen = _executor(executor, max_concurrency)
    tracing = for_run(tracer_provider, content=trace_content)
    plan = plan_run(records, metrics, configuration, chunk_size=chunk_size, judging=judging)
    with RunStore(store) as run_store:
        if resume is not None:
            plan.resumed = run_store.find_run(resume)
            plan.blueprint.chunk_size = plan.resumed.chunk_size
        run = await execute(
            plan,
            run_store,
            api_client=api_client,
            executor=chosen,
            listener=listener,
            jurors=jurors,
            tracing=tracing,
            spend=spend,
        )
    return Run(run_store.path, run.id)


def resume(run_id: str, **options: Any) -> Run:
    """Finish the stored run ``run_id``; see :func:`resume_async`."""
    return asyncio.run(resume_async(run_id, **options))


async def resume_async(
    run_id: str,
    *,
    store: str | os.PathLike[str] | None = None,
    records: Any = None,
    api_client: Any = None,
    judge: LLMJudge | None = None,
    max_concurrency: int | None = None,
    executor: str | Executor = "local",
    listener: RunListener | None = None,
    spend: Spend | None = None,
    jurors: Sequence[LLMJudge] | None = None,
    tracer_provider: Any = None,
    trace_content: bool = False,
) -> Run:
    """Evaluate what the stored run ``run_id`` (an id, a unique start of one, or ``last``)
    has not finished, rebuilt from the definition it stored: its records file, metrics and
    configuration, whoever started it (the command line or Python).

    What a run does not store is given again: ``api_client`` (the detection service's
    client), ``judge`` (the judge of its judge metrics: it holds a key), ``jurors`` (a
    jury's judges, as many as it started with), ``records`` for a run of a table in memory.
    Verdicts a judge metric's unit had stored are not asked again. Raises
    ``ResumeRefused`` when the run is complete, its records file changed, or it cannot be
    rebuilt; ``StoreError`` when another process is writing it. Otherwise as
    :func:`evaluate_async`.
    """
    from zentrix_gov.tracing import for_run

    chosen = _executor(executor, max_concurrency)
    tracing = for_run(tracer_provider, content=trace_content)
    with RunStore(store) as run_store:
        plan = plan_resume(run_store, run_id, records=records)
        run = await execute(
            plan,
            run_store,
            api_client=api_client,
            judge=judge,
            executor=chosen,
            listener=listener,
            jurors=jurors,
            tracing=tracing,
            spend=spend,
        )
    return Run(run_store.path, run.id)


def _executor(executor: str | Executor, max_concurrency: int | None) -> Executor:
    from zentrix_gov.runs.executor import LocalExecutor

    if not isinstance(executor, str):
        if max_concurrency is not None:
            raise ValueError("give max_concurrency to the executor object, not beside it")
        return executor
    if executor == "local":
        return LocalExecutor(1 if max_concurrency is None else max_concurrency)
    if executor == "ray":
        from zentrix_gov.runs.ray_executor import RayExecutor

        return RayExecutor(DEFAULT_MAX_CONCURRENCY if max_concurrency is None else max_concurrency)
    raise ValueError(f"executor must be 'local', 'ray' or an executor object, not {executor!r}")


__all__ = ["Run", "evaluate", "evaluate_async", "result_name", "resume", "resume_async"]
