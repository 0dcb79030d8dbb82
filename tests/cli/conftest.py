"""Fixtures for the command line, the metric classes and ``zentrix_gov.evaluate``."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.clients.api_client import APIClient
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.credentials import Credentials
from zentrix_gov.local.testing import detection_server

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
RECORDS = EXAMPLES / "records.jsonl"
COLUMNS = EXAMPLES / "columns.json"
EXAMPLE_METRICS = (
    "hap,pii,keyword,regex,topic_relevance,answer_relevance,faithfulness,"
    "context_relevance,tool_call_accuracy,harm"
)


def clean_env(**extra: str) -> dict[str, str]:
    """The process environment without service settings, plus ``extra``."""
    env = {
        key: value
        for key, value in os.environ.items()
        if not key.startswith("ZNG_") and key != "ZENTRIX_SERVER"
    }
    env["PYTHONPATH"] = str(ROOT / "python")
    env.update(extra)
    return env


def run_cli(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "zentrix_gov", *map(str, args)],
        capture_output=True,
        text=True,
        env=env if env is not None else clean_env(),
        cwd=ROOT,
        timeout=120,
    )


def example_records() -> list[dict]:
    return [json.loads(line) for line in RECORDS.read_text().splitlines() if line.strip()]


def closed_port() -> int:
    """A loopback port nothing listens on."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def client_for(server) -> APIClient:
    return APIClient(
        credentials=Credentials(
            url=server.url, version="local", api_key=server.token, disable_ssl=False
        ),
        service_instance_id=server.instance_id,
        authenticator=BearerTokenAuthenticator(server.token),
    )


@pytest.fixture(scope="module")
def shared_server():
    with detection_server() as server:
        yield server


@pytest.fixture
def server(shared_server):
    shared_server.faults.clear()
    shared_server.requests.clear()
    yield shared_server
    shared_server.faults.clear()


@pytest.fixture
def api_client(server) -> APIClient:
    return client_for(server)


@pytest.fixture
def configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        record_id_field="id",
    )
