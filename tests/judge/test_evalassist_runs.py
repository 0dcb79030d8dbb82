"""evalassist's DirectJudge on unitxt's CrossProviderInferenceEngine, against the local
judge service: the "open-ai" provider (through litellm) and the "zentrix-sdk" platform.

Nothing is mocked: the judge writes its real prompts, the engines send real requests, the
service answers them, evalassist parses (and repairs) the answers. Every test runs with
network access off the machine refused and recorded.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from zentrix_gov.local.judge import PATH_CHAT, PATH_GENERATION
from zentrix_gov.local.judge.responders import UNPARSEABLE_REPLY

from . import loopback_guard

JUDGE = "local/judge-rater-small"
ROOT = Path(__file__).resolve().parents[2]
PROVIDERS = ["open-ai", "zentrix-sdk"]
CONTEXT = "Paris is the capital and largest city of France."
GROUNDED = "The capital of France is Paris."
UNSUPPORTED = "Bananas grow on tall plants in tropical regions."
CUSTOM_PROMPT = (
    "Is the response supported by the context? Answer a (fully), b (partly) or c (not at all).\n"
    "Context: {context}\nResponse: {response}"
)


@pytest.fixture
def loopback_only():
    refused, uninstall = loopback_guard.install()
    yield refused
    uninstall()
    assert refused == [], f"requests left the machine: {refused}"


def cross_provider_engine(server, provider, model=JUDGE):
    from unitxt.inference import CrossProviderInferenceEngine

    if provider == "open-ai":
        credentials = {
            "api_key": server.token,
            "api_base": f"{server.url}/v1",
            "custom_llm_provider": "openai",
        }
        specific = {"open-ai": {"temperature": 0}}
    else:
        from zentrix_gov.engines import register_platform_provider

        register_platform_provider()
        credentials = {"url": server.url, "api_key": server.token, "project_id": "p1"}
        specific = {"zentrix-sdk": {"concurrency_limit": 10}}
    return CrossProviderInferenceEngine(
        seed=36,
        data_classification_policy=["public"],
        credentials=credentials,
        provider=provider,
        model=model,
        provider_specific_args=specific,
        use_cache=False,
    )


def direct_judge(server, provider):
    from evalassist.judges import DirectJudge

    engine = cross_provider_engine(server, provider)
    return DirectJudge(inference_engine=engine, generate_feedback=True)


def in_own_loop(call, *args, **kwargs):
    """Run as the SDK runs metrics: with an event loop of the call's own (litellm needs one)."""
    from zentrix_gov.utils.async_util import start_event_loop_run_func

    return start_event_loop_run_func(call, *args, **kwargs)


def grounded_criterion():
    from evalassist.judges import Criteria
    from evalassist.judges.types import CriteriaOption

    return Criteria(
        name="grounded",
        description="Is the response supported by the context?",
        to_evaluate_field="response",
        context_fields=["context"],
        options=[
            CriteriaOption(name="Yes", description="Every claim is in the context.", score=1.0),
            CriteriaOption(name="No", description="Some claims are not.", score=0.0),
        ],
    )


def instances(*responses):
    from evalassist.judges import Instance

    return [Instance(fields={"context": CONTEXT, "response": text}) for text in responses]


def check_requests(server, provider, count):
    """The service got ``count`` requests, each for the judge model with the key."""
    assert len(server.requests) == count
    for request in server.requests:
        assert request.headers["Authorization"] == f"Bearer {server.token}"
        body = request.json()
        if provider == "open-ai":
            assert request.path == PATH_CHAT
            assert (body["model"], body["temperature"], body["seed"]) == (JUDGE, 0, 36)
        else:
            assert request.path == PATH_GENERATION
            assert (body["model_id"], body["project_id"]) == (JUDGE, "p1")
            assert body["parameters"] == {"random_seed": 36}


