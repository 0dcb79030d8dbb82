"""Credentials are checked from the headers alone, before the server reads any body."""

from __future__ import annotations

import asyncio
import json
from urllib.parse import urlsplit

import pytest

from zentrix_gov.local import app as local_app
from zentrix_gov.local.detection import PATH_TEXT
from zentrix_gov.local.testing import detection_server

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
