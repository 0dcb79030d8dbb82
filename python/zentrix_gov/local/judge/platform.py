"""The platform stand-in's routes: the model listing and text generation.

``GET /v1/foundation_model_specs`` lists the catalogue (``?model_id=X`` narrows it to one
model, or none); ``POST /v1/text/generation`` answers ``input`` with the model's responder
and 404 for a model the catalogue does not hold. Generation parameters are accepted and
ignored.
"""

from __future__ import annotations

from datetime import UTC, datetime
from typing import Any

from aiohttp import web

from .openai_shapes import RequestError, count_tokens
from .responders import UNPARSEABLE_REPLY, respond
from .state import SERVICE_KEY, read_json, unparseable


async def model_specs(request: web.Request) -> web.Response:
    catalogue = request.app[SERVICE_KEY].catalogue
    wanted = request.query.get("model_id")
    if wanted is None:
        resources = [model.resource() for model in catalogue]
    else:
        model = catalogue.get(wanted)
        resources = [model.resource()] if model is not None else []
    return web.json_response({"resources": resources, "total_count": len(resources)})


def _optional_str(body: dict[str, Any], name: str) -> str | None:
    value = body.get(name)
    if value is not None and (not isinstance(value, str) or not value):
        raise RequestError(f"'{name}' must be a non-empty string.")
    return value


def _check_generation(body: dict[str, Any]) -> tuple[str, str]:
    model_id, text = body.get("model_id"), body.get("input")
    if not isinstance(model_id, str) or not model_id:
        raise RequestError("'model_id' must be a non-empty string.")
    if not isinstance(text, str):
        raise RequestError("'input' must be a string.")
    parameters = body.get("parameters")
    if parameters is not None and not isinstance(parameters, dict):
        raise RequestError("'parameters' must be an object.")
    project_id, space_id = _optional_str(body, "project_id"), _optional_str(body, "space_id")
    if project_id is not None and space_id is not None:
        raise RequestError("Give either 'project_id' or 'space_id', not both.")
    return model_id, text


async def text_generation(request: web.Request) -> web.Response:
    body = await read_json(request)
    model_id, text = _check_generation(body)
    model = request.app[SERVICE_KEY].catalogue.get(model_id)
    if model is None:
        raise RequestError(f"Model '{model_id}' is not offered by this platform.", status=404)
    generated = UNPARSEABLE_REPLY if unparseable(request) else respond(model.responder, text)
    return web.json_response(
        {
            "model_id": model_id,
            "created_at": datetime.now(UTC).isoformat(timespec="milliseconds"),
            "results": [
                {
                    "generated_text": generated,
                    "generated_token_count": count_tokens(generated),
                    "input_token_count": count_tokens(text),
                    "stop_reason": "eos_token",
                }
            ],
        }
    )
