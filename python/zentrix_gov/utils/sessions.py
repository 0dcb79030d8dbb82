"""HTTP sessions a run's units share, so that they reuse connections to a service.

The detection provider opens a session per evaluation and closes it at the end, draining
its connections: a run of many units would open (and ramp up) a hundred connections per
unit. Within :func:`shared_sessions` (a run wraps its units in it), the provider asks
:func:`run_session` and gets the run's session instead, one per request time-out, which
stays open until the run ends. Outside it, and on another event loop than the run's, every
evaluation keeps its own session as before.
"""

from __future__ import annotations

import asyncio
import contextvars
from collections.abc import AsyncIterator, Iterator
from contextlib import asynccontextmanager, contextmanager
from typing import Any


class RunSessions:
    """The sessions of one run, on the event loop the run runs on."""

    def __init__(self) -> None:
        self.loop = asyncio.get_running_loop()
        self._sessions: dict[tuple[float | None, int | None], Any] = {}

    def session(self, timeout: float | None) -> Any:
        from zentrix_gov.tracing.current import detection_trace_configs

        # A traced run's session carries its request hooks (HTTP client spans), as the
        # provider's own would.
        hooks = detection_trace_configs()
        key = (timeout, None if hooks is None else id(hooks))
        session = self._sessions.get(key)
        if session is None or session.closed:
            import aiohttp

            options: dict[str, Any] = {}
            if timeout is not None:
                options["timeout"] = aiohttp.ClientTimeout(total=timeout)
            if hooks is not None:
                options["trace_configs"] = hooks
            session = self._sessions[key] = aiohttp.ClientSession(**options)
        return session

    async def close(self) -> None:
        sessions, self._sessions = list(self._sessions.values()), {}
        for session in sessions:
            await session.close()


class _Borrowed:
    """A shared session as ``async with`` hands it out: left open at the end."""

    def __init__(self, session: Any):
        self.session = session

    async def __aenter__(self) -> Any:
        return self.session

    async def __aexit__(self, *exc_info: object) -> bool:
        return False


_SESSIONS: contextvars.ContextVar[RunSessions | None] = contextvars.ContextVar(
    "zentrix_run_sessions", default=None
)


def run_session(timeout: float | None) -> _Borrowed | None:
    """The run's session for requests of ``timeout`` seconds (None: the library's default)
    as an async context manager that leaves it open; None outside a run's units."""
    sessions = _SESSIONS.get()
    if sessions is None:
        return None
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        return None
    if loop is not sessions.loop:
        return None
    return _Borrowed(sessions.session(timeout))


@contextmanager
def using(sessions: RunSessions) -> Iterator[RunSessions]:
    """Share ``sessions`` among the units run in the block, leaving them open (a Ray
    worker keeps its sessions from one unit to the next)."""
    token = _SESSIONS.set(sessions)
    try:
        yield sessions
    finally:
        _SESSIONS.reset(token)


@asynccontextmanager
async def shared_sessions() -> AsyncIterator[RunSessions]:
    """Share one session per time-out among the units run in the block; closed at its end."""
    sessions = RunSessions()
    try:
        with using(sessions):
            yield sessions
    finally:
        await sessions.close()
