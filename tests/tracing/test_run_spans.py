"""Traced runs from Python (runs.evaluate(tracer_provider=...)), read back from the SDK's
in-memory exporter: what nests under what, what each span says, where each record's
evaluation event goes, and what stays out of the spans."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support.local_services import TEST_TOKEN
from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration

CONFIG = GenAIConfiguration(
    input_fields=["question"], output_fields=["answer"], context_fields=["context"]
)
ROOT = Path(__file__).resolve().parents[2]
EVENT = "gen_ai.evaluation.result"


def records(count: int) -> list[dict[str, str]]:
    return [
        {
            "question": f"question {i}" + (" you idiot" if i == 0 else ""),
            "answer": f"answer {i}, call 555-0100",
            "context": f"context {i}",
        }
        for i in range(count)
    ]


@pytest.mark.parametrize(
    "executor",
    ["local", pytest.param("ray", marks=[pytest.mark.ray, pytest.mark.slow])],
)
def test_run_unit_and_request_spans_nest_and_events_cover_every_record(
    executor, traces, api_client, server
):
    if executor == "ray" and importlib.util.find_spec("ray") is None:
        pytest.skip("Ray is not installed")
    run = runs.evaluate(
        records(5), ["hap", "pii"], CONFIG, chunk_size=3, executor=executor,
        api_client=api_client, tracer_provider=traces.provider,
    )  # fmt: skip
    root = traces.one("run")
    assert root.parent is None
    assert dict(root.attributes) == {
        "zentrix.run.id": run.id,
        "zentrix.run.metrics": ("hap", "pii"),
        "zentrix.run.records": 5,
        "zentrix.run.executor": executor,
        "zentrix.run.chunk_size": 3,
        "zentrix.run.status": "complete",
    }
    units = traces.spans("unit ")
    placed = sorted((u.attributes["zentrix.metric"], u.attributes["zentrix.chunk"]) for u in units)
    assert placed == [("hap", 0), ("hap", 1), ("pii", 0), ("pii", 1)]
    for unit in units:
        assert unit.parent.span_id == root.context.span_id
        assert unit.attributes["zentrix.unit.records"] == (
            3 if unit.attributes["zentrix.chunk"] == 0 else 2
        )
        assert unit.attributes["zentrix.unit.attempts"] == 1
        assert unit.attributes["zentrix.unit.outcome"] == "ok"
    # One HTTP client span per request, a child of its unit's span (from a Ray worker too).
    requests = traces.spans("POST")
    assert len(requests) == 10
    unit_ids = {unit.context.span_id for unit in units}
    for request in requests:
        assert request.parent.span_id in unit_ids
        assert request.context.trace_id == root.context.trace_id
        assert request.kind.name == "CLIENT"
        assert request.attributes["http.request.method"] == "POST"
        assert request.attributes["url.full"].startswith(server.url + "/")
        assert request.attributes["http.response.status_code"] == 200
    events = traces.events()
    evaluated = sorted((e["gen_ai.evaluation.name"], e["zentrix.record.id"]) for _, e in events)
    assert evaluated == sorted((metric, str(i)) for metric in ("hap", "pii") for i in range(1, 6))
    assert all(span.name == f"unit {e['gen_ai.evaluation.name']}" for span, e in events)
    assert all(isinstance(e["gen_ai.evaluation.score.value"], float) for _, e in events)


def test_events_are_parented_to_the_spans_the_records_name(traces, api_client, server):
    trace_id, span_id = "0af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331"
    rows = records(4)
    rows[0].update(trace="0AF7651916CD43DD8448EB211C80319C", span=span_id, response="resp-0")
    rows[1].update(trace="not hex", span=span_id, response="resp-1")  # falls back to its unit
    rows[2].update(trace=trace_id, span="00f067aa0ba902b7")
    configuration = CONFIG.model_copy(
        update={"trace_fields": {"trace_id": "trace", "span_id": "span"},
                "response_id_field": "response"}
    )  # fmt: skip
    server.faults.script([400])  # one record's request fails: an error, no score
    runs.evaluate(rows, ["hap"], configuration, api_client=api_client,
                  tracer_provider=traces.provider)  # fmt: skip
    unit = traces.one("unit hap")
    placed = {e["zentrix.record.id"]: (span, e) for span, e in traces.events()}
    for record, parent in (("1", span_id), ("3", "00f067aa0ba902b7")):
        span, _ = placed[record]
        assert span.name == "evaluation hap"
        assert (f"{span.context.trace_id:032x}", f"{span.parent.span_id:016x}") == (
            trace_id,
            parent,
        )
        assert span.parent.is_remote
        assert [link.context.span_id for link in span.links] == [unit.context.span_id]
    assert placed["1"][1]["gen_ai.response.id"] == "resp-0"
    assert placed["2"][0] is unit and placed["2"][1]["gen_ai.response.id"] == "resp-1"
    assert placed["4"][0] is unit and "gen_ai.response.id" not in placed["4"][1]
    failed = [e for _, e in placed.values() if "error.type" in e]
    assert [e["error.type"] for e in failed] == ["400"]
    assert not any(key.startswith("gen_ai.evaluation.score") for key in failed[0])
    assert sum(r.attributes.get("error.type") == "400" for r in traces.spans("POST")) == 1


def criteria_run(traces, judge_service, tmp_path, content, long_answer="", timeout=60.0):
    from zentrix_gov.cli.judge import judge_for
    from zentrix_gov.entities.llm_judge import JudgeRequestOptions
    from zentrix_gov.metrics.criteria_files import load_criteria

    rows = [
        {"question": "How many bags?", "answer": "One bag of 23 kg." + long_answer,
         "contexts": ["Economy tickets include one checked bag of up to 23 kg."]},
        {"question": "Pets?", "answer": "Pets fly free.", "contexts": ["Pets cost 50 EUR."]},
    ]  # fmt: skip
    judge = judge_for(
        judge_service.url + "/v1", TEST_TOKEN, "judge", JudgeRequestOptions(timeout=timeout)
    )
    configuration = GenAIConfiguration(
        input_fields=["question"], output_fields=["answer"], context_fields=["contexts"],
        llm_judge=judge,
    )  # fmt: skip
    metrics = load_criteria(ROOT / "examples" / "criteria" / "answer_grounding.yaml")
    return runs.evaluate(rows, metrics, configuration, store=tmp_path / "runs.sqlite",
                         tracer_provider=traces.provider, trace_content=content)  # fmt: skip


@pytest.mark.parametrize("content", [False, True], ids=["default", "capture_content"])
def test_judge_requests_are_genai_chat_spans_with_content_only_when_asked(
    content, traces, judge_service, tmp_path
):
    criteria_run(traces, judge_service, tmp_path, content, long_answer=" x" * 6000)
    unit = traces.one("unit answer_grounding")
    chats = traces.spans("chat ")
    assert len(chats) == 2
    for chat in chats:
        assert chat.parent.span_id == unit.context.span_id
        assert chat.kind.name == "CLIENT"
        attributes = dict(chat.attributes)
        assert {key: attributes[key] for key in (
            "gen_ai.operation.name", "gen_ai.provider.name", "gen_ai.request.model",
            "gen_ai.request.max_tokens", "gen_ai.request.temperature", "gen_ai.request.seed",
            "gen_ai.response.model",
        )} == {
            "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
            "gen_ai.request.model": "judge", "gen_ai.request.max_tokens": 1024,
            "gen_ai.request.temperature": 0.0, "gen_ai.request.seed": 36,
            "gen_ai.response.model": "judge",
        }  # fmt: skip
        assert attributes["gen_ai.response.id"]
        assert attributes["gen_ai.usage.input_tokens"] > 0
        assert attributes["gen_ai.usage.output_tokens"] > 0
        assert ("gen_ai.input.messages" in attributes) is content
        assert ("gen_ai.output.messages" in attributes) is content
    explained = [e for _, e in traces.events() if "gen_ai.evaluation.explanation" in e]
    assert len(explained) == (2 if content else 0)
    if content:
        texts = [part["content"] for chat in chats
                 for message in json.loads(chat.attributes["gen_ai.input.messages"])
                 for part in message["parts"]]  # fmt: skip
        assert max(len(text) for text in texts) == 10_000  # the long answer's prompt, cut
        assert any(text.endswith("…") for text in texts)


def test_judge_timeouts_and_retries_show_on_their_request_spans(traces, judge_service, tmp_path):
    judge_service.faults.script([503, "hang"], path="/v1/chat/completions")
    criteria_run(traces, judge_service, tmp_path, content=False, timeout=3.0)
    chats = traces.spans("chat ")
    retried = [chat for chat in chats if any(event.name == "retry" for event in chat.events)]
    assert len(retried) == 1
    assert retried[0].events[0].attributes["http.response.status_code"] == 503
    assert sorted(chat.attributes.get("error.type", "") for chat in chats) == ["", "JUDGE_TIMEOUT"]


def test_nothing_of_opentelemetry_is_imported_by_an_untraced_run(server):
    """Every module of the package but the tracing implementations, and a run of them."""
    code = f"""
import asyncio, importlib, pkgutil, sys
import zentrix_gov
TRACING = {{"spans", "http", "judge", "relay", "export", "risk"}}
for module in pkgutil.walk_packages(zentrix_gov.__path__, "zentrix_gov."):
    parts = module.name.split(".")
    if parts[1] == "tracing" and parts[-1] in TRACING or parts[-1] == "__main__":
        continue
    try:
        importlib.import_module(module.name)
    except ImportError:
        pass  # an optional extra (the local model)
from tests.plugin_services import client_for
from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration
class Server:
    url, token, instance_id = {server.url!r}, {server.token!r}, {server.instance_id!r}
runs.evaluate([{{"input_text": "hello"}}], ["hap"], GenAIConfiguration(),
              api_client=client_for(Server()))
print(sorted(name for name in sys.modules if name.split(".")[0] == "opentelemetry"))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300, cwd=ROOT)  # fmt: skip
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().splitlines()[-1] == "[]"
