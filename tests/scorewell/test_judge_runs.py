"""Judge metrics end to end: unitxt's judge and real engines against the local judge service."""

from __future__ import annotations

import pandas as pd
import pytest

from zentrix_gov.cli.judge import judge_for
from zentrix_gov.entities.credentials import ZnAICredentials
from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.errors import MetricComputationError
from zentrix_gov.entities.foundation_model import ModelProvider, ZnAIFoundationModel
from zentrix_gov.entities.llm_judge import LLMJudge

JUDGE_MODEL = "local/judge-rater-small"
METRICS = ["faithfulness", "context_relevance", "answer_correctness", "answer_relevance"]


@pytest.fixture
def judged_records():
    """A grounded, relevant, correct record and one that is none of these."""
    return pd.DataFrame(
        {
            "question": ["What is the capital of France?", "What is the capital of France?"],
            "answer": [
                "The capital of France is Paris.",
                "Bananas grow on tall plants in tropical regions.",
            ],
            "contexts": [
                ["Paris is the capital and largest city of France."],
                ["The moon orbits the earth."],
            ],
            "ground_truth": ["Paris is the capital of France", "Paris"],
            "id": ["good", "bad"],
        }
    )


def openai_judge(server):
    return judge_for(server.openai_base_url, server.token, JUDGE_MODEL)


@pytest.mark.parametrize("metric", METRICS)
def test_openai_judge_for_every_judge_metric(
    provider_for, judged_records, judge_service, fresh_engine_cache, metric
):
    provider = provider_for(metric, "llm_as_judge", llm_judge=openai_judge(judge_service))
    result = provider.evaluate(judged_records)
    good, bad = (r.value for r in result.record_level_metrics)
    assert [r.record_id for r in result.record_level_metrics] == ["good", "bad"]
    assert good > bad
    assert result.method == "llm_as_judge" and result.provider == "unitxt"
    chats = [r for r in judge_service.requests if r.path.endswith("/chat/completions")]
    assert len(chats) == 2
    assert all(r.json()["model"] == JUDGE_MODEL for r in chats)


def test_platform_judge_through_the_generation_endpoint(
    provider_for, judged_records, judge_service, fresh_engine_cache
):
    credentials = ZnAICredentials(url=judge_service.url, api_key=judge_service.token)
    model = ZnAIFoundationModel(
        model_id=JUDGE_MODEL,
        project_id="project-1",
        provider=ModelProvider(type=ModelProviderType.ZNAI, credentials=credentials),
    )
    provider = provider_for("faithfulness", "llm_as_judge", llm_judge=LLMJudge(model=model))
    result = provider.evaluate(judged_records)
    good, bad = (r.value for r in result.record_level_metrics)
    assert good > bad
    generations = [r for r in judge_service.requests if r.path.endswith("/text/generation")]
    assert [r.json()["project_id"] for r in generations] == ["project-1", "project-1"]


def test_judge_engine_is_shared_between_evaluations(
    provider_for, judged_records, judge_service, fresh_engine_cache
):
    judge = openai_judge(judge_service)
    provider_for("faithfulness", "llm_as_judge", llm_judge=judge).evaluate(judged_records)
    provider_for("answer_relevance", "llm_as_judge", llm_judge=judge).evaluate(judged_records)
    assert len(fresh_engine_cache) == 1


def test_service_failure_is_reported_wrapped(
    provider_for, judged_records, judge_service, fresh_engine_cache
):
    judge_service.faults.script([500] * 10)
    provider = provider_for("faithfulness", "llm_as_judge", llm_judge=openai_judge(judge_service))
    with pytest.raises(MetricComputationError, match=r"^Error while computing metrics: "):
        provider.evaluate(judged_records)
