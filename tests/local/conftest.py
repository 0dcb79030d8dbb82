"""Fixtures for the local detection service tests: one server per module, reset per test."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any

import aiohttp
import pytest

from zentrix_gov.local.detection import DetectionServer
from zentrix_gov.local.testing import Reply, detection_server, post_json

REGEX_TIMEOUT = 1.0


@pytest.fixture(scope="module")
def shared_server():
    with detection_server(regex_timeout=REGEX_TIMEOUT) as server:
        yield server


@pytest.fixture
def server(shared_server: DetectionServer):
    shared_server.faults.clear()
    shared_server.requests.clear()
    shared_server.regex_timeout = REGEX_TIMEOUT
    yield shared_server
    shared_server.faults.clear()
    shared_server.requests.clear()


@pytest.fixture
def post(server: DetectionServer) -> Callable[..., Reply]:
    """Synchronous one-request helper: ``post(body, path=..., headers=..., raw=...)``."""

    def call(body: Any = None, **kwargs: Any) -> Reply:
        async def run() -> Reply:
            async with aiohttp.ClientSession() as session:
                return await post_json(session, server, body, **kwargs)

        return asyncio.run(run())

    return call


@pytest.fixture
def detect(post: Callable[..., Reply]) -> Callable[..., list[dict[str, Any]]]:
    """``detect(name, text, **params)`` -> detections of one text-endpoint detector."""

    def call(name: str, text: str, **params: Any) -> list[dict[str, Any]]:
        return post({"detectors": {name: params}, "input": text}).detections

    return call
