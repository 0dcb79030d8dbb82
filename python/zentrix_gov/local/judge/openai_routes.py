"""The OpenAI-compatible routes: chat completions, legacy completions and the model list.

A request naming a catalogue model is answered by that model's responder; any other model
name is answered by the judge (see :mod:`.catalogue`).
"""

from __future__ import annotations

import asyncio

from aiohttp import web

from ..faults import EMPTY_ANSWER, NEVER_STOPS, NO_USAGE, REFUSES_SCHEMA
from ..frontdoor import FAULT_KEY
from . import openai_shapes as shapes
from .responders import UNPARSEABLE_REPLY, respond
from .state import SERVICE_KEY, read_json, unparseable

# What a model that never stops says, over and over.
_LOOP = " and so the answer is"


def _answer(request: web.Request, model: str, prompt: str, seed: object = None) -> str:
    if unparseable(request):
        return UNPARSEABLE_REPLY
    service = request.app[SERVICE_KEY]
    responder = service.catalogue.responder_for(model)
    if responder == "judge" and service.faults.flips(seed):
        responder = "mirrored_judge"  # a verdict that depends on the request's seed
    return respond(responder, prompt)


async def chat_completions(request: web.Request) -> web.Response:
    body = await read_json(request)
    model = shapes.model_name(body)
    shapes.check_not_streaming(body)
    prompt = shapes.chat_prompt(body)
    n = shapes.choice_count(body)
    top = shapes.top_logprobs_count(body)
    fault = request.get(FAULT_KEY)
    kind = fault.kind if fault is not None else None
    if kind == REFUSES_SCHEMA and "response_format" in body:
        raise shapes.RequestError(
            "response_format is not supported by this server.", param="response_format"
        )
    if kind == NEVER_STOPS:
        cap = shapes.answer_cap(body)
        if cap is None:
            await asyncio.Event().wait()  # generates until the client gives up
        reply = "".join(shapes.tokens(_LOOP * cap)[:cap])
        return web.json_response(
            shapes.chat_completion(model, prompt, reply, n, top, finish_reason="length")
        )
    reply = "" if kind == EMPTY_ANSWER else _answer(request, model, prompt, body.get("seed"))
    completion = shapes.chat_completion(model, prompt, reply, n, top)
    if kind == NO_USAGE:
        del completion["usage"]
    return web.json_response(completion)


async def completions(request: web.Request) -> web.Response:
    body = await read_json(request)
    model = shapes.model_name(body)
    shapes.check_not_streaming(body)
    prompts = shapes.completion_prompts(body)
    n = shapes.choice_count(body)
    top = shapes.completion_logprobs_count(body)
    replies = [_answer(request, model, prompt) for prompt in prompts]
    return web.json_response(shapes.text_completion(model, prompts, replies, n, top))


async def models(request: web.Request) -> web.Response:
    catalogue = request.app[SERVICE_KEY].catalogue
    return web.json_response(shapes.model_list([model.model_id for model in catalogue]))
