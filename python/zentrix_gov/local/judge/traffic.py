"""How the judge service's model routes are used: a rate limit, and what it counted.

``--rate-limit R`` (``JudgeServer(rate_limit=R)``) lets through at most R model requests a
second, from a token bucket holding R tokens (one second's worth; at least 1): a request
beyond it is answered 429 with Retry-After, the whole seconds until the next token, and
``retry-after-ms``, the same in milliseconds, as hosted providers answer. The counts let
tests and benchmarks see what the clients did: requests in flight (and the most at once),
and how many were turned away.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass, field


class TokenBucket:
    """``rate`` tokens a second, at most ``capacity`` kept."""

    def __init__(self, rate: float, capacity: float | None = None):
        if not rate > 0:
            raise ValueError(f"a rate limit must be above 0 requests a second, got {rate}")
        self.rate = float(rate)
        self.capacity = float(capacity if capacity is not None else max(1.0, rate))
        self._tokens = self.capacity
        self._last = time.monotonic()
        self._lock = threading.Lock()

    def take(self) -> float:
        """0 when a token was taken, else the seconds until one is there."""
        with self._lock:
            now = time.monotonic()
            self._tokens = min(self.capacity, self._tokens + (now - self._last) * self.rate)
            self._last = now
            if self._tokens >= 1:
                self._tokens -= 1
                return 0.0
            return (1 - self._tokens) / self.rate


def retry_after_headers(seconds: float) -> dict[str, str]:
    """The headers of a 429 that asks to wait ``seconds``."""
    return {
        "Retry-After": str(max(1, math.ceil(seconds))),
        "retry-after-ms": str(max(1, math.ceil(seconds * 1000))),
    }


@dataclass
class Traffic:
    """Model requests as the service saw them: in flight now, the most at once, how many
    arrived and how many were answered 429; ``arrivals`` holds, for each in order, when it
    arrived (``time.monotonic()``) and how many were then in flight, itself included."""

    in_flight: int = 0
    peak: int = 0
    requests: int = 0
    rate_limited: int = 0
    arrivals: list[tuple[float, int]] = field(default_factory=list)
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def arrived(self) -> None:
        with self._lock:
            self.requests += 1
            self.in_flight += 1
            self.peak = max(self.peak, self.in_flight)
            self.arrivals.append((time.monotonic(), self.in_flight))

    def left(self, limited: bool) -> None:
        with self._lock:
            self.in_flight -= 1
            self.rate_limited += limited

    def clear(self) -> None:
        with self._lock:
            self.peak = self.in_flight
            self.requests = self.rate_limited = 0
            self.arrivals = []