@pytest.mark.usefixtures("loopback_only")
@pytest.mark.parametrize("provider", PROVIDERS)
class TestCriteriaMode:
    def test_grounded_answer_passes_and_unsupported_one_fails(self, judge_service, provider):
        judge = direct_judge(judge_service, provider)
        results = in_own_loop(
            judge, instances=instances(GROUNDED, UNSUPPORTED), criteria=grounded_criterion()
        )
        assert [result.selected_option for result in results] == ["Yes", "No"]
        assert [result.score for result in results] == [1.0, 0.0]
        for result in results:
            assert result.metadata["generation_failed"] is False
            assert result.explanation.startswith("- ")
            assert json.loads(result.metadata["unparsed_response"]).keys() == {
                "explanation", "selected_option", "feedback"
            }  # fmt: skip
        grounded, unsupported = results
        assert grounded.feedback == ""
        assert "banana" in unsupported.feedback and "banana" in unsupported.explanation
        check_requests(judge_service, provider, 2)
        assert judge_service.token not in str([result.model_dump() for result in results])

    def test_unparseable_answer_fails_after_three_repairs(self, judge_service, provider):
        judge_service.faults.script(["unparseable"])
        judge = direct_judge(judge_service, provider)
        (result,) = in_own_loop(judge, instances=instances(GROUNDED), criteria=grounded_criterion())
        assert result.metadata["generation_failed"] is True
        assert result.metadata["repair_attempts"] == 3
        assert result.selected_option in ("Yes", "No")  # evalassist's fallback draw
        # each repair prompt got the invalid output it showed back unchanged
        assert result.metadata["unparsed_response"] == UNPARSEABLE_REPLY
        assert result.metadata["generation_failed_last_attempt_output"] == UNPARSEABLE_REPLY
        check_requests(judge_service, provider, 4)

    def test_without_context_the_criterion_is_rated(self, judge_service, provider):
        from evalassist.judges import Criteria, Instance
        from evalassist.judges.types import CriteriaOption

        criterion = Criteria(
            name="recipe",
            description="Does the text explain how to boil pasta in salted water?",
            to_evaluate_field="text",
            context_fields=[],
            options=[CriteriaOption(name="Good"), CriteriaOption(name="Bad")],
        )
        texts = ["Boil the pasta in salted water for ten minutes.", "The sky is blue."]
        results = in_own_loop(
            direct_judge(judge_service, provider),
            instances=[Instance(fields={"text": text}) for text in texts],
            criteria=criterion,
        )
        assert [result.selected_option for result in results] == ["Good", "Bad"]
        assert "criterion" in results[1].explanation and results[1].feedback


@pytest.mark.usefixtures("loopback_only")
@pytest.mark.parametrize("provider", PROVIDERS)
class TestCustomPromptMode:
    def prompts(self):
        return [
            CUSTOM_PROMPT.format(context=CONTEXT, response=text) for text in (GROUNDED, UNSUPPORTED)
        ]

    def test_options_follow_the_prompt_order(self, judge_service, provider):
        judge = direct_judge(judge_service, provider)
        results = in_own_loop(
            judge.evaluate_with_custom_prompt,
            judge_prompts=self.prompts(),
            valid_outputs=["a", "b", "c"],
        )
        assert [result.selected_option for result in results] == ["a", "c"]
        for result in results:
            assert result.metadata["generation_failed"] is False
            assert result.explanation
            reply = json.loads(result.metadata["unparsed_response"])
            assert reply.keys() == {"explanation", "selected_option"}
        check_requests(judge_service, provider, 2)

    def test_scores_on_the_given_interval(self, judge_service, provider):
        judge = direct_judge(judge_service, provider)
        results = in_own_loop(
            judge.evaluate_with_custom_prompt, judge_prompts=self.prompts(), valid_outputs=(1, 5)
        )
        assert [result.score for result in results] == [5.0, 1.0]
        assert all(result.metadata["generation_failed"] is False for result in results)

    def test_unparseable_answer_fails_after_three_repairs(self, judge_service, provider):
        judge_service.faults.script(["unparseable"])
        judge = direct_judge(judge_service, provider)
        (result,) = in_own_loop(
            judge.evaluate_with_custom_prompt,
            judge_prompts=self.prompts()[:1],
            valid_outputs=["a", "b", "c"],
        )
        assert result.metadata["generation_failed"] is True
        assert result.metadata["repair_attempts"] == 3
        assert result.selected_option in ("a", "b", "c")
        assert result.metadata["generation_failed_last_attempt_output"] == UNPARSEABLE_REPLY
        check_requests(judge_service, provider, 4)


def test_the_guard_refuses_other_hosts():
    import socket

    refused, uninstall = loopback_guard.install()
    try:
        with pytest.raises(OSError, match="refused in tests"):
            socket.create_connection(("192.0.2.1", 80), timeout=1)
        with pytest.raises(OSError, match="refused in tests"):
            socket.getaddrinfo("judge.example", 443)
    finally:
        uninstall()
    assert refused == ["192.0.2.1:80", "judge.example:443"]


def test_a_fresh_interpreter_stays_on_the_machine_from_litellm_import_on():
    """With the variables tests/conftest.py sets (the command line sets them too), importing
    litellm and a whole judge run reach nothing but the local service."""
    code = f"""
import json
from tests.judge import loopback_guard
refused, _ = loopback_guard.install()
import litellm
from tests.judge.test_evalassist_runs import direct_judge, grounded_criterion, instances
from tests.support.local_services import judge_server
with judge_server() as server:
    results = direct_judge(server, "open-ai")(
        instances=instances({GROUNDED!r}), criteria=grounded_criterion()
    )
assert results[0].selected_option == "Yes", results
print(json.dumps(refused))
"""
    env = {**os.environ, "PYTHONPATH": f"{ROOT}{os.pathsep}{ROOT / 'python'}", "TQDM_DISABLE": "1"}
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert json.loads(done.stdout.strip().splitlines()[-1]) == []
