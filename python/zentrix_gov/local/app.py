"""The aiohttp app of the local detection service: routes, the front-door middleware and
the JSON error replies.

The front door checks the bearer token and governance instance id from the headers alone,
so a request with bad credentials is refused before its body (up to ``CLIENT_MAX_SIZE``) is
read. Every request is recorded in the service's :class:`RequestLog`; scripted faults
(:mod:`zentrix_gov.local.faults`) answer before the credential check, as a gateway in front
of the real service would.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from aiohttp import web

from . import detectors
from .endpoints import (
    DETECTOR_PATHS,
    ENDPOINT_DETECTORS,
    PATH_CONTEXT,
    PATH_GENERATED,
    PATH_TEXT,
)
from .faults import FaultPlan
from .frontdoor import bearer_refusal, error_response, screen, status_code_name
from .regex_runner import RegexMatcher, RegexTimeout, RegexWorkerError
from .requestlog import Connections, RequestLog
from .scoring.common import DetectorError, require_str, string_list

# The client may post tens of thousands of records at once, some with long contexts.
CLIENT_MAX_SIZE = 64 * 1024 * 1024


@dataclass
class DetectionService:
    """State shared by the handlers of one app."""

    token: str
    instance_id: str
    faults: FaultPlan
    requests: RequestLog
    regex: RegexMatcher
    connections: Connections = field(default_factory=Connections)


SERVICE_KEY = web.AppKey("detection_service", DetectionService)


# --------------------------------------------------------------------------- middleware


def _authorised(service: DetectionService, request: web.Request) -> str | None:
    """None when the request carries the expected credentials, else the reason."""
    refusal = bearer_refusal(request, service.token)
    if refusal is not None:
        return refusal
    if request.headers.get("x-governance-instance-id") != service.instance_id:
        return "Missing or unknown x-governance-instance-id header."
    return None


@web.middleware
async def _front_door(request: web.Request, handler: Callable) -> web.StreamResponse:
    """Check credentials, record, delay and inject faults before any handler runs."""
    service = request.app[SERVICE_KEY]
    if request.transport is not None:
        service.connections.saw(request.transport.get_extra_info("peername"))
    early = await screen(
        request,
        faults=service.faults,
        requests=service.requests,
        refusal=_authorised(service, request),
    )
    if early is not None:
        return early
    try:
        return await handler(request)
    except DetectorError as exc:
        return error_response(exc.status, exc.code, exc.message)
    except web.HTTPException as exc:
        return error_response(exc.status, status_code_name(exc.status), exc.reason)
    except RegexTimeout as exc:
        return error_response(422, "regex_timeout", str(exc))
    except RegexWorkerError as exc:
        return error_response(500, "internal_error", f"Regex matching failed: {exc}")
    except Exception as exc:  # a reply, not a dropped connection, for anything unforeseen
        return error_response(500, "internal_error", f"{type(exc).__name__}: {exc}")


# --------------------------------------------------------------------------- handlers


def _parse_body(raw: bytes) -> dict[str, Any]:
    try:
        body = json.loads(raw)
    except ValueError as exc:
        raise DetectorError(f"The request body is not valid JSON: {exc}.") from None
    if not isinstance(body, dict):
        raise DetectorError("The request body must be a JSON object.")
    return body


def _member(body: dict[str, Any], name: str) -> Any:
    if name not in body:
        raise DetectorError(f"The request body is missing the required member '{name}'.")
    return body[name]


def _detector_entry(body: dict[str, Any], path: str) -> tuple[str, dict[str, Any]]:
    entry = _member(body, "detectors")
    if not isinstance(entry, dict) or len(entry) != 1:
        raise DetectorError("'detectors' must be an object with exactly one detector.")
    ((name, params),) = entry.items()
    if name not in detectors.ALL_DETECTORS:
        raise DetectorError(
            f"Unknown detector '{name}'. Known detectors: "
            f"{', '.join(sorted(detectors.ALL_DETECTORS))}.",
            code="unknown_detector",
        )
    if name not in ENDPOINT_DETECTORS[path]:
        raise DetectorError(
            f"Detector '{name}' is not served at {path}; use {DETECTOR_PATHS[name]}.",
            code="unsupported_detector",
        )
    if params is None:
        params = {}
    if not isinstance(params, dict):
        raise DetectorError(f"The parameters of detector '{name}' must be an object.")
    return name, params


async def _score(
    service: DetectionService, path: str, name: str, params: dict[str, Any], body: dict[str, Any]
) -> list[detectors.Detection]:
    if path == PATH_TEXT:
        text = require_str(_member(body, "input"), "input")
        if name == "regex":
            patterns = detectors.regex_patterns(params)
            matches, _ = await service.regex.find(patterns, text)
            return detectors.regex_detections(patterns, text, matches)
        return detectors.TEXT_SCORERS[name](params, text)
    if path == PATH_GENERATED:
        prompt = require_str(_member(body, "prompt"), "prompt")
        generated = require_str(_member(body, "generated_text"), "generated_text")
        return detectors.detect_answer_relevance(params, prompt, generated)
    if path == PATH_CONTEXT:
        text = require_str(_member(body, "input"), "input")
        if body.get("context_type", "docs") != "docs":
            raise DetectorError("'context_type' must be \"docs\".")
        contexts = string_list(_member(body, "context"), "context")
        if name == "faithfulness":
            return detectors.detect_faithfulness(params, text, contexts)
        return detectors.detect_context_relevance(params, text, contexts)
    return detectors.detect_tool_call_accuracy(
        params, _member(body, "messages"), _member(body, "tools")
    )


def _make_handler(path: str) -> Callable:
    async def handle(request: web.Request) -> web.Response:
        if "version" not in request.query:
            raise DetectorError("The query parameter 'version' is required.")
        service = request.app[SERVICE_KEY]
        body = _parse_body(await request.read())
        name, params = _detector_entry(body, path)
        return web.json_response({"detections": await _score(service, path, name, params, body)})

    return handle


async def _unknown_route(request: web.Request) -> web.Response:
    if request.path in ENDPOINT_DETECTORS:
        raise DetectorError(
            f"{request.method} is not allowed at {request.path}; use POST.",
            status=405,
            code="method_not_allowed",
        )
    raise DetectorError(f"No endpoint at {request.path}.", status=404, code="not_found")


def create_app(service: DetectionService) -> web.Application:
    """The aiohttp application serving the detection endpoints for ``service``."""
    app = web.Application(middlewares=[_front_door], client_max_size=CLIENT_MAX_SIZE)
    app[SERVICE_KEY] = service
    for path in ENDPOINT_DETECTORS:
        app.router.add_post(path, _make_handler(path))
    app.router.add_route("*", "/{tail:.*}", _unknown_route)

    async def stop_workers(app: web.Application) -> None:
        await app[SERVICE_KEY].regex.close()

    app.on_cleanup.append(stop_workers)
    return app
