"""Spans of units evaluated on Ray workers.

The unit's span context travels with the unit (W3C trace context, with whether content is
captured and the text limit: ``RunTracing.carrier``). The worker makes its spans (judge
requests, requests to the detection service) as children of that context, with a tracer
provider of its own that keeps them in memory; they go back to the driver with the unit's
reply, as plain data, and the driver makes them again under the unit's span
(``RunTracing.relay``) with their names, times, attributes, events and status. So one
provider exports a run's spans, whatever executor ran its units: the driver's, with its
bounded queue, or one the application gave.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.sdk.trace import ReadableSpan, SpanProcessor, TracerProvider
from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator

from zentrix_gov.tracing.current import activate, deactivate
from zentrix_gov.tracing.spans import RunTracing


class _Collector(SpanProcessor):
    """Keeps the ended spans whose parent is the span of a unit in flight, by unit."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._units: dict[int, list[dict[str, Any]]] = {}

    def expect(self, unit: int) -> None:
        with self._lock:
            self._units[unit] = []

    def take(self, unit: int) -> list[dict[str, Any]]:
        with self._lock:
            return self._units.pop(unit, [])

    def on_end(self, span: ReadableSpan) -> None:
        parent = span.parent
        if parent is None:
            return
        data = portable(span)
        with self._lock:
            spans = self._units.get(parent.span_id)
            if spans is not None:
                spans.append(data)


_provider: TracerProvider | None = None
_collector = _Collector()
_setup_lock = threading.Lock()


def _worker_provider() -> TracerProvider:
    global _provider
    with _setup_lock:
        if _provider is None:
            _provider = TracerProvider()
            _provider.add_span_processor(_collector)
        return _provider


@contextmanager
def traced_unit(carrier: dict[str, Any]) -> Iterator[Any]:
    """Trace the unit evaluated in the ``with`` block under the span ``carrier`` names;
    gives a callable returning the spans made so far (as :func:`portable` data)."""
    tracing = RunTracing(
        _worker_provider(), content=bool(carrier.get("content")), text_limit=carrier["text_limit"]
    )
    parent = TraceContextTextMapPropagator().extract(carrier.get("context") or {})
    unit = trace.get_current_span(parent).get_span_context().span_id
    _collector.expect(unit)
    attached = otel_context.attach(parent)
    active = activate(tracing)
    try:
        yield lambda: _collector.take(unit)
    finally:
        deactivate(active)
        otel_context.detach(attached)
        _collector.take(unit)


def portable(span: ReadableSpan) -> dict[str, Any]:
    """A span as data that pickles: what ``RunTracing.relay`` makes it again from."""
    return {
        "name": span.name,
        "kind": span.kind.name,
        "start": span.start_time,
        "end": span.end_time,
        "attributes": dict(span.attributes or {}),
        "events": [
            (event.name, dict(event.attributes or {}), event.timestamp) for event in span.events
        ],
        "status": (span.status.status_code.name, span.status.description),
    }
