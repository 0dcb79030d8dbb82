"""Fixtures around the local detection service, shared by every test folder.

Registered from ``tests/conftest.py``. One server runs per test module (``shared_server``);
``server`` hands it to a test with no scripted faults, an empty request log and the
default regex time limit, and cleans up after the test.

- ``server`` / ``shared_server``: a running :class:`DetectionServer` on 127.0.0.1, accepting
  ``TEST_TOKEN`` and ``TEST_INSTANCE_ID``;
- ``post(body, path=..., headers=..., raw=..., url=...)``: one request, the :class:`Reply`;
- ``detect(name, text, **params)``: the detections of one text-endpoint detector;
- ``api_client``: an SDK :class:`APIClient` for ``server``;
- ``unused_port``: a loopback port nothing listens on.
"""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Callable, Iterator
from typing import Any

import aiohttp
import pytest

from tests.support.local_services import Reply, detection_server, post_json
from zentrix_gov.local.detection import DetectionServer

REGEX_TIMEOUT = 1.0


def closed_port() -> int:
    """A loopback port nothing listens on."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def client_for(server: DetectionServer) -> Any:
    """An SDK API client that talks to ``server`` with its credentials."""
    from evs_sdk.authenticators import BearerTokenAuthenticator
    from zentrix_gov.clients.api_client import APIClient
    from zentrix_gov.entities.credentials import Credentials

    return APIClient(
        credentials=Credentials(
            url=server.url, version="local", api_key=server.token, disable_ssl=False
        ),
        service_instance_id=server.instance_id,
        authenticator=BearerTokenAuthenticator(server.token),
    )


def _reset(server: DetectionServer) -> None:
    server.faults.clear()
    server.requests.clear()
    server.regex_timeout = REGEX_TIMEOUT


@pytest.fixture(scope="module")
def shared_server() -> Iterator[DetectionServer]:
    with detection_server(regex_timeout=REGEX_TIMEOUT) as server:
        yield server


@pytest.fixture
def server(shared_server: DetectionServer) -> Iterator[DetectionServer]:
    _reset(shared_server)
    yield shared_server
    _reset(shared_server)


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


@pytest.fixture
def api_client(server: DetectionServer) -> Any:
    return client_for(server)


@pytest.fixture
def unused_port() -> int:
    return closed_port()
