"""The aiohttp app of the local judge & platform stand-in: shared state, the front door and
the routing.

Every route needs ``Authorization: Bearer <token>``; the check reads the headers only, so
a caller without the token never gets its body read. Requests are recorded and scripted
faults (:mod:`zentrix_gov.local.faults`) answer before the credential check, as a gateway
in front of the real service would. OpenAI-compatible routes answer errors in OpenAI's
shape, the platform routes in the platform's ``{"errors": [...]}`` shape.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable

from aiohttp import web

from ..faults import UNPARSEABLE
from ..frontdoor import ROUTE_FAULTS, bearer_refusal, error_response, screen, status_code_name
from . import openai_routes, platform
from .openai_shapes import RequestError, error_body
from .state import (
    ANSWER_PATHS,
    OPENAI_PATHS,
    PATH_CHAT,
    PATH_COMPLETIONS,
    PATH_GENERATION,
    PATH_MODEL_SPECS,
    PATH_MODELS,
    SERVICE_KEY,
    SLOTS_KEY,
    JudgeService,
)
from .traffic import retry_after_headers

CLIENT_MAX_SIZE = 16 * 1024 * 1024


def openai_error(status: int, code: str, message: str, param: str | None = None) -> web.Response:
    kind = "authentication_error" if status == 401 else "invalid_request_error"
    if status >= 500:
        kind = "server_error"
    return web.json_response(error_body(message, kind, code, param), status=status)


def error_reply_for(path: str) -> Callable[[int, str, str], web.Response]:
    return openai_error if path in OPENAI_PATHS else error_response


def _handled_faults(path: str) -> frozenset[str]:
    """The scripted faults a route acts on itself."""
    if path == PATH_CHAT:
        return ROUTE_FAULTS | {UNPARSEABLE}
    return frozenset({UNPARSEABLE}) if path in ANSWER_PATHS else frozenset()


@web.middleware
async def _front_door(request: web.Request, handler: Callable) -> web.StreamResponse:
    """Check the token, record, delay and inject faults before any handler runs. Model
    requests are counted, turned away beyond the rate limit (429) and, with slots, wait
    for one first (the scripted latency is their work)."""
    if request.path not in ANSWER_PATHS:
        return await _serve(request, handler)
    service = request.app[SERVICE_KEY]
    service.traffic.arrived()
    wait = service.rate_limit.take() if service.rate_limit is not None else 0.0
    try:
        if wait > 0:
            await request.read()
            message = f"Rate limit reached: {service.rate_limit.rate:g} requests per second."
            reply = error_reply_for(request.path)(429, "rate_limit_exceeded", message)
            reply.headers.update(retry_after_headers(wait))
            return reply
        slots = request.app.get(SLOTS_KEY)
        if slots is None:
            return await _serve(request, handler)
        async with slots:
            return await _serve(request, handler)
    finally:
        service.traffic.left(limited=wait > 0)


async def _serve(request: web.Request, handler: Callable) -> web.StreamResponse:
    service = request.app[SERVICE_KEY]
    error_reply = error_reply_for(request.path)
    early = await screen(
        request,
        faults=service.faults,
        requests=service.requests,
        refusal=bearer_refusal(request, service.token),
        error_reply=error_reply,
        handles=_handled_faults(request.path),
    )
    if early is not None:
        return early
    try:
        return await handler(request)
    except RequestError as exc:
        code = "invalid_request" if exc.status == 400 else status_code_name(exc.status)
        if request.path in OPENAI_PATHS:
            return openai_error(exc.status, code, exc.message, exc.param)
        return error_response(exc.status, code, exc.message)
    except web.HTTPException as exc:
        return error_reply(exc.status, status_code_name(exc.status), exc.reason)
    except Exception as exc:  # a reply, not a dropped connection, for anything unforeseen
        return error_reply(500, "internal_error", f"{type(exc).__name__}: {exc}")


async def _unknown_route(request: web.Request) -> web.Response:
    known = {route.resource.canonical for route in request.app.router.routes()}
    if request.path in known:
        raise RequestError(f"{request.method} is not allowed at {request.path}.", status=405)
    raise RequestError(f"No endpoint at {request.path}.", status=404)


def create_app(service: JudgeService) -> web.Application:
    """The aiohttp application serving the judge and platform routes for ``service``."""
    app = web.Application(middlewares=[_front_door], client_max_size=CLIENT_MAX_SIZE)
    app[SERVICE_KEY] = service
    if service.slots is not None:
        app[SLOTS_KEY] = asyncio.Semaphore(service.slots)  # made per start: one per event loop
    app.router.add_post(PATH_CHAT, openai_routes.chat_completions)
    app.router.add_post(PATH_COMPLETIONS, openai_routes.completions)
    app.router.add_get(PATH_MODELS, openai_routes.models)
    app.router.add_get(PATH_MODEL_SPECS, platform.model_specs)
    app.router.add_post(PATH_GENERATION, platform.text_generation)
    app.router.add_route("*", "/{tail:.*}", _unknown_route)
    return app
