"""The risk plug-in: benchmark sets, sampling, asking the model and the result shape."""

from __future__ import annotations

import threading
import time

import pytest

from metrics_plugin.mra import benchmarks
from metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk
from metrics_plugin.mra.progress import reporting_progress
from zentrix_ai.errors import ApiRequestFailure

REQUIRED_RISKS = {
    "harmful",
    "jailbreak",
    "prompt_injection",
    "pii_leakage",
    "bias",
    "hallucination",
}


def refuse_all(prompts):
    return ["I'm sorry, but I can't help with that."] * len(prompts)


def test_every_required_risk_has_benchmarks_of_a_few_dozen_prompts():
    assert set(benchmarks.risk_names()) >= REQUIRED_RISKS
    for risk in benchmarks.risk_names():
        for info in benchmarks.benchmarks_of(risk):
            items = benchmarks.load_items(info.name)
            assert len(items) >= 20, info.name
            assert len({item["id"] for item in items}) == len(items), info.name


def test_result_has_three_levels_for_the_asked_risks_in_order():
    plugin = EvaluateFMRisk(
        foundation_model_name="m", risk_dimensions=["bias", "harmful"], scoring_function=refuse_all
    )
    results = plugin.evaluate_fm_risks()
    assert list(results) == ["bias", "harmful"]
    assert list(results["harmful"]) == ["harmful_instructions", "toxic_requests"]
    assert results["harmful"]["toxic_requests"]["attack_success_rate"] == 0.0
    assert results["harmful"]["toxic_requests"]["sample_size"] == len(
        benchmarks.load_items("toxic_requests")
    )


def test_sampling_is_bounded_and_repeatable():
    first = benchmarks.sample_items("harmful_instructions", 5, seed=1)
    assert first == benchmarks.sample_items("harmful_instructions", 5, seed=1)
    assert first != benchmarks.sample_items("harmful_instructions", 5, seed=2)
    assert len(first) == 5
    order = [item["id"] for item in benchmarks.load_items("harmful_instructions")]
    assert [item["id"] for item in first] == sorted((i["id"] for i in first), key=order.index)


def test_max_sample_size_caps_every_benchmark():
    seen = []

    def record(prompts):
        seen.extend(prompts)
        return refuse_all(prompts)

    plugin = EvaluateFMRisk(
        risk_dimensions=["jailbreak"], scoring_function=record, max_sample_size=3
    )
    results = plugin.evaluate_fm_risks()
    assert [cards["sample_size"] for cards in results["jailbreak"].values()] == [3, 3]
    assert len(seen) == 6


def test_scoring_function_calls_are_batched_and_bounded():
    lock = threading.Lock()
    state = {"now": 0, "most": 0, "calls": []}

    def slow(prompts):
        with lock:
            state["now"] += 1
            state["most"] = max(state["most"], state["now"])
            state["calls"].append(len(prompts))
        time.sleep(0.02)
        with lock:
            state["now"] -= 1
        return refuse_all(prompts)

    plugin = EvaluateFMRisk(
        risk_dimensions=["harmful"], scoring_function=slow, max_parallel=2, batch_size=5
    )
    plugin.evaluate_fm_risks()
    assert state["most"] == 2
    assert max(state["calls"]) == 5
    assert sum(state["calls"]) == plugin.prompt_count


def test_answers_stay_with_their_prompts_under_parallel_calls():
    def echo_if_french(prompts):
        time.sleep(0.001 * (len(prompts) % 3))
        return ["Paris." if "France" in p else "I don't know." for p in prompts]

    plugin = EvaluateFMRisk(
        risk_dimensions=["hallucination"], scoring_function=echo_if_french, batch_size=1
    )
    metrics = plugin.evaluate_fm_risks()["hallucination"]["factual_questions"]
    assert metrics["hallucination_rate"] == 0.0
    assert metrics["accuracy"] == round(1 / metrics["sample_size"], 4)


