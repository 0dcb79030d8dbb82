"""Scripted failures for the local services (detection, judge and platform stand-in).

Tests script what the next requests should see (``plan.script([503, 503])``), optionally
for one path only, and the server consumes one entry per request. Requests with no entry
left are served normally. Plans are shared between the test thread and the server's
event-loop thread, so every access takes a lock.
"""

from __future__ import annotations

import threading
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass

# Entries a script may hold besides plain status codes.
NON_JSON = "non_json"  # 200 with a body that is not JSON
NON_JSON_ERROR = "non_json_error"  # an error status (502 by default) with an HTML body
DROP = "drop"  # close the connection without any reply
PASS = "pass"  # serve this request normally (also: status 200)
DELAY = "delay"  # serve this request normally, ``delay`` seconds late
# A 200 reply in the route's own shape whose answer the client cannot read: a model route
# answers text no judge template parses; a route without model answers replies non-JSON.
UNPARSEABLE = "unparseable"
HANG = "hang"  # accept the request and never answer
# Chat completions only (other routes serve such a request normally):
REFUSES_SCHEMA = "refuses_response_format"  # 400 to a request carrying response_format
# A model that never stops: an answer of exactly max_tokens tokens (finish_reason "length"),
# or no answer at all for a request without max_tokens.
NEVER_STOPS = "never_stops"
EMPTY_ANSWER = "empty_answer"  # a 200 reply whose answer is empty
NO_USAGE = "no_usage"  # a 200 reply without "usage", as some servers send
_NAMED = (NON_JSON, DROP, PASS, UNPARSEABLE, HANG, REFUSES_SCHEMA, NEVER_STOPS, EMPTY_ANSWER,
          NO_USAGE)  # fmt: skip


@dataclass(frozen=True)
class Fault:
    """One scripted answer: ``kind`` is "status", NON_JSON, NON_JSON_ERROR, DROP, PASS,
    DELAY, UNPARSEABLE, HANG, REFUSES_SCHEMA, NEVER_STOPS, EMPTY_ANSWER or NO_USAGE. A
    status fault may carry the error's ``message`` and extra reply ``headers``."""

    kind: str
    status: int = 200
    delay: float = 0.0
    message: str | None = None
    headers: tuple[tuple[str, str], ...] = ()

    @classmethod
    def delayed(cls, seconds: float) -> Fault:
        """Serve the request normally after ``seconds`` (on top of the plan's latency)."""
        seconds = float(seconds)
        if not 0 <= seconds < float("inf"):
            raise ValueError(f"A scripted delay must be a finite number >= 0, got {seconds}.")
        return cls(DELAY, delay=seconds)

    @classmethod
    def status_code(
        cls, status: int, *, message: str | None = None, retry_after: str | float | None = None
    ) -> Fault:
        """An error reply with ``status``: with ``message`` as its error message (e.g. a 400
        that is about something else than the request's structure) and ``retry_after`` as
        its Retry-After header (seconds, or any text such as an HTTP date)."""
        if status == 200:
            return cls(PASS)
        if not 400 <= status <= 599:
            raise ValueError(f"Scripted status {status} must be 200 or between 400 and 599.")
        headers = () if retry_after is None else (("Retry-After", f"{retry_after}"),)
        return cls("status", status, message=message, headers=headers)

    @classmethod
    def non_json_error(cls, status: int = 502) -> Fault:
        if not 400 <= status <= 599:
            raise ValueError(f"Scripted status {status} must be between 400 and 599.")
        return cls(NON_JSON_ERROR, status)

    @classmethod
    def parse(cls, value: Fault | int | str) -> Fault:
        if isinstance(value, Fault):
            return value
        if isinstance(value, int) and not isinstance(value, bool):
            return cls.status_code(value)
        if value == NON_JSON_ERROR:
            return cls.non_json_error()
        if value in _NAMED:
            return cls(value)
        raise ValueError(
            f"Unknown fault {value!r}; use a status code, {NON_JSON_ERROR!r}, "
            f"{', '.join(map(repr, _NAMED))} or a Fault (Fault.delayed(seconds))."
        )


def _path_only(path: str) -> str:
    return path.split("?", 1)[0]


class FaultPlan:
    """Scripts of faults, one shared and one per path, plus a latency for every request."""

    def __init__(self, latency: float = 0.0):
        self._lock = threading.Lock()
        self._shared: deque[Fault] = deque()
        self._by_path: dict[str, deque[Fault]] = {}
        self._default_latency = float(latency)
        self.latency = float(latency)
        self._flipped_seeds: set[int] = set()

    def script(self, faults: Iterable[Fault | int | str], path: str | None = None) -> FaultPlan:
        """Append faults for the next requests (to ``path`` only, when given).

        A request takes the next entry of its path's script first, then of the shared one.
        """
        parsed = [Fault.parse(f) for f in faults]  # validate everything before queueing
        with self._lock:
            if path is None:
                self._shared.extend(parsed)
            else:
                self._by_path.setdefault(_path_only(path), deque()).extend(parsed)
        return self

    def next_for(self, path: str) -> Fault | None:
        """Consume and return the fault for a request to ``path``, if one is scripted."""
        with self._lock:
            queue = self._by_path.get(_path_only(path))
            if queue:
                return queue.popleft()
            if self._shared:
                return self._shared.popleft()
        return None

    def pending(self, path: str | None = None) -> int:
        """Entries not yet consumed (shared ones, or those of ``path``)."""
        with self._lock:
            if path is None:
                return len(self._shared)
            return len(self._by_path.get(_path_only(path), ()))

    def flip_seeds(self, seeds: Iterable[int]) -> FaultPlan:
        """The judge gets its verdict the other way round for requests carrying one of
        ``seeds`` (a judge whose verdict depends on the seed), until :meth:`clear`."""
        with self._lock:
            self._flipped_seeds.update(int(seed) for seed in seeds)
        return self

    def flips(self, seed: object) -> bool:
        """Whether a request with ``seed`` gets the verdict the other way round."""
        if not isinstance(seed, int) or isinstance(seed, bool):
            return False
        with self._lock:
            return seed in self._flipped_seeds

    def clear(self) -> None:
        """Forget every script and restore the latency the server was started with."""
        with self._lock:
            self._shared.clear()
            self._by_path.clear()
            self._flipped_seeds.clear()
            self.latency = self._default_latency
