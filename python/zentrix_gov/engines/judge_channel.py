"""What every engine built from one judge's request options shares during a run.

The C++ providers build a judge engine per unit (a metric over a chunk of records), and
with ``--concurrent`` several units run at once; what must hold across them lives here,
on a :class:`JudgeChannel` reached from the ``JudgeRequestOptions`` instance itself (by
identity: two equal options of two runs share nothing):

- the request slots: at most ``max_parallel`` requests of the judge at once over all its
  engines. A verdict's time limit starts when it holds a slot, so time spent waiting
  behind the run's other requests (the local model answers two at a time) is not counted;
- which servers refused structured answers (``response_format``): asked without them
  for the rest of the run, and said once;
- who hears each verdict as it arrives (:meth:`JudgeChannel.listen`: the command line's
  progress counts verdicts, not only finished units).

A channel pickled (Ray workers receive the configuration pickled) arrives fresh: slots
and memory belong to the process that uses them. A deep copy is the same channel.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from zentrix_gov.utils.notices import note

_attach_lock = threading.Lock()


class JudgeChannel:
    """The shared state of one judge for one run: request slots and refused structure."""

    def __init__(self, max_parallel: int):
        if max_parallel < 1:
            raise ValueError(f"max_parallel must be at least 1, got {max_parallel}.")
        self.max_parallel = max_parallel
        self._slots = threading.BoundedSemaphore(max_parallel)
        self._lock = threading.Lock()
        self._unstructured: set[tuple[str, str]] = set()
        self._listeners: list[Callable[[], None]] = []

    @contextmanager
    def slot(self) -> Iterator[None]:
        """Hold one of the judge's request slots for the ``with`` block."""
        with self._slots:
            yield

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
        return (JudgeChannel, (self.max_parallel,))

    def __deepcopy__(self, memo: dict[int, Any]) -> JudgeChannel:
        return self


def channel_of(options: Any) -> JudgeChannel:
    """The channel of ``options`` (a ``JudgeRequestOptions``), made on first use.

    A copy made with other options (``model_copy(update=...)``) carries its original's
    channel along; it gets a channel of its own when its ``max_parallel`` differs.
    """
    with _attach_lock:
        channel = options._channel
        if channel is None or channel.max_parallel != options.max_parallel:
            channel = JudgeChannel(options.max_parallel)
            options._channel = channel
        return channel
