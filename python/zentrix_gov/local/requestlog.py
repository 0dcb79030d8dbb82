"""The log of requests a local detection server has received, for tests to inspect."""

from __future__ import annotations

import json
import threading
from collections import deque
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, overload

from multidict import CIMultiDict

# About 1.3 KB per typical request: a long-running server keeps a few megabytes at most.
DEFAULT_MAX_REQUESTS = 10_000


@dataclass(frozen=True)
class RecordedRequest:
    """One request as it reached the server.

    ``body`` is empty for a request refused for its credentials: its body is never read.
    """

    method: str
    path: str  # path and query, e.g. "/ml/v1/text/detection?version=2023-10-25"
    headers: CIMultiDict[str]  # case-insensitive copy
    body: str  # raw body text (undecodable bytes replaced)

    def json(self) -> Any:
        """The body decoded from JSON (raises ``ValueError`` when it is not JSON)."""
        return json.loads(self.body)


class RequestLog:
    """Thread-safe log of the latest ``max_requests`` requests, written by the server loop.

    Older entries are dropped once the log is full; ``dropped`` counts them. A limit of 0
    records nothing.
    """

    def __init__(self, max_requests: int = DEFAULT_MAX_REQUESTS) -> None:
        if isinstance(max_requests, bool) or not isinstance(max_requests, int):
            raise TypeError("max_requests must be an integer.")
        if max_requests < 0:
            raise ValueError("max_requests must not be negative.")
        self._lock = threading.Lock()
        self._items: deque[RecordedRequest] = deque(maxlen=max_requests)
        self._dropped = 0

    @property
    def max_requests(self) -> int:
        return self._items.maxlen or 0

    @property
    def dropped(self) -> int:
        """Requests received but no longer (or never) held because the log was full."""
        with self._lock:
            return self._dropped

    def append(self, item: RecordedRequest) -> None:
        with self._lock:
            if len(self._items) == self._items.maxlen:
                self._dropped += 1
            self._items.append(item)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()
            self._dropped = 0

    def snapshot(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._items)

    def __len__(self) -> int:
        with self._lock:
            return len(self._items)

    @overload
    def __getitem__(self, index: int) -> RecordedRequest: ...
    @overload
    def __getitem__(self, index: slice) -> list[RecordedRequest]: ...
    def __getitem__(self, index: int | slice) -> RecordedRequest | list[RecordedRequest]:
        with self._lock:
            if isinstance(index, slice):
                return list(self._items)[index]
            return self._items[index]

    def __iter__(self) -> Iterator[RecordedRequest]:
        return iter(self.snapshot())


class Connections:
    """How many client connections a server has seen: each connection is told apart by
    its client's address and port, which stay the same for its life."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._seen: set[Any] = set()

    def saw(self, peer: Any) -> None:
        with self._lock:
            self._seen.add(peer)

    @property
    def opened(self) -> int:
        with self._lock:
            return len(self._seen)

    def clear(self) -> None:
        with self._lock:
            self._seen.clear()
