"""The detection provider against the local detection service over real HTTP."""

import asyncio
import json
import time
from types import SimpleNamespace

import aiohttp
import pandas as pd
import pytest

from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from tests.support.local_services import detection_server, self_signed_certificate
from zentrix_gov.entities.base_classes import Error
from zentrix_gov.local.faults import Fault
from zentrix_gov.providers.detectwire import Detectwire


def client_for(url, token="local-token", instance="local-instance", disable_ssl=False):
    evs = EVSClient(service_instance_id=instance, authenticator=BearerTokenAuthenticator(token))
    credentials = SimpleNamespace(url=url, version="local", disable_ssl=disable_ssl)
    return SimpleNamespace(evs_client=evs, credentials=credentials)


@pytest.fixture
def provider(server, config):
    def build(metric_name, method=None, url=None, **kwargs):
        kwargs.setdefault("api_client", client_for(url or server.url))
        return Detectwire(config, metric_name, metric_name, metric_method=method, **kwargs)

    return build


@pytest.fixture
def table():
    return pd.DataFrame(
        {
            "question": [
                "What is the capital of France?",
                "You are an idiot.",
                "Mail bob@site.example",
            ],
            "answer": ["Paris is the capital of France.", "No.", "Sure."],
            "context": [
                '["Paris is the capital of France.", "France is in Europe."]',
                '["Nothing relevant."]',
                '["Contact details are private."]',
            ],
            "record_id": ["r1", "r2", "r3"],
        }
    )


class TestRequests:
    def test_headers_bodies_and_endpoint_as_seen_by_the_service(self, server, provider, table):
        result = provider("hap").evaluate(table)
        assert result.total_records == 3
        seen = sorted(server.requests, key=lambda r: r.body)
        assert {r.path for r in seen} == {"/ml/v1/text/detection?version=2023-10-25"}
        assert {r.method for r in seen} == {"POST"}
        headers = seen[0].headers
        assert headers["Content-Type"] == "application/json"
        assert headers["Authorization"] == "Bearer local-token"
        assert headers["x-governance-instance-id"] == "local-instance"
        assert headers["origin"] == "sdk"
        expected = sorted(
            json.dumps({"detectors": {"hap": {}}, "input": q}) for q in table["question"]
        )
        assert [r.body for r in seen] == expected

    @pytest.mark.parametrize(
        ("metric", "path"),
        [
            ("answer_relevance", "/ml/v1/text/detection/generated"),
            ("faithfulness", "/ml/v1/text/detection/context"),
            ("context_relevance", "/ml/v1/text/detection/context"),
            ("pii", "/ml/v1/text/detection"),
        ],
    )
    def test_each_metric_reaches_its_endpoint_and_is_scored(
        self, server, provider, table, metric, path
    ):
        result = provider(metric).evaluate(table)
        assert {r.path.split("?")[0] for r in server.requests} == {path}
        assert all(isinstance(r.value, int | float) for r in result.record_level_metrics)
        assert isinstance(result.value, float | int)

    def test_ten_requests_in_flight_together_answers_in_body_order(self, server, provider):
        server.faults.latency = 0.2
        frame = pd.DataFrame(
            {"question": [f"text {i}" for i in range(10)], "record_id": list("abcdefghij")}
        )
        started = time.perf_counter()
        result = provider("pii").evaluate(frame)
        elapsed = time.perf_counter() - started
        assert elapsed < 1.0  # one by one would take 2 s
        assert [r.record_id for r in result.record_level_metrics] == list("abcdefghij")

    def test_empty_payload_list_posts_nothing(self, server, provider):
        assert asyncio.run(provider("hap")._Detectwire__compute_metric([])) == []
        assert len(server.requests) == 0

    def test_payloads_must_be_a_list(self, provider):
        with pytest.raises(TypeError, match="api_payloads"):
            provider("hap")._Detectwire__compute_metric(("{}",))


