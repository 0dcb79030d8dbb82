"""The local services a run starts when no remote one is configured, and the local model.

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


@contextmanager
def local_model_server(quiet: bool, **options: Any) -> Iterator[Any]:
    """The local model (:class:`~zentrix_gov.local.model.server.LocalModelServer`, built
    with ``options``) served on 127.0.0.1 with a random key for the ``with`` block; a usage
    error when the ``local-model`` extra is missing, a failure when its file does not check
    out."""
    import importlib.util
    import sys
    import time

    from zentrix_gov.cli.errors import EvaluationFailed, UsageError
    from zentrix_gov.local.model.files import MODEL, ModelFileError
    from zentrix_gov.local.model.server import LocalModelServer

    if importlib.util.find_spec("xllamacpp") is None:
        hint = options.get("model", MODEL).install_hint
        raise UsageError(f"the local model needs the llama.cpp server: {hint}")
    started = time.perf_counter()
    try:
        server = LocalModelServer(**options).start()
    except ModelFileError as exc:
        raise EvaluationFailed(str(exc)) from None
    try:
        if not quiet:
            print(
                f"note: the local model ({server.model_name}) is serving at {server.url}, "
                f"started in {time.perf_counter() - started:.1f}s",
                file=sys.stderr,
                flush=True,
            )
        yield server
    finally:
        server.stop()
