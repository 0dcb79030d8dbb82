"""Credentials: checked from the headers before any body is read, and a random token by
default so that a server started for a run accepts no well-known secret."""

from __future__ import annotations

import asyncio
import json
import os
import select
import signal
import subprocess
import sys
from pathlib import Path
from urllib.parse import urlsplit

import aiohttp
import pytest

import zentrix_gov.local
from tests.support.local_services import detection_server
from tests.support.processes import child_process
from zentrix_gov.local import app as local_app
from zentrix_gov.local.detection import PATH_TEXT, DetectionServer

HAP = {"detectors": {"hap": {}}, "input": "hello there"}
WRONG = {"Authorization": "Bearer wrong", "x-governance-instance-id": "local-instance"}


async def status_before_the_body_arrives(url: str, headers: dict[str, str]) -> bytes:
    """Send a request head announcing a 1 MB body, send none of it, read the status line."""
    parts = urlsplit(url)
    reader, writer = await asyncio.open_connection(parts.hostname, parts.port)
    try:
        head = [
            f"POST {PATH_TEXT}?version=2023-10-25 HTTP/1.1",
            f"Host: {parts.netloc}",
            "Content-Type: application/json",
            "Content-Length: 1000000",
            *(f"{name}: {value}" for name, value in headers.items()),
        ]
        writer.write(("\r\n".join(head) + "\r\n\r\n").encode())
        await writer.drain()
        return await asyncio.wait_for(reader.readline(), timeout=3)
    finally:
        writer.close()


class TestCheckedBeforeTheBody:
    @pytest.mark.parametrize("headers", [{}, WRONG])
    def test_refusal_does_not_wait_for_the_body(self, server, headers):
        status_line = asyncio.run(status_before_the_body_arrives(server.url, headers))
        assert status_line.startswith(b"HTTP/1.1 401")

    def test_refused_request_is_recorded_without_its_body(self, post, server):
        assert post(HAP, headers=WRONG).status == 401
        (recorded,) = server.requests
        assert recorded.body == "" and recorded.headers["Authorization"] == "Bearer wrong"

    def test_accepted_request_is_recorded_with_its_body(self, post, server):
        assert post(HAP).status == 200
        assert server.requests[0].json() == HAP

    def test_oversized_body_is_refused_for_credentials_first(self, monkeypatch, post):
        monkeypatch.setattr(local_app, "CLIENT_MAX_SIZE", 1024)
        big = {"detectors": {"hap": {}}, "input": "x" * 4096}
        with detection_server() as small:
            refused = post(big, headers=WRONG, url=small.endpoint())
            assert refused.status == 401
            too_large = post(raw=json.dumps(big), headers=small.headers(), url=small.endpoint())
            assert too_large.status == 413 and too_large.error["code"] == "request_too_large"


def status_with(server_url: str, token: str, instance_id: str = "local-instance") -> int:
    async def go() -> int:
        headers = {"Authorization": f"Bearer {token}", "x-governance-instance-id": instance_id}
        async with (
            aiohttp.ClientSession() as session,
            session.post(
                f"{server_url}{PATH_TEXT}?version=2023-10-25", data=json.dumps(HAP), headers=headers
            ) as response,
        ):
            return response.status

    return asyncio.run(go())


class TestRandomToken:
    def test_each_server_draws_its_own_token(self):
        with DetectionServer().start() as first, DetectionServer().start() as second:
            assert first.token != second.token
            assert len(first.token) >= 32
            assert status_with(first.url, first.token) == 200
            assert status_with(first.url, second.token) == 401
            assert status_with(first.url, "local-token") == 401

    def test_a_new_token_on_every_start(self):
        server = DetectionServer()
        with server.start():
            before = server.token
        with server.start():
            assert server.token != before
            assert status_with(server.url, before) == 401
            assert status_with(server.url, server.token) == 200

    def test_a_given_token_is_kept(self):
        server = DetectionServer(token="mine")
        for _ in range(2):
            with server.start():
                assert server.token == "mine"
                assert status_with(server.url, "mine") == 200

    def test_command_line_keeps_the_token_it_drew_in_a_private_file(self, tmp_path):
        package_root = Path(zentrix_gov.local.__file__).resolve().parents[2]
        env = {**os.environ, "PYTHONPATH": str(package_root)}
        token_file = tmp_path / "token"
        command = [sys.executable, "-m", "zentrix_gov.local.detection", "--port", "0",
                   "--token-file", str(token_file)]  # fmt: skip
        with child_process(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
        ) as process:
            try:
                url = process.stdout.readline().strip()
                ready, _, _ = select.select([process.stderr], [], [], 10)
                line = process.stderr.readline() if ready else ""
                assert line.strip().endswith(f"is in the file {token_file}")
                assert token_file.stat().st_mode & 0o777 == 0o600
                token = token_file.read_text().strip()
                assert token and token != "local-token"
                assert status_with(url, token) == 200
                assert status_with(url, "local-token") == 401
            finally:
                process.send_signal(signal.SIGINT)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
