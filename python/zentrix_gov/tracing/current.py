"""The hooks the rest of the SDK calls, and the traced run they reach.

A traced run makes its :class:`~zentrix_gov.tracing.spans.RunTracing` the active one for
its tasks (a context variable, so concurrent runs of one process keep theirs apart, and the
threads the judge providers start see the run that started them). While none is active
every hook here is a no-op that costs one context-variable read, and this module never
imports OpenTelemetry.
"""

from __future__ import annotations

import sys
from contextlib import AbstractContextManager
from contextvars import ContextVar
from typing import Any

_active: ContextVar[Any] = ContextVar("zentrix_run_tracing", default=None)
# The judge request being sent in this context (its retries become events of its span).
_request: ContextVar[Any] = ContextVar("zentrix_judge_request", default=None)


def active() -> Any:
    """The traced run of this context (a ``RunTracing``), or None."""
    return _active.get()


def activate(tracing: Any) -> Any:
    """Make ``tracing`` the active one; returns the token :func:`deactivate` takes."""
    return _active.set(tracing)


def deactivate(token: Any) -> None:
    _active.reset(token)


def for_run(tracer_provider: Any = None, *, content: bool = False) -> Any:
    """The tracing of a run that exports through ``tracer_provider``; without one, through
    the application's global provider when it has imported OpenTelemetry and set one.
    None when there is nothing to export to: the run is not traced and nothing of
    OpenTelemetry is imported. ``content``: prompts, answers and explanations go into the
    spans (cut at the run's text limit)."""
    if tracer_provider is None:
        trace = sys.modules.get("opentelemetry.trace")
        if trace is None:  # the application never imported it: it set no provider
            return None
        tracer_provider = trace.get_tracer_provider()
        if isinstance(tracer_provider, trace.ProxyTracerProvider | trace.NoOpTracerProvider):
            return None
    from zentrix_gov.tracing.spans import RunTracing

    return RunTracing(tracer_provider, content=content)


class _Untraced:
    """The judge request of an untraced run: takes everything, records nothing."""

    def __enter__(self) -> _Untraced:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def request(self, body: dict[str, Any]) -> None:
        pass

    def reply(self, reply: dict[str, Any]) -> None:
        pass


_UNTRACED = _Untraced()


def judge_request(engine: Any) -> AbstractContextManager[Any]:
    """The span of one judge request of ``engine`` (see ``tracing.judge``): ``request(body)``
    and ``reply(reply)`` record what was asked and answered; a ``JudgeFailure`` or another
    error leaving the block is its ``error.type``."""
    tracing = _active.get()
    if tracing is None:
        return _UNTRACED
    from zentrix_gov.tracing.judge import JudgeRequestSpan

    return JudgeRequestSpan(tracing, engine, _request)


def judge_retry(status: int | None, wait: float) -> None:
    """The judge request in flight is tried again after ``wait`` seconds (``status``: the
    reply's HTTP status, None for a dropped connection): an event of its span."""
    request = _request.get()
    if request is not None:
        request.retry(status, wait)


def detection_trace_configs() -> list[Any] | None:
    """aiohttp trace configurations for the detection provider's session (the native
    provider asks when it opens one): HTTP client spans of a traced run, else None."""
    tracing = _active.get()
    return None if tracing is None else tracing.http_trace_configs()
