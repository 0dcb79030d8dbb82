"""The platform as the "zentrix-sdk" provider of unitxt's CrossProviderInferenceEngine, and
the platform engine's sampling options and concurrency bound."""

from __future__ import annotations

import subprocess
import sys
import time

import pytest

from zentrix_gov.local.judge import PATH_GENERATION

JUDGE = "local/judge-rater-small"
PROMPT = "On a scale of 0 to 10?\n\nQuestion: capital of France\n\nPrediction: France's capital"


def credentials(server, **extra):
    return {"url": server.url, "api_key": server.token, "project_id": "p1", **extra}


def cross_provider(server, **options):
    from unitxt.inference import CrossProviderInferenceEngine

    from zentrix_gov.engines import register_platform_provider

    register_platform_provider()
    options = {"provider_specific_args": {"zentrix-sdk": {"concurrency_limit": 10}}, **options}
    return CrossProviderInferenceEngine(
        credentials=credentials(server),
        provider="zentrix-sdk",
        model=JUDGE,
        use_cache=False,
        **options,
    )


def platform_engine(server, **options):
    from zentrix_gov.engines import MLPInferenceEngineGeneration

    return MLPInferenceEngineGeneration(
        credentials=credentials(server), model_name=JUDGE, use_cache=False, **options
    )


def test_registration_is_lazy_idempotent_and_makes_the_provider_known():
    code = """
import sys
import zentrix_gov.engines as engines
assert "unitxt" not in sys.modules
from unitxt.inference import CrossProviderInferenceEngine as Engine
try:
    Engine(provider="zentrix-sdk", model="m", credentials={}, use_cache=False)
except Exception as exc:
    assert "not a configured API" in str(exc), exc
else:
    raise AssertionError("unitxt knew the provider before registration")
engines.register_platform_provider()
engines.register_platform_provider()
name = engines.PLATFORM_PROVIDER
assert Engine._provider_to_base_class[name] is engines.MLPInferenceEngineGeneration
assert Engine._provider_param_renaming[name] == {"model": "model_name"}
assert Engine.provider_model_map[name].get("any/model") == "any/model"
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"


class TestThroughCrossProvider:
    def test_builds_the_platform_engine_with_the_model_id_unchanged(self, judge_service):
        from zentrix_gov.engines import MLPInferenceEngineGeneration

        engine = cross_provider(judge_service, seed=36)
        inner = engine.engine
        assert isinstance(inner, MLPInferenceEngineGeneration)
        assert (inner.model_name, inner.seed, inner.concurrency_limit) == (JUDGE, 36, 10)
        assert engine.get_engine_id() == "judge_rater_small_zentrix-sdk"
        assert list(engine.infer([{"source": PROMPT}])) == ["10"]
        body = judge_service.requests[-1].json()
        assert body == {
            "model_id": JUDGE, "input": PROMPT, "project_id": "p1",
            "parameters": {"random_seed": 36},
        }  # fmt: skip

    def test_sampling_options_reach_the_platform_under_its_names(self, judge_service):
        engine = cross_provider(
            judge_service,
            seed=7,
            max_tokens=50,
            temperature=0.0,
            top_p=0.9,
            stop="\n\n",
        )
        engine.infer([{"source": PROMPT}])
        assert judge_service.requests[-1].json()["parameters"] == {
            "random_seed": 7,
            "max_new_tokens": 50,
            "temperature": 0.0,
            "top_p": 0.9,
            "stop_sequences": ["\n\n"],
        }

    def test_options_the_platform_cannot_honour_are_refused(self, judge_service):
        with pytest.raises(Exception, match="logprobs"):
            cross_provider(judge_service, logprobs=True)


class TestPlatformEngineOptions:
    def test_explicit_parameters_win_over_the_shared_names(self, judge_service):
        engine = platform_engine(
            judge_service, seed=36, stop=["END"], parameters={"random_seed": 1, "top_k": 5}
        )
        engine.infer([{"source": PROMPT}])
        sent = judge_service.requests[-1].json()["parameters"]
        assert sent == {"random_seed": 1, "top_k": 5, "stop_sequences": ["END"]}

    def test_no_parameters_without_options(self, judge_service):
        platform_engine(judge_service).infer([{"source": PROMPT}])
        assert "parameters" not in judge_service.requests[-1].json()

    def test_concurrency_limit_caps_parallel_requests(self, judge_service):
        judge_service.faults.latency = 0.3
        dataset = [{"source": PROMPT}] * 4
        started = time.monotonic()
        engine = platform_engine(judge_service, concurrency_limit=1, num_parallel_requests=8)
        assert list(engine.infer(dataset)) == ["10"] * 4
        assert time.monotonic() - started >= 4 * 0.3  # one at a time
        started = time.monotonic()
        engine = platform_engine(judge_service, concurrency_limit=4, num_parallel_requests=1)
        assert list(engine.infer(dataset)) == ["10"] * 4
        assert time.monotonic() - started < 4 * 0.3  # all four together
        assert len(judge_service.requests) == 8

    @pytest.mark.parametrize("limit", [0, -2, True, 2.5, "3"])
    def test_bad_concurrency_limits_are_refused(self, judge_service, limit):
        with pytest.raises(Exception, match="concurrency_limit"):
            platform_engine(judge_service, concurrency_limit=limit)
        assert not any(r.path == PATH_GENERATION for r in judge_service.requests)
