"""``python -m zentrix_gov judge-service``: run the local judge & platform stand-in.

It prints the base URL on standard output and serves until Ctrl-C, which ends it with exit
code 0. Without ``--token`` it draws a random bearer token and writes it to a file only the
user can read (``--token-file``), whose path it prints; the token itself is never printed.
"""

from __future__ import annotations

import argparse
import asyncio
import secrets
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.argtypes import port, positive_number, seconds
from zentrix_gov.cli.errors import EXIT_OK, UsageError
from zentrix_gov.utils.files import private_cache_file, write_secret

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation

TOKEN_FILE = "judge-service.token"

HELP = "run the local judge & platform stand-in service until Ctrl-C"
EPILOG = """\
routes (every one needs "Authorization: Bearer TOKEN"):
  POST /v1/chat/completions, POST /v1/completions, GET /v1/models   OpenAI-compatible
  GET  /v1/foundation_model_specs[?model_id=ID]                     the model listing
  POST /v1/text/generation                                          text generation

OpenAI clients take URL/v1 as their base URL."""


def register(commands: Any) -> None:
    """Add the ``judge-service`` command to the command line's sub-parsers."""
    parser = commands.add_parser(
        "judge-service",
        help=HELP,
        description="Serve the local judge & platform stand-in on 127.0.0.1 until Ctrl-C.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--port", type=port, default=0, metavar="N", help="port to bind (default: any free port)"
    )
    parser.add_argument(
        "--token",
        metavar="T",
        help="accepted bearer token (default: a random one, written to --token-file)",
    )
    parser.add_argument(
        "--token-file",
        metavar="FILE",
        help="where a random token is written, readable by you only (default "
        f"{private_cache_file(TOKEN_FILE)})",
    )
    parser.add_argument(
        "--rate-limit",
        type=positive_number,
        metavar="R",
        help="answer at most R model requests a second (a token bucket of R); the others get "
        "429 with Retry-After (default: no limit)",
    )
    parser.add_argument(
        "--latency",
        type=seconds,
        default=0.0,
        metavar="SECONDS",
        help="wait SECONDS before every reply, as a model that takes its time (default 0)",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    """Serve until interrupted; returns the exit code."""
    from zentrix_gov.local.judge import JudgeServer, serve

    if args.token == "":
        raise UsageError("--token must not be empty")

    token_file = Path(args.token_file) if args.token_file else private_cache_file(TOKEN_FILE)
    token = args.token or secrets.token_urlsafe(24)
    if args.token is None:
        try:
            write_secret(token_file, token)
        except OSError as exc:
            raise UsageError(f"cannot write the token file {token_file}: {exc.strerror}") from None

    def announce(server: JudgeServer) -> None:
        print(server.url, flush=True)
        if args.token is None:
            print(f"the bearer token is in the file {token_file}", file=sys.stderr, flush=True)

    # Nothing outside this process can read the request log: keep none.
    work = serve(
        port=args.port,
        on_ready=announce,
        token=token,
        request_log_size=0,
        rate_limit=args.rate_limit,
        latency=args.latency,
    )
    try:
        asyncio.run(invocation.interrupts.run(work))
    except KeyboardInterrupt:
        # Ctrl-C is how this command is meant to end.
        print("judge service stopped", file=sys.stderr, flush=True)
    return EXIT_OK
