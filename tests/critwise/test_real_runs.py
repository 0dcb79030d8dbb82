"""The provider end to end on the installed evalassist, unitxt and litellm, against the local
judge service: an OpenAI-kind judge (through litellm) and a platform judge, in criteria mode
and prompt-template mode, with real token counts. Nothing is mocked, and every test refuses
any connection that would leave the machine."""

from __future__ import annotations

import asyncio

import pytest
import tiktoken

from tests.judge import loopback_guard
from zentrix_gov.local.judge import PATH_CHAT, PATH_GENERATION

from .conftest import openai_judge, platform_judge

JUDGE = "local/judge-rater-small"
TEMPLATE = (
    "Is the answer supported by the context? Answer Yes or No.\n"
    "Context: {contexts}\nAnswer: {answer}"
)
KINDS = ["openai", "platform"]


@pytest.fixture
def loopback_only():
    refused, uninstall = loopback_guard.install()
    yield refused
    uninstall()
    assert refused == [], f"requests left the machine: {refused}"


def judge_for(kind, server):
    if kind == "openai":
        return openai_judge(url=f"{server.url}/v1", key=server.token, model=JUDGE)
    return platform_judge(url=server.url, api_key=server.token, model=JUDGE, project_id="p1")


def evaluate(provider, records):
    # As the SDK's metrics run it: off the event loop, on a worker thread with its own loop.
    return asyncio.run(provider.evaluate_async(records))


@pytest.mark.usefixtures("loopback_only")
@pytest.mark.parametrize("kind", KINDS)
class TestRealJudges:
    def test_criteria_mode(self, provider_for, records, judge_service, kind):
        provider = provider_for(llm_judge=judge_for(kind, judge_service), compute_token_count=True)
        result = evaluate(provider, records)
        grounded, unsupported = result.record_level_metrics
        assert (grounded.label, grounded.value) == ("Yes", 1)
        assert (unsupported.label, unsupported.value) == ("No", 0)
        assert result.value == 0.5
        assert grounded.explanation and unsupported.explanation
        # Feedback only where there is something to improve.
        assert grounded.additional_info["feedback"] is None
        assert unsupported.additional_info["feedback"]
        path = PATH_CHAT if kind == "openai" else PATH_GENERATION
        assert [request.path for request in judge_service.requests] == [path, path]

    def test_token_counts_are_those_of_the_real_encoding(
        self, provider_for, records, judge_service, kind
    ):
        provider = provider_for(llm_judge=judge_for(kind, judge_service), compute_token_count=True)
        record = evaluate(provider, records.iloc[:1]).record_level_metrics[0]
        encoding = tiktoken.get_encoding("cl100k_base")
        reply = judge_service.requests[0].json()
        answer_tokens = record.additional_info["output_tokens"]
        assert record.additional_info["input_tokens"] > 300  # evalassist's prompts are long
        assert 0 < answer_tokens < record.additional_info["input_tokens"]
        if kind == "openai":
            # The prompt went as chat messages; the count is that of their text form.
            assert record.additional_info["input_tokens"] == len(
                encoding.encode_ordinary(str(reply["messages"]))
            )

    def test_prompt_template_mode(self, provider_for, records, judge_service, kind):
        provider = provider_for(
            llm_judge=judge_for(kind, judge_service),
            criteria_description=None,
            prompt_template=TEMPLATE,
        )
        grounded, unsupported = evaluate(provider, records).record_level_metrics
        assert (grounded.label, unsupported.label) == ("Yes", "No")
        assert (grounded.value, unsupported.value) == (1, 0)
        assert grounded.additional_info["feedback"] is None  # this mode asks for none

    def test_an_unparseable_answer_is_an_error_not_a_score(
        self, provider_for, records, judge_service, kind
    ):
        judge_service.faults.script(["unparseable"])
        provider = provider_for(llm_judge=judge_for(kind, judge_service))
        result = evaluate(provider, records.iloc[:1])
        (record,) = result.record_level_metrics
        assert record.value is None and record.label is None
        assert record.errors[0].code == "UNPARSEABLE_VERDICT"
        assert result.value == "Error"
        assert result.errors[0].message_en.startswith("1 of 1 judge verdicts")
        # The judge library asked the model to repair its answer before giving up.
        assert len(judge_service.requests) == 4

    def test_the_key_appears_in_no_result(self, provider_for, records, judge_service, kind):
        provider = provider_for(llm_judge=judge_for(kind, judge_service))
        result = evaluate(provider, records)
        assert judge_service.token not in result.model_dump_json()


@pytest.mark.usefixtures("loopback_only")
def test_the_metric_judges_synchronously_after_asyncio_run(records, judge_service):
    """litellm needs an event loop on the calling thread; the main thread has none after
    asyncio.run(), which the synchronous metric must not trip over."""
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.metrics.criteria import CriteriaMetric

    from .conftest import CRITERION, YES_NO

    configuration = GenAIConfiguration(
        input_fields=["question"], output_fields=["answer"], context_fields=["contexts"]
    )
    metric = CriteriaMetric(
        name="grounded",
        criteria=CRITERION,
        options=YES_NO,
        llm_judge=judge_for("openai", judge_service),
    )
    asyncio.run(asyncio.sleep(0))
    result = metric.evaluate(records, configuration)
    assert [record.label for record in result.record_level_metrics] == ["Yes", "No"]