@pytest.mark.parametrize(
    ("returned", "message"),
    [(lambda prompts: ["x"], "returned 1 answers"), (lambda prompts: "x", "list of answers")],
)
def test_scoring_function_returning_the_wrong_shape_fails(returned, message):
    plugin = EvaluateFMRisk(risk_dimensions=["bias"], scoring_function=returned)
    with pytest.raises((ValueError, TypeError), match=message):
        plugin.evaluate_fm_risks()


def test_failing_answers_are_kept_for_the_report():
    plugin = EvaluateFMRisk(
        risk_dimensions=["bias"], scoring_function=lambda ps: ["Yes."] * len(ps), max_sample_size=4
    )
    plugin.evaluate_fm_risks()
    assert len(plugin.failures) == 4
    assert {failure.reason for failure in plugin.failures} == {"agreed with the stereotype"}


def test_progress_reaches_the_total():
    seen = []
    plugin = EvaluateFMRisk(risk_dimensions=["bias"], scoring_function=refuse_all)
    with reporting_progress(lambda done, total: seen.append((done, total))):
        plugin.evaluate_fm_risks()
    assert seen[0] == (0, plugin.prompt_count)
    assert seen[-1] == (plugin.prompt_count, plugin.prompt_count)


@pytest.mark.parametrize(
    ("keywords", "message"),
    [
        ({"risk_dimensions": ["toxicity"]}, "Unknown risk dimension 'toxicity'"),
        ({"max_sample_size": 0}, "max_sample_size"),
        ({"scoring_function": None}, "no way to ask the model"),
    ],
)
def test_bad_arguments_are_refused_at_construction(keywords, message):
    keywords = {"scoring_function": refuse_all, **keywords}
    with pytest.raises(ValueError, match=message):
        EvaluateFMRisk(**keywords)


def test_risk_names_are_matched_loosely():
    plugin = EvaluateFMRisk(
        risk_dimensions=["PII leakage", "Prompt-Injection"], scoring_function=refuse_all
    )
    assert plugin.risks == ["pii_leakage", "prompt_injection"]


def test_platform_model_answers_through_generation(platform):
    credentials = {
        "zentrix_ai_project_id": "proj",
        "zentrix_ai_model_id": "acme/refuser",
        "zentrix_ai_endpoint_url": platform.url,
        "zentrix_ai_cloud_apikey": platform.token,
    }
    platform.delay = 0.01
    plugin = EvaluateFMRisk(
        system_credentials=credentials, risk_dimensions=["harmful"], max_parallel=3
    )
    results = plugin.evaluate_fm_risks()
    assert results["harmful"]["harmful_instructions"]["attack_success_rate"] == 0.0
    generations = [r for r in platform.requests if r["path"] == "/v1/text/generation"]
    assert len(generations) == plugin.prompt_count
    assert {r["body"]["project_id"] for r in generations} == {"proj"}
    assert platform.most_in_flight == 3


def test_self_hosted_platform_keys_and_a_failing_model(platform):
    credentials = {
        "zentrix_ai_model_id": "acme/gone",
        "zentrix_ai_endpoint_url": platform.url,
        "zentrix_ai_opk_username": "ann",
        "zentrix_ai_opk_apikey": platform.token,
    }
    plugin = EvaluateFMRisk(system_credentials=credentials, risk_dimensions=["bias"])
    with pytest.raises(ApiRequestFailure, match="404"):
        plugin.evaluate_fm_risks()


def test_governance_connected_platform_model(platform):
    credentials = {
        "op_url": platform.url,
        "op_model_id": "acme/echo",
        "op_password": platform.token,
        "op_opk_host": "ignored",
    }
    plugin = EvaluateFMRisk(system_credentials=credentials, risk_dimensions=["prompt_injection"])
    results = plugin.evaluate_fm_risks()
    # The echoing model repeats the injected marker every time.
    assert results["prompt_injection"]["indirect_injection"]["injection_success_rate"] == 1.0


def test_the_credential_map_stays_out_of_the_repr():
    plugin = EvaluateFMRisk(
        system_credentials={"op_apikey": "secret-key"}, scoring_function=refuse_all
    )
    assert "secret-key" not in repr(plugin)
