"""Progress of a risk evaluation, for callers that show it (the command line).

``with reporting_progress(callback): ...`` has every evaluation started in the block call
``callback(done, total)`` as the model's answers come in.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar

ProgressCallback = Callable[[int, int], None]

_listener: ContextVar[ProgressCallback | None] = ContextVar("risk_progress", default=None)


@contextmanager
def reporting_progress(callback: ProgressCallback) -> Iterator[None]:
    token = _listener.set(callback)
    try:
        yield
    finally:
        _listener.reset(token)


def current_listener() -> ProgressCallback | None:
    return _listener.get()
