"""The services the command line starts for a run accept only a token drawn for that run."""

from __future__ import annotations

import argparse
import json
import urllib.error
import urllib.request
from collections.abc import Callable
from contextlib import AbstractContextManager

import pytest

from zentrix_gov.cli.judge import open_judge
from zentrix_gov.cli.risk_platform import local_platform
from zentrix_gov.cli.service import open_service
from zentrix_gov.local.endpoints import API_VERSION, PATH_TEXT

# The token the test servers accept; anyone could send it.
FIXED_TOKEN = "local-token"


def status(url: str, token: str, body: dict | None = None, **headers: str) -> int:
    """The HTTP status of one request (POST with ``body``, else GET)."""
    data = None if body is None else json.dumps(body).encode()
    headers = {"Authorization": f"Bearer {token}", "Content-Type": "application/json", **headers}
    request = urllib.request.Request(url, data=data, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def detection() -> AbstractContextManager:
    return open_service(quiet=True)


def detection_call(service, token: str) -> int:
    body = {"detectors": {"hap": {}}, "input": "Hello there."}
    instance = {"x-governance-instance-id": service.api_client.service_instance_id}
    return status(f"{service.url}{PATH_TEXT}?version={API_VERSION}", token, body, **instance)


def judge() -> AbstractContextManager:
    return open_judge(argparse.Namespace(judge="local", judge_model=None), quiet=True)


def judge_call(llm_judge, token: str) -> int:
    return status(llm_judge.model.provider.credentials.api_url + "/models", token)


def platform() -> AbstractContextManager:
    return local_platform(quiet=True)


def platform_call(api_client, token: str) -> int:
    return status(api_client.credentials.url + "/v1/foundation_model_specs", token)


def detection_token(service) -> str:
    return service.api_client.credentials.api_key


def judge_token(llm_judge) -> str:
    return llm_judge.model.provider.credentials.api_key


def platform_token(api_client) -> str:
    return api_client.credentials.api_key


@pytest.mark.parametrize(
    ("start", "token_of", "call"),
    [
        (detection, detection_token, detection_call),
        (judge, judge_token, judge_call),
        (platform, platform_token, platform_call),
    ],
    ids=["detection", "judge", "platform"],
)
def test_each_start_draws_a_token_and_refuses_the_fixed_one(
    monkeypatch: pytest.MonkeyPatch,
    start: Callable[[], AbstractContextManager],
    token_of: Callable,
    call: Callable,
):
    for variable in ("ZNG_API_KEY", "ZNG_SERVICE_INSTANCE_ID"):
        monkeypatch.delenv(variable, raising=False)
    tokens = []
    for _ in range(2):
        with start() as service:
            token = token_of(service)
            tokens.append(token)
            assert call(service, token) == 200
            assert call(service, FIXED_TOKEN) == 401
            assert call(service, token[:-1]) == 401
    assert tokens[0] != tokens[1]
    assert FIXED_TOKEN not in tokens and min(map(len, tokens)) >= 32
