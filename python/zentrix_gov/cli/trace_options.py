"""``--otel`` and ``--otel-capture-content`` of ``evaluate`` and ``risk``."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from zentrix_gov.cli.errors import UsageError

TRACE_EPILOG = """\
traces (--otel, needs the 'otel' extra):
  spans of the run, its units and its requests, and one gen_ai.evaluation.result event per
  record and metric, sent over OTLP/HTTP to $OTEL_EXPORTER_OTLP_ENDPOINT (headers from
  $OTEL_EXPORTER_OTLP_HEADERS, service name from $OTEL_SERVICE_NAME). A collector that is
  down or slow never fails or slows the run: what could not be sent is counted and said at
  the end. Config keys trace_fields ({"trace_id": COLUMN, "span_id": COLUMN}) and
  response_id_field attach each record's event to the application's own span.
"""


def add_trace_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("traces")
    group.add_argument(
        "--otel",
        action="store_true",
        help="export OpenTelemetry traces to $OTEL_EXPORTER_OTLP_ENDPOINT (see below)",
    )
    group.add_argument(
        "--otel-capture-content",
        action="store_true",
        help="put prompts, answers and explanations in the spans (cut at the results' "
        "text limit); left out by default",
    )


@contextmanager
def command_tracing(args: argparse.Namespace) -> Iterator[Any]:
    """The tracing of the command's run (None without ``--otel``); on leaving, the spans
    still queued are sent within a bound, and what could not be sent is said once."""
    if getattr(args, "otel_capture_content", False) and not args.otel:
        raise UsageError("--otel-capture-content goes with --otel")
    if not args.otel:
        yield None
        return
    try:
        import opentelemetry.exporter.otlp.proto.http
        import opentelemetry.sdk  # noqa: F401
    except ImportError:
        raise UsageError(
            "--otel needs OpenTelemetry: install the 'otel' extra (pip install 'zentrix-gov[otel]')"
        ) from None
    from zentrix_gov.tracing import for_run
    from zentrix_gov.tracing.export import Export

    try:
        export = Export()
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    try:
        yield for_run(export.provider, content=args.otel_capture_content)
    finally:
        said = export.finish()
        if said:
            from zentrix_gov.utils.notices import note

            note(said)


@contextmanager
def traced_risk(tracing: Any, name: str, risks: Any) -> Iterator[Any]:
    """The span of a risk evaluation (None when not traced)."""
    if tracing is None:
        yield None
        return
    from zentrix_gov.tracing.risk import risk_evaluation

    with risk_evaluation(tracing, name, risks) as span:
        yield span
