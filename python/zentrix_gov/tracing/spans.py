"""The spans of a traced run and its evaluation events.

- ``run``: the run (``zentrix.run.*``: id, metrics, records, executor, status);
- ``unit {metric}``: one per unit, a child of the run (``zentrix.metric``,
  ``zentrix.chunk``, ``zentrix.unit.*``: records, attempts, outcome, values, errors,
  skipped);
- the unit's requests, its children: ``chat {model}`` per judge request (:mod:`.judge`),
  ``POST`` per request to the detection service (:mod:`.http`);
- one ``gen_ai.evaluation.result`` event per evaluated record and metric. A record that
  carries the evaluated operation's trace and span ids (``trace_fields``) gets its event
  on a span ``evaluation {metric}`` made a child of that operation's span, so the verdict
  shows on the application's own trace (linked to its unit); the others' events are events
  of their unit's span.

No span holds a key, a token or a URL's credentials; prompts, answers and explanations only
with ``content`` (cut at ``text_limit``). Errors are told by ``error.type`` (a type or an
error code), never by an exception's message.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from opentelemetry import trace
from opentelemetry.trace import Link, NonRecordingSpan, SpanContext, SpanKind, TraceFlags
from opentelemetry.trace.status import Status, StatusCode

from zentrix_gov.runs.schema import RESULT_COLUMNS, ResultStatus
from zentrix_gov.runs.units import has_no_value
from zentrix_gov.tracing.content import cut
from zentrix_gov.tracing.current import activate, deactivate
from zentrix_gov.utils.notices import note_once

EVENT = "gen_ai.evaluation.result"
TEXT_LIMIT = 10_000  # the run's text limit: that of its results files
_COLUMN = {name: index for index, name in enumerate(RESULT_COLUMNS)}


class RunTracing:
    """The spans of one run, made by ``tracer_provider``'s tracer."""

    def __init__(self, tracer_provider: Any, *, content: bool = False, text_limit: int = 0):
        from zentrix_gov import __version__

        self.provider = tracer_provider
        self.tracer = tracer_provider.get_tracer("zentrix_gov", __version__)
        self.content = content
        self.text_limit = text_limit or TEXT_LIMIT
        self.configuration: Any = None
        self._http: list[Any] | None = None

    # ------------------------------------------------------------------ run and units

    @contextmanager
    def run(
        self, run: Any, planned: Sequence[Any], executor: Any, configuration: Any
    ) -> Iterator[Any]:
        """The run's span, current (and this tracing active) in the ``with`` block."""
        self.configuration = configuration
        attributes = {
            "zentrix.run.id": run.id,
            "zentrix.run.metrics": [entry.name for entry in planned],
            "zentrix.run.records": int(run.total_records),
            "zentrix.run.executor": _executor_name(executor),
            "zentrix.run.chunk_size": int(run.chunk_size),
        }
        span = self.tracer.start_span("run", attributes=attributes)
        token = activate(self)
        try:
            with _current(span):
                yield span
        except BaseException as exc:
            _failed(span, exc)
            raise
        finally:
            deactivate(token)
            span.end()

    @contextmanager
    def unit(self, work: Any) -> Iterator[UnitSpan]:
        """A unit's span, current in the ``with`` block; see :meth:`UnitSpan.finished`."""
        attributes = {
            "zentrix.metric": work.metric.name,
            "zentrix.chunk": int(work.chunk),
            "zentrix.unit.first_record": int(work.first_position) + 1,
            "zentrix.unit.records": len(work.ids),
        }
        span = self.tracer.start_span(f"unit {work.metric.name}", attributes=attributes)
        try:
            with _current(span):
                yield UnitSpan(self, span, work)
        except BaseException as exc:
            span.set_attribute("zentrix.unit.outcome", "failed")
            _failed(span, exc)
            raise
        finally:
            span.end()

    # ------------------------------------------------------------------ requests

    def http_trace_configs(self) -> list[Any]:
        if self._http is None:
            from zentrix_gov.tracing.http import trace_configs

            self._http = trace_configs(self.tracer)
        return self._http

    # ------------------------------------------------------------------ Ray

    def carrier(self) -> dict[str, Any]:
        """What a unit takes to a Ray worker: the current (unit) span's context, and how to
        trace (see :mod:`.relay`)."""
        from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator

        context: dict[str, str] = {}
        TraceContextTextMapPropagator().inject(context)
        return {"context": context, "content": self.content, "text_limit": self.text_limit}

    def relay(self, spans: Sequence[dict[str, Any]]) -> None:
        """Spans a worker recorded under the current (unit) span, made again here with their
        names, times, attributes, events and status: children of that span."""
        for data in spans:
            span = self.tracer.start_span(
                data["name"],
                kind=SpanKind[data["kind"]],
                attributes=data["attributes"],
                start_time=data["start"],
            )
            for name, attributes, timestamp in data["events"]:
                span.add_event(name, attributes, timestamp=timestamp)
            code, description = data["status"]
            if code != "UNSET":
                span.set_status(Status(StatusCode[code], description))
            span.end(end_time=data["end"])

    # ------------------------------------------------------------------ events

    def evaluations(self, unit_span: Any, work: Any, outcome: Any) -> None:
        """One ``gen_ai.evaluation.result`` event per evaluated record of the unit."""
        configuration = self.configuration
        frame = work.frame
        fields = getattr(configuration, "trace_fields", None) or {}
        trace_ids = _cells(frame, fields.get("trace_id"))
        span_ids = _cells(frame, fields.get("span_id"))
        response_ids = _cells(frame, getattr(configuration, "response_id_field", None))
        name = work.metric.name
        first = work.first_position
        added = 0
        for row in outcome.rows:
            status = row[_COLUMN["status"]]
            if status == ResultStatus.SKIPPED:
                continue
            index = row[_COLUMN["position"]] - first
            attributes = self._event_attributes(name, row, status)
            if response_ids is not None and not has_no_value(response_ids[index]):
                attributes["gen_ai.response.id"] = str(response_ids[index])
            parent = None
            if trace_ids is not None and span_ids is not None:
                parent = _remote_parent(trace_ids[index], span_ids[index])
            if parent is None:
                unit_span.add_event(EVENT, attributes)
                added += 1
                continue
            span = self.tracer.start_span(
                f"evaluation {name}",
                context=parent,
                attributes=attributes,
                links=[Link(unit_span.get_span_context())],
            )
            span.add_event(EVENT, attributes)
            span.end()
        _check_kept(unit_span, added)

    def _event_attributes(self, name: str, row: Sequence[Any], status: str) -> dict[str, Any]:
        attributes: dict[str, Any] = {
            "gen_ai.evaluation.name": name,
            "zentrix.record.id": str(row[_COLUMN["record_id"]]),
        }
        if status == ResultStatus.ERROR:
            attributes["error.type"] = row[_COLUMN["error_code"]] or "ERROR"
        else:
            value = row[_COLUMN["value"]]
            if value is not None:
                attributes["gen_ai.evaluation.score.value"] = float(value)
            label = row[_COLUMN["label"]]
            if label is not None:
                attributes["gen_ai.evaluation.score.label"] = str(label)
        explanation = row[_COLUMN["explanation"]]
        if self.content and explanation:
            attributes["gen_ai.evaluation.explanation"] = cut(str(explanation), self.text_limit)
        return attributes


