"""Export of the command line's traces (``--otel``): OTLP over HTTP to the endpoint the
standard variables name (``OTEL_EXPORTER_OTLP_TRACES_ENDPOINT`` or
``OTEL_EXPORTER_OTLP_ENDPOINT``, ``OTEL_EXPORTER_OTLP_HEADERS``, ``OTEL_SERVICE_NAME``),
so that a collector that is down or slow never harms the run:

- spans are sent in the background, from a bounded queue (``QUEUE_SIZE``; a full queue
  drops the newest), each request within ``EXPORT_TIMEOUT`` seconds (or
  ``OTEL_EXPORTER_OTLP_TIMEOUT``);
- after a request that failed, batches are dropped at once for ``PAUSE_SECONDS`` before the
  collector is tried again, so a collector that never answers costs one time-out per pause,
  in the background;
- at the end the run waits at most ``FLUSH_SECONDS`` for what is still queued, then drops
  the rest;
- what could not be sent is counted and said once, at the end (:meth:`Export.finish`);
  the exporter's own log lines are kept quiet meanwhile.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Sequence

from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import ReadableSpan, SpanLimits, SpanProcessor, TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExporter, SpanExportResult

from zentrix_gov.tracing.content import clean_url

ENDPOINT_VARIABLES = ("OTEL_EXPORTER_OTLP_TRACES_ENDPOINT", "OTEL_EXPORTER_OTLP_ENDPOINT")
TIMEOUT_VARIABLES = ("OTEL_EXPORTER_OTLP_TRACES_TIMEOUT", "OTEL_EXPORTER_OTLP_TIMEOUT")
SERVICE_NAME = "zentrix-gov"
QUEUE_SIZE = 10_000
EXPORT_TIMEOUT = 5.0
PAUSE_SECONDS = 30.0
FLUSH_SECONDS = 2.0
# Loggers of the exporter and the batching processor: their failures are counted instead.
_QUIET_LOGGERS = ("opentelemetry.exporter", "opentelemetry.sdk._shared_internal")


def endpoint() -> str | None:
    """The trace endpoint the variables name (None when none does)."""
    for name in ENDPOINT_VARIABLES:
        value = os.environ.get(name, "").strip()
        if value:
            return value
    return None


class _Guarded(SpanExporter):
    """The OTLP exporter, counting what it sent, pausing after a failure and dropping
    everything once closed."""

    def __init__(self, inner: SpanExporter):
        self.inner = inner
        self.sent = 0
        self.failures = 0
        self._lock = threading.Lock()
        self._paused_until = 0.0
        self._closed = False

    def export(self, spans: Sequence[ReadableSpan]) -> SpanExportResult:
        if self._closed or time.monotonic() < self._paused_until:
            return SpanExportResult.FAILURE
        try:
            result = self.inner.export(spans)
        except Exception:
            result = SpanExportResult.FAILURE
        with self._lock:
            if result is SpanExportResult.SUCCESS:
                self.sent += len(spans)
            else:
                self.failures += 1
                self._paused_until = time.monotonic() + PAUSE_SECONDS
        return result

    def close(self) -> None:
        self._closed = True

    def shutdown(self) -> None:
        self.inner.shutdown()


class _Counter(SpanProcessor):
    """Counts the spans that ended (everything the run handed to the queue)."""

    def __init__(self) -> None:
        self.ended = 0
        self._lock = threading.Lock()

    def on_end(self, span: ReadableSpan) -> None:
        with self._lock:
            self.ended += 1


class Export:
    """The tracer provider of one command, exporting to :func:`endpoint`."""

    def __init__(self) -> None:
        from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter

        self.endpoint = endpoint()
        if self.endpoint is None:
            raise ValueError(
                "--otel exports to the endpoint named by OTEL_EXPORTER_OTLP_ENDPOINT (or "
                "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT); set one, e.g. "
                "OTEL_EXPORTER_OTLP_ENDPOINT=http://127.0.0.1:4318"
            )
        given = any(os.environ.get(name) for name in TIMEOUT_VARIABLES)
        timeout = None if given else EXPORT_TIMEOUT
        _quiet_loggers()  # for the rest of the command: what failed is said by finish()
        self.exporter = _Guarded(OTLPSpanExporter(timeout=timeout))
        self.counter = _Counter()
        service = os.environ.get("OTEL_SERVICE_NAME") or SERVICE_NAME
        self.provider = TracerProvider(
            resource=Resource.create({"service.name": service}),
            # A unit's evaluation events are events of its span: as many as its records.
            span_limits=SpanLimits(max_events=SpanLimits.UNSET),
            shutdown_on_exit=False,  # finish() ends it, within its bound
        )
        self.provider.add_span_processor(self.counter)
        self.provider.add_span_processor(
            BatchSpanProcessor(self.exporter, max_queue_size=QUEUE_SIZE)
        )

    def finish(self, wait: float = FLUSH_SECONDS) -> str | None:
        """Send what is queued, waiting at most ``wait`` seconds, then drop the rest; the
        line that says what could not be sent (None when everything was)."""
        done = threading.Event()

        def shut_down() -> None:
            try:
                self.provider.shutdown()
            finally:
                done.set()

        # A daemon thread: an export stuck on a collector that never answers may outlive
        # the wait, never the process.
        threading.Thread(target=shut_down, name="zentrix-otel-finish", daemon=True).start()
        done.wait(wait)
        self.exporter.close()
        dropped = self.counter.ended - self.exporter.sent
        if dropped <= 0:
            return None
        return (
            f"traces: {dropped} of {self.counter.ended} spans could not be sent to "
            f"{clean_url(self.endpoint or '')} and were dropped (the run is not affected)"
        )


def _quiet_loggers() -> None:
    for name in _QUIET_LOGGERS:
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)
