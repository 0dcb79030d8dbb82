"""What every engine built from one judge's request options shares during a run.

The C++ providers build a judge engine per unit (a metric over a chunk of records), and
with ``--concurrent`` several units run at once; what must hold across them lives here,
on a :class:`JudgeChannel` reached from the ``JudgeRequestOptions`` instance itself (by
identity: two equal options of two runs share nothing):

- the request slots: at most ``max_parallel`` requests of the judge at once over all its
  engines, a limit that adapts to the server's 429s and 503s (:mod:`.adaptive_limit`). A
  verdict's time limit starts when it holds a slot, so time spent waiting behind the
  run's other requests (the local model answers two at a time) is not counted;
- the HTTP connections to the judge, one client per server and key;
- what the judge's requests used (``usage``), and how many the server answered 429/503;
- which servers refused structured answers (``response_format``): asked without them
  for the rest of the run, and said once;
- who hears each verdict as it arrives (:meth:`JudgeChannel.listen`: the command line's
  progress counts verdicts, not only finished units).

A channel pickled (Ray workers receive the configuration pickled) arrives fresh: slots
and memory belong to the process that uses them, and a worker's slots are its share of
``max_parallel`` (:func:`set_share`). A deep copy is the same channel.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from zentrix_gov.engines.adaptive_limit import AdaptiveLimit, Slot
from zentrix_gov.spend.usage import Tokens
from zentrix_gov.utils.notices import note

_attach_lock = threading.Lock()
# This process's share of every judge's max_parallel (a Ray worker's); None: all of it.
_share: int | None = None


def set_share(requests: int | None) -> None:
    """Give this process at most ``requests`` of each judge's requests at once (a Ray
    worker's share of --max-concurrency); channels made from now on take it."""
    global _share
    _share = requests


class JudgeChannel:
    """The shared state of one judge for one run (see the module)."""

    def __init__(self, max_parallel: int, adaptive: bool = True):
        if max_parallel < 1:
            raise ValueError(f"max_parallel must be at least 1, got {max_parallel}.")
        self.max_parallel = max_parallel
        self.adaptive = adaptive
        self._limit: AdaptiveLimit | None = None
        self.usage = Tokens()
        self.rate_limited = 0
        self._lock = threading.Lock()
        self._unstructured: set[tuple[str, str]] = set()
        self._clients: dict[tuple[str, str], Any] = {}
        self._listeners: list[Callable[[], None]] = []

    @property
    def limit(self) -> AdaptiveLimit:
        """The judge's concurrency limit, made on first use: in a Ray worker, after the
        worker took its share (the channel itself arrives with the configuration)."""
        with self._lock:
            if self._limit is None:
                ceiling = self.max_parallel if _share is None else min(self.max_parallel, _share)
                self._limit = AdaptiveLimit(ceiling, self.adaptive)
            return self._limit

    @contextmanager
    def slot(self) -> Iterator[Slot]:
        """Hold one of the judge's request slots for the ``with`` block."""
        with self.limit.slot() as held:
            yield held

    def overloaded(self, started: int, retry_after: float | None) -> bool:
        """The server answered 429 or 503; returns whether the limit went down."""
        with self._lock:
            self.rate_limited += 1
        return self.limit.overloaded(started, retry_after)

    def used(self, tokens: Tokens) -> None:
        with self._lock:
            self.usage.add(tokens)

    def client(self, base_url: str, key: str) -> Any:
        """The HTTP client of the judge at ``base_url`` with ``key``, made on first use: the
        run's units share its connections."""
        import hashlib

        import httpx

        name = (base_url, hashlib.sha256(key.encode()).hexdigest())
        with self._lock:
            client = self._clients.get(name)
            if client is None:
                limits = httpx.Limits(max_connections=self.max_parallel)
                client = httpx.Client(headers={"Authorization": f"Bearer {key}"}, limits=limits)
                self._clients[name] = client
            return client

    def refuses_structure(self, url: str, model: str) -> bool:
        with self._lock:
            return (url, model) in self._unstructured

    def structure_refused(self, url: str, model: str) -> None:
        """Remember that ``url`` refused structured answers for ``model``; said the first
        time only."""
        with self._lock:
            first = (url, model) not in self._unstructured
            self._unstructured.add((url, model))
        if first:
            note(
                f"the judge at {url} refused structured answers (response_format); "
                "asking without them for the rest of the run"
            )

    def listen(self, listener: Callable[[], None]) -> None:
        """Call ``listener()`` each time a verdict arrives (or ends without an answer), from
        whichever thread asked it."""
        with self._lock:
            self._listeners.append(listener)

    def answered(self) -> None:
        """A verdict of the judge arrived (or ended without an answer)."""
        for listener in self._listeners:
            listener()

    def __reduce__(self) -> tuple[Any, ...]:
        return (JudgeChannel, (self.max_parallel, self.adaptive))

    def __deepcopy__(self, memo: dict[int, Any]) -> JudgeChannel:
        return self


def channel_of(options: Any) -> JudgeChannel:
    """The channel of ``options`` (a ``JudgeRequestOptions``), made on first use.

    A copy made with other options (``model_copy(update=...)``) carries its original's
    channel along; it gets a channel of its own when its ``max_parallel`` differs.
    """
    with _attach_lock:
        channel = options._channel
        adaptive = getattr(options, "adaptive", True)
        if channel is None or (channel.max_parallel, channel.adaptive) != (
            options.max_parallel,
            adaptive,
        ):
            channel = JudgeChannel(options.max_parallel, adaptive)
            options._channel = channel
        return channel
