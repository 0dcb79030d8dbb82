"""The service's HTTP contract: auth, request errors, recording, faults, TLS and running it."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import aiohttp
import pytest

import zentrix_gov.local
from tests.support.local_services import detection_server, post_json, self_signed_certificate
from tests.support.processes import child_process
from zentrix_gov.local.detection import (
    PATH_CHAT,
    PATH_CONTEXT,
    PATH_GENERATED,
    PATH_TEXT,
    DetectionServer,
)
from zentrix_gov.local.faults import Fault

HAP = {"detectors": {"hap": {}}, "input": "hello there"}


def run_many(server, bodies, path=PATH_TEXT, limit=100):
    async def go():
        connector = aiohttp.TCPConnector(limit=limit)
        async with aiohttp.ClientSession(connector=connector) as session:
            return await asyncio.gather(
                *(post_json(session, server, body, path=path) for body in bodies)
            )

    return asyncio.run(go())


class TestAuth:
    @pytest.mark.parametrize(
        "headers",
        [
            {"x-governance-instance-id": "local-instance"},
            {"Authorization": "Bearer wrong", "x-governance-instance-id": "local-instance"},
            {"Authorization": "Basic local-token", "x-governance-instance-id": "local-instance"},
            {"Authorization": "Bearer local-token"},
            {"Authorization": "Bearer local-token", "x-governance-instance-id": "other"},
            {"Authorization": "Bearer jeton-é", "x-governance-instance-id": "local-instance"},
        ],
    )
    def test_bad_credentials_get_401_json(self, post, server, headers):
        reply = post(HAP, headers=headers)
        assert reply.status == 401 and reply.content_type == "application/json"
        assert reply.error["message"]
        assert len(server.requests) == 1  # recorded all the same

    def test_configured_credentials_are_accepted(self):
        with detection_server(token="t-1", instance_id="i-1") as server:
            headers = {"Authorization": "bearer t-1", "x-governance-instance-id": "i-1"}

            async def go():
                async with aiohttp.ClientSession() as session:
                    ok = await post_json(session, server, HAP, headers=headers)
                    default = await post_json(
                        session,
                        server,
                        HAP,
                        headers={**headers, "Authorization": "Bearer local-token"},
                    )
                    return ok.status, default.status

            assert asyncio.run(go()) == (200, 401)


class TestRequestErrors:
    @pytest.mark.parametrize(
        ("kwargs", "fragment"),
        [
            ({"raw": "{not json"}, "not valid JSON"),
            ({"raw": b"\xff\xfe\x00garbage"}, "not valid JSON"),
            ({"raw": "[1, 2]"}, "JSON object"),
            ({"body": {"input": "x"}}, "'detectors'"),
            ({"body": {"detectors": {}, "input": "x"}}, "exactly one"),
            ({"body": {"detectors": {"hap": {}, "pii": {}}, "input": "x"}}, "exactly one"),
            ({"body": {"detectors": {"hap": []}, "input": "x"}}, "must be an object"),
            ({"body": {"detectors": {"hap": {}}}}, "'input'"),
            ({"body": {"detectors": {"hap": {}}, "input": 5}}, "'input' must be a string"),
            ({"body": {"detectors": {"hap": {}}, "input": None}}, "'input' must be a string"),
        ],
    )
    def test_malformed_body_is_400_with_error_list(self, post, kwargs, fragment):
        reply = post(kwargs.get("body"), raw=kwargs.get("raw"))
        assert reply.status == 400
        assert reply.error["code"] == "invalid_request"
        assert fragment in reply.error["message"]

    def test_unknown_detector_is_named(self, post):
        reply = post({"detectors": {"sarcasm": {}}, "input": "x"})
        assert reply.status == 400 and "'sarcasm'" in reply.error["message"]

    @pytest.mark.parametrize(
        ("path", "body"),
        [
            (PATH_TEXT, {"detectors": {"faithfulness": {}}, "input": "x"}),
            (PATH_CONTEXT, {"detectors": {"hap": {}}, "input": "x", "context": []}),
            (PATH_GENERATED, {"detectors": {"pii": {}}, "prompt": "", "generated_text": ""}),
            (PATH_CHAT, {"detectors": {"answer_relevance": {}}, "messages": [], "tools": []}),
        ],
    )  # fmt: skip
    def test_detector_on_the_wrong_endpoint(self, post, path, body):
        reply = post(body, path=path)
        assert reply.status == 400 and "not served at" in reply.error["message"]

    @pytest.mark.parametrize(
        ("body", "fragment"),
        [
            ({"detectors": {"faithfulness": {}}, "input": "x"}, "'context'"),
            ({"detectors": {"faithfulness": {}}, "input": "x", "context": "doc"}, "list"),
            ({"detectors": {"faithfulness": {}}, "input": "x", "context": [1]}, "string"),
            (
                {
                    "detectors": {"faithfulness": {}},
                    "input": "x",
                    "context": [],
                    "context_type": "x",
                },
                "context_type",
            ),
        ],
    )
    def test_context_members_are_checked(self, post, body, fragment):
        reply = post(body, path=PATH_CONTEXT)
        assert reply.status == 400 and fragment in reply.error["message"]

    def test_version_query_is_required(self, post, server):
        reply = post(HAP, url=server.url + PATH_TEXT)
        assert reply.status == 400 and "version" in reply.error["message"]

    def test_unknown_path_and_method(self, post, server):
        assert post(HAP, url=server.url + "/ml/v1/other?version=1").status == 404

        async def get():
            async with (
                aiohttp.ClientSession() as session,
                session.get(server.endpoint(), headers=server.headers()) as response,
            ):
                return response.status, await response.json()

        status, body = asyncio.run(get())
        assert status == 405 and body["errors"][0]["code"] == "method_not_allowed"


class TestRecording:
    def test_requests_are_recorded_verbatim(self, post, server):
        raw = '{"detectors": {"hap": {}},   "input": "caf\\u00e9"}'
        assert post(raw=raw).status == 200
        (recorded,) = server.requests
        assert recorded.method == "POST"
        assert recorded.path == PATH_TEXT + "?version=2023-10-25"
        assert recorded.body == raw
        assert recorded.json()["input"] == "café"
        assert recorded.headers["authorization"] == "Bearer local-token"
        assert recorded.headers["X-Governance-Instance-Id"] == "local-instance"

    def test_concurrent_burst_is_served_and_recorded(self, server):
        bodies = [{"detectors": {"pii": {}}, "input": f"mail u{i}@x.example"} for i in range(3000)]
        started = time.monotonic()
        replies = run_many(server, bodies)
        assert time.monotonic() - started < 30
        assert [r.detections[0]["text"] for r in replies] == [
            f"u{i}@x.example" for i in range(3000)
        ]
        assert len(server.requests) == 3000


class TestFaults:
    def test_script_is_consumed_in_order_then_service_resumes(self, post, server):
        server.faults.script([503, 503])
        server.faults.script([500, 429, 200, 504])
        statuses = [post(HAP).status for _ in range(7)]
        assert statuses == [503, 503, 500, 429, 200, 504, 200]
        assert server.faults.pending() == 0

    def test_status_faults_carry_a_json_error(self, post, server):
        server.faults.script([502])
        reply = post(HAP)
        assert reply.status == 502 and reply.error["code"] == "bad_gateway"

    def test_non_json_kinds(self, post, server):
        server.faults.script(["non_json", "non_json_error", Fault.non_json_error(503)])
        first, second, third = post(HAP), post(HAP), post(HAP)
        assert first.status == 200
        with pytest.raises(ValueError):
            json.loads(first.text)
        assert (second.status, second.content_type) == (502, "text/html")
        assert (third.status, third.content_type) == (503, "text/html")
        with pytest.raises(ValueError):
            json.loads(second.text)

    def test_unparseable_and_delayed_kinds(self, post, server):
        # Detection replies carry no model answer: "unparseable" means a body that is not JSON.
        server.faults.script(["unparseable", Fault.delayed(0.3)])
        first = post(HAP)
        assert first.status == 200
        with pytest.raises(ValueError):
            json.loads(first.text)
        started = time.monotonic()
        assert post(HAP).detections is not None
        assert time.monotonic() - started >= 0.3

    def test_per_path_scripts(self, post, server):
        context_body = {"detectors": {"context_relevance": {}}, "input": "q", "context": ["c"]}
        server.faults.script([504], path=PATH_CONTEXT)
        server.faults.script([400], path=PATH_CONTEXT + "?version=2023-10-25")
        server.faults.script([500])
        assert post(context_body, path=PATH_CONTEXT).status == 504  # its own script first
        assert post(HAP).status == 500  # the shared script
        assert post(HAP).status == 200
        assert post(context_body, path=PATH_CONTEXT).status == 400
        assert post(context_body, path=PATH_CONTEXT).status == 200
        assert server.faults.pending(PATH_CONTEXT) == 0

    def test_faults_come_before_the_credential_check(self, post, server):
        server.faults.script([503])
        assert post(HAP, headers={}).status == 503
        assert post(HAP, headers={}).status == 401

    def test_dropped_connection(self, server):
        server.faults.script(["drop"])

        async def go():
            async with aiohttp.ClientSession() as session:
                with pytest.raises(aiohttp.ClientConnectionError):
                    await post_json(session, server, HAP)
                return await post_json(session, server, HAP)

        assert asyncio.run(go()).status == 200
        assert len(server.requests) == 2

    @pytest.mark.parametrize("bad", [302, 600, "explode", True])
    def test_invalid_fault_is_refused_without_queueing(self, server, bad):
        with pytest.raises(ValueError):
            server.faults.script([503, bad])
        assert server.faults.pending() == 0

    def test_latency_applies_to_each_request_concurrently(self, server):
        server.faults.latency = 0.3
        started = time.monotonic()
        replies = run_many(server, [HAP] * 20)
        elapsed = time.monotonic() - started
        assert all(r.status == 200 for r in replies)
        assert 0.3 <= elapsed < 2.0
        server.faults.clear()
        assert server.faults.latency == 0.0

    def test_constructor_latency_survives_clear(self):
        with detection_server(latency=0.2) as server:
            server.faults.clear()
            started = time.monotonic()
            run_many(server, [HAP])
            assert time.monotonic() - started >= 0.2


class TestRegexTimeLimit:
    CATASTROPHIC = {"detectors": {"regex": {"regex": ["(a+)+$"]}}, "input": "a" * 40 + "b"}

    def test_runaway_pattern_times_out_without_blocking_others(self, server):
        server.regex_timeout = 0.5

        async def go():
            async with aiohttp.ClientSession() as session:
                slow = asyncio.ensure_future(post_json(session, server, self.CATASTROPHIC))
                await asyncio.sleep(0.1)
                started = time.monotonic()
                quick = await post_json(session, server, HAP)
                quick_time = time.monotonic() - started
                return await slow, quick, quick_time

        slow, quick, quick_time = asyncio.run(go())
        assert slow.status == 422 and "timed out" in slow.error["message"]
        assert quick.status == 200 and quick_time < 0.3
        after = run_many(server, [{"detectors": {"regex": {"regex": [r"\d+"]}}, "input": "a 42"}])
        assert after[0].detections[0]["text"] == "42"


class TestRunning:
    def test_async_form_on_the_callers_loop(self):
        async def go():
            async with DetectionServer() as server:
                assert server.url.startswith("http://127.0.0.1:")
                async with aiohttp.ClientSession() as session:
                    reply = await post_json(session, server, HAP)
            return reply.status, server

        status, server = asyncio.run(go())
        assert status == 200 and len(server.requests) == 1

    def test_stopped_server_refuses_connections(self):
        server = DetectionServer().start()
        server.stop()
        server.stop()  # idempotent
        with pytest.raises(aiohttp.ClientConnectionError):
            run_many(server, [HAP])

    def test_restarted_server_serves_concurrent_regex_requests(self):
        body = {"detectors": {"regex": {"regex": [r"\d+"]}}, "input": "a 42"}
        server = DetectionServer()
        for _ in range(2):  # more requests than regex workers, on each run's own loop
            with server.start():
                assert {reply.status for reply in run_many(server, [body] * 6)} == {200}

    @pytest.mark.parametrize("backend", ["openssl", "cryptography"])
    def test_tls_with_self_signed_certificate(self, tmp_path, backend):
        if backend == "cryptography":
            pytest.importorskip("cryptography")
        certificate = self_signed_certificate(tmp_path, backend=backend)
        with detection_server(ssl_context=certificate.server_context()) as server:
            assert server.url.startswith("https://127.0.0.1:")

            async def go(ssl_setting):
                async with (
                    aiohttp.ClientSession() as session,
                    session.post(
                        server.endpoint(),
                        data=json.dumps(HAP),
                        headers=server.headers(),
                        ssl=ssl_setting,
                    ) as response,
                ):
                    return response.status

            assert asyncio.run(go(certificate.client_context())) == 200
            assert asyncio.run(go(False)) == 200
            with pytest.raises(aiohttp.ClientConnectorCertificateError):
                asyncio.run(go(True))

    def test_cryptography_backend_reports_a_missing_package(self, tmp_path, monkeypatch):
        # None in sys.modules makes the import fail as if the package were absent.
        for name in [m for m in sys.modules if m.split(".")[0] == "cryptography"]:
            monkeypatch.delitem(sys.modules, name)
        monkeypatch.setitem(sys.modules, "cryptography", None)
        with pytest.raises(RuntimeError, match="cryptography package"):
            self_signed_certificate(tmp_path, backend="cryptography")

    def test_command_line(self):
        package_root = Path(zentrix_gov.local.__file__).resolve().parents[2]
        env = {**os.environ, "PYTHONPATH": str(package_root)}
        command = [
            sys.executable, "-m", "zentrix_gov.local.detection",
            "--port", "0", "--token", "cli-token", "--instance-id", "cli-instance",
        ]  # fmt: skip
        with child_process(command, stdout=subprocess.PIPE, text=True, env=env) as process:
            try:
                url = process.stdout.readline().strip()
                assert url.startswith("http://127.0.0.1:")

                async def go(token):
                    headers = {
                        "Authorization": f"Bearer {token}",
                        "x-governance-instance-id": "cli-instance",
                    }
                    async with (
                        aiohttp.ClientSession() as session,
                        session.post(
                            f"{url}{PATH_TEXT}?version=2023-10-25",
                            data=json.dumps(HAP),
                            headers=headers,
                        ) as response,
                    ):
                        return response.status

                assert asyncio.run(go("cli-token")) == 200
                assert asyncio.run(go("local-token")) == 401
                process.send_signal(signal.SIGINT)
                assert process.wait(timeout=10) == 0
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait(timeout=10)
