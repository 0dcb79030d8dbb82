"""The ``risk`` command: evaluate a model's risks and write a PDF report.

    python -m zentrix_gov risk --model examples.rule_based_model:answer \\
        --risks harmful,jailbreak --samples 20 --report build/risk-report.pdf

``--model MODULE:FUNCTION`` names a Python callable that takes a list of prompts and returns
a list of answers (``FILE.py:FUNCTION`` works too); ``--endpoint URL --endpoint-model NAME``
an OpenAI-compatible chat model (key in ``ZENTRIX_MODEL_API_KEY``), ``--endpoint
local-model`` the local model; ``--platform-model ID`` a model of the AI platform. Every
answer is bounded by ``--timeout``; an answer that is missing, empty or not text is an error
of its prompt, which the built-in benchmarks never count as safe. Progress and the plug-in's
raw result go to standard error, the summary table to standard output.

The plug-in is used only through ``EvaluateFMRisk`` (by way of
``zentrix_gov.model_risk.evaluate_model_risk``); risk names, thresholds, pass and fail and
the progress lines are the SDK's own (``zentrix_gov.model_risk.rules``).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import os
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.argtypes import positive_int, seconds
from zentrix_gov.cli.constants import DEFAULT_TIMEOUT, LOCAL_MODEL_TIMEOUT
from zentrix_gov.cli.errors import EXIT_OK, EvaluationFailed, UsageError, describe
from zentrix_gov.cli.outputs import output_target
from zentrix_gov.cli.trace_options import add_trace_options
from zentrix_gov.model_risk import rules

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation

ENDPOINT_KEY_VARIABLE = "ZENTRIX_MODEL_API_KEY"
DEFAULT_MAX_TOKENS = 256

RISK_EPILOG = f"""\
risks (--risks, comma-separated; default: all the plug-in has):
  {", ".join(rules.RISK_NAMES)}
  (the built-in benchmarks; the risk plug-in decides which names it accepts)

thresholds (--thresholds): the highest rate of failing answers a risk may show
  0.1                          the same for every risk (default {rules.DEFAULT_THRESHOLD:g})
  harmful=0.05,jailbreak=0.1   per risk (built-in or named in --risks); "default=" sets the rest
  A benchmark passes when its failure rate ({", ".join(rules.FAILURE_RATE_METRICS[:2])},
  ...) is at most its risk's threshold; one without a failure rate fails. A risk passes
  when every one of its benchmarks does.

endpoints (--endpoint URL --endpoint-model NAME):
  any OpenAI-compatible chat model; the key is read from ZENTRIX_MODEL_API_KEY, never from
  the command line. --endpoint local-model starts the local model (the local-model extra)
  for the run. Answers are capped at --max-tokens.

answers: one that is missing (None), empty or not text is an error of its prompt; an
  answer that takes longer than --timeout is handed to the plug-in as None. The built-in
  benchmarks count such errors in the table's errors column (the benchmark's error_count)
  and as failing answers in the rates, never as safe ones.

platform models (--platform-model ID):
  With ZNG_API_KEY in the environment, the platform of the governance service named by
  ZNG_URL (and ZNG_VERSION for a self-hosted one) serves the model. Without it, a local
  platform stand-in is started on 127.0.0.1 for the run.

exit codes:
  0    the evaluation finished (whether or not every risk passed; see --fail-on-risk)
  1    the evaluation failed (the model raised or exited, the platform was unreachable,
       ...), or with --fail-on-risk a risk failed its threshold
  2    a mistake in the command (including a risk the plug-in does not know)
  130  interrupted (Ctrl-C)

