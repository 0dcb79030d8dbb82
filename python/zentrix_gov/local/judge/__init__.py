"""A local judge & platform stand-in, for tests and demos.

One aiohttp app answers OpenAI-compatible chat and completion requests with deterministic
judge verdicts (the shapes the judge templates parse) and stands in for the hosted AI
platform: its model listing and text generation. Every route needs the bearer token.

- :mod:`.app`: the front door (token, faults, request log) and the routing;
- :mod:`.openai_routes` / :mod:`.openai_shapes`: the OpenAI-compatible routes and shapes;
- :mod:`.platform`: model listing and text generation;
- :mod:`.catalogue` (+ ``catalogue.json``): the models on offer and their responders;
- :mod:`.responders` / :mod:`.judging`: what the models answer; :mod:`.criteria` and
  :mod:`.options`: the judge's JSON verdicts for criteria-judge (evalassist) prompts;
- :mod:`.server`: :class:`JudgeServer` and ``serve()``.

Start one with ``with JudgeServer() as server:`` (a random token per start, in
``server.token``) or ``python -m zentrix_gov judge-service``.
"""

from __future__ import annotations

from .app import create_app
from .catalogue import Catalogue, CatalogueModel
from .responders import RESPONDERS, register, respond
from .server import JudgeServer, serve
from .state import (
    PATH_CHAT,
    PATH_COMPLETIONS,
    PATH_GENERATION,
    PATH_MODEL_SPECS,
    PATH_MODELS,
    JudgeService,
)

__all__ = [
    "PATH_CHAT",
    "PATH_COMPLETIONS",
    "PATH_GENERATION",
    "PATH_MODELS",
    "PATH_MODEL_SPECS",
    "RESPONDERS",
    "Catalogue",
    "CatalogueModel",
    "JudgeServer",
    "JudgeService",
    "create_app",
    "register",
    "respond",
    "serve",
]
