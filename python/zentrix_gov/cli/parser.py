"""The command line's parser: the program's help, and every command's parser, each added by
its own module (:mod:`zentrix_gov.cli.commands`)."""

from __future__ import annotations

import argparse
from typing import NoReturn

from zentrix_gov.cli.constants import PROG
from zentrix_gov.cli.errors import EXIT_USAGE

DESCRIPTION = """\
Evaluate generative-AI applications: metrics over a file of records (evaluate) and a
model's risks on built-in benchmarks (risk). The metrics are detector metrics (HAP, PII,
keywords, faithfulness, tool-call accuracy, ...), the template library's RAG metrics
(rag_faithfulness, ..., answer_correctness) and criteria of your own judged by an LLM
(--criteria). Every evaluation is stored as a run: 'runs' lists, shows, exports and
compares runs, 'report' writes one as a self-contained HTML page. Each command's --help
says more.

Without ZNG_API_KEY and ZNG_SERVICE_INSTANCE_ID in the environment, detector metrics are
evaluated by a built-in local detection service started on 127.0.0.1 for the run. With
them, the governance service named by ZNG_URL (and ZNG_VERSION for a self-hosted service)
is used. Judges are OpenAI-compatible endpoints (--judge URL), a local judge service
started for the run (--judge local), or the local model (--judge local-model, with the
local-model extra; model-server serves it on its own)."""


class _Parser(argparse.ArgumentParser):
    """An argument parser that reports mistakes in one ``error:`` line."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    from zentrix_gov.cli.commands import COMMANDS

    parser = _Parser(
        prog=PROG,
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    for command in COMMANDS:
        command.register(commands)
    return parser
