"""Fixtures around the local judge & platform stand-in, shared by every test folder.

Registered from ``tests/conftest.py``. One server runs per test module
(``shared_judge_service``); ``judge_service`` hands it to a test with no scripted faults
and an empty request log, and cleans up after the test.

- ``judge_service``: a running :class:`JudgeServer` on 127.0.0.1 accepting ``TEST_TOKEN``;
- ``judge_call(method, path, body=..., headers=..., raw=...)``: one request, the
  :class:`Reply`;
- ``unitxt_cache``: unitxt's inference cache pointed at the test's temporary folder.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import aiohttp
import pytest

from tests.support.local_services import Reply, judge_server
from zentrix_gov.local.judge import JudgeServer


def _reset(server: JudgeServer) -> None:
    server.faults.clear()
    server.requests.clear()


@pytest.fixture(scope="module")
def shared_judge_service() -> Iterator[JudgeServer]:
    with judge_server() as server:
        yield server


@pytest.fixture
def judge_service(shared_judge_service: JudgeServer) -> Iterator[JudgeServer]:
    _reset(shared_judge_service)
    yield shared_judge_service
    _reset(shared_judge_service)


def request_judge(
    server: JudgeServer,
    method: str,
    path: str,
    body: Any = None,
    headers: dict[str, str] | None = None,
    raw: str | bytes | None = None,
) -> Reply:
    """One request to ``server`` with its credentials (``headers`` replaces them)."""

    async def run() -> Reply:
        data = raw if raw is not None else (None if body is None else json.dumps(body))
        async with (
            aiohttp.ClientSession() as session,
            session.request(
                method,
                server.url + path,
                data=data,
                headers=server.headers() if headers is None else headers,
            ) as response,
        ):
            return Reply(response.status, await response.text(), response.content_type)

    return asyncio.run(run())


@pytest.fixture
def judge_call(judge_service: JudgeServer) -> Callable[..., Reply]:
    """``judge_call(method, path, body=..., headers=..., raw=...)`` -> :class:`Reply`."""

    def call(method: str, path: str, body: Any = None, **kwargs: Any) -> Reply:
        return request_judge(judge_service, method, path, body, **kwargs)

    return call


@pytest.fixture
def unitxt_cache(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Point unitxt's inference cache (``use_cache=True``) at a temporary folder.

    unitxt reads its settings from ``UNITXT_<NAME>`` environment variables first.
    """
    folder = tmp_path / "inference_engine_cache"
    monkeypatch.setenv("UNITXT_INFERENCE_ENGINE_CACHE_PATH", str(folder))
    return folder
