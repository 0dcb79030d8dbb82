"""The command line: evaluate metrics over a file of records, or a model's risks.

    python -m zentrix_gov evaluate records.jsonl --metrics hap,pii,faithfulness \\
        --config columns.json --output build/results.json
    python -m zentrix_gov risk --model examples.rule_based_model:answer --report r.pdf

``--criteria FILE`` adds criteria of the user's own, judged by the LLM of ``--judge``;
``metrics`` lists the metrics, ``judge-service`` runs the local judge & platform stand-in,
``model-server`` serves the local model (the ``local-model`` extra).

Progress goes to standard error, the summary table to standard output. Every problem ends
with one ``error: ...`` line on standard error: exit code 2 for mistakes in the command,
the configuration or the records file, 1 when the evaluation itself fails, 130 when
interrupted.

The modules follow the steps of a run:

- ``parser`` (arguments) with ``argtypes`` (checked option values), ``errors`` (exit
  codes, one-line errors) and ``interrupts`` (Ctrl-C);
- ``settings`` (the --config file), ``records`` (the records file), ``plan`` (metrics and
  the records each one reads);
- ``service`` (the detection service), ``judge`` (the judge of --judge, --rag-method),
  ``local_services`` (the local services a run starts, each with a random token);
- ``running`` (evaluating), ``report`` (table and files);
- ``risk`` (the risk command) with ``risk_platform`` (a local platform for
  --platform-model) and ``risk_table`` (its summary table);
- ``judge_service`` (the judge-service command), ``model_server`` (the model-server
  command).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time
from collections.abc import Sequence
from contextlib import suppress

from zentrix_gov.cli.errors import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_USAGE,
    EvaluationFailed,
    UsageError,
    error_line,
)
from zentrix_gov.cli.interrupts import Interrupts
from zentrix_gov.cli.parser import PROG, build_parser

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "main", "run_evaluate"]


# Models and catalogs come from installed packages: never reach a model hub at run time.
# litellm would otherwise fetch its model cost map (and, in recent releases, other tables)
# when imported; its packaged copies serve.
OFFLINE_ENVIRONMENT = {
    "HF_HUB_OFFLINE": "1",
    "UNITXT_USE_ONLY_LOCAL_CATALOGS": "True",
    "LITELLM_LOCAL_MODEL_COST_MAP": "True",
    "LITELLM_OFFLINE_MODE": "true",
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    for variable, value in OFFLINE_ENVIRONMENT.items():
        os.environ.setdefault(variable, value)
    interrupts = Interrupts()
    interrupts.install()
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, or a mistake argparse has reported
            return exc.code if isinstance(exc.code, int) else EXIT_USAGE
        if args.command == "evaluate":
            return run_evaluate(args, interrupts)
        if args.command == "risk":
            from zentrix_gov.cli.risk import run_risk

            return run_risk(args)
        if args.command == "metrics":
            from zentrix_gov.cli.plan import print_metric_list

            print_metric_list(sys.stdout)
            return EXIT_OK
        if args.command == "judge-service":
            from zentrix_gov.cli import judge_service

            return judge_service.run(args, interrupts)
        if args.command == "model-server":
            from zentrix_gov.cli import model_server

            return model_server.run(args, interrupts)
        return _fail(
            EXIT_USAGE,
            "name a command: 'evaluate' (evaluate metrics over a file of records), "
            "'risk' (evaluate a model's risks), 'metrics' (list the metrics), "
            "'judge-service' (run the local judge service) or 'model-server' (serve the local "
            f"model); see {PROG} --help",
        )
    except UsageError as exc:
        return _fail(EXIT_USAGE, str(exc))
    except EvaluationFailed as exc:
        return _fail(EXIT_FAILED, str(exc))
    except KeyboardInterrupt:
        interrupts.announce()
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (``... | head``): nothing more to say.
        with suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as exc:  # the user gets one line, never a traceback
        from zentrix_gov.cli.libraries import explain

        return _fail(EXIT_FAILED, f"unexpected failure: {type(exc).__name__}: {explain(exc)}")
    finally:
        interrupts.uninstall()


def _fail(code: int, message: str) -> int:
    print(error_line(message), file=sys.stderr, flush=True)
    return code


def run_evaluate(args: argparse.Namespace, interrupts: Interrupts | None = None) -> int:
    from zentrix_gov.cli.judge import (
        apply_rag_method,
        check_judges,
        open_judge,
        quiet_progress_bars,
    )
    from zentrix_gov.cli.libraries import library_prints
    from zentrix_gov.cli.plan import build_metrics, plan_runs
    from zentrix_gov.cli.records import prepare_records, read_records
    from zentrix_gov.cli.report import (
        check_output,
        failed_metrics_message,
        print_table,
        write_outputs,
    )
    from zentrix_gov.cli.running import Progress, request_timeout, run_metrics
    from zentrix_gov.cli.service import open_service
    from zentrix_gov.cli.settings import load_settings

    interrupts = interrupts or Interrupts()
    output = check_output(args.output)
    settings = load_settings(args.config)
    metrics = build_metrics(args.metrics, settings, args.criteria)
    apply_rag_method(metrics, args.rag_method)
    check_judges(metrics, args)
    configuration = settings.configuration
    frame = read_records(args.records)
    file_columns = [str(column) for column in frame.columns]
    frame = prepare_records(frame, configuration)
    runs = plan_runs(metrics, frame, configuration, args.records, file_columns)
    progress = Progress(runs, len(frame), args.quiet)
    started = time.perf_counter()
    with (
        library_prints(args.quiet),
        quiet_progress_bars(args.quiet),
        open_judge(args, args.quiet) as judge,
        open_service(args.quiet) as service,
        request_timeout(args.timeout),
    ):
        if judge is not None:
            configuration.llm_judge = judge
        work = run_metrics(
            runs,
            frame,
            configuration,
            service,
            progress,
            args.max_concurrency if args.concurrent else None,
        )
        try:
            asyncio.run(interrupts.run(work))
        except EvaluationFailed as exc:
            if output is not None:
                # What an earlier run left at --output must not pass for this run's results.
                write_outputs(output, runs, frame, args.records, service, configuration, str(exc))
            raise
    elapsed = time.perf_counter() - started

    failure = failed_metrics_message(runs)
    print_table(runs, len(frame), sys.stdout)
    if output is not None:
        write_outputs(output, runs, frame, args.records, service, configuration, failure)
        if not args.quiet:
            print(f"wrote {output.shown} and {output.shown_csv}", file=sys.stderr)
    if not args.quiet:
        print(
            f"{len(frame)} records, {len(runs)} metrics in {elapsed:.1f}s",
            file=sys.stderr,
            flush=True,
        )
    if failure:
        raise EvaluationFailed(failure)
    return EXIT_OK
