"""Judges asked by the SDK's engine (``LLMJudge.request_options``) against the judge
stand-in: structured answers and their fallback, answer caps, time-outs, and answers that
never came or came empty as record errors while the other verdicts stand."""

from __future__ import annotations

import asyncio
import time

import pandas as pd
import pytest

from tests.support.local_services import judge_server
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.local.faults import Fault
from zentrix_gov.metrics import CriteriaMetric
from zentrix_gov.metrics.rag import AnswerCorrectnessMetric
from zentrix_gov.utils import notices

CHAT = "/v1/chat/completions"
RECORDS = pd.DataFrame(
    {
        "id": ["r1", "r2", "r3"],
        "question": ["How many bags?", "Can I get a refund?", "Is there wifi?"],
        "answer": ["One bag of 23 kg.", "Flexible fares are refunded.", "Yes, free wifi."],
        "contexts": [["One checked bag of 23 kg."], ["Flexible fares are refunded."], ["No."]],
        "ground_truth": ["One bag.", "Flexible fares only.", "No wifi."],
        "timestamp": ["t"] * 3,
    }
)
CONFIGURATION = GenAIConfiguration(
    input_fields=["question"],
    output_fields=["answer"],
    context_fields=["contexts"],
    reference_fields=["ground_truth"],
    record_id_field="id",
    record_timestamp_field="timestamp",
)


def criterion(judge) -> CriteriaMetric:
    return CriteriaMetric(
        name="grounded",
        criteria_description="Is the {answer} supported by the {contexts}?",
        options=[Option(name="Yes", value=1), Option(name="No", value=0)],
        llm_judge=judge,
    )


def evaluate(metric):
    provider = metric.build_provider(RECORDS, CONFIGURATION, None)
    return asyncio.run(provider.evaluate_async(RECORDS.copy()))  # on a worker, as the SDK does


def judge_of(server, **options):
    options.setdefault("max_parallel", 1)  # scripted faults meet the records in order
    return judge_for(server.openai_base_url, server.token, "judge", JudgeRequestOptions(**options))


def chat_bodies(server) -> list[dict]:
    return [request.json() for request in server.requests if request.path == CHAT]


def codes(result) -> list[str | None]:
    return [
        record.errors[0].code if record.errors else None for record in result.record_level_metrics
    ]


@pytest.mark.parametrize(
    ("mode", "fields"),
    [
        ({}, {"explanation", "selected_option", "feedback"}),
        (
            {"criteria_description": None, "prompt_template": "Is {answer} grounded?"},
            {"explanation", "selected_option"},
        ),
    ],
    ids=["criteria", "prompt template"],
)
def test_criteria_requests_carry_the_verdict_schema_and_the_cap(mode, fields):
    with judge_server() as server:
        metric = criterion(judge_of(server, max_tokens=300)).model_copy(update=mode)
        evaluate(metric)
        bodies = chat_bodies(server)
    assert len(bodies) == 3
    schema = bodies[0]["response_format"]["json_schema"]["schema"]
    assert bodies[0]["response_format"]["type"] == "json_schema"
    assert schema["properties"]["selected_option"]["enum"] == ["Yes", "No"]
    assert set(schema["required"]) == fields
    assert all(body["max_tokens"] == 300 for body in bodies)


def test_template_judges_are_capped_but_never_asked_for_json():
    with judge_server() as server:
        judge = judge_of(server, max_tokens=50)
        result = evaluate(AnswerCorrectnessMetric(method="llm_as_judge", llm_judge=judge))
        bodies = chat_bodies(server)
    assert result.value is not None and not result.errors
    assert all(body["max_tokens"] == 50 and "response_format" not in body for body in bodies)


def test_a_server_refusing_structured_answers_is_asked_without_them(capfd):
    with judge_server() as server:
        server.faults.script(["refuses_response_format"] * 3)
        judge = judge_for(
            server.openai_base_url + "/", server.token, "judge", JudgeRequestOptions(max_parallel=1)
        )
        result = evaluate(criterion(judge))
        bodies = chat_bodies(server)
    assert codes(result) == [None, None, None]
    # The refused request once more without it, then none of the others carries it.
    assert ["response_format" in body for body in bodies] == [True, False, False, False]
    err = capfd.readouterr().err
    assert err.count("refused structured answers") == 1


