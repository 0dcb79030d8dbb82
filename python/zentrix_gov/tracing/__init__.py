"""Traces of runs as OpenTelemetry: a span for the run, one per unit, one per judge request
and per request to the detection service, and a ``gen_ai.evaluation.result`` event per
record and metric.

Tracing is off unless asked for: ``evaluate --otel`` (:mod:`.export`), or a
``tracer_provider`` given to :func:`zentrix_gov.runs.evaluate` (or set globally by an
application that imported OpenTelemetry itself). Nothing of OpenTelemetry is imported
otherwise: :mod:`.current`, the only module the rest of the SDK imports, holds the hooks
the run, the judge engine and the detection provider call, each a no-op while no run is
traced. The other modules of this package import OpenTelemetry and are loaded only by a
traced run.
"""

from __future__ import annotations

from zentrix_gov.tracing.current import active, for_run

__all__ = ["active", "for_run"]
