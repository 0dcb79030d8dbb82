"""The command line: evaluate metrics over a file of records, or a model's risks.

    python -m zentrix_gov evaluate records.jsonl --metrics hap,pii,faithfulness \\
        --config columns.json --output build/results.json
    python -m zentrix_gov risk --model examples.rule_based_model:answer --report r.pdf

``--criteria FILE`` adds criteria of the user's own, judged by the LLM of ``--judge``;
every evaluation is a stored run (``--resume RUN_ID`` finishes an interrupted one, ``runs``
lists, shows, exports and compares them, ``report`` writes one as an HTML page);
``metrics`` lists the metrics, ``judge-service`` runs the local judge & platform stand-in,
``model-server`` serves the local model (the ``local-model`` extra).

Progress goes to standard error, the summary table to standard output. Every problem ends
with one ``error: ...`` line on standard error: exit code 2 for mistakes in the command,
the configuration or the records file, 1 when the evaluation itself fails, 130 when
interrupted.

The modules follow the steps of a run:

- ``parser`` (arguments) with ``argtypes`` (checked option values), ``errors`` (exit
  codes, one-line errors), ``libraries`` (the libraries' prints and errors, read as one
  line) and ``interrupts`` (Ctrl-C, SIGTERM);
- ``evaluate`` (a stored run, from start or resumed), ``settings`` (the --config file),
  ``records`` (the records file and the columns each metric reads), ``plan`` (the metrics
  of --metrics and --criteria);
- ``service`` (the detection service), ``judge`` (the judge of --judge, --rag-method),
  ``local_services`` (the local services a run starts, each with a random token);
- ``running`` (progress, time-outs, an unreachable service), ``report`` (the results
  files), ``outputs`` (where files may be written), ``stored_runs`` (the runs command, the
  summary table), ``reports`` (the report command and ``runs compare``);
- ``risk`` (the risk command) with ``risk_platform`` (a local platform for
  --platform-model) and ``risk_table`` (its summary table);
- ``judge_service`` (the judge-service command), ``model_server`` (the model-server
  command).
"""

from __future__ import annotations

import argparse
import os
import sys
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
            return run_evaluate(args, interrupts, list(sys.argv[1:] if argv is None else argv))
        if args.command == "runs":
            from zentrix_gov.cli import stored_runs

            return stored_runs.run(args)
        if args.command == "report":
            from zentrix_gov.cli.reports import run_report

            return run_report(args)
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
            "'runs' (list, show, export or compare stored runs), 'report' (a stored run as "
            "an HTML page), 'risk' (evaluate a model's risks), 'metrics' (list the metrics), "
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


def run_evaluate(
    args: argparse.Namespace, interrupts: Interrupts | None = None, argv: Sequence[str] = ()
) -> int:
    """The ``evaluate`` command (see :mod:`zentrix_gov.cli.evaluate`)."""
    from zentrix_gov.cli.evaluate import run_evaluate as evaluate

    return evaluate(args, interrupts, argv)
