"""Running the local detection service: a server handle, ``serve()`` and the command line.

From synchronous test code::

    with DetectionServer().start() as server:
        post_to(server.url + "/ml/v1/text/detection?version=2023-10-25")

From a running event loop: ``async with DetectionServer() as server: ...``.

From a shell (see ``main``)::

    python -m zentrix_gov.local.detection --port 8080 --token T --instance-id I

Without a token the server draws a random one each time it starts; read it from
``server.token`` (or ``server.headers()``), or from standard error on the command line.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import secrets
import ssl
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from aiohttp import web

from ..utils.files import private_cache_file, write_secret
from .app import DetectionService, create_app
from .endpoints import API_VERSION, PATH_TEXT
from .faults import FaultPlan
from .regex_runner import RegexMatcher
from .requestlog import DEFAULT_MAX_REQUESTS, Connections, RequestLog
from .serving import BACKLOG, LocalServer, new_token

TOKEN_FILE = "detection-service.token"

DEFAULT_INSTANCE_ID = "local-instance"

__all__ = ["BACKLOG", "DEFAULT_INSTANCE_ID", "DetectionServer", "main", "new_token", "serve"]


class DetectionServer(LocalServer):
    """Runs the detection app on 127.0.0.1 (by default) on an ephemeral port.

    ``start()``/``stop()`` (or ``with``) run it on its own event loop in a daemon thread, for
    synchronous callers; ``async with`` runs it on the caller's loop. ``token=None`` (the
    default) means a new random token on every start. The request log keeps the latest
    ``request_log_size`` requests.
    """

    kind = "detection server"

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str | None = None,
        instance_id: str = DEFAULT_INSTANCE_ID,
        ssl_context: ssl.SSLContext | None = None,
        latency: float = 0.0,
        regex_timeout: float = 2.0,
        request_log_size: int = DEFAULT_MAX_REQUESTS,
    ):
        if token is not None and not token:
            raise ValueError("The token must not be empty; pass None for a random one.")
        super().__init__(host, port, ssl_context)
        self._fixed_token = token
        self.service = DetectionService(
            token=token or new_token(),
            instance_id=instance_id,
            faults=FaultPlan(latency),
            requests=RequestLog(request_log_size),
            regex=RegexMatcher(timeout=regex_timeout),
        )

    def create_app(self) -> web.Application:
        return create_app(self.service)

    def before_start(self) -> None:
        if self._fixed_token is None:
            self.service.token = new_token()

    @property
    def requests(self) -> RequestLog:
        return self.service.requests

    @property
    def faults(self) -> FaultPlan:
        return self.service.faults

    @property
    def connections(self) -> Connections:
        """The client connections the server has seen (``.opened``, ``.clear()``)."""
        return self.service.connections

    @property
    def token(self) -> str:
        return self.service.token

    @property
    def instance_id(self) -> str:
        return self.service.instance_id

    @property
    def regex_timeout(self) -> float:
        return self.service.regex.timeout

    @regex_timeout.setter
    def regex_timeout(self, seconds: float) -> None:
        self.service.regex.timeout = seconds

    def headers(self) -> dict[str, str]:
        """Headers that pass this server's credential check."""
        return {
            "Content-Type": "application/json",
            "Authorization": f"Bearer {self.token}",
            "x-governance-instance-id": self.instance_id,
        }

    def endpoint(self, path: str = PATH_TEXT) -> str:
        """Full URL of a detection endpoint, with the version query."""
        return f"{self.url}{path}?version={API_VERSION}"


async def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    on_ready: Callable[[DetectionServer], None] | None = None,
    **options: Any,
) -> None:
    """Serve on the running loop until cancelled; ``options`` go to :class:`DetectionServer`."""
    async with DetectionServer(host, port, **options) as server:
        if on_ready is not None:
            on_ready(server)
        await asyncio.Event().wait()


def main(argv: list[str] | None = None) -> int:
    """The command line: print the base URL on standard output and serve until interrupted."""
    parser = argparse.ArgumentParser(
        prog="python -m zentrix_gov.local.detection",
        description="Serve the local text-detection endpoints until interrupted.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to bind (0: any free port)")
    parser.add_argument(
        "--token", help="accepted bearer token (default: a random one, written to --token-file)"
    )
    parser.add_argument(
        "--token-file",
        help="where a random token is written, readable by you only (default "
        f"{private_cache_file(TOKEN_FILE)})",
    )
    parser.add_argument(
        "--instance-id", default=DEFAULT_INSTANCE_ID, help="accepted x-governance-instance-id"
    )
    parser.add_argument(
        "--latency", type=float, default=0.0, help="seconds to wait before every reply"
    )
    parser.add_argument(
        "--regex-timeout", type=float, default=2.0, help="time limit of one regex request"
    )
    parser.add_argument("--certfile", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--keyfile", help="private key of --certfile (PEM)")
    args = parser.parse_args(argv)
    if args.token == "":
        parser.error("--token must not be empty")
    ssl_context = None
    if args.certfile:
        ssl_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ssl_context.load_cert_chain(args.certfile, args.keyfile)
    elif args.keyfile:
        parser.error("--keyfile needs --certfile")

    token = args.token or secrets.token_urlsafe(24)
    token_file = Path(args.token_file) if args.token_file else private_cache_file(TOKEN_FILE)
    if args.token is None:
        try:
            write_secret(token_file, token)
        except OSError as exc:
            parser.error(f"cannot write the token file {token_file}: {exc.strerror}")

    def announce(server: DetectionServer) -> None:
        print(server.url, flush=True)
        if args.token is None:
            # The token itself is never printed: other users may read a terminal's log.
            print(f"the bearer token is in the file {token_file}", file=sys.stderr, flush=True)

    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(
            serve(
                args.host,
                args.port,
                on_ready=announce,
                token=token,
                instance_id=args.instance_id,
                ssl_context=ssl_context,
                latency=args.latency,
                regex_timeout=args.regex_timeout,
                # Nothing outside this process can read the log: keep none.
                request_log_size=0,
            )
        )
    return 0
