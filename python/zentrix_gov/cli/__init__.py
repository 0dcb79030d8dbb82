"""The command line: evaluate metrics over a file of records, or a model's risks.

    python -m zentrix_gov evaluate records.jsonl --metrics hap,pii,faithfulness \\
        --config columns.json --output build/results.json
    python -m zentrix_gov risk --model examples.rule_based_model:answer --report r.pdf

Every command is a module of :mod:`zentrix_gov.cli.commands` that registers its parser and
handler; a handler opens what it needs, calls the library, and turns the library's errors
into exit codes. Progress goes to standard error, tables to standard output. Every problem
ends with one ``error: ...`` line on standard error: exit code 2 for mistakes in the
command, the configuration or the records file, 1 when the evaluation itself fails, 130
when interrupted.

Modules besides the commands: ``parser`` (the program's parser) and ``evaluate_options``,
``argtypes`` (checked option values), ``errors`` (exit codes, one-line errors),
``constants``, ``libraries`` (the libraries' prints and errors, read as one line),
``interrupts`` (Ctrl-C, SIGTERM), ``settings`` (the --config file), ``plan`` (the metrics
of --metrics and --criteria), ``service`` (the detection service), ``judge`` (the judge of
--judge, --rag-method), ``local_services`` (the local services a run starts, each with a
random token), ``running`` (progress, time-outs, an unreachable service),
``results_files`` (the --output files), ``outputs`` (where files may be written),
``stores`` and ``tables`` (the run store and the tables the commands print), and the risk
command's ``risk_models``, ``risk_platform`` and ``risk_table``.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from contextlib import suppress
from dataclasses import dataclass, field

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

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "Invocation", "main"]


@dataclass
class Invocation:
    """What a command's handler gets besides its options: the process's Ctrl-C handling
    and the arguments as given (a run stores them)."""

    interrupts: Interrupts
    argv: list[str] = field(default_factory=list)


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
        from zentrix_gov.cli.constants import PROG
        from zentrix_gov.cli.parser import build_parser

        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, or a mistake argparse has reported
            return exc.code if isinstance(exc.code, int) else EXIT_USAGE
        handler = getattr(args, "handler", None)
        if handler is None:
            return _fail(
                EXIT_USAGE,
                "name a command: 'evaluate' (evaluate metrics over a file of records), "
                "'runs' (list, show, export or compare stored runs), 'report' (a stored run as "
                "an HTML page), 'risk' (evaluate a model's risks), 'metrics' (list the "
                "metrics), 'judge-service' (run the local judge service) or 'model-server' "
                f"(serve the local model); see {PROG} --help",
            )
        given = list(sys.argv[1:] if argv is None else argv)
        return handler(args, Invocation(interrupts, given))
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
