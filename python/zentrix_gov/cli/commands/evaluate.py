"""``evaluate``: a stored run of metrics over a records file, or the rest of an unfinished one.

Every run goes to the run store (``--store``, ``$ZENTRIX_STORE`` or ``.zentrix/runs.sqlite``)
one finished unit (a metric over a chunk of records) at a time, so an interrupted or killed
run keeps what it finished and ``--resume RUN_ID`` evaluates only the rest. The summary table
and the ``--output`` files are read back from the store.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, nullcontext
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.errors import EvaluationFailed, UsageError
from zentrix_gov.cli.interrupts import Interrupts

if TYPE_CHECKING:
    from zentrix_gov.cli.report import ResultsFiles
    from zentrix_gov.cli.service import Service
    from zentrix_gov.runs.runner import RunSpec
    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.summary import MetricSummary

PROG = "python -m zentrix_gov"
# Options a resumed run may set anew: how it runs and what it prints, never what it computes.
RESUME_OVERRIDES = (
    "output",
    "quiet",
    "concurrent",
    "max_concurrency",
    "timeout",
    "min_coverage",
    "executor",
    "ray_address",
    "ray_resources",
)
# After Ctrl-C, the seconds a run on Ray has to stop its workers and its local cluster.
RAY_GRACE_SECONDS = 10.0
# Options that define what a run computes: a resumed run keeps the ones it started with.
_DEFINING = ("records", "metrics", "criteria", "config", "rag_method", "chunk_size")


def run_evaluate(
    args: argparse.Namespace, interrupts: Interrupts | None = None, argv: Sequence[str] = ()
) -> int:
    from zentrix_gov.cli.stored_runs import open_store

    interrupts = interrupts or Interrupts()
    # The store is opened first: a store that cannot take the run fails before any request.
    with open_store(args.store, create=True) as store:
        if args.resume is not None:
            run = _find(store, args.resume)
            args, argv = resumed_arguments(run, args)
        elif args.records is None:
            raise UsageError("name the records file to evaluate (or --resume RUN_ID)")
        else:
            run = None
            argv = _absolute(list(argv), args)
        return _evaluate(store, run, args, list(argv), interrupts)


def _find(store: RunStore, reference: str) -> RunRecord:
    from zentrix_gov.cli.stored_runs import find_run

    return find_run(store, reference)


def _evaluate(
    store: RunStore,
    resumed: RunRecord | None,
    args: argparse.Namespace,
    argv: list[str],
    interrupts: Interrupts,
) -> int:
    from zentrix_gov.cli.judge import apply_rag_method, check_judges
    from zentrix_gov.cli.plan import build_metrics
    from zentrix_gov.cli.records import open_records, plan
    from zentrix_gov.cli.report import check_output
    from zentrix_gov.cli.settings import load_settings

    output = check_output(args.output)
    settings = load_settings(args.config)
    metrics = build_metrics(args.metrics, settings, args.criteria)
    apply_rag_method(metrics, args.rag_method)
    check_judges(metrics, args)
    configuration = settings.configuration
    source, print_ = open_records(args.records, configuration)
    planned = plan(metrics, configuration, source, args.records)
    executor = choose_executor(args, [entry.name for entry in planned])
    if executor is not None:
        interrupts.grace_seconds = RAY_GRACE_SECONDS
    started = time.perf_counter()
    with _services(args, planned) as (judge, service):
        if judge is not None:
            configuration.llm_judge = judge
        run, run_spec = _claim(
            store, resumed, args, argv, planned, configuration, source, print_, service
        )
        interrupts.note = f"resume with: {resume_command(store, run.id)}"
        try:
            summaries = _run(store, run, run_spec, args, source, service, interrupts, executor)
        except EvaluationFailed as exc:
            _failed(store, run, output, str(exc))
            raise
    elapsed = time.perf_counter() - started
    return _report(store, run, args, output, summaries, elapsed)


@contextmanager
def _services(args: argparse.Namespace, planned: Sequence[Any]) -> Iterator[tuple[Any, Service]]:
    """The judge and the detection service, each started only when a metric needs it."""
    from zentrix_gov.cli.judge import open_judge, quiet_progress_bars
    from zentrix_gov.cli.libraries import library_prints
    from zentrix_gov.cli.running import request_timeout
    from zentrix_gov.cli.service import Service, open_service

    metrics = [entry.metric for entry in planned]
    judge = open_judge(args, args.quiet) if needs_judge(metrics) else nullcontext(None)
    detection = (
        open_service(args.quiet)
        if needs_detection(metrics)
        else nullcontext(Service(None, None, local=False))
    )
    with (
        library_prints(args.quiet),
        quiet_progress_bars(args.quiet),
        judge as opened_judge,
        detection as service,
        request_timeout(detection_timeout(args)),
    ):
        yield opened_judge, service


def needs_detection(metrics: Sequence[Any]) -> bool:
    return any("providers.detectwire" in getattr(m, "provider_path", "") for m in metrics)


def needs_judge(metrics: Sequence[Any]) -> bool:
    from zentrix_gov.runs.planning import judges

    return any(judges(metric) for metric in metrics)


def _claim(
    store: RunStore,
    resumed: RunRecord | None,
    args: argparse.Namespace,
    argv: list[str],
    planned: Sequence[Any],
    configuration: Any,
    source: Any,
    print_: Any,
    service: Service,
) -> tuple[RunRecord, RunSpec]:
    """Start the run, or take the resumed one back after checking nothing changed."""
    from zentrix_gov.runs.errors import ResumeRefused, StoreError
    from zentrix_gov.runs.planning import default_chunk_size
    from zentrix_gov.runs.runner import RunSpec, resume_run, start_run

    run_spec = RunSpec(
        planned=list(planned),
        metrics=[entry.metric for entry in planned],
        names=[entry.name for entry in planned],
        configuration=configuration,
        chunk_size=(
            resumed.chunk_size
            if resumed
            else args.chunk_size or default_chunk_size([entry.metric for entry in planned])
        ),
        command=[PROG, *argv],
        definition={
            "argv": argv,
            "cwd": os.getcwd(),
            "id_field": configuration.record_id_field,
            "detection_service": (
                {"url": service.url, "local": service.local} if service.url else None
            ),
        },
    )
    try:
        if resumed is not None:
            return resume_run(store, resumed, run_spec, print_), run_spec
        return start_run(store, run_spec, source, print_), run_spec
    except (ResumeRefused, StoreError) as exc:
        raise UsageError(str(exc)) from None


def _run(
    store: RunStore,
    run: RunRecord,
    run_spec: RunSpec,
    args: argparse.Namespace,
    source: Any,
    service: Service,
    interrupts: Interrupts,
    executor: Any = None,
) -> list[MetricSummary]:
    from zentrix_gov.cli.running import UnitProgress, unreachable_check
    from zentrix_gov.runs.errors import RunError, UnitFailed
    from zentrix_gov.runs.runner import run_units

    planned = run_spec.planned
    progress = UnitProgress(store, run, planned, source.records, args.quiet)
    work = run_units(
        store,
        run,
        run_spec,
        source,
        planned,
        api_client=service.api_client,
        max_concurrency=args.max_concurrency if args.concurrent else 1,
        listener=progress,
        check=unreachable_check(service),
        executor=executor,
    )
    try:
        return asyncio.run(interrupts.run(progress.ticking(work)))
    except UnitFailed as exc:
        raise EvaluationFailed(unit_failure(exc)) from None
    except RunError as exc:  # e.g. a Ray cluster that cannot be reached or has no room
        raise EvaluationFailed(str(exc)) from None


def choose_executor(args: argparse.Namespace, names: list[str]) -> Any:
    """The Ray executor of ``--executor ray``; ``None`` for the local one."""
    if args.executor != "ray":
        given = [
            option
            for option, value in (
                ("--ray-address", args.ray_address),
                ("--ray-resources", args.ray_resources),
            )
            if value
        ]
        if given:
            raise UsageError(f"{' and '.join(given)} go with --executor ray")
        return None
    from functools import partial

    from zentrix_gov.cli.running import worker_setup
    from zentrix_gov.runs.ray_executor import RayExecutor, RayUnavailable, check_resources

    resources = dict(args.ray_resources or [])
    try:
        check_resources(resources, names)
        return RayExecutor(
            args.max_concurrency,
            address=args.ray_address,
            resources=resources,
            setup=partial(worker_setup, detection_timeout(args)),
            note=None if args.quiet else _note,
        )
    except (ValueError, RayUnavailable) as exc:
        raise UsageError(str(exc)) from None


def detection_timeout(args: argparse.Namespace) -> float:
    """--timeout of each request to the detection service (0: the HTTP library's own)."""
    from zentrix_gov.cli.parser import DEFAULT_TIMEOUT

    return DEFAULT_TIMEOUT if args.timeout is None else args.timeout


def _note(text: str) -> None:
    print(f"note: {text}", file=sys.stderr, flush=True)


def unit_failure(exc: Exception) -> str:
    """The error line of a unit that failed as a whole: the metric and the root cause."""
    from zentrix_gov.cli.libraries import explain
    from zentrix_gov.entities.errors import MetricComputationError

    cause = exc.__cause__
    if cause is None:
        return str(exc)  # the run's own finding, e.g. a service nobody could connect to
    if isinstance(cause, MetricComputationError):
        return f"metric {exc.metric!r} failed: {explain(cause.cause or cause)}"
    return f"metric {exc.metric!r} failed: {type(cause).__name__}: {explain(cause)}"


def _failed(store: RunStore, run: RunRecord, output: ResultsFiles | None, message: str) -> None:
    """The run stopped on a failure: say why in the store and, so that an earlier run's
    files cannot pass for this run's, in the results files."""
    from zentrix_gov.cli.report import write_export
    from zentrix_gov.runs.runner import now

    store.finish_run(run.id, "failed", now(), message)
    if output is not None:
        write_export(store, store.find_run(run.id), output)


def _report(
    store: RunStore,
    run: RunRecord,
    args: argparse.Namespace,
    output: ResultsFiles | None,
    summaries: list[MetricSummary],
    elapsed: float,
) -> int:
    from zentrix_gov.cli.report import write_export
    from zentrix_gov.cli.stored_runs import print_summary
    from zentrix_gov.runs.export import failure_text
    from zentrix_gov.runs.summary import coverage_failures

    run = store.find_run(run.id)
    print_summary(summaries, sys.stdout)
    if output is not None:
        write_export(store, run, output)
        if not args.quiet:
            print(f"wrote {output.shown} and {output.shown_csv}", file=sys.stderr)
    if not args.quiet:
        records = run.total_records
        print(
            f"{records} records, {len(summaries)} metrics in {elapsed:.1f}s; stored as run "
            f"{run.id} in {store.path} (list runs with: {PROG} runs)",
            file=sys.stderr,
            flush=True,
        )
    failure = failure_text(summaries)
    if failure:
        raise EvaluationFailed(failure)
    if args.min_coverage is not None:
        low = coverage_failures(summaries, args.min_coverage)
        if low:
            raise EvaluationFailed(f"coverage below {args.min_coverage:g}: " + "; ".join(low))
    return 0


def resume_command(store: RunStore, run_id: str) -> str:
    from zentrix_gov.runs.store import store_path

    default = store_path(None).resolve()
    where = "" if store.path.resolve() == default else f" --store {store.path}"
    return f"{PROG} evaluate --resume {run_id}{where}"


def resumed_arguments(
    run: RunRecord, given: argparse.Namespace
) -> tuple[argparse.Namespace, list[str]]:
    """The arguments ``run`` started with, with what ``given`` may set anew on a resume."""
    from zentrix_gov.cli.parser import build_parser

    parser = build_parser()
    defaults = parser.parse_args(["evaluate"])
    named = ["--" + name.replace("_", "-") for name in _DEFINING if _given(given, defaults, name)]
    if named:
        raise UsageError(
            f"--resume evaluates what run {run.id} started with: leave out "
            + ", ".join(name.replace("--records", "RECORDS") for name in named)
        )
    argv = list(run.definition.get("argv") or [])
    try:
        original = parser.parse_args(argv)
    except SystemExit:
        raise UsageError(f"run {run.id} was not started by the evaluate command") from None
    for name in RESUME_OVERRIDES:
        if _given(given, defaults, name):
            setattr(original, name, getattr(given, name))
    original.resume = run.id
    original.store = given.store
    return original, argv


def _given(args: argparse.Namespace, defaults: argparse.Namespace, name: str) -> bool:
    return getattr(args, name, None) != getattr(defaults, name, None)


def _absolute(argv: list[str], args: argparse.Namespace) -> list[str]:
    """``argv`` with the files it names made absolute, so a resume works from any folder."""
    files = {args.records, args.config, *(args.criteria or ())} - {None}
    return [str(Path(item).resolve()) if item in files else item for item in argv]
