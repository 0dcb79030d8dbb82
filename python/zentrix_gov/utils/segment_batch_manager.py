"""Batched usage telemetry.

Events are kept in memory. They leave the process only when ``ZENTRIX_TELEMETRY_FILE`` names
a file: then they are appended to it as JSON lines whenever the batch is full, on
``flush()``, and when the manager is discarded. Nothing is ever sent over the network.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import threading
import weakref
from collections import deque
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

TELEMETRY_FILE_ENV = "ZENTRIX_TELEMETRY_FILE"


class _Batch:
    """Pending events and their sink, kept apart from the manager so a finalizer can flush."""

    def __init__(self, max_events: int, sink_path: Path | None) -> None:
        self.lock = threading.Lock()
        self.events: deque[dict[str, Any]] = deque(maxlen=max_events)
        self.sink_path = sink_path

    def flush(self) -> int:
        if self.sink_path is None:
            return 0
        with self.lock:
            if not self.events:
                return 0
            lines = "".join(json.dumps(event, default=str) + "\n" for event in self.events)
            self.sink_path.parent.mkdir(parents=True, exist_ok=True)
            with self.sink_path.open("a", encoding="utf-8") as handle:
                handle.write(lines)
            # Cleared only once written, so a failed write loses nothing.
            written = len(self.events)
            self.events.clear()
            return written


class SegmentBatchManager:
    """Collects telemetry events in a bounded in-memory batch."""

    # Events written at once when a sink is configured.
    BATCH_SIZE = 20
    # Without a sink nothing drains the batch; beyond this the oldest events are dropped.
    MAX_EVENTS = 1000

    def __init__(self) -> None:
        sink = os.environ.get(TELEMETRY_FILE_ENV)
        self._batch = _Batch(self.MAX_EVENTS, Path(sink) if sink else None)
        self.dropped_events = 0
        if self._batch.sink_path is not None:
            # Events of a manager that is dropped before its batch fills are still written.
            weakref.finalize(self, _flush_quietly, self._batch)

    @property
    def sink_path(self) -> Path | None:
        return self._batch.sink_path

    @property
    def pending_events(self) -> list[dict[str, Any]]:
        """Events recorded and not yet written, oldest first."""
        with self._batch.lock:
            return list(self._batch.events)

    async def track_event(self, payload: dict[str, Any]) -> None:
        """Record one event; write the batch when it is full and a sink is configured."""
        if not isinstance(payload, dict):
            raise TypeError(f"A telemetry event must be a dict, got {type(payload).__name__}.")
        event = {**payload, "timestamp": datetime.now(UTC).isoformat()}
        batch = self._batch
        with batch.lock:
            if len(batch.events) == batch.events.maxlen:
                self.dropped_events += 1
            batch.events.append(event)
            full = len(batch.events) >= self.BATCH_SIZE
        if full and batch.sink_path is not None:
            # File writes block; keep them off the event loop.
            await asyncio.get_running_loop().run_in_executor(None, batch.flush)

    def flush(self) -> int:
        """Write pending events to the sink and return how many were written.

        Without a sink the events stay in memory and nothing is written.
        """
        return self._batch.flush()


def _flush_quietly(batch: _Batch) -> None:
    # Runs from a finalizer: telemetry must never raise into unrelated code.
    with contextlib.suppress(OSError):
        batch.flush()
