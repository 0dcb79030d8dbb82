"""Running a local aiohttp service: on the caller's event loop or on a thread of its own.

:class:`LocalServer` holds what every local service's server shares (bind address, TLS,
start/stop, the base URL); a subclass says how to build its app and how to renew its
token between runs.
"""

from __future__ import annotations

import asyncio
import secrets
import ssl
import threading
from typing import Self

from aiohttp import web

BACKLOG = 1024


def new_token() -> str:
    """A fresh random bearer token."""
    return secrets.token_urlsafe(32)


class LocalServer:
    """Runs an app on 127.0.0.1 (by default) on an ephemeral port.

    ``start()``/``stop()`` (or ``with``) run it on its own event loop in a daemon thread, for
    synchronous callers; ``async with`` runs it on the caller's loop.
    """

    # Shown in errors and as the thread name.
    kind = "local server"

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, ssl_context: ssl.SSLContext | None = None
    ):
        self.host = host
        self.port = port
        self.ssl_context = ssl_context
        self.url = ""
        self._runner: web.AppRunner | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    def create_app(self) -> web.Application:
        raise NotImplementedError

    def before_start(self) -> None:
        """Called on every start, before the app is built (e.g. to draw a new token)."""

    # -- on the caller's loop

    async def start_async(self) -> Self:
        if self._runner is not None:
            raise RuntimeError(f"The {self.kind} is already running.")
        self.before_start()
        runner = web.AppRunner(
            self.create_app(), access_log=None, handle_signals=False, shutdown_timeout=1.0
        )
        await runner.setup()
        try:
            site = web.TCPSite(
                runner, self.host, self.port, ssl_context=self.ssl_context, backlog=BACKLOG
            )
            await site.start()
        except BaseException:
            await runner.cleanup()
            raise
        self._runner = runner
        port = runner.addresses[0][1]
        scheme = "https" if self.ssl_context is not None else "http"
        host = f"[{self.host}]" if ":" in self.host else self.host
        self.url = f"{scheme}://{host}:{port}"
        return self

    async def stop_async(self) -> None:
        runner, self._runner = self._runner, None
        if runner is not None:
            await runner.cleanup()

    async def __aenter__(self) -> Self:
        return await self.start_async()

    async def __aexit__(self, *exc_info: object) -> None:
        await self.stop_async()

    # -- on a thread of its own

    def start(self) -> Self:
        if self._thread is not None:
            raise RuntimeError(f"The {self.kind} is already running.")
        loop = asyncio.new_event_loop()
        ready = threading.Event()
        failure: list[BaseException] = []

        def run() -> None:
            asyncio.set_event_loop(loop)
            try:
                try:
                    loop.run_until_complete(self.start_async())
                except BaseException as exc:
                    failure.append(exc)
                    return
                finally:
                    ready.set()
                loop.run_forever()
                loop.run_until_complete(self.stop_async())
                loop.run_until_complete(loop.shutdown_asyncgens())
            finally:
                loop.close()

        name = "local-" + self.kind.replace(" ", "-")
        thread = threading.Thread(target=run, name=name, daemon=True)
        thread.start()
        ready.wait()
        if failure:
            thread.join()
            raise failure[0]
        self._loop, self._thread = loop, thread
        return self

    def stop(self) -> None:
        thread, loop = self._thread, self._loop
        if thread is None or loop is None:
            return
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        self._thread = self._loop = None

    def __enter__(self) -> Self:
        return self if self._thread is not None else self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
