"""The SDK's inference engines against the running judge service (and a Python function)."""

import subprocess
import sys
import threading
import time

import pytest

from zentrix_gov.local.judge import PATH_CHAT, PATH_GENERATION

JUDGE = "local/judge-rater-small"
RATE = "On a scale of 0 to 10, rate it."
GOOD = "Question: What is the capital of France?\n\nPrediction: The capital of France is Paris.\n"
BAD = "Question: What is the capital of France?\n\nPrediction: Bananas are yellow.\n"
# One plain-string prompt and one made of chat messages.
DATASET = [
    {"source": f"{RATE}\n{GOOD}"},
    {"source": [{"role": "system", "content": RATE}, {"role": "user", "content": BAD}]},
]


def platform_engine(server, **credentials):
    from zentrix_gov.engines import MLPInferenceEngineGeneration

    credentials = {"url": server.url, "api_key": server.token, "project_id": "p1", **credentials}
    credentials = {key: value for key, value in credentials.items() if value is not None}
    return MLPInferenceEngineGeneration(credentials=credentials, model_name=JUDGE, use_cache=False)


def chat_engines(server):
    from zentrix_gov.engines import (
        GoogleStudioInferenceEngine,
        PortKeyInferenceEngine,
        ZnoAIGatewayInferenceEngine,
    )

    base = server.openai_base_url
    portkey = {"api_key": "gw", "url": base, "provider_api_key": server.token, "provider": "x"}
    return [
        PortKeyInferenceEngine(credentials=portkey, model="judge", use_cache=False),
        ZnoAIGatewayInferenceEngine(
            credentials={"url": base, "api_key": server.token}, use_cache=False
        ),
        GoogleStudioInferenceEngine(
            model="judge",
            credentials={"api_key": server.token},
            base_url=base,
            seed=7,
            data_classification_policy=["public"],
            use_cache=False,
        ),
    ]


class TestPlatformEngine:
    @pytest.mark.parametrize("scope", ["project_id", "space_id"])
    def test_generates_for_both_prompt_forms(self, judge_service, scope):
        scopes = {"project_id": None, scope: "scope-1"}
        engine = platform_engine(judge_service, **scopes)
        assert list(engine.infer(DATASET)) == ["10", "0"]
        bodies = [request.json() for request in judge_service.requests]
        assert all(body[scope] == "scope-1" and body["model_id"] == JUDGE for body in bodies)
        chat_body = next(body for body in bodies if body["input"].startswith(RATE + "\n\n"))
        assert chat_body["input"] == f"{RATE}\n\n{BAD}"
        assert {r.headers["Authorization"] for r in judge_service.requests} == {
            f"Bearer {judge_service.token}"
        }

    def test_self_hosted_password_is_the_bearer_key(self, judge_service):
        engine = platform_engine(
            judge_service, api_key=None, username="admin", password=judge_service.token
        )
        output = engine.infer(DATASET[:1], return_meta_data=True)[0]
        assert (output.prediction, output.output_tokens, output.stop_reason) == (
            "10", 1, "eos_token"
        )  # fmt: skip
        assert output.input_tokens > 10 and output.model_name == JUDGE

    @pytest.mark.parametrize(
        "credentials",
        [{"space_id": "s"}, {"project_id": None}, {"url": None}, {"api_key": None}],
    )
    def test_incomplete_credentials_are_refused(self, judge_service, credentials):
        with pytest.raises(Exception, match="credentials"):
            platform_engine(judge_service, **credentials)

    def test_errors_name_the_model_and_hide_the_key(self, judge_service):
        from zentrix_gov.engines import MLPInferenceEngineGeneration

        engine = MLPInferenceEngineGeneration(
            credentials={"url": judge_service.url, "api_key": "secret-key", "space_id": "s"},
            model_name="missing/model",
            use_cache=False,
        )
        with pytest.raises(RuntimeError, match=r"missing/model.*401") as info:
            engine.infer(DATASET[:1])
        assert "secret-key" not in str(info.value) and "secret-key" not in repr(engine)
        judge_service.faults.script(["unparseable"], path=PATH_GENERATION)
        assert platform_engine(judge_service).infer(DATASET[:1])[0] != "10"


