import asyncio
from types import SimpleNamespace

import pytest

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.evaluators.impl import metricrun


class FakeMetric:
    """A metric that records how the driver called it and returns a marker result."""

    def __init__(self, name, dependencies=(), result="default", delay=0.0, error=None):
        self.name = name
        self.metric_dependencies = list(dependencies)
        self.result = f"result:{name}" if result == "default" else result
        self.delay = delay
        self.error = error
        self.calls = []

    def evaluate(self, **kwargs):
        self.calls.append(kwargs)
        if self.error:
            raise self.error
        return self.result

    async def evaluate_async(self, **kwargs):
        self.calls.append(kwargs)
        self.seen_results = list(kwargs.get("metrics_result", []))
        await asyncio.sleep(self.delay)
        if self.error:
            raise self.error
        return self.result


class FakeGroup:
    def __init__(self, *metrics):
        self.metrics = list(metrics)

    def get_metrics(self):
        return list(self.metrics)


class RecordingTelemetry:
    events = []

    async def track_event(self, payload):
        RecordingTelemetry.events.append(payload)


@pytest.fixture
def driver(monkeypatch):
    """The driver module with telemetry recorded and no default client created."""
    RecordingTelemetry.events = []
    monkeypatch.setattr(metricrun, "SegmentBatchManager", RecordingTelemetry)
    monkeypatch.setattr(metricrun, "api_client_cache", None)
    monkeypatch.setattr(metricrun, "APIClient", lambda: SimpleNamespace(kind="default client"))
    monkeypatch.delenv("ZENTRIX_SERVER", raising=False)
    return metricrun


@pytest.fixture
def config():
    return GenAIConfiguration(
        input_fields=["question"], output_fields=["answer"], context_fields=["context"]
    )


@pytest.fixture
def rows():
    return [
        {"question": "q1", "answer": 1, "context": "c1"},
        {"question": "q2", "answer": 2, "context": "c2"},
        {"question": "q3", "answer": 3, "context": "c3"},
    ]
