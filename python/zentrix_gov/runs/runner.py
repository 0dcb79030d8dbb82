"""Starting, resuming and finishing a stored run.

A run is defined by its input (path, size and content hash), its configuration and its
metric definitions. Hashes of the last two are kept with the run, so that a resumed run can
refuse to mix results of different definitions, and name what changed.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import secrets
import sys
from dataclasses import dataclass, field
from datetime import datetime
from importlib import metadata
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit, urlunsplit

from zentrix_gov.runs import DEFAULT_CHUNK_SIZE
from zentrix_gov.runs.errors import ResumeRefused, UnitFailed
from zentrix_gov.runs.inputs import Fingerprint, Source
from zentrix_gov.runs.planning import result_name, unit_metric
from zentrix_gov.runs.store import RunRecord, RunStore

if TYPE_CHECKING:
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.runs.executor import (
        Evaluator,
        Executor,
        OutcomeCheck,
        PlannedMetric,
        UnitListener,
    )
    from zentrix_gov.runs.summary import MetricSummary

# Packages whose versions are stored with every run: what computed its results.
VERSIONED_PACKAGES = ("zentrix-gov", "unitxt", "evalassist", "litellm", "pandas", "pydantic")


@dataclass
class RunSpec:
    """What a run evaluates and how it was asked for."""

    metrics: list[GenAIMetric]
    names: list[str]  # the metrics' names in results (command-line names)
    configuration: Any
    chunk_size: int = DEFAULT_CHUNK_SIZE  # the run's; see planning.default_chunk_size
    command: list[str] | str = ""
    definition: dict[str, Any] = field(default_factory=dict)
    planned: list[PlannedMetric] = field(default_factory=list)

    def judge(self) -> tuple[str | None, str | None]:
        """The judge model's id and URL (never its key)."""
        model = getattr(getattr(self.configuration, "llm_judge", None), "model", None)
        for metric in self.metrics:
            own = getattr(getattr(metric, "llm_judge", None), "model", None)
            model = model or own
        if model is None:
            return None, None
        credentials = getattr(getattr(model, "provider", None), "credentials", None)
        url = getattr(credentials, "api_url", None) or getattr(credentials, "url", None)
        return getattr(model, "model_id", None), _without_userinfo(url) if url else None

    def config_hash(self) -> str:
        configuration = self.configuration
        dumped = configuration.model_dump(mode="json", exclude={"llm_judge"})
        dumped["judge_model"] = self.judge()[0]
        return _digest(dumped)

    def metrics_hash(self) -> str:
        return _digest(
            [
                {
                    "as": name,
                    "kind": type(metric).__name__,
                    **metric.model_dump(mode="json", exclude={"llm_judge"}),
                }
                for name, metric in zip(self.names, self.metrics, strict=True)
            ]
        )

    def metric_definitions(self) -> dict[str, dict[str, Any]]:
        """Per metric (by its name in the results): its kind, method, whether it asks the
        judge, and a digest of its whole definition (parameters, criteria text, options),
        so that two runs can tell whether a metric of one name is the same metric."""
        from zentrix_gov.runs.planning import judges

        definitions = {}
        for name, metric in zip(self.names, self.metrics, strict=True):
            dumped = metric.model_dump(mode="json", exclude={"llm_judge"})
            definitions[name] = {
                "kind": type(metric).__name__,
                "method": dumped.get("method"),
                "judged": judges(metric),
                "digest": _digest({"kind": type(metric).__name__, **dumped})[:16],
            }
        return definitions


def new_run_id() -> str:
    """Sortable by start time, unique without coordination."""
    return datetime.now().strftime("%Y%m%d-%H%M%S-") + secrets.token_hex(3)


def now() -> str:
    return datetime.now().astimezone().isoformat(timespec="seconds")


def start_run(store: RunStore, run_spec: RunSpec, source: Source, print_: Fingerprint) -> RunRecord:
    """Store a new run of ``run_spec`` over ``source`` and claim it."""
    model, url = run_spec.judge()
    run = RunRecord(
        id=new_run_id(),
        started=now(),
        status="running",
        command=run_spec.command,
        config_hash=run_spec.config_hash(),
        metrics_hash=run_spec.metrics_hash(),
        total_records=source.records,
        chunk_size=run_spec.chunk_size,
        metrics=list(run_spec.names),
        versions=package_versions(),
        definition={**run_spec.definition, "metrics": run_spec.metric_definitions()},
        input_path=print_.path,
        input_size=print_.size,
        input_hash=print_.sha256,
        judge_model=model,
        judge_url=url,
    )
    store.begin_run(run)
    return run


