"""The ``model-server`` command: serve the local model until Ctrl-C.

    python -m zentrix_gov model-server [--port N] [--key-file FILE]

The model (the ``local-model`` extra) is served on 127.0.0.1 behind an OpenAI-compatible
API. Its key is ``$ZENTRIX_MODEL_API_KEY`` when set; otherwise a random key is drawn and
written to a file only the user can read (``--key-file``, default
``~/.cache/zentrix_gov/model-server.key``), whose path is printed. The key itself is
never printed.
"""

from __future__ import annotations

import argparse
import os
import secrets
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.argtypes import port, positive_int
from zentrix_gov.cli.errors import EXIT_OK, UsageError
from zentrix_gov.utils.files import private_cache_file, write_secret

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation

KEY_VARIABLE = "ZENTRIX_MODEL_API_KEY"


def default_key_file() -> Path:
    return private_cache_file("model-server.key")


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "model-server",
        help="serve the local model on 127.0.0.1 (the local-model extra)",
        description="Serve the packaged local model (Qwen2.5-Coder-1.5B-Instruct, Q4_K_M) on "
        "127.0.0.1 behind an OpenAI-compatible API (/v1/chat/completions) until Ctrl-C. The "
        f"key is ${KEY_VARIABLE} when set, otherwise a random key written to --key-file.",
    )
    parser.add_argument("--port", type=port, default=0, help="port (default: a free one)")
    parser.add_argument(
        "--key-file",
        metavar="FILE",
        help=f"where a random key is written, readable by you only (default {default_key_file()})",
    )
    parser.add_argument(
        "--slots", type=positive_int, default=2, metavar="N", help="requests answered at once"
    )
    parser.add_argument(
        "--max-tokens",
        type=positive_int,
        default=1024,
        metavar="N",
        help="cap of answers whose request carries none (default 1024)",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation | None = None) -> int:
    from zentrix_gov.cli.local_services import local_model_server
    from zentrix_gov.local.model import server as model_server

    key = os.environ.get(KEY_VARIABLE)
    where = f"${KEY_VARIABLE}"
    if not key:
        key = secrets.token_urlsafe(24)
        path = Path(args.key_file) if args.key_file else default_key_file()
        try:
            write_secret(path, key)
        except OSError as exc:
            raise UsageError(f"cannot write the key file {path}: {exc.strerror}") from None
        where = f"the file {path}"
    settings = model_server.Settings(slots=args.slots, max_tokens=args.max_tokens)
    with local_model_server(True, port=args.port, key=key, settings=settings) as server:
        print(
            f"serving the local model at {server.base_url} (model name {server.model_name}); "
            f"the API key is in {where}. Ctrl-C stops it.",
            file=sys.stderr,
            flush=True,
        )
        wait_for_interrupt()
    return EXIT_OK


def wait_for_interrupt() -> None:
    """Block until Ctrl-C (KeyboardInterrupt) ends the command."""
    threading.Event().wait()
