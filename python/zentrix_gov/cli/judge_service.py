"""``python -m zentrix_gov judge-service``: run the local judge & platform stand-in.

It prints the base URL on standard output (the bearer token on standard error when none
was given) and serves until Ctrl-C, which ends it with exit code 0.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import Any

from zentrix_gov.cli.errors import EXIT_OK, UsageError

HELP = "run the local judge & platform stand-in service until Ctrl-C"
EPILOG = """\
routes (every one needs "Authorization: Bearer TOKEN"):
  POST /v1/chat/completions, POST /v1/completions, GET /v1/models   OpenAI-compatible
  GET  /v1/foundation_model_specs[?model_id=ID]                     the model listing
  POST /v1/text/generation                                          text generation

OpenAI clients take URL/v1 as their base URL."""


def add_parser(commands: Any) -> None:
    """Add the ``judge-service`` command to the command line's sub-parsers."""
    parser = commands.add_parser(
        "judge-service",
        help=HELP,
        description="Serve the local judge & platform stand-in on 127.0.0.1 until Ctrl-C.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--port", type=_port, default=0, metavar="N", help="port to bind (default: any free port)"
    )
    parser.add_argument(
        "--token",
        metavar="T",
        help="accepted bearer token (default: a random one, printed on standard error)",
    )


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a port number, got {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, got {value}")
    return value


def run(args: argparse.Namespace, interrupts: Any) -> int:
    """Serve until interrupted; returns the exit code."""
    from zentrix_gov.local.judge import JudgeServer, serve

    if args.token == "":
        raise UsageError("--token must not be empty")

    def announce(server: JudgeServer) -> None:
        print(server.url, flush=True)
        if args.token is None:
            print(f"bearer token: {server.token}", file=sys.stderr, flush=True)

    # Nothing outside this process can read the request log: keep none.
    work = serve(port=args.port, on_ready=announce, token=args.token, request_log_size=0)
    try:
        asyncio.run(interrupts.run(work))
    except KeyboardInterrupt:
        # Ctrl-C is how this command is meant to end.
        print("judge service stopped", file=sys.stderr, flush=True)
    return EXIT_OK