class TestChatEngines:
    def test_each_gateway_answers_both_prompt_forms(self, judge_service):
        for engine in chat_engines(judge_service):
            assert list(engine.infer(DATASET)) == ["10", "0"], type(engine).__name__
            output = engine.infer(DATASET[:1], return_meta_data=True)[0]
            assert output.prediction == "10" and output.output_tokens == 1
        portkey = next(r for r in judge_service.requests if "x-portkey-api-key" in r.headers)
        assert portkey.headers["x-portkey-provider"] == "x"
        assert all(r.path == PATH_CHAT for r in judge_service.requests)
        seeds = {r.json().get("seed") for r in judge_service.requests}
        assert seeds == {None, 7}

    def test_failures_raise_with_the_engine_named(self, judge_service):
        from zentrix_gov.engines import ZnoAIGatewayInferenceEngine

        engine = ZnoAIGatewayInferenceEngine(
            credentials={"url": judge_service.openai_base_url, "api_key": "wrong"},
            use_cache=False,
        )
        with pytest.raises(RuntimeError, match=r"ZnoAIGatewayInferenceEngine.*401"):
            engine.infer(DATASET[:1])

    def test_retries_transient_failures(self, judge_service):
        judge_service.faults.script([503, "drop"])
        engine = chat_engines(judge_service)[1]
        assert list(engine.infer(DATASET[:1])) == ["10"]
        assert len(judge_service.requests) == 3

    def test_google_studio_needs_an_endpoint(self, monkeypatch):
        from zentrix_gov.engines import GoogleStudioInferenceEngine

        monkeypatch.delenv("GOOGLE_AI_STUDIO_BASE_URL", raising=False)
        with pytest.raises(RuntimeError, match="GOOGLE_AI_STUDIO_BASE_URL"):
            GoogleStudioInferenceEngine(model="m", credentials={"api_key": "k"}, use_cache=False)

    def test_cached_answers_are_reused(self, judge_service, unitxt_cache):
        from zentrix_gov.engines import ZnoAIGatewayInferenceEngine

        credentials = {"url": judge_service.openai_base_url, "api_key": judge_service.token}
        for _ in range(2):
            engine = ZnoAIGatewayInferenceEngine(credentials=credentials, use_cache=True)
            assert list(engine.infer(DATASET)) == ["10", "0"]
        assert len(judge_service.requests) == 2
        assert unitxt_cache.is_dir()


class TestCustomFunctionEngine:
    def engine(self, scoring_fn, **options):
        from zentrix_gov.engines import CustomFunctionInferenceEngine

        options = {
            "model_name": "my-model",
            "context": None,
            "num_parallel_requests": 3,
            "use_cache": False,
            **options,
        }
        return CustomFunctionInferenceEngine(scoring_fn=scoring_fn, **options)

    def test_one_prompt_per_call_list_or_str_answers(self):
        calls = []

        def score(prompts):
            calls.append(prompts)
            return [prompts[0][-4:]] if len(calls) % 2 else prompts[0][-4:]

        answers = self.engine(score, num_parallel_requests=1).infer(DATASET)
        assert list(answers) == ["is.\n", "ow.\n"]
        assert calls == [[DATASET[0]["source"]], [f"{RATE}\n\n{BAD}"]]

    def test_parallel_calls_are_bounded(self):
        lock, running, peak = threading.Lock(), [0], [0]

        def score(prompts):
            with lock:
                running[0] += 1
                peak[0] = max(peak[0], running[0])
            time.sleep(0.05)
            with lock:
                running[0] -= 1
            return ["ok"]

        dataset = [{"source": f"prompt {index}"} for index in range(12)]
        assert list(self.engine(score).infer(dataset)) == ["ok"] * 12
        assert peak[0] == 3

    @pytest.mark.parametrize(
        ("scoring_fn", "match"),
        [
            (lambda prompts: 1 / 0, "my-model.*ZeroDivisionError"),
            (lambda prompts: ["a", "b"], "my-model.*2 items"),
            (lambda prompts: [None], "my-model.*NoneType"),
        ],
    )
    def test_failures_name_the_model(self, scoring_fn, match):
        with pytest.raises(RuntimeError, match=match):
            self.engine(scoring_fn).infer(DATASET)

    def test_a_model_without_name_gets_the_default_one(self):
        engine = self.engine(lambda prompts: 1 / 0, model_name=None)
        assert engine.get_engine_id() == "custom_fn_custom_fn"
        with pytest.raises(RuntimeError, match="'custom_fn'"):
            engine.infer(DATASET)

    def test_cache_keys_do_not_need_json_functions(self, unitxt_cache):
        calls = []

        def score(prompts):
            calls.append(prompts)
            return ["cached"]

        for _ in range(2):
            assert list(self.engine(score, use_cache=True).infer(DATASET)) == ["cached"] * 2
        assert len(calls) == 2


def test_importing_the_sdk_never_imports_unitxt():
    code = (
        "import sys, zentrix_gov, zentrix_gov.cli, zentrix_gov.engines,"
        " zentrix_gov.cli.local_services, zentrix_gov.local.judge;"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('unitxt', 'openai')))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
