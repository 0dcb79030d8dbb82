"""How many requests a judge gets at once: a limit that adapts to the server's answers.

Additive increase, multiplicative decrease: when the server says it is overloaded (429 or
503) the limit halves, not below 1, once per round of requests (an answer to a request
sent before the last such answer does not lower it again); after as many successes in a
row as the limit, it grows by one, up to its ceiling (``--max-concurrency``). A
Retry-After the server sent holds every request of the judge not yet sent until then: the
server asked this client, not one request, to wait. The limit's history (when it went
down, and to what) is kept for the run's summary.

A server that answers at once is not slowed by fewer requests at a time, only by fewer a
second. So a wait under a second (a rate limiter's precise ``retry-after-ms``: the time
until its next free request) also paces the judge, once per round: requests are sent that
far apart, or 10 % further apart than before if that is more; after every
``PACE_STRETCH`` successes the interval shrinks by 2 %, and pacing ends once it is under
a millisecond.

With ``adaptive=False`` the limit stays at its ceiling and Retry-After concerns only the
request it came with: the behaviour before the limit adapted.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

PACE_STRETCH = 5
_SLOWER, _FASTER = 1.1, 0.98


@dataclass(frozen=True)
class Lowered:
    """The limit went down to ``limit`` at ``at`` (seconds since the epoch)."""

    at: float
    limit: int


class AdaptiveLimit:
    """At most :attr:`limit` holders at once (see the module)."""

    def __init__(self, ceiling: int, adaptive: bool = True):
        if ceiling < 1:
            raise ValueError(f"the concurrency ceiling must be at least 1, got {ceiling}")
        self.ceiling = ceiling
        self.adaptive = adaptive
        self.limit = ceiling
        self.in_use = 0
        self.lowered: list[Lowered] = []
        self._round = 0  # bumped by every answer that slows the judge down
        self._successes = 0
        self._hold_until = 0.0  # monotonic
        self.interval = 0.0  # seconds between sends (0: not paced)
        self._next_send = 0.0  # monotonic
        self._paced = 0  # successes since the interval last changed
        self._changed = threading.Condition()

    @contextmanager
    def slot(self) -> Iterator[Slot]:
        """Hold one place for the ``with`` block (waiting for one, and for any hold the
        server asked for)."""
        slot = Slot(self)
        slot.take(None)
        try:
            yield slot
        finally:
            if slot.held:
                slot.give_back()

    def _take(self, timeout: float | None) -> int | None:
        """A place, within ``timeout`` seconds (None: however long it takes); the round it
        was taken in, or None when the time ran out."""
        end = None if timeout is None else time.monotonic() + timeout
        with self._changed:
            while True:
                now = time.monotonic()
                held = max(self._hold_until, self._next_send) - now
                if self.in_use < self.limit and held <= 0:
                    self.in_use += 1
                    self._next_send = now + self.interval
                    return self._round
                if end is not None and now >= end:
                    return None
                # Until the hold ends, or a place is given back (notified), or time runs out.
                pause = held if held > 0 else None
                if end is not None:
                    pause = end - now if pause is None else min(pause, end - now)
                self._changed.wait(pause)

    def _give_back(self) -> None:
        with self._changed:
            self.in_use -= 1
            self._changed.notify()

    def overloaded(self, started: int, retry_after: float | None) -> bool:
        """The server answered 429 or 503 to a request that started in round ``started``;
        returns whether the limit went down."""
        if not self.adaptive:
            return False
        with self._changed:
            if retry_after:
                self._hold_until = max(self._hold_until, time.monotonic() + retry_after)
            # Once per round: the other answers of the same round tell nothing new.
            fresh = started == self._round
            lower = fresh and self.limit > 1
            if fresh:
                self._round += 1
                if retry_after is not None and retry_after < 1:
                    self.interval = max(self.interval * _SLOWER, retry_after)
                    self._paced = 0
            if lower:
                self.limit = max(1, self.limit // 2)
                self.lowered.append(Lowered(time.time(), self.limit))
            self._successes = 0
            self._changed.notify_all()
            return lower

    def succeeded(self) -> None:
        """A request was answered."""
        if not self.adaptive:
            return
        with self._changed:
            self._successes += 1
            if self._successes >= self.limit and self.limit < self.ceiling:
                self.limit += 1
                self._successes = 0
                self._changed.notify()
            self._paced += 1
            if self.interval and self._paced >= PACE_STRETCH:
                self.interval = self.interval * _FASTER if self.interval > 0.001 else 0.0
                self._paced = 0

    @property
    def lowest(self) -> int:
        """The lowest the limit went (the ceiling when it never went down)."""
        return min((entry.limit for entry in self.lowered), default=self.ceiling)


class Slot:
    """One place of an :class:`AdaptiveLimit`, held by one request; ``round`` is the round
    of the limit its current try started in."""

    def __init__(self, limit: AdaptiveLimit):
        self.limit = limit
        self.round = 0
        self.held = False

    def take(self, timeout: float | None) -> bool:
        taken = self.limit._take(timeout)
        if taken is None:
            return False
        self.round, self.held = taken, True
        return True

    def give_back(self) -> None:
        self.held = False
        self.limit._give_back()

    def wait_again(self, seconds: float, left: float | None) -> bool:
        """Give the place back for ``seconds`` (the server asked to wait), then take one
        again, as the limit now allows, within ``left`` seconds in all; whether it got one."""
        self.give_back()
        time.sleep(seconds)
        return self.take(None if left is None else max(0.0, left - seconds))
