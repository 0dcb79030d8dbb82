"""A local OTLP/HTTP trace receiver, for tests and benchmarks of traced runs.

It listens on 127.0.0.1 (a free port unless told one) and takes ``POST /v1/traces``
(protobuf, gzip or not), keeping every span as a :class:`ReceivedSpan` and every request
body as sent. ``behaviour="hang"`` makes it a collector that never answers (each request
is held until the receiver stops).

    with OTLPReceiver() as receiver:
        os.environ["OTEL_EXPORTER_OTLP_ENDPOINT"] = receiver.url
        ...
        receiver.spans

Run as ``python -m zentrix_gov.local.otlp [--port N]``, it prints its URL, then, when
ended (SIGTERM or Ctrl-C), a JSON line of the spans and events it received.
"""

from __future__ import annotations

import argparse
import gzip
import json
import signal
import sys
import threading
import zlib
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


@dataclass
class ReceivedSpan:
    name: str
    trace_id: str
    span_id: str
    parent_id: str  # "" for a root span
    kind: int
    attributes: dict[str, Any]
    events: list[tuple[str, dict[str, Any]]]
    status: int  # 0 unset, 1 ok, 2 error
    resource: dict[str, Any] = field(default_factory=dict)


def _value(value: Any) -> Any:
    kind = value.WhichOneof("value")
    if kind == "array_value":
        return [_value(item) for item in value.array_value.values]
    return getattr(value, kind) if kind else None


def _attributes(pairs: Any) -> dict[str, Any]:
    return {pair.key: _value(pair.value) for pair in pairs}


def decode(body: bytes) -> list[ReceivedSpan]:
    """The spans of one OTLP/HTTP protobuf request body."""
    from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
        ExportTraceServiceRequest,
    )

    request = ExportTraceServiceRequest()
    request.ParseFromString(body)
    spans = []
    for resource_spans in request.resource_spans:
        resource = _attributes(resource_spans.resource.attributes)
        for scope_spans in resource_spans.scope_spans:
            for span in scope_spans.spans:
                spans.append(
                    ReceivedSpan(
                        name=span.name,
                        trace_id=span.trace_id.hex(),
                        span_id=span.span_id.hex(),
                        parent_id=span.parent_span_id.hex(),
                        kind=span.kind,
                        attributes=_attributes(span.attributes),
                        events=[(e.name, _attributes(e.attributes)) for e in span.events],
                        status=span.status.code,
                        resource=resource,
                    )
                )
    return spans


class OTLPReceiver:
    """The receiver, serving in a thread of this process for the ``with`` block."""

    def __init__(self, behaviour: str = "answer", port: int = 0):
        if behaviour not in ("answer", "hang"):
            raise ValueError(f"behaviour must be 'answer' or 'hang', not {behaviour!r}")
        self.behaviour = behaviour
        self.spans: list[ReceivedSpan] = []
        self.bodies: list[bytes] = []
        self.requests = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._server = ThreadingHTTPServer(("127.0.0.1", port), self._handler())
        self._server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread: threading.Thread | None = None

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                with receiver._lock:
                    receiver.requests += 1
                if receiver.behaviour == "hang":
                    receiver._stopping.wait(600)
                    return
                encoding = (self.headers.get("Content-Encoding") or "").lower()
                if encoding == "gzip":
                    body = gzip.decompress(body)
                elif encoding == "deflate":
                    body = zlib.decompress(body)
                if self.path != "/v1/traces":
                    self.send_error(404)
                    return
                spans = decode(body)
                with receiver._lock:
                    receiver.bodies.append(body)
                    receiver.spans.extend(spans)
                self.send_response(200)
                self.send_header("Content-Type", "application/x-protobuf")
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, format: str, *args: Any) -> None:
                pass

        return Handler

    def start(self) -> OTLPReceiver:
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=10)

    def __enter__(self) -> OTLPReceiver:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def events(self, name: str | None = None) -> list[tuple[ReceivedSpan, dict[str, Any]]]:
        """Every event received (of ``name`` when given), with the span that holds it."""
        with self._lock:
            spans = list(self.spans)
        return [
            (span, attributes)
            for span in spans
            for event_name, attributes in span.events
            if name is None or event_name == name
        ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zentrix_gov.local.otlp")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--behaviour", choices=("answer", "hang"), default="answer")
    args = parser.parse_args(argv)
    receiver = OTLPReceiver(args.behaviour, args.port).start()
    print(receiver.url, flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        while not stop.wait(1):
            pass
    except KeyboardInterrupt:
        pass
    receiver.stop()
    names: dict[str, int] = {}
    for span in receiver.spans:
        names[span.name.split(" ")[0]] = names.get(span.name.split(" ")[0], 0) + 1
    print(
        json.dumps(
            {"spans": len(receiver.spans), "events": len(receiver.events()), "by_name": names}
        ),
        flush=True,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
