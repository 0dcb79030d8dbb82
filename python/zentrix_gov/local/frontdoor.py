"""What every local service does before a handler runs: check the bearer token, record the
request, wait the scripted latency and answer scripted faults.

Each service decides the shape of its JSON errors (the detection service and the platform
routes use ``{"errors": [...], "status_code": N}``, OpenAI-compatible routes use
``{"error": {...}}``), so the helpers here take an ``error_reply`` callable.
"""

from __future__ import annotations

import asyncio
import hmac
import http
from collections.abc import Callable

from aiohttp import web
from multidict import CIMultiDict

from .faults import (
    DELAY,
    DROP,
    EMPTY_ANSWER,
    HANG,
    NEVER_STOPS,
    NO_USAGE,
    NON_JSON,
    NON_JSON_ERROR,
    PASS,
    REFUSES_SCHEMA,
    UNPARSEABLE,
    Fault,
    FaultPlan,
)
from .requestlog import RecordedRequest, RequestLog

# error_reply(status, code, message) -> the JSON reply of a failure
ErrorReply = Callable[[int, str, str], web.Response]

# Faults of chat completions alone: other routes serve such a request normally.
ROUTE_FAULTS = frozenset({REFUSES_SCHEMA, NEVER_STOPS, EMPTY_ANSWER, NO_USAGE})
# Set on a request whose scripted fault the route itself must act on (UNPARSEABLE).
FAULT_KEY = web.RequestKey("local_fault", Fault)


def error_response(status: int, code: str, message: str) -> web.Response:
    """The platform's JSON error shape: an ``errors`` list and the status code."""
    return web.json_response(
        {"errors": [{"code": code, "message": message}], "status_code": status}, status=status
    )


def reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Error"


def status_code_name(status: int) -> str:
    return reason(status).lower().replace(" ", "_").replace("-", "_")


def bearer_refusal(request: web.Request, token: str) -> str | None:
    """None when the request carries ``Authorization: Bearer <token>``, else the reason.

    The reason never repeats what the caller sent.
    """
    authorization = request.headers.get("Authorization")
    if authorization is None:
        return "Missing Authorization header."
    scheme, _, sent = authorization.partition(" ")
    if scheme.lower() != "bearer" or not hmac.compare_digest(sent.strip().encode(), token.encode()):
        return "The bearer token is not valid."
    return None


async def answer_fault(
    request: web.Request, fault: Fault, error_reply: ErrorReply = error_response
) -> web.StreamResponse:
    """The reply a scripted fault stands for (DROP closes the connection instead)."""
    if fault.kind == DROP:
        # Close the socket under the request: the client sees a disconnect, not a reply.
        if request.transport is not None:
            request.transport.abort()
        raise asyncio.CancelledError
    if fault.kind == HANG:
        await asyncio.Event().wait()  # until the client goes away or the server stops
    if fault.kind in (NON_JSON, UNPARSEABLE):
        return web.Response(status=200, text="this reply is not JSON", content_type="text/plain")
    if fault.kind == NON_JSON_ERROR:
        html = f"<html><body><h1>{fault.status} {reason(fault.status)}</h1></body></html>"
        return web.Response(status=fault.status, text=html, content_type="text/html")
    reply = error_reply(
        fault.status,
        status_code_name(fault.status),
        fault.message or f"Scripted failure with status {fault.status}.",
    )
    reply.headers.update(fault.headers)
    return reply


async def _read_body(request: web.Request, error_reply: ErrorReply) -> bytes | web.Response:
    """The body, or the error reply when it is larger than the app accepts."""
    try:
        return await request.read()
    except web.HTTPRequestEntityTooLarge as exc:
        return error_reply(413, "request_too_large", exc.text or "The body is too large.")


async def screen(
    request: web.Request,
    *,
    faults: FaultPlan,
    requests: RequestLog,
    refusal: str | None,
    error_reply: ErrorReply = error_response,
    handles: frozenset[str] = frozenset(),
) -> web.StreamResponse | None:
    """Record the request and answer it when a fault, the credentials or its size say so.

    ``refusal`` is the credential check's verdict, made from the headers alone: a caller
    without credentials never gets the server to read its body. Returns None when the
    handler should run; a fault whose kind is in ``handles`` is then left to the handler
    under ``request[FAULT_KEY]``.
    """
    # Take the scripted fault on arrival so concurrent requests consume it in arrival order.
    fault = faults.next_for(request.path)
    body = await _read_body(request, error_reply) if refusal is None else b""
    requests.append(
        RecordedRequest(
            request.method,
            request.path_qs,
            CIMultiDict(request.headers),
            body.decode("utf-8", errors="replace") if isinstance(body, bytes) else "",
        )
    )
    delay = faults.latency + (fault.delay if fault is not None and fault.kind == DELAY else 0.0)
    if delay > 0:
        await asyncio.sleep(delay)
    route_only = fault is not None and fault.kind in ROUTE_FAULTS
    if route_only and fault.kind not in handles:
        fault = None  # only chat completions act on these
    if fault is not None and fault.kind not in (PASS, DELAY):
        if fault.kind not in handles:
            return await answer_fault(request, fault, error_reply)
        request[FAULT_KEY] = fault
    if refusal is not None:
        return error_reply(401, "authentication_token_not_valid", refusal)
    if isinstance(body, web.Response):
        return body
    return None