class UnitSpan:
    """The span of a unit in flight."""

    def __init__(self, tracing: RunTracing, span: Any, work: Any):
        self.tracing = tracing
        self.span = span
        self.work = work

    def finished(self, outcome: Any, attempts: int) -> None:
        """The unit's outcome: its figures on the span, and its records' events."""
        skipped = len(self.work.skipped)
        self.span.set_attributes(
            {
                "zentrix.unit.outcome": "ok",
                "zentrix.unit.attempts": int(attempts),
                "zentrix.unit.values": int(outcome.values),
                "zentrix.unit.errors": int(outcome.errors),
                "zentrix.unit.skipped": skipped,
            }
        )
        self.tracing.evaluations(self.span, self.work, outcome)


@contextmanager
def _current(span: Any) -> Iterator[None]:
    with trace.use_span(
        span, end_on_exit=False, record_exception=False, set_status_on_exception=False
    ):
        yield


def _failed(span: Any, error: BaseException) -> None:
    # The type only: an exception's message may quote a URL, a reply or a record.
    kind = type(error).__qualname__
    span.set_attribute("error.type", kind)
    span.set_status(Status(StatusCode.ERROR, kind))


def _executor_name(executor: Any) -> str:
    name = type(executor).__name__
    return {"LocalExecutor": "local", "RayExecutor": "ray"}.get(name, name)


def _cells(frame: Any, column: str | None) -> list[Any] | None:
    if not column or column not in frame.columns:
        return None
    return frame[column].tolist()


def _remote_parent(trace_id: Any, span_id: Any) -> Any:
    """The context whose span is the operation ``trace_id``/``span_id`` (hex, as
    OpenTelemetry writes them) name; None when they name none."""
    try:
        trace_number = int(str(trace_id).strip(), 16)
        span_number = int(str(span_id).strip(), 16)
    except ValueError:
        return None
    if not (0 < trace_number < 1 << 128 and 0 < span_number < 1 << 64):
        return None
    context = SpanContext(
        trace_number, span_number, is_remote=True, trace_flags=TraceFlags(TraceFlags.SAMPLED)
    )
    return trace.set_span_in_context(NonRecordingSpan(context))


def _check_kept(span: Any, added: int) -> None:
    """Say once when the tracer provider keeps fewer events per span than a unit has."""
    events = getattr(span, "events", None)
    if events is None or added == 0 or len(events) >= added:
        return
    note_once(
        "tracing-event-limit",
        f"the tracer provider keeps {len(events)} events per span, fewer than a unit's "
        f"{added} evaluations: set OTEL_SPAN_EVENT_COUNT_LIMIT to the chunk size or more",
    )
