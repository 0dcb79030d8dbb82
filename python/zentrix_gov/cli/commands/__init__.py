"""The commands of the command line, one module each.

Every module has ``register(commands)``, which adds its parser to the command line's
sub-parsers and sets its handler (``parser.set_defaults(handler=run)``), and
``run(args, invocation)``, which does the command and returns the exit code. A handler opens
what it needs, calls the library once, and turns the library's errors into exit codes
(``UsageError``: 2, ``EvaluationFailed``: 1).
"""

from zentrix_gov.cli.commands import (
    evaluate,
    judge_service,
    metrics,
    model_server,
    report,
    risk,
    runs,
)

# In the order the program's help lists them.
COMMANDS = (evaluate, metrics, runs, report, judge_service, model_server, risk)