class TestEvidence:
    def test_hap_and_pii_carry_spans(self, provider, table):
        hap = provider("hap").evaluate(table).record_level_metrics[1]
        assert hap.value > 0 and hap.evidences
        assert set(hap.evidences[0]) == {"text", "score", "start", "end"}
        pii = provider("pii").evaluate(table).record_level_metrics[2]
        assert any(e["text"] == "bob@site.example" for e in pii.evidences)

    def test_faithfulness_small_model_returns_evidences(self, provider, table):
        records = (
            provider("faithfulness", "faithfulness_model").evaluate(table).record_level_metrics
        )
        assert records[0].value > records[1].value
        assert all(r.evidences for r in records)

    def test_keyword_detection(self, provider, table):
        result = provider("keyword", detector_params={"keywords": ["capital"]}).evaluate(table)
        records = result.record_level_metrics
        assert [r.name for r in records] == ["keyword_detection"] * 3 and result.name == "keyword"
        assert [r.value for r in records] == [1.0, 0, 0]

    def test_topic_relevance_is_inverted(self, provider, table):
        params = {"system_prompt": "Answer questions about European geography and capitals."}
        records = (
            provider("topic_relevance", detector_params=params).evaluate(table).record_level_metrics
        )
        assert records[0].value > records[1].value


def tool_table(calls_column=True):
    calls = [
        [
            {
                "type": "function",
                "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'},
            }
        ],
        [{"type": "function", "function": {"name": "get_weather", "arguments": '{"town": 3}'}}],
    ]
    frame = pd.DataFrame({"question": ["Weather in Paris?", "Weather?"], "record_id": ["t1", "t2"]})
    if calls_column:
        frame["calls"] = [json.dumps(c) for c in calls]
    return frame


def get_weather(city: str) -> str:
    """Forecast for a city."""
    return city


class TestToolCalls:
    def test_correct_and_faulty_calls(self, provider, config):
        provider_ = provider("tool_call_accuracy")
        provider_.configuration = config.model_copy(
            update={"tool_calls_field": "calls", "tools": [get_weather]}
        )
        records = provider_.evaluate(tool_table()).record_level_metrics
        assert records[0].value == 1
        assert records[1].value < 1

    def test_without_tool_calls_column_nothing_is_sent(self, server, provider):
        result = provider("tool_call_accuracy").evaluate(tool_table(calls_column=False))
        assert (result.value, result.total_records, result.errors) == ("Error", 0, [])
        assert len(server.requests) == 0


