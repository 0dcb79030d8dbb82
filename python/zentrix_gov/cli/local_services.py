"""The local services a run starts when no remote one is configured.

Each runs on 127.0.0.1, on a port of its own, for the ``with`` block, and accepts only a
bearer token drawn at random when it starts (read it from ``server.token``): another user
of the machine can reach the port but not guess the token. Nothing outside this process
reads their request logs, so they keep none.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def detection_service() -> Iterator[Any]:
    """A started :class:`~zentrix_gov.local.server.DetectionServer`, stopped on exit."""
    from zentrix_gov.local.server import DetectionServer

    with DetectionServer(token=None, request_log_size=0) as server:
        yield server


@contextmanager
def judge_service() -> Iterator[Any]:
    """A started :class:`~zentrix_gov.local.judge.JudgeServer` (the judge and platform
    stand-in), stopped on exit."""
    from zentrix_gov.local.judge.server import JudgeServer

    with JudgeServer(token=None, request_log_size=0) as server:
        yield server