def resume_run(
    store: RunStore, run: RunRecord, run_spec: RunSpec, print_: Fingerprint
) -> RunRecord:
    """Claim ``run`` again after checking that ``run_spec`` and the input are what it started
    with; a difference is refused with ``ResumeRefused`` naming it."""
    differences = []
    if (print_.size, print_.sha256) != (run.input_size, run.input_hash):
        differences.append(
            f"the records file {print_.path} changed since the run started "
            f"({run.input_size} bytes, sha256 {run.input_hash[:12] if run.input_hash else '-'}; "
            f"now {print_.size} bytes, sha256 {print_.sha256[:12]})"
        )
    if run_spec.config_hash() != run.config_hash:
        differences.append("the configuration changed (columns, tools or judge model)")
    if run_spec.metrics_hash() != run.metrics_hash or list(run_spec.names) != list(run.metrics):
        differences.append("the metric definitions changed (metrics, their parameters or criteria)")
    if differences:
        raise ResumeRefused(run.id, differences)
    if run.status == "complete":
        raise ResumeRefused(run.id, ["it is complete already"])
    store.claim(run.id)
    if store.find_run(run.id).status == "complete":  # finished by its owner meanwhile
        store.release(run.id)
        raise ResumeRefused(run.id, ["it is complete already"])
    store.reopen_run(run.id)
    run.status = "running"
    return run


def package_versions() -> dict[str, str]:
    versions = {"python": sys.version.split()[0]}
    for name in VERSIONED_PACKAGES:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            continue
    return versions


def _digest(value: Any) -> str:
    text = json.dumps(value, sort_keys=True, ensure_ascii=False, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()


def _without_userinfo(url: str) -> str:
    parts = urlsplit(url)
    if parts.username is None and parts.password is None:
        return url
    host = parts.hostname or ""
    netloc = f"{host}:{parts.port}" if parts.port else host
    return urlunsplit(parts._replace(netloc=netloc))


async def run_units(
    store: RunStore,
    run: RunRecord,
    run_spec: RunSpec,
    source: Source,
    planned: list[PlannedMetric],
    *,
    api_client: Any,
    max_concurrency: int = 1,
    listener: UnitListener | None = None,
    check: OutcomeCheck | None = None,
    executor: Executor | None = None,
) -> list[MetricSummary]:
    """Evaluate and store every unit of ``run`` not committed yet, then mark the run
    ``complete`` or ``failed`` (some metric produced no value). A failure marks it
    ``failed``, an interruption (Ctrl-C, cancellation) ``interrupted``; both are raised
    again. Returns the run's summary.

    The units run on ``executor`` (default: a ``LocalExecutor`` of ``max_concurrency``);
    its ``close()``, when it has one, is called once the run's status is stored."""
    from zentrix_gov.runs.executor import LocalExecutor, RunJob
    from zentrix_gov.runs.export import failure_text
    from zentrix_gov.runs.summary import summarize

    job = RunJob(
        run_id=run.id,
        source=source,
        chunk_size=run.chunk_size,
        metrics=planned,
        configuration=run_spec.configuration,
        evaluate=driver_evaluator(run_spec.configuration, api_client),
        started=run.started,
        committed=store.committed_units(run.id),
        check=check,
    )
    executor = executor or LocalExecutor(max_concurrency)
    try:
        await executor.run(job, store, listener or _Silent())
    except (KeyboardInterrupt, asyncio.CancelledError):
        if store.owns(run.id):
            store.finish_run(run.id, "interrupted", now())
        raise
    except BaseException as exc:
        if store.owns(run.id):  # only the run's owner may say how it ended
            store.finish_run(run.id, "failed", now(), str(exc) or type(exc).__name__)
        raise
    finally:
        close = getattr(executor, "close", None)
        if close is not None:
            close()
    summaries = summarize(store, run)
    failure = failure_text(summaries)
    store.finish_run(run.id, "failed" if failure else "complete", now(), failure)
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


class _Silent:
    def unit_started(self, name: str) -> None:
        pass

    def unit_finished(self, name: str, work: Any, outcome: Any, seconds: float) -> None:
        pass
