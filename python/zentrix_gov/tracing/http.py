"""HTTP client spans of the requests to the detection service, from aiohttp's request hooks
on the provider's session (the native provider asks :func:`zentrix_gov.tracing.current.
detection_trace_configs` for them when it opens a session of a traced run).

Every try is a span of its own: a retried request (HTTP 429 or 503, which the provider
tries again after a back-off) shows as spans with ``error.type`` = the status, then the try
that passed. ``url.full`` is the URL without credentials.
"""

from __future__ import annotations

import functools
from typing import Any

from opentelemetry.trace import SpanKind
from opentelemetry.trace.status import Status, StatusCode

from zentrix_gov.tracing.content import clean_url, server_of


@functools.lru_cache(maxsize=64)
def _attributes(method: str, url: Any) -> dict[str, Any]:
    # A session sends every request to one URL: its attributes are worked out once.
    text = str(url)
    host, port = server_of(text)
    attributes: dict[str, Any] = {"http.request.method": method, "url.full": clean_url(text)}
    if host:
        attributes["server.address"] = host
    if port:
        attributes["server.port"] = port
    return attributes


def trace_configs(tracer: Any) -> list[Any]:
    """One frozen ``aiohttp.TraceConfig`` whose hooks make a span per request."""
    import aiohttp

    async def started(session: Any, context: Any, params: Any) -> None:
        context.span = tracer.start_span(
            params.method, kind=SpanKind.CLIENT, attributes=_attributes(params.method, params.url)
        )

    async def ended(session: Any, context: Any, params: Any) -> None:
        span = getattr(context, "span", None)
        if span is None:
            return
        status = params.response.status
        span.set_attribute("http.response.status_code", status)
        if status >= 400:
            span.set_attribute("error.type", str(status))
            span.set_status(Status(StatusCode.ERROR))
        span.end()

    async def failed(session: Any, context: Any, params: Any) -> None:
        span = getattr(context, "span", None)
        if span is None:
            return
        kind = type(params.exception).__qualname__
        span.set_attribute("error.type", kind)
        span.set_status(Status(StatusCode.ERROR, kind))
        span.end()

    config = aiohttp.TraceConfig()
    config.on_request_start.append(started)
    config.on_request_end.append(ended)
    config.on_request_exception.append(failed)
    config.freeze()
    return [config]
