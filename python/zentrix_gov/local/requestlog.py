"""The log of requests a local detection server has received, for tests to inspect."""

from __future__ import annotations

import json
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from multidict import CIMultiDict


@dataclass(frozen=True)
class RecordedRequest:
    """One request as it reached the server."""

    method: str
    path: str  # path and query, e.g. "/ml/v1/text/detection?version=2023-10-25"
    headers: CIMultiDict[str]  # case-insensitive copy
    body: str  # raw body text (undecodable bytes replaced)

    def json(self) -> Any:
        """The body decoded from JSON (raises ``ValueError`` when it is not JSON)."""
        return json.loads(self.body)


class RequestLog:
    """Thread-safe list of :class:`RecordedRequest`, written by the server loop."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._items: list[RecordedRequest] = []

    def append(self, item: RecordedRequest) -> None:
        with self._lock:
            self._items.append(item)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()

    def snapshot(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._items)

    def __len__(self) -> int:
        with self._lock:
            return len(self._items)

    def __getitem__(self, index: int) -> RecordedRequest:
        with self._lock:
            return self._items[index]

    def __iter__(self) -> Iterator[RecordedRequest]:
        return iter(self.snapshot())
