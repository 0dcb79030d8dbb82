"""Running the judge & platform stand-in: :class:`JudgeServer` and ``serve()``.

From synchronous code::

    with JudgeServer(token="T").start() as server:
        client = OpenAI(api_key=server.token, base_url=server.openai_base_url)

From a running event loop: ``async with JudgeServer() as server: ...``. Without a token the
server draws a random one on every start; read it from ``server.token``.
"""

from __future__ import annotations

import asyncio
import ssl
from collections.abc import Callable
from typing import Any

from aiohttp import web

from ..faults import FaultPlan
from ..requestlog import DEFAULT_MAX_REQUESTS, RequestLog
from ..serving import LocalServer, new_token
from .app import create_app
from .catalogue import Catalogue
from .state import JudgeService
from .traffic import TokenBucket, Traffic


class JudgeServer(LocalServer):
    """Runs the judge app on 127.0.0.1 (by default) on an ephemeral port.

    ``token=None`` (the default) means a new random token on every start; ``latency`` is
    waited before every reply; the request log keeps the latest ``request_log_size``
    requests; ``catalogue`` replaces the bundled model catalogue; ``slots`` answers at most
    that many model requests at once (as llama.cpp's server does), the others queued;
    ``rate_limit`` lets through at most that many model requests a second, answering the
    others 429 with Retry-After (:mod:`.traffic`; ``traffic`` counts what it saw).
    """

    kind = "judge server"

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str | None = None,
        ssl_context: ssl.SSLContext | None = None,
        latency: float = 0.0,
        request_log_size: int = DEFAULT_MAX_REQUESTS,
        catalogue: Catalogue | None = None,
        slots: int | None = None,
        rate_limit: float | None = None,
    ):
        if token is not None and not token:
            raise ValueError("The token must not be empty; pass None for a random one.")
        super().__init__(host, port, ssl_context)
        self._fixed_token = token
        self.service = JudgeService(
            token=token or new_token(),
            faults=FaultPlan(latency),
            requests=RequestLog(request_log_size),
            catalogue=catalogue if catalogue is not None else Catalogue.bundled(),
            slots=slots,
            rate_limit=TokenBucket(rate_limit) if rate_limit is not None else None,
        )

    def create_app(self) -> web.Application:
        return create_app(self.service)

    def before_start(self) -> None:
        if self._fixed_token is None:
            self.service.token = new_token()

    def __repr__(self) -> str:
        return f"JudgeServer(url={self.url!r})"

    @property
    def token(self) -> str:
        return self.service.token

    @property
    def faults(self) -> FaultPlan:
        return self.service.faults

    @property
    def requests(self) -> RequestLog:
        return self.service.requests

    @property
    def traffic(self) -> Traffic:
        return self.service.traffic

    @property
    def catalogue(self) -> Catalogue:
        return self.service.catalogue

    @property
    def openai_base_url(self) -> str:
        """The base URL OpenAI clients take (their paths start after ``/v1``)."""
        return f"{self.url}/v1"

    def headers(self) -> dict[str, str]:
        """Headers that pass this server's credential check."""
        return {"Content-Type": "application/json", "Authorization": f"Bearer {self.token}"}


async def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    on_ready: Callable[[JudgeServer], None] | None = None,
    **options: Any,
) -> None:
    """Serve on the running loop until cancelled; ``options`` go to :class:`JudgeServer`."""
    async with JudgeServer(host, port, **options) as server:
        if on_ready is not None:
            on_ready(server)
        await asyncio.Event().wait()
