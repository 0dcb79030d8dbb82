"""Child processes of the tests, never waited on without a bound."""

from __future__ import annotations

import subprocess
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def child_process(command: list[str], *, end_within: float = 10, **options: Any) -> Iterator[Any]:
    """``subprocess.Popen(command, **options)`` for the ``with`` block; one still running at
    its end is killed, and waited on for at most ``end_within`` seconds."""
    process = subprocess.Popen(command, **options)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=end_within)
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None:
                stream.close()