class TestFailures:
    @pytest.fixture
    def fast_backoff(self, monkeypatch):
        monkeypatch.setattr(Detectwire, "BACK_OFF_FACTOR", 0.01)

    def one(self, provider, metric="pii"):
        frame = pd.DataFrame({"question": ["hello"], "record_id": ["r1"]})
        return provider(metric).evaluate(frame)

    def test_gateway_errors_are_retried_until_success(self, server, provider, fast_backoff):
        server.faults.script([503, 502])
        record = self.one(provider).record_level_metrics[0]
        assert record.value == 0 and not record.errors
        assert len(server.requests) == 3

    def test_third_gateway_error_is_returned_with_its_status(self, server, provider, fast_backoff):
        server.faults.script([503, 503, 504])
        result = self.one(provider)
        assert len(server.requests) == 3
        assert result.value == "Error"
        (error,) = result.record_level_metrics[0].errors
        assert error.code == "504"
        assert error.message_en.startswith("{'errors': [")  # decoded, then printed by Python

    @pytest.mark.parametrize("status", [500, 429, 400])
    def test_other_errors_are_not_retried(self, server, provider, fast_backoff, status):
        server.faults.script([status])
        result = self.one(provider)
        assert len(server.requests) == 1
        assert result.errors[0].code == str(status)

    @pytest.mark.parametrize(
        ("fault", "status"),
        [("non_json", 200), (Fault.non_json_error(500), 500), (Fault.non_json_error(502), 502)],
        ids=["200", "500", "502"],
    )
    def test_replies_that_are_not_json_fail_the_request_and_keep_their_status(
        self, server, provider, fast_backoff, fault, status
    ):
        server.faults.script([fault] * 3)
        (error,) = self.one(provider).record_level_metrics[0].errors
        assert error.code == "REQUEST_FAILED"
        assert error.message_en.startswith(
            f"The service answered {status} with a body that is not JSON (Expecting value"
        )
        assert len(server.requests) == (3 if status == 502 else 1)

    def test_a_silent_service_times_out_with_a_message(self, server, provider, monkeypatch):
        server.faults.latency = 5
        monkeypatch.setattr(Detectwire, "REQUEST_TIMEOUT", 0.2)
        started = time.perf_counter()
        (error,) = self.one(provider).record_level_metrics[0].errors
        assert time.perf_counter() - started < 2
        assert error.code == "REQUEST_FAILED"
        assert (
            error.message_en
            == f"The request to {provider('pii').base_url} timed out after 0.2 seconds."
        )

    def test_dropped_connection_is_a_request_failure(self, server, provider):
        server.faults.script(["drop"])
        (error,) = self.one(provider).record_level_metrics[0].errors
        assert error.code == "REQUEST_FAILED"

    def test_unreachable_service_fails_every_record(self, provider, unused_port):
        result = provider("hap", url=f"http://127.0.0.1:{unused_port}").evaluate(
            pd.DataFrame({"question": ["a", "b"], "record_id": ["1", "2"]})
        )
        assert result.value == "Error" and result.total_records == 2
        assert [e.code for e in result.errors] == ["REQUEST_FAILED", "REQUEST_FAILED"]
        assert "127.0.0.1" in result.errors[0].message_en

    def test_wrong_token_is_a_401_error(self, provider, server):
        provider_ = provider("hap", api_client=client_for(server.url, token="wrong"))
        result = provider_.evaluate(pd.DataFrame({"question": ["a"], "record_id": ["1"]}))
        assert result.errors[0].code == "401"

    def test_mixed_outcomes_keep_successes(self, server, provider, fast_backoff):
        frame = pd.DataFrame({"question": ["a", "b", "c"], "record_id": ["1", "2", "3"]})
        server.faults.script([500])
        result = provider("pii").evaluate(frame)
        assert result.total_records == 3 and result.value == 0
        assert sum(1 for r in result.record_level_metrics if r.errors) == 1

    def test_token_failure_is_a_request_failure(self, provider):
        provider_ = provider("hap")

        class Broken:
            def get_token(self):
                raise RuntimeError("token service down")

        provider_.evs_client = SimpleNamespace(authenticator=Broken())
        (error,) = self.one(lambda metric: provider_).record_level_metrics[0].errors
        assert (error.code, error.message_en) == ("REQUEST_FAILED", "token service down")

    @pytest.mark.slow
    def test_real_back_off_waits_one_then_two_seconds(self, server, provider):
        server.faults.script([503, 503])
        started = time.perf_counter()
        record = self.one(provider).record_level_metrics[0]
        elapsed = time.perf_counter() - started
        assert not record.errors and len(server.requests) == 3
        assert 3.0 <= elapsed < 4.5

    def test_cancellation_reaches_the_http_request(self, server, provider):
        server.faults.latency = 5

        async def main():
            task = asyncio.ensure_future(
                provider("hap").evaluate_async(
                    pd.DataFrame({"question": ["a"], "record_id": ["1"]})
                )
            )
            await asyncio.sleep(0.2)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        started = time.perf_counter()
        asyncio.run(main())
        assert time.perf_counter() - started < 2


@pytest.fixture(scope="module")
def tls_server(tmp_path_factory):
    certificate = self_signed_certificate(tmp_path_factory.mktemp("tls"))
    with detection_server(ssl_context=certificate.server_context()) as running:
        yield running


class TestTLS:
    def test_self_signed_certificate_is_refused_while_verifying(self, tls_server, provider):
        result = provider("hap", url=tls_server.url).evaluate(
            pd.DataFrame({"question": ["a"], "record_id": ["1"]})
        )
        assert result.errors[0].code == "REQUEST_FAILED"
        assert "certificate" in result.errors[0].message_en.lower()
        assert len(tls_server.requests) == 0

    def test_disable_ssl_accepts_it(self, tls_server, provider):
        client = client_for(tls_server.url, disable_ssl=True)
        result = provider("hap", api_client=client).evaluate(
            pd.DataFrame({"question": ["a"], "record_id": ["1"]})
        )
        assert not result.errors and result.value == 0
        assert len(tls_server.requests) == 1


def test_aiohttp_verifies_with_ssl_true():
    major, minor = (int(p) for p in aiohttp.__version__.split(".")[:2])
    assert (major, minor) >= (3, 9)


def test_error_dict_shape_from_send_with_retries(server, provider):
    async def main():
        async with aiohttp.ClientSession() as session:
            server.faults.script([400])
            return await provider("hap").send_with_retries(
                '{"detectors": {"hap": {}}, "input": "x"}', session
            )

    reply = asyncio.run(main())
    assert list(reply) == ["error"] and isinstance(reply["error"], Error)
