"""The traced run active in this context: a context variable, so concurrent runs of one
process keep theirs apart, and the threads the judge providers start see the run that
started them. Light on purpose: the hooks read it on every request."""

from __future__ import annotations

from contextvars import ContextVar
from typing import Any

_active: ContextVar[Any] = ContextVar("zentrix_run_tracing", default=None)


def active() -> Any:
    """The traced run of this context (a ``RunTracing``), or None."""
    return _active.get()


def activate(tracing: Any) -> Any:
    """Make ``tracing`` the active one; returns the token :func:`deactivate` takes."""
    return _active.set(tracing)


def deactivate(token: Any) -> None:
    _active.reset(token)
