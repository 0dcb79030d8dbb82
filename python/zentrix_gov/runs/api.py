"""Stored, resumable evaluations from Python.

    from zentrix_gov import runs

    run = runs.evaluate("records.jsonl", ["hap", "pii"], configuration, store="runs.sqlite")
    run.summary()          # value, spread and coverage per metric
    run.export("results.json")
    runs.evaluate("records.jsonl", ["hap", "pii"], configuration, resume=run.id)

Records may be a CSV, JSON Lines, JSON or Parquet file (streamed a chunk at a time, except
JSON), or a table in memory (a DataFrame, a dict or a list of dicts; it is not changed).
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import RecordsError
from zentrix_gov.runs.export import write_csv, write_json
from zentrix_gov.runs.inputs import Source, fingerprint, frame_source, open_source
from zentrix_gov.runs.planning import default_chunk_size, plan_metrics, result_name
from zentrix_gov.runs.runner import RunSpec, resume_run, run_units, start_run
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.summary import MetricSummary, summarize
from zentrix_gov.runs.units import UniqueIds
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

if TYPE_CHECKING:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.runs.executor import Executor


class Run:
    """A stored run, read from its store."""

    def __init__(self, store: str | os.PathLike[str] | None, run_id: str):
        self.store_path = Path(store) if store is not None else None
        self.id = run_id

    def _open(self) -> RunStore:
        return RunStore(self.store_path, create=False)

    @property
    def record(self) -> RunRecord:
        with self._open() as store:
            return store.find_run(self.id)

    @property
    def status(self) -> str:
        """``running``, ``complete``, ``failed`` or ``interrupted``."""
        return self.record.status

    def summary(self) -> list[MetricSummary]:
        with self._open() as store:
            return summarize(store, store.find_run(self.id))

    def export(self, path: str | os.PathLike[str], id_field: str = "record_id") -> Path:
        """Write the results JSON to ``path`` and the per-record CSV beside it; returns the
        CSV's path. A symbolic link is written through; a name that is not a regular file
        (a device, a folder, ...) is refused with ``OutputPathError``."""
        from zentrix_gov.utils.files import output_target, staged_files

        json_target = output_target(path, str(path))
        csv_path = Path(path).with_suffix(".csv")
        csv_target = output_target(csv_path, str(csv_path))
        with self._open() as store:
            run = store.find_run(self.id)
            summaries = summarize(store, run)
            with staged_files() as stage:
                write_csv(store, run, stage(csv_target), id_field)
                # Renamed last: when the JSON file is there, the run's files are complete.
                write_json(store, run, stage(json_target), export_header(run, summaries), summaries)
        return csv_path

    def report(self, path: str | os.PathLike[str]) -> Path:
        """Write the run's report, one self-contained HTML page, to ``path`` (see
        :mod:`zentrix_gov.reports`); returns the path."""
        from zentrix_gov.reports.run_report import write_run_report
        from zentrix_gov.utils.files import output_target

        target = output_target(path, str(path))
        with self._open() as store:
            write_run_report(store, store.find_run(self.id), target)
        return Path(path)

    def results(self) -> MetricsEvaluationResult:
        """Every metric's result with all its record results (held in memory)."""
        from zentrix_gov.runs.records import stored_results

        with self._open() as store:
            return stored_results(store, store.find_run(self.id))

    def __repr__(self) -> str:
        return f"Run({self.id!r})"


def export_header(run: RunRecord, summaries: list[MetricSummary]) -> dict[str, Any]:
    from zentrix_gov.runs.export import failure_text

    if run.status in ("running", "interrupted"):
        header: dict[str, Any] = {
            "status": "interrupted",
            "error": f"run {run.id} was interrupted before it finished; resume it to complete it",
        }
    else:
        failure = run.error if run.status == "failed" else failure_text(summaries)
        header = {"status": "failed" if failure else "complete"}
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
) -> Run:
    """Evaluate ``metrics`` over ``records`` a chunk of ``chunk_size`` records at a time,
    committing each metric's results for each chunk to the run store as they come. The
    default chunk is 100 records when a metric asks an LLM judge per record, else 1,000.

    ``store`` is the SQLite file (default ``$ZENTRIX_STORE`` or ``.zentrix/runs.sqlite``).
    ``resume`` names an unfinished run (or ``"last"``) to finish instead of starting a new
    one: the records, configuration and metrics must be those it started with.

    ``executor`` is ``"local"`` (this process; up to ``max_concurrency`` units at once,
    default 1), ``"ray"`` (workers of the Ray cluster at ``$RAY_ADDRESS``, or of a local
    one started for the run; up to ``max_concurrency`` units at once over the whole
    cluster, default 10) or an executor object such as
    ``zentrix_gov.runs.ray_executor.RayExecutor(address=..., resources=...)``, which
    brings its own limit. Either way this process alone writes the store, and a run may be
    resumed on another executor. Returns the :class:`Run`; its status is
    ``complete``, or ``failed`` when some metric produced no value. An error that stops the
    run is raised after the run is marked ``failed`` (``interrupted`` for a cancellation);
    what was committed stays, and ``resume=`` picks up from there.
    """
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.metrics import metric_from_name

    if chunk_size is not None and chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    chosen = _executor(executor, max_concurrency)
    configuration = configuration or GenAIConfiguration()
    if isinstance(metrics, str | bytes) or not isinstance(metrics, Iterable):
        metrics = [metrics]  # type: ignore[list-item]
    metric_list = [metric_from_name(m) if isinstance(m, str) else m for m in metrics]
    source, print_ = _source(records, configuration)
    planned = plan_metrics(metric_list, configuration, source.columns, source.path)
    run_spec = RunSpec(
        metrics=[planned_metric.metric for planned_metric in planned],
        names=[planned_metric.name for planned_metric in planned],
        configuration=configuration,
        chunk_size=chunk_size or default_chunk_size([p.metric for p in planned]),
        command=f"zentrix_gov.runs.evaluate({source.path!r}, {[p.name for p in planned]!r})",
    )
    with RunStore(store) as run_store:
        if resume is not None:
            run = run_store.find_run(resume)
            run_spec.chunk_size = run.chunk_size
            run = resume_run(run_store, run, run_spec, print_)
        else:
            run = start_run(run_store, run_spec, source, print_)
        await run_units(
            run_store,
            run,
            run_spec,
            source,
            planned,
            api_client=api_client,
            executor=chosen,
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


def _source(records: Any, configuration: Any) -> tuple[Source, Any]:
    """The records as a source, after checking that they hold records with unique ids."""
    if isinstance(records, str | os.PathLike):
        path = os.fspath(records)
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


__all__ = ["Run", "evaluate", "evaluate_async", "result_name"]
