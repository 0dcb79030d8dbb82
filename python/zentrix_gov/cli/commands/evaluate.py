"""``evaluate``: a stored run of metrics over a records file, or the rest of an unfinished one.

The library does the run (:mod:`zentrix_gov.runs`): it reads and checks the records, plans
the units, stores the run and its definition, evaluates and commits unit by unit. This
command turns the options into the library's objects (metrics, configuration, executor),
starts the services the plan needs (a local detection service or judge, the local model),
shows progress, prints the summary table, writes ``--output``, and maps the library's errors
to exit codes. ``--resume RUN_ID`` rebuilds the run from its stored definition, whoever
started it (this command or Python).
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, nullcontext
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.constants import DEFAULT_TIMEOUT, PROG
from zentrix_gov.cli.errors import EvaluationFailed, UsageError
from zentrix_gov.cli.evaluate_options import add_evaluate_parser
from zentrix_gov.cli.judging_options import JUDGING_OPTIONS
from zentrix_gov.cli.spend_options import STORED as SPEND_STORED
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation
    from zentrix_gov.cli.results_files import ResultsFiles
    from zentrix_gov.cli.running import UnitProgress
    from zentrix_gov.cli.service import Service
    from zentrix_gov.runs.plans import RunPlan
    from zentrix_gov.runs.store import RunRecord, RunStore

# After Ctrl-C, the seconds a run on Ray has to stop its workers and its local cluster.
RAY_GRACE_SECONDS = 10.0
# Options that define what a run computes: a resumed run keeps the ones it started with.
_DEFINING = ("records", "metrics", "criteria", "config", "rag_method", "chunk_size",
             *JUDGING_OPTIONS)  # fmt: skip
# How the run is done (its judge asked, its requests bounded, its units run, its gate): stored
# with the run, so that a resume does the same unless told otherwise.
_STORED_OPTIONS = (
    "judge",
    "judge_model",
    "judge_structured",
    "judge_max_tokens",
    "judge_rps",
    "timeout",
    "concurrent",
    "max_concurrency",
    "min_coverage",
    *SPEND_STORED,
    "jurors",
)


def register(commands: Any) -> None:
    add_evaluate_parser(commands).set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    from zentrix_gov.cli.results_files import check_output
    from zentrix_gov.cli.stores import open_store

    if args.estimate:
        return _estimate(args, invocation.argv)
    output = check_output(args.output)
    # The store is opened first: a store that cannot take the run fails before any request.
    with open_store(args.store, create=True) as store:
        if args.resume is not None:
            plan = _resumed(store, args)
        elif args.records is None:
            raise UsageError("name the records file to evaluate (or --resume RUN_ID)")
        else:
            plan = _planned(args, invocation.argv)
        return _execute(store, plan, args, output, invocation)


def _planned(args: argparse.Namespace, argv: Sequence[str]) -> RunPlan:
    """The plan of a new run: the metrics, configuration and records the options name."""
    from zentrix_gov import runs
    from zentrix_gov.cli.judge import apply_rag_method, check_judges, judge_url
    from zentrix_gov.cli.judging_options import judging_from, stored_jurors
    from zentrix_gov.cli.plan import build_metrics
    from zentrix_gov.cli.settings import load_settings
    from zentrix_gov.runs.errors import RunError

    settings = load_settings(args.config)
    metrics = build_metrics(args.metrics, settings, args.criteria)
    apply_rag_method(metrics, args.rag_method)
    check_judges(metrics, args)
    options = {name: getattr(args, name) for name in _STORED_OPTIONS}
    options["judge"] = judge_url(args)
    options["jurors"] = stored_jurors(args)
    try:
        return runs.plan_run(
            args.records,
            metrics,
            settings.configuration,
            chunk_size=args.chunk_size,
            options=options,
            command=[PROG, *_absolute(list(argv), args)],
            judging=judging_from(args),
        )
    except RunError as exc:  # the records, or the metrics' columns and extras
        raise UsageError(str(exc)) from None


def _estimate(args: argparse.Namespace, argv: Sequence[str]) -> int:
    """``--estimate``: what the run would ask its judge, without a request or a stored run."""
    from zentrix_gov.cli.spend_options import print_estimate

    if args.resume is not None or args.records is None:
        raise UsageError("--estimate plans a new run: name the records file (not --resume)")
    return print_estimate(_planned(args, argv), args, sys.stdout)


def _resumed(store: RunStore, args: argparse.Namespace) -> RunPlan:
    """The plan of the rest of a stored run, rebuilt from its definition; the judge is
    asked as the run started unless the options say otherwise."""
    from zentrix_gov import runs
    from zentrix_gov.cli.stores import find_run
    from zentrix_gov.runs.errors import RunError

    given = [name for name in _DEFINING if getattr(args, name, None)]
    if given:
        listed = ", ".join("RECORDS" if name == "records" else _option(name) for name in given)
        raise UsageError(f"--resume evaluates what the run started with: leave out {listed}")
    stored = find_run(store, args.resume)
    try:
        plan = runs.plan_resume(store, stored.id)
    except RunError as exc:
        raise UsageError(str(exc)) from None
    options = plan.blueprint.options
    for name in _STORED_OPTIONS:
        if getattr(args, name, None) in (None, False):
            setattr(args, name, options.get(name, getattr(args, name, None)))
    judge = (plan.resumed.definition.get("judge") if plan.resumed else None) or {}
    if plan.needs_judge() and args.judge is None:
        # A run started from Python names its judge by URL and model only (never its key).
        args.judge, args.judge_model = judge.get("url"), args.judge_model or judge.get("model")
        if args.judge is None:
            raise UsageError(
                f"run {stored.id} asks a judge this command cannot start again by itself: "
                "give --judge (and --judge-model)"
            )
    return plan


def _option(name: str) -> str:
    return "--" + name.replace("_", "-")


def _execute(
    store: RunStore,
    plan: RunPlan,
    args: argparse.Namespace,
    output: ResultsFiles | None,
    invocation: Invocation,
) -> int:
    from zentrix_gov import runs
    from zentrix_gov.cli.running import UnitProgress, unreachable_check
    from zentrix_gov.cli.spend_options import check_spend_options, run_spend
    from zentrix_gov.cli.trace_options import command_tracing
    from zentrix_gov.cli.verdict_progress import verdict_count
    from zentrix_gov.runs.errors import RunError, UnitFailed
    from zentrix_gov.runs.usage import BudgetStopped

    check_spend_options(args)
    interrupts = invocation.interrupts
    args.max_concurrency = args.max_concurrency or DEFAULT_MAX_CONCURRENCY
    executor = choose_executor(args, [entry.name for entry in plan.planned])
    if executor is not None:
        interrupts.grace_seconds = RAY_GRACE_SECONDS

    def started(run: RunRecord) -> None:
        interrupts.note = f"resume with: {resume_command(store, run.id)}"

    progress = UnitProgress(args.quiet, on_start=started)
    began = time.perf_counter()
    with command_tracing(args) as tracing, _services(args, plan) as (judge, jurors, service):
        details = {"detection_service": service.described(), "cwd": str(Path.cwd())}
        progress.verdicts = verdict_count(plan.planned, plan.blueprint.judging, len(jurors),
                                          [judge, *jurors])  # fmt: skip
        work = runs.execute(
            plan,
            store,
            api_client=service.api_client,
            judge=judge,
            executor=executor,
            listener=progress,
            check=unreachable_check(service),
            details=details,
            spend=run_spend(args, judge),
            jurors=jurors,
            tracing=tracing,
        )
        try:
            run = asyncio.run(interrupts.run(progress.ticking(work)))
        except BudgetStopped as exc:
            # Stopped cleanly: the finished units are stored; the rest waits for a resume.
            again = f"{resume_command(store, exc.run_id)} --budget-usd Y (or --budget-tokens N)"
            raise EvaluationFailed(f"{exc}; resume with: {again}") from None
        except RunError as exc:
            if progress.run is None:  # refused before it started (resume, ownership)
                raise UsageError(str(exc)) from None
            _failed(store, progress, output)
            # A unit that failed as a whole is named with its root cause; other failures
            # (a Ray cluster that cannot be reached or has no room) as they are.
            message = unit_failure(exc) if isinstance(exc, UnitFailed) else str(exc)
            raise EvaluationFailed(message) from None
    return _report(store, run, args, output, time.perf_counter() - began)


@contextmanager
def _services(args: argparse.Namespace, plan: RunPlan) -> Iterator[tuple[Any, list, Service]]:
    """The judge (and a jury's jurors) and the detection service, each started only when a
    metric needs it."""
    from zentrix_gov.cli.judge import check_judge_installed, quiet_progress_bars
    from zentrix_gov.cli.judging_options import open_jury
    from zentrix_gov.cli.libraries import library_prints
    from zentrix_gov.cli.running import request_timeout
    from zentrix_gov.cli.service import Service, open_service

    if plan.needs_judge():
        check_judge_installed(args)  # before any service starts
    judge = open_jury(args, args.quiet) if plan.needs_judge() else nullcontext((None, []))
    detection = (
        open_service(args.quiet)
        if plan.needs_detection()
        else nullcontext(Service(None, None, local=False))
    )
    with (
        library_prints(args.quiet),
        quiet_progress_bars(args.quiet),
        judge as (opened_judge, jurors),
        detection as service,
        request_timeout(detection_timeout(args)),
    ):
        yield opened_judge, jurors, service


def choose_executor(args: argparse.Namespace, names: list[str]) -> Any:
    """The Ray executor of ``--executor ray``; ``None`` for the local one (of
    ``--max-concurrency`` units with ``--concurrent``, else one)."""
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
        from zentrix_gov.runs.executor import LocalExecutor

        return LocalExecutor(args.max_concurrency if args.concurrent else 1)
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
    metric = getattr(exc, "metric", "?")
    if isinstance(cause, MetricComputationError):
        return f"metric {metric!r} failed: {explain(cause.cause or cause)}"
    return f"metric {metric!r} failed: {type(cause).__name__}: {explain(cause)}"


def _failed(store: RunStore, progress: UnitProgress, output: ResultsFiles | None) -> None:
    """The run stopped on a failure (the store says so): the results files say it too, so
    that an earlier run's files cannot pass for this run's."""
    from zentrix_gov.cli.results_files import write_export

    if output is not None and progress.run is not None:
        write_export(store, store.find_run(progress.run.id), output)


def _report(
    store: RunStore,
    run: RunRecord,
    args: argparse.Namespace,
    output: ResultsFiles | None,
    elapsed: float,
) -> int:
    from zentrix_gov.cli.results_files import write_export
    from zentrix_gov.cli.spend_options import print_spend_notes
    from zentrix_gov.cli.tables import print_summary
    from zentrix_gov.runs.export import failure_text
    from zentrix_gov.runs.summary import coverage_failures, summarize

    summaries = summarize(store, run)
    print_summary(summaries, sys.stdout)
    print_spend_notes(store, run)
    if output is not None:
        write_export(store, run, output)
        if not args.quiet:
            print(f"wrote {output.shown} and {output.shown_csv}", file=sys.stderr)
    if not args.quiet:
        print(
            f"{run.total_records} records, {len(summaries)} metrics in {elapsed:.1f}s; stored "
            f"as run {run.id} in {store.path} (list runs with: {PROG} runs)",
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


def _absolute(argv: list[str], args: argparse.Namespace) -> list[str]:
    """``argv`` with the files it names made absolute, as the run stores its records file."""
    files = {args.records, args.config, *(args.criteria or ())} - {None}
    return [str(Path(item).resolve()) if item in files else item for item in argv]
