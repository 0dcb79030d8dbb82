"""Exit codes, the command line's own exceptions and how an error becomes one line of text."""

from __future__ import annotations

from typing import Any

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Longest error line the command prints. Values repeated in messages are cut on their own
# (to about 200 characters); this bounds whatever a message gathers besides.
LINE_LIMIT = 2_000


class UsageError(Exception):
    """A mistake in the command, the configuration or the records (exit code 2)."""


class EvaluationFailed(Exception):
    """The evaluation could not be completed (exit code 1)."""


def one_line(value: Any, limit: int = 400) -> str:
    """``value`` as text on one line, shortened to ``limit`` characters."""
    text = " ".join(str(value).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def error_line(message: str) -> str:
    """The ``error:`` line that reports ``message``: one line, at most ``LINE_LIMIT`` long."""
    return "error: " + one_line(message[: 2 * LINE_LIMIT], LINE_LIMIT)


def describe(exc: BaseException, limit: int = 400) -> str:
    """A one-line reading of ``exc`` that is never empty.

    Exceptions such as ``TimeoutError()`` carry no message; their kind is named instead.
    """
    text = one_line(exc, limit)
    if isinstance(exc, TimeoutError) and not text:
        return "timed out"
    return text or f"{type(exc).__name__} (no message)"
