"""Overhead of the metric driver itself, synchronous and asynchronous.

100 trivial metrics (no work, result None) over a table of 10,000 rows; the
figure is the driver's own time per metric after the table preparation that
both forms share. Prints one line of JSON.
"""

import asyncio

import pandas as pd

from _support import emit, median_seconds
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.evaluators.impl import metricrun

METRICS = 100
ROWS = 10_000
REPEATS = 41


class Trivial:
    metric_dependencies: list = []

    def __init__(self, name):
        self.name = name

    def evaluate(self, **kwargs):
        return None

    async def evaluate_async(self, **kwargs):
        return None


class NoTelemetry:
    async def track_event(self, payload):
        return None


def main():
    metricrun.SegmentBatchManager = NoTelemetry
    metricrun.api_client_cache = object()  # no client is created
    metricrun.run_in_event_loop = lambda fn, *args, **kwargs: None
    config = GenAIConfiguration(input_fields=["question"], output_fields=["answer"])
    frame = pd.DataFrame(
        {
            "question": [f"question {i}" for i in range(ROWS)],
            "answer": [f"answer {i}" for i in range(ROWS)],
            "record_id": [str(i) for i in range(ROWS)],
            "record_timestamp": ["2026-01-01T00:00:00"] * ROWS,
        }
    )
    metrics = [Trivial(f"m{i}") for i in range(METRICS)]

    def timed(fn):
        return median_seconds(fn, REPEATS)

    base_sync = timed(lambda: metricrun._evaluate_metrics(config, frame, []))
    full_sync = timed(lambda: metricrun._evaluate_metrics(config, frame, metrics))
    base_async = timed(lambda: asyncio.run(metricrun._evaluate_metrics_async(config, frame, [])))
    full_async = timed(
        lambda: asyncio.run(metricrun._evaluate_metrics_async(config, frame, metrics))
    )
    emit(
        bench="driver",
        metrics=METRICS,
        rows=ROWS,
        sync_us_per_metric=round((full_sync - base_sync) / METRICS * 1e6, 2),
        async_us_per_metric=round((full_async - base_async) / METRICS * 1e6, 2),
        sync_call_ms=round(full_sync * 1e3, 2),
        async_call_ms=round(full_async * 1e3, 2),
        table_preparation_ms=round(base_sync * 1e3, 2),
    )


if __name__ == "__main__":
    main()