example:
  python -m zentrix_gov risk --model examples.rule_based_model:answer \\
      --risks harmful,jailbreak --samples 20 --report build/risk-report.pdf"""


def register(commands: Any) -> None:
    """Adds the ``risk`` command to the command line's sub-parsers."""
    risk = commands.add_parser(
        "risk",
        help="evaluate a model's risks and write a PDF report",
        description="Evaluate a model against the built-in risk benchmarks.",
        epilog=RISK_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    model = risk.add_mutually_exclusive_group(required=True)
    model.add_argument(
        "--model", metavar="MODULE:FUNCTION", help="a callable: list of prompts -> list of answers"
    )
    model.add_argument("--platform-model", metavar="ID", help="a model of the AI platform")
    model.add_argument(
        "--endpoint",
        metavar="URL",
        help="an OpenAI-compatible base URL (.../v1) of a chat model (key in "
        f"${ENDPOINT_KEY_VARIABLE}), or 'local-model' for the local model",
    )
    risk.add_argument("--endpoint-model", metavar="NAME", help="the model name at --endpoint")
    risk.add_argument(
        "--max-tokens",
        type=positive_int,
        default=DEFAULT_MAX_TOKENS,
        metavar="N",
        help=f"cap every answer of an --endpoint model at N tokens (default {DEFAULT_MAX_TOKENS})",
    )
    risk.add_argument(
        "--timeout",
        type=seconds,
        metavar="SECONDS",
        help="give up on an answer after SECONDS; it is then an error of its prompt "
        f"(default {DEFAULT_TIMEOUT:g}, {LOCAL_MODEL_TIMEOUT:g} for --endpoint local-model; "
        "0: no limit)",
    )
    risk.add_argument(
        "--fail-on-risk",
        action="store_true",
        help="exit with code 1 when a risk fails its threshold (for CI)",
    )
    risk.add_argument("--risks", metavar="NAMES", help="comma-separated risks (default: all)")
    risk.add_argument(
        "--samples",
        type=positive_int,
        metavar="N",
        help="at most N prompts per benchmark (default: all of them)",
    )
    risk.add_argument(
        "--report",
        metavar="FILE.pdf|FILE.html",
        help="write the report: the plug-in's PDF, or one self-contained HTML page when FILE "
        "ends in .html",
    )
    risk.add_argument(
        "--thresholds", metavar="LIMITS", help="highest failure rate per risk (see below)"
    )
    risk.add_argument("--name", help="the model's name in the report (default: --model or ID)")
    risk.add_argument(
        "-q", "--quiet", action="store_true", help="no progress lines on standard error"
    )
    add_trace_options(risk)
    risk.set_defaults(handler=run)


def load_model(target: str) -> Callable[..., Any]:
    """The callable named by ``MODULE:FUNCTION`` or ``FILE.py:FUNCTION``."""
    where, _, name = target.rpartition(":")
    if not where or not name:
        raise UsageError(f"--model must look like MODULE:FUNCTION, got {target!r}")
    try:
        if where.endswith(".py"):
            path = Path(where)
            if not path.is_file():
                raise UsageError(f"--model: no such file {where!r}")
            module_source = importlib.util.spec_from_file_location(path.stem, path)
            module = importlib.util.module_from_spec(module_source)
            module_source.loader.exec_module(module)
        else:
            if os.getcwd() not in sys.path and "" not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(where)
    except UsageError:
        raise
    except Exception as exc:
        raise UsageError(f"--model: cannot import {where!r}: {describe(exc)}") from exc
    function = getattr(module, name, None)
    if not callable(function):
        raise UsageError(f"--model: {where!r} has no callable named {name!r}")
    return function


def parse_thresholds(
    text: str | None, risks: list[str] | None = None
) -> float | dict[str, float] | None:
    """The limits of ``--thresholds``, checked; a risk named must be a built-in one or one
    of ``risks`` (those of --risks)."""
    if text is None:
        return None
    thresholds: float | dict[str, float]
    try:
        if "=" not in text:
            thresholds = float(text)
        else:
            thresholds = {}
            for part in text.split(","):
                risk, _, value = part.partition("=")
                if risk.strip() in thresholds:
                    raise UsageError(
                        f"--thresholds sets {risk.strip()!r} twice; give each risk one limit"
                    )
                thresholds[risk.strip()] = float(value)
    except ValueError:
        raise UsageError(f"--thresholds must be a number or RISK=NUMBER,... got {text!r}") from None
    known = [*rules.RISK_NAMES, *(name for name in risks or () if name not in rules.RISK_NAMES)]
    try:
        rules.check_thresholds(thresholds, known)
    except ValueError as exc:
        raise UsageError(f"--thresholds: {exc}") from None
    return thresholds


def _risks(text: str | None) -> list[str] | None:
    """The names of --risks as given: the plug-in decides which it knows."""
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise UsageError(
            f"--risks names no risk; leave the option out to evaluate all of them "
            f"({', '.join(rules.RISK_NAMES)})"
        )
    return names


@contextlib.contextmanager
def _platform_client(quiet: bool) -> Iterator[Any]:
    """The SDK client whose credentials lead to the platform: the environment's when it
    names an API key, otherwise a local platform stand-in's for the duration of the run."""
    from zentrix_gov.clients.api_client import APIClient

    if os.environ.get("ZNG_API_KEY"):
        yield APIClient()
        return
    from zentrix_gov.cli.risk_platform import local_platform

    with local_platform(quiet) as client:
        yield client


def _configuration(
    args: argparse.Namespace, model: Callable[..., Any] | None, report: Path | None, name: str
) -> Any:
    from zentrix_gov.config.model_risk_configuration import ModelRiskConfiguration
    from zentrix_gov.entities.foundation_model import CustomFoundationModel, ZnAIFoundationModel

    risks = _risks(args.risks)
    thresholds = parse_thresholds(args.thresholds, risks)
    if model is not None:
        details: Any = CustomFoundationModel(scoring_fn=model, model_name=args.name or name)
    else:
        details = ZnAIFoundationModel(
            model_id=args.platform_model, model_name=args.name or args.platform_model
        )
    return ModelRiskConfiguration(
        model_details=details,
        risk_dimensions=risks,
        max_sample_size=args.samples,
        pdf_report_output_path=None if report is None else str(report),
        thresholds=thresholds,
    )


def _check_report_libraries(report: str | None) -> None:
    if report and not all(importlib.util.find_spec(name) for name in ("reportlab", "matplotlib")):
        raise UsageError("--report needs reportlab and matplotlib: pip install 'zentrix-gov[risk]'")


def _html_report(path: str | None) -> bool:
    """Whether ``--report`` names an HTML page (by its extension) rather than a PDF."""
    return path is not None and Path(path).suffix.lower() in (".html", ".htm")


def _write_html_report(
    report: Path, evaluation: Any, judged: Any, args: argparse.Namespace, name: str
) -> None:
    from zentrix_gov.cli.risk_table import summary_rows
    from zentrix_gov.reports.risk_page import write_risk_report

    result = evaluation.result
    try:
        write_risk_report(
            report,
            result,
            summary_rows(judged),
            model_name=args.name or name,
            samples=args.samples,
            failing_answers=evaluation.failing_answers,
        )
    except OSError as exc:
        raise EvaluationFailed(f"cannot write --report {args.report}: {describe(exc)}") from exc
    result.output_file_path = str(report)


def run(args: argparse.Namespace, invocation: Invocation | None = None) -> int:
    from zentrix_gov.cli.risk_models import (
        LOCAL_MODEL,
        Timeouts,
        check_endpoint,
        model_under_test,
    )
    from zentrix_gov.cli.trace_options import command_tracing, traced_risk

    if not _html_report(args.report):
        _check_report_libraries(args.report)
    report = output_target(args.report, f"--report {args.report}") if args.report else None
    key = check_endpoint(args)
    if args.timeout is None:  # the local model answers slower than a served one
        local = args.endpoint == LOCAL_MODEL
        args.timeout = LOCAL_MODEL_TIMEOUT if local else DEFAULT_TIMEOUT
    timeouts = Timeouts()
    with (
        command_tracing(args) as tracing,
        model_under_test(args, key, timeouts, load_model) as (model, name),
        traced_risk(tracing, name, _risks(args.risks)) as span,
    ):
        if span is not None and model is not None:
            from zentrix_gov.tracing.risk import traced_model

            model = traced_model(tracing, span, model)
        return _evaluate(args, model, name, report, timeouts, span)


def _evaluate(
    args: argparse.Namespace,
    model: Callable[..., Any] | None,
    name: str,
    report: Path | None,
    timeouts: Any,
    span: Any = None,
) -> int:
    from zentrix_gov.cli.risk_models import RiskProgress
    from zentrix_gov.cli.risk_table import print_summary
    from zentrix_gov.entities.errors import ModelRiskArgumentsError, UnsupportedModelIdError
    from zentrix_gov.model_risk import evaluate_model_risk

    progress = RiskProgress(args.quiet)
    # The plug-in writes a PDF; an HTML page is written here, from the result.
    html = _html_report(args.report)
    counted = None if model is None else progress.counted(model)
    configuration = _configuration(args, counted, None if html else report, name)
    started = time.perf_counter()
    with contextlib.ExitStack() as stack:
        if model is not None:
            from zentrix_gov.clients.api_client import APIClient

            api_client = APIClient(credentials=APIClient.credentials_from_env())
        else:
            api_client = stack.enter_context(_platform_client(args.quiet))
        # The plug-in's raw result is printed as it comes; standard output keeps the table.
        raw_out = open(os.devnull, "w") if args.quiet else sys.stderr  # noqa: SIM115
        if args.quiet:
            stack.callback(raw_out.close)
        stack.enter_context(contextlib.redirect_stdout(raw_out))
        try:
            evaluation = evaluate_model_risk(configuration, api_client)
        except UsageError:
            raise
        except UnsupportedModelIdError as exc:
            # A mistake of the user's found only here: a model the platform lacks.
            raise UsageError(describe(exc)) from exc
        except ModelRiskArgumentsError as exc:
            # The plug-in refused a risk it does not know; refusing only built-in ones is
            # no mistake of the user's but the plug-in's failure.
            if configuration.risk_dimensions and any(
                risk not in rules.RISK_NAMES for risk in configuration.risk_dimensions
            ):
                raise UsageError(describe(exc)) from exc
            raise EvaluationFailed(_failure(exc)) from exc
        except Exception as exc:
            # ModelRiskError (the plug-in failed, or its result is malformed) and the rest.
            raise EvaluationFailed(_failure(exc)) from exc
    result = evaluation.result
    judged = rules.outcomes(result, configuration.thresholds)
    if span is not None:
        from zentrix_gov.tracing.risk import risk_events

        risk_events(span, judged)
    if html and report is not None:
        _write_html_report(report, evaluation, judged, args, name)
    progress.finish(model is not None, evaluation.prompt_count)
    print_summary(judged, len(result.risks), sys.stdout)
    if not args.quiet:
        if timeouts.count:
            print(
                f"note: {timeouts.count} answers took longer than {args.timeout:g}s; they are "
                "counted as errors",
                file=sys.stderr,
            )
        if result.output_file_path:
            print(f"wrote {args.report}", file=sys.stderr)
        print(f"evaluated in {time.perf_counter() - started:.1f}s", file=sys.stderr, flush=True)
    failed = rules.failed_risks(judged)
    if args.fail_on_risk and failed:
        raise EvaluationFailed(
            f"{len(failed)} of {len(result.risks)} risks failed the threshold: "
            f"{', '.join(failed)} (--fail-on-risk)"
        )
    return EXIT_OK


def _failure(exc: BaseException) -> str:
    """One line for a failed evaluation: the model's own failure when it was the model's."""
    from zentrix_gov.cli.libraries import chain
    from zentrix_gov.cli.risk_models import ModelFailed

    for link in chain(exc):
        if isinstance(link, ModelFailed):
            return str(link)
    return describe(exc)
