"""unitxt's own OpenAI engine and the judge templates, end to end against the service."""

import pytest

from zentrix_gov.local.judge import PATH_CHAT

JUDGE = "local/judge-rater-small"
METADATA = {"data_classification_policy": ["public"]}
SUPPORTED = {
    "record_id": "supported",
    "question": "What is the capital of France?",
    "answer": "The capital of France is Paris.",
    "contexts": ["Paris is the capital and largest city of France.", "France is in Europe."],
    "ground_truths": ["Paris is the capital of France"],
    "metadata": METADATA,
}
UNSUPPORTED = {
    "record_id": "unsupported",
    "question": "What is the capital of France?",
    "answer": "Bananas grow on tall plants in tropical regions.",
    "contexts": ["The moon orbits the earth."],
    "ground_truths": ["Paris"],
    "metadata": METADATA,
}
TEMPLATES = {
    "faithfulness": "judge_with_question_simplified_verbal",
    "context_relevance": "judge_context_relevance_ares_numeric",
    "answer_correctness": "judge_loose_match_no_context_numeric",
    "answer_relevance": "judge_answer_relevance_numeric",
}


def openai_engine(server, **options):
    from unitxt.inference import OpenAiInferenceEngine

    credentials = {"api_key": server.token, "api_url": server.openai_base_url}
    return OpenAiInferenceEngine(
        model_name=JUDGE, credentials=credentials, use_cache=False, **options
    )


def run_judge(engine, metric, records, chat_format=True):
    from unitxt.artifact import fetch_artifact
    from unitxt.formats import ChatAPIFormat
    from unitxt.llm_as_judge_from_template import TaskBasedLLMasJudge
    from unitxt.operators import SequentialOperator
    from unitxt.stream import MultiStream

    template, _ = fetch_artifact(f"templates.rag_eval.{metric}.{TEMPLATES[metric]}")
    judge = TaskBasedLLMasJudge(
        inference_model=engine,
        format=ChatAPIFormat() if chat_format else None,
        template=template,
        task=f"tasks.rag_eval.{metric}.binary",
        main_score=f"{metric}_judge",
        prediction_field="contexts" if metric == "context_relevance" else "answer",
        infer_log_probs=False,
        judge_to_generator_fields_mapping={},
    )
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    return [
        instance["score"]["instance"]["score"]
        for instance in SequentialOperator(steps=[judge])(stream)["test"]
    ]


def test_openai_engine_gets_logprobs_by_default(judge_service):
    engine = openai_engine(judge_service)
    prompt = "On a scale of 0 to 10?\n\nQuestion: capital of France\n\nPrediction: France's capital"
    assert list(engine.infer([{"source": prompt}])) == ["10"]
    sent = judge_service.requests[-1].json()
    assert sent["logprobs"] is True and sent["top_logprobs"] == 20
    (tokens,) = engine.infer_log_probs([{"source": prompt}])
    assert tokens[0]["text"] == "10" and len(tokens[0]["top_tokens"]) == 20


@pytest.mark.parametrize("metric", sorted(TEMPLATES))
def test_judge_templates_score_supported_above_unsupported(judge_service, metric):
    supported, unsupported = run_judge(
        openai_engine(judge_service), metric, [dict(SUPPORTED), dict(UNSUPPORTED)]
    )
    assert 0.0 <= unsupported < supported <= 1.0
    assert (supported, unsupported) == (1.0, 0.0)
    assert len(judge_service.requests) == 2
    assert all(request.path == PATH_CHAT for request in judge_service.requests)


def test_unparseable_judge_answers_score_zero(judge_service):
    judge_service.faults.script(["unparseable"])
    scores = run_judge(openai_engine(judge_service), "answer_relevance", [dict(SUPPORTED)])
    assert scores == [0.0]


def test_judge_through_the_platform_generation_route(judge_service):
    from zentrix_gov.engines import MLPInferenceEngineGeneration

    engine = MLPInferenceEngineGeneration(
        credentials={"url": judge_service.url, "api_key": judge_service.token, "space_id": "s"},
        model_name=JUDGE,
        use_cache=False,
    )
    records = [dict(SUPPORTED), dict(UNSUPPORTED)]
    assert run_judge(engine, "faithfulness", records, chat_format=False) == [1.0, 0.0]
    assert {request.path for request in judge_service.requests} == {"/v1/text/generation"}
    assert "Evidence: " in judge_service.requests[0].json()["input"]
