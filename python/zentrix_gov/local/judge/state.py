"""What the judge service's routes share: the service state, the paths and body reading."""

from __future__ import annotations

import asyncio
import json
from dataclasses import dataclass, field
from typing import Any

from aiohttp import web

from ..faults import UNPARSEABLE, FaultPlan
from ..frontdoor import FAULT_KEY
from ..requestlog import RequestLog
from .catalogue import Catalogue
from .openai_shapes import RequestError
from .traffic import TokenBucket, Traffic

PATH_CHAT = "/v1/chat/completions"
PATH_COMPLETIONS = "/v1/completions"
PATH_MODELS = "/v1/models"
PATH_MODEL_SPECS = "/v1/foundation_model_specs"
PATH_GENERATION = "/v1/text/generation"
OPENAI_PATHS = frozenset({PATH_CHAT, PATH_COMPLETIONS, PATH_MODELS})
# Routes that carry a model's answer, and so can answer it unparseable themselves.
ANSWER_PATHS = frozenset({PATH_CHAT, PATH_COMPLETIONS, PATH_GENERATION})


@dataclass
class JudgeService:
    """State shared by the handlers of one app. ``slots``: answer at most this many model
    requests at once, the others waiting their turn, as a model server with that many
    slots does (None: no limit); ``rate_limit``: model requests let through a second
    (:mod:`.traffic`; None: no limit); ``traffic``: what the model routes saw."""

    token: str
    faults: FaultPlan
    requests: RequestLog
    catalogue: Catalogue
    slots: int | None = None
    rate_limit: TokenBucket | None = None
    traffic: Traffic = field(default_factory=Traffic)


SERVICE_KEY = web.AppKey("judge_service", JudgeService)
SLOTS_KEY = web.AppKey("judge_slots", asyncio.Semaphore)


def unparseable(request: web.Request) -> bool:
    """Whether a scripted fault asks this request's answer to be unusable."""
    fault = request.get(FAULT_KEY)
    return fault is not None and fault.kind == UNPARSEABLE


async def read_json(request: web.Request) -> dict[str, Any]:
    """The request body as a JSON object (RequestError otherwise)."""
    try:
        body = json.loads(await request.read())
    except ValueError as exc:
        raise RequestError(f"The request body is not valid JSON: {exc}.") from None
    if not isinstance(body, dict):
        raise RequestError("The request body must be a JSON object.")
    return body