@pytest.mark.parametrize(
    ("message", "codes_of_a_run", "structured"),
    [
        # llama.cpp's refusal of a schema it cannot use: asked again without it, and the
        # judge's next requests too; each run of a judge learns it (and says it) anew.
        ("JSON schema conversion failed: unknown keyword", [None] * 3, [True, False, False, False]),
        # Not about structure: that record's error, and later requests stay structured.
        (
            "This model's maximum context length is 8192 tokens; the messages have 9001.",
            ["JUDGE_REQUEST_FAILED", None, None],
            [True, True, True],
        ),
    ],
    ids=["names the schema", "context length"],
)
def test_only_a_400_about_structure_turns_it_off_for_that_run(
    capfd, message, codes_of_a_run, structured
):
    refusal = Fault.status_code(400, message=message)
    results = []
    with judge_server() as server:
        for _ in range(2):  # two runs of the same judge, each with its own request options
            server.faults.script([refusal], path=CHAT)
            results.append(evaluate(criterion(judge_of(server))))
        bodies = chat_bodies(server)
    assert [codes(result) for result in results] == [codes_of_a_run] * 2
    assert ["response_format" in body for body in bodies] == structured * 2
    said = capfd.readouterr().err.count("refused structured answers")
    assert said == (2 if False in structured else 0)
    if codes_of_a_run[0] is not None:
        error = results[0].record_level_metrics[0].errors[0].message_en
        assert "HTTP 400" in error and "maximum context length is 8192" in error


def test_notes_are_silenced_by_quiet():
    with notices.quiet_notes():
        assert notices.note_once("test quiet note", "never shown")
    assert not notices.note_once("test quiet note", "already noted")


@pytest.mark.parametrize(
    ("script", "code"),
    [
        # An answer cut at the cap is unreadable; the judge library asks for a repair (3 times)
        # after the other records' first answers.
        (["never_stops", "pass", "pass"] + ["never_stops"] * 3, "UNPARSEABLE_VERDICT"),
        # A time-out is not retried, and an answer that never came is not "repaired".
        (["hang"], "JUDGE_TIMEOUT"),
        (["empty_answer"], "EMPTY_JUDGE_ANSWER"),
        ([503, 503], "JUDGE_REQUEST_FAILED"),  # one retry, as asked
    ],
)
def test_one_lost_verdict_is_that_records_error_and_the_others_stand(script, code):
    with judge_server() as server:
        server.faults.script(script, path=CHAT)
        started = time.perf_counter()
        result = evaluate(criterion(judge_of(server, timeout=1.0, max_retries=1, max_tokens=40)))
        elapsed = time.perf_counter() - started
        left = server.faults.pending(CHAT)
    assert left == 0
    assert codes(result) == [code, None, None]
    assert result.record_level_metrics[0].value is None
    assert result.value == pytest.approx(sum(r.value for r in result.record_level_metrics[1:]) / 2)
    assert result.errors[0].code == code and result.errors[0].message_en.startswith("1 of 3 ")
    assert elapsed < 15


def test_a_judge_that_never_answers_times_out_on_every_record():
    with judge_server() as server:
        server.faults.script(["hang"] * 3, path=CHAT)
        started = time.perf_counter()
        result = evaluate(criterion(judge_of(server, timeout=0.5, max_parallel=3)))
    assert time.perf_counter() - started < 10
    assert result.value == "Error"
    assert codes(result) == ["JUDGE_TIMEOUT"] * 3
    assert "did not answer within 0.5 s" in result.record_level_metrics[0].errors[0].message_en


def test_a_refused_key_fails_the_whole_metric():
    with judge_server() as server:
        judge = judge_for(server.openai_base_url, "wrong-key", "judge", JudgeRequestOptions())
        with pytest.raises(Exception, match="Error while computing metrics: grounded") as caught:
            evaluate(criterion(judge))
    assert "401" in str(caught.value.__cause__.__cause__)


def test_no_cache_database_is_written_with_caching_off(unitxt_cache, monkeypatch):
    monkeypatch.delenv("UNITXT_ENABLE_INFERENCE_CACHE", raising=False)
    with judge_server() as server:
        plain = judge_for(server.openai_base_url, server.token, "judge")  # unitxt's engines
        evaluate(criterion(plain))
        evaluate(AnswerCorrectnessMetric(method="llm_as_judge", llm_judge=plain))
    assert not unitxt_cache.exists() or list(unitxt_cache.rglob("*")) == []


def test_the_unlisted_model_warning_is_logged_once():
    import logging

    class Said(logging.Handler):
        def __init__(self) -> None:
            super().__init__()
            self.messages: list[str] = []

        def emit(self, record: logging.LogRecord) -> None:
            self.messages.append(record.getMessage())

    said = Said()
    unitxt_logger = logging.getLogger("unitxt")  # unitxt's own handler writes to stdout
    unitxt_logger.addHandler(said)
    try:
        with judge_server() as server:
            plain = judge_for(server.openai_base_url, server.token, "judge-of-this-test")
            evaluate(criterion(plain))
            evaluate(criterion(plain))
    finally:
        unitxt_logger.removeHandler(said)
    warned = [m for m in said.messages if "judge-of-this-test is not configured" in m]
    assert len(warned) == 1
