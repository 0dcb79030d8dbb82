"""How the judge engine's requests for one verdict end when no answer comes: the verdict's
deadline, which failures are tried again and after how long, and the typed failure that
stands for a verdict that never came until the judge library turns it into a failure text.
"""

from __future__ import annotations

import email.utils
import math
import re
import threading
import time
from collections.abc import Mapping
from datetime import UTC, datetime
from typing import Any

from zentrix_gov.utils import judge_answers

RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})
# What a server answers when it wants fewer requests: the judge's concurrency goes down.
OVERLOADED = frozenset({429, 503})
BACKOFF = (0.5, 1.0, 2.0, 4.0)
# What a server that refuses structured answers names in its 400 (OpenAI: the parameter
# "response_format"; llama.cpp and vLLM: the "JSON schema" they could not use).
_STRUCTURE_REFUSAL = re.compile(r"response_format|json_schema|\bschema\b", re.IGNORECASE)
QUOTED_REPLY = 200


class JudgeFailure(Exception):
    """A verdict the judge did not give: its record's error ``code``, a ``message`` and the
    ``cause``. ``server_failed`` when the server failed the request (5xx, 429, a dropped
    connection, a reply that is not JSON) rather than the request itself failing
    (a time-out, a refused request, an empty answer): a batch in which the server failed
    every request fails its metric."""

    def __init__(
        self,
        code: str,
        message: str,
        cause: BaseException | None = None,
        *,
        server_failed: bool = False,
    ):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message
        self.cause = cause
        self.server_failed = server_failed

    def text(self) -> str:
        """The answer text the judge library is given in place of the verdict."""
        return judge_answers.failure_text(self.code, self.message.replace("`", "'"))

    @classmethod
    def from_text(cls, text: str) -> JudgeFailure | None:
        """The failure a failure text stands for (None for any other text)."""
        failed = judge_answers.read_failure(text)
        return cls(*failed) if failed is not None else None


class Deadline:
    """The time one verdict has, from now (``seconds`` None: no limit)."""

    def __init__(self, seconds: float | None):
        self.seconds = seconds
        self._end = None if seconds is None else time.monotonic() + seconds

    def left(self) -> float | None:
        """Seconds left (at least 0), or None without a limit."""
        return None if self._end is None else max(0.0, self._end - time.monotonic())

    def fits(self, wait: float) -> bool:
        """Whether waiting ``wait`` seconds still leaves time for a request."""
        left = self.left()
        return left is None or wait < left

    def timed_out(self, detail: str = "") -> JudgeFailure:
        message = f"The judge did not answer within {self.seconds:g} s"
        return JudgeFailure(judge_answers.TIMEOUT, message + (f" ({detail})" if detail else ""))


def should_retry(status: int | None) -> bool:
    """Whether a try that ended with HTTP ``status`` (None: the connection dropped) may
    pass on another: 429, 5xx and a dropped connection. A time-out is not retried (a model
    that ran out of time would most likely run out again)."""
    return status is None or status in RETRY_STATUSES


def retry_after(value: str | None, now: float | None = None) -> float | None:
    """Seconds a Retry-After header asks to wait (delay-seconds or an HTTP date; a date
    in the past: 0), or None when there is none or it cannot be read."""
    if value is None or not value.strip():
        return None
    value = value.strip()
    try:
        seconds = float(value)
    except ValueError:
        try:
            when = email.utils.parsedate_to_datetime(value)
        except (TypeError, ValueError, IndexError):
            return None
        if when.tzinfo is None:  # HTTP dates are GMT
            when = when.replace(tzinfo=UTC)
        current = datetime.now(UTC).timestamp() if now is None else now
        return max(0.0, when.timestamp() - current)
    return seconds if math.isfinite(seconds) and seconds >= 0 else None


def retry_after_header(headers: Mapping[str, str]) -> str | None:
    """The wait a reply asks for, as Retry-After text: the milliseconds of
    ``retry-after-ms`` (sent by some providers beside Retry-After, more precisely) when
    readable, else Retry-After itself (seconds or an HTTP date)."""
    milliseconds = headers.get("retry-after-ms")
    try:
        wait = float(milliseconds) / 1000 if milliseconds is not None else math.nan
    except ValueError:
        wait = math.nan
    if math.isfinite(wait) and wait >= 0:
        return f"{wait:g}"
    return headers.get("Retry-After")


def retry_delay(attempt: int, retry_after_header: str | None) -> float:
    """Seconds to wait before the try after try ``attempt`` (0 for the first): what the
    server asked for in Retry-After, else a back-off that doubles."""
    asked = retry_after(retry_after_header)
    return asked if asked is not None else BACKOFF[min(attempt, len(BACKOFF) - 1)]


def refuses_structure(status: int, reply_text: str) -> bool:
    """Whether a reply refused a request's structured answers: a 400 naming them."""
    return status == 400 and _STRUCTURE_REFUSAL.search(reply_text) is not None


def quoted_reply(reply_text: str) -> str:
    """The server's error as a record error repeats it: its message when the reply is
    OpenAI's error shape, on one line, at most 200 characters."""
    import json

    text = reply_text
    try:
        document = json.loads(reply_text)
    except ValueError:
        document = None
    if isinstance(document, dict):
        error = document.get("error")
        message = error.get("message") if isinstance(error, dict) else error
        if isinstance(message, str) and message.strip():
            text = message
    text = " ".join(text.split())
    return text if len(text) <= QUOTED_REPLY else text[:QUOTED_REPLY] + "..."


class Pace:
    """At most ``rate`` acquisitions per second across threads (None: no limit)."""

    def __init__(self, rate: float | None):
        self._interval = 1.0 / rate if rate else 0.0
        self._next = 0.0
        self._lock = threading.Lock()

    def wait(self) -> None:
        if not self._interval:
            return
        with self._lock:
            now = time.monotonic()
            start = max(now, self._next)
            self._next = start + self._interval
        if start > now:
            time.sleep(start - now)


def status_error(response: Any) -> Exception:
    """The HTTP status error of ``response``, carrying its JSON body (as the OpenAI client's
    errors do) so that error lines can quote the server's message."""
    import httpx

    error = httpx.HTTPStatusError(
        f"{response.status_code} {response.reason_phrase}",
        request=response.request,
        response=response,
    )
    try:
        error.body = response.json()  # type: ignore[attr-defined]
    except ValueError:
        error.body = None  # type: ignore[attr-defined]
    return error
