"""Traced runs: the SDK's in-memory exporter behind a tracer provider of the test's own."""

from __future__ import annotations

from typing import Any

import pytest

pytest.importorskip("opentelemetry.sdk", reason="the 'otel' extra is not installed")


class Traces:
    """A tracer provider whose finished spans the test reads back."""

    def __init__(self) -> None:
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        self.exporter = InMemorySpanExporter()
        self.provider = TracerProvider()
        self.provider.add_span_processor(SimpleSpanProcessor(self.exporter))

    def spans(self, start: str = "") -> list[Any]:
        return [s for s in self.exporter.get_finished_spans() if s.name.startswith(start)]

    def one(self, name: str) -> Any:
        (span,) = [s for s in self.exporter.get_finished_spans() if s.name == name]
        return span

    def events(self) -> list[tuple[Any, dict[str, Any]]]:
        """Every evaluation event, with the span that holds it."""
        return [
            (span, dict(event.attributes))
            for span in self.exporter.get_finished_spans()
            for event in span.events
            if event.name == "gen_ai.evaluation.result"
        ]


@pytest.fixture
def traces() -> Traces:
    return Traces()
