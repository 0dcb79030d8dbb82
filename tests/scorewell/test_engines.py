"""The judge's inference engine: class and arguments per model kind, and the engine cache."""

from __future__ import annotations

import json
from types import SimpleNamespace
from unittest import mock

import pytest

from zentrix_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
    ZnAICredentials,
    ZnoAIGatewayCredentials,
)
from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.errors import (
    MetricComputationError,
    ProjectOrSpaceRequiredError,
    UnsupportedJudgeModelError,
)
from zentrix_gov.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    ModelProvider,
    OpenAIFoundationModel,
    PortKeyGateway,
    VertexAIFoundationModel,
    ZnAIFoundationModel,
    ZnoAIGateway,
)
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.providers import scorewell
from zentrix_gov.providers.scorewell import Scorewell

ENGINE_NAMES = [
    "MLPInferenceEngineGeneration",
    "OpenAiInferenceEngine",
    "AzureOpenAIInferenceEngine",
    "LiteLLMInferenceEngine",
    "PortKeyInferenceEngine",
    "ZnoAIGatewayInferenceEngine",
    "CustomFunctionInferenceEngine",
]


@pytest.fixture
def engines(fresh_engine_cache):
    """Every engine class replaced by a mock that records its keyword arguments."""
    fakes = {name: mock.Mock(name=name) for name in ENGINE_NAMES}
    with mock.patch.multiple(scorewell, **fakes):
        yield SimpleNamespace(**fakes)


def provider_with(provider_for, model):
    return provider_for("faithfulness", "llm_as_judge", llm_judge=LLMJudge(model=model))


def engine_for(provider):
    return provider._Scorewell__get_ai_evaluator_inference_engine()


def platform(url="http://127.0.0.1:1", **fields):
    return ModelProvider(
        type=ModelProviderType.ZNAI, credentials=ZnAICredentials(url=url, **fields)
    )


class TestEngineKinds:
    def test_platform_model(self, provider_for, engines):
        model = ZnAIFoundationModel(
            model_id="granite", project_id="p1", provider=platform(api_key="k")
        )
        engine = engine_for(provider_with(provider_for, model))
        assert engine is engines.MLPInferenceEngineGeneration.return_value
        engines.MLPInferenceEngineGeneration.assert_called_once_with(
            credentials={"url": "http://127.0.0.1:1", "api_key": "k", "project_id": "p1"},
            model_name="granite",
            use_cache=False,
        )

    @pytest.mark.parametrize(
        ("fields", "ids", "expected"),
        [
            # A project id wins over a space id.
            ({}, {"project_id": "p", "space_id": "s"}, {"project_id": "p"}),
            ({}, {"space_id": "s"}, {"space_id": "s"}),
            # Self-hosted without a password: user and instance, no password.
            (
                {"version": "5.0", "username": "u", "instance_id": "i"},
                {"space_id": "s"},
                {"username": "u", "instance_id": "i", "space_id": "s"},
            ),
            (
                {"version": "5.0", "username": "u", "password": "pw"},
                {"space_id": "s"},
                {"username": "u", "instance_id": None, "password": "pw", "space_id": "s"},
            ),
            # Without a version, neither user nor instance nor password.
            ({"username": "u", "password": "pw"}, {"space_id": "s"}, {"space_id": "s"}),
        ],
    )
    def test_platform_credentials(self, provider_for, engines, fields, ids, expected):
        model = ZnAIFoundationModel(model_id="m", provider=platform(**fields), **ids)
        engine_for(provider_with(provider_for, model))
        credentials = engines.MLPInferenceEngineGeneration.call_args.kwargs["credentials"]
        assert credentials == {"url": "http://127.0.0.1:1", **expected}

    def test_platform_model_needs_project_or_space(self, provider_for, engines):
        model = ZnAIFoundationModel(model_id="m", provider=platform())
        with pytest.raises(Exception, match=r"^Either project or space id is required$"):
            engine_for(provider_with(provider_for, model))
        engines.MLPInferenceEngineGeneration.assert_not_called()
        assert len(scorewell._inference_engine_cache) == 0

    @pytest.mark.parametrize(
        ("model", "engine", "credentials"),
        [
            (
                OpenAIFoundationModel(
                    model_id="gpt",
                    provider=ModelProvider(
                        type=ModelProviderType.OPENAI,
                        credentials=OpenAICredentials(api_key="k", url="http://127.0.0.1:9/v1"),
                    ),
                ),
                "OpenAiInferenceEngine",
                {"api_key": "k", "api_url": "http://127.0.0.1:9/v1"},
            ),
            (
                AzureOpenAIFoundationModel(
                    model_id="gpt",
                    provider=ModelProvider(
                        type=ModelProviderType.AZURE_OPENAI,
                        credentials=AzureOpenAICredentials(
                            api_key="k", url="https://azure.example", api_version="2024"
                        ),
                    ),
                ),
                "AzureOpenAIInferenceEngine",
                # Under the field aliases, unlike every other family.
                {
                    "api_key": "k",
                    "azure_openai_host": "https://azure.example",
                    "api_version": "2024",
                },
            ),
        ],
    )
    def test_openai_families(self, provider_for, engines, model, engine, credentials):
        engine_for(provider_with(provider_for, model))
        getattr(engines, engine).assert_called_once_with(
            model_name="gpt", credentials=credentials, use_cache=False
        )

    def test_litellm_families(self, provider_for, engines):
        vertex = VertexAIFoundationModel(
            model_id="gemini",
            provider=ModelProvider(
                type=ModelProviderType.VERTEX_AI,
                credentials=VertexAICredentials(project_id="proj", location="eu"),
            ),
            parameters={"temperature": 0.5},
        )
        studio = GoogleAIStudioFoundationModel(
            model_id="gemini-studio",
            provider=ModelProvider(
                type=ModelProviderType.GOOGLE_AI_STUDIO,
                credentials=GoogleAIStudioCredentials(api_key="g"),
            ),
        )
        bedrock = AWSBedrockFoundationModel(
            model_id="claude",
            provider=ModelProvider(
                type=ModelProviderType.AWS_BEDROCK,
                credentials=AWSBedrockCredentials(aws_region_name="us-east-1"),
            ),
            parameters={"max_new_tokens": 20, "temperature": 0},
        )
        for model in (vertex, studio, bedrock):
            engine_for(provider_with(provider_for, model))
        calls = engines.LiteLLMInferenceEngine.call_args_list
        # Only Bedrock passes its parameters on.
        assert calls[0].kwargs == {
            "model": "gemini",
            "credentials": {"credentials_path": None, "project_id": "proj", "location": "eu"},
            "use_cache": False,
        }
        assert calls[1].kwargs == {
            "model": "gemini-studio",
            "credentials": {"api_key": "g"},
            "use_cache": False,
        }
        assert calls[2].kwargs == {
            "model": "claude",
            "credentials": {
                "aws_access_key_id": None,
                "aws_secret_access_key": None,
                "aws_region_name": "us-east-1",
                "aws_session_token": None,
            },
            "use_cache": False,
            "max_new_tokens": 20,
            "temperature": 0,
        }

    def test_gateways(self, provider_for, engines):
        portkey = PortKeyGateway(
            model_id="gpt",
            provider=ModelProvider(
                type=ModelProviderType.PORTKEY,
                credentials=PortKeyCredentials(api_key="k", url="https://portkey.example"),
            ),
        )
        gateway = ZnoAIGateway(
            model_id="ignored",
            provider=ModelProvider(
                type=ModelProviderType.ZNO_AI_GATEWAY,
                credentials=ZnoAIGatewayCredentials(url="https://gw.example", api_key="g"),
            ),
        )
        engine_for(provider_with(provider_for, portkey))
        engine_for(provider_with(provider_for, gateway))
        engines.PortKeyInferenceEngine.assert_called_once_with(
            credentials={
                "api_key": "k",
                "url": "https://portkey.example",
                "provider_api_key": None,
                "provider": None,
            },
            model="gpt",
            use_cache=False,
        )
        engines.ZnoAIGatewayInferenceEngine.assert_called_once_with(
            credentials={"url": "https://gw.example", "api_key": "g"}, use_cache=False
        )

    def test_custom_models_get_a_new_engine_each_time(self, provider_for, engines, monkeypatch):
        def answer(prompts):
            return ["yes" for _ in prompts]

        monkeypatch.setattr(scorewell, "get_untixt_enable_inference_cache", lambda: True)
        model = CustomFoundationModel(scoring_fn=answer, model_id="mine", num_parallel_requests=3)
        provider = provider_with(provider_for, model)
        engine_for(provider)
        engine_for(provider)
        assert engines.CustomFunctionInferenceEngine.call_count == 2
        assert engines.CustomFunctionInferenceEngine.call_args.kwargs == {
            "scoring_fn": answer,
            "model_name": "mine",
            "context": None,
            "num_parallel_requests": 3,
            "use_cache": True,
        }
        assert len(scorewell._inference_engine_cache) == 0

    def test_custom_record_without_optional_attributes(self, provider_for, engines):
        def answer(prompts):
            return prompts

        # A record of the custom kind that carries only its scoring function.
        class Bare:
            _scoring_fn = staticmethod(answer)

        with mock.patch.object(scorewell, "CustomFoundationModel", Bare):
            provider = provider_for("faithfulness", "llm_as_judge")
            provider.llm_judge = SimpleNamespace(model=Bare())
            engine_for(provider)
        kwargs = engines.CustomFunctionInferenceEngine.call_args.kwargs
        assert (kwargs["model_name"], kwargs["context"], kwargs["num_parallel_requests"]) == (
            "custom_fn",
            None,
            20,
        )

    def test_unsupported_model_kind(self, provider_for, engines):
        provider = provider_for("faithfulness", "llm_as_judge")
        provider.llm_judge = SimpleNamespace(model=SimpleNamespace(model_id="x"))
        with pytest.raises(Exception, match=r"^LLM Model provider is not supported\.$"):
            engine_for(provider)


class TestRefusals:
    """Refusals are typed errors carrying what was refused, with their messages unchanged."""

    def test_a_model_of_no_kind(self, provider_for, engines):
        class Unknown:
            model_id = "x"

        provider = provider_for("faithfulness", "llm_as_judge")
        provider.llm_judge = SimpleNamespace(model=Unknown())
        with pytest.raises(
            UnsupportedJudgeModelError, match=r"^LLM Model provider is not"
        ) as caught:
            engine_for(provider)
        assert (caught.value.model_type, caught.value.provider) == (Unknown, None)

    def test_a_factory_key_of_no_kind(self, engines):
        with pytest.raises(UnsupportedJudgeModelError, match="'ollama' is not") as caught:
            Scorewell._create_inference_engine_impl(
                provider="ollama", model_id="m", use_cache=False, credentials_json="{}"
            )
        assert (caught.value.model_type, caught.value.provider) == (None, "ollama")

    def test_a_platform_model_without_project_or_space(self, provider_for, engines, records):
        model = ZnAIFoundationModel(model_id="m", provider=platform())
        provider = provider_with(provider_for, model)
        with pytest.raises(ProjectOrSpaceRequiredError) as caught:
            engine_for(provider)
        assert caught.value.model is model
        # Inside an evaluation it is the cause of the metric's failure.
        with pytest.raises(MetricComputationError) as failed:
            provider.evaluate(records)
        assert isinstance(failed.value.cause, ProjectOrSpaceRequiredError)


class TestEngineCache:
    def openai_model(self, **credentials):
        return OpenAIFoundationModel(
            model_id="gpt",
            provider=ModelProvider(
                type=ModelProviderType.OPENAI, credentials=OpenAICredentials(**credentials)
            ),
        )

    def test_equal_models_share_one_engine(self, provider_for, engines):
        first = provider_with(provider_for, self.openai_model(api_key="k", url="u"))
        second = provider_for(
            "answer_relevance",
            "llm_as_judge",
            llm_judge=LLMJudge(model=self.openai_model(url="u", api_key="k")),
        )
        assert engine_for(first) is engine_for(second)
        engines.OpenAiInferenceEngine.assert_called_once()
        key = next(iter(scorewell._inference_engine_cache))
        assert "credentials_json" in repr(key)

    def test_cache_switch_is_part_of_the_key(self, provider_for, engines, monkeypatch):
        engines.OpenAiInferenceEngine.side_effect = lambda **kwargs: object()
        provider = provider_with(provider_for, self.openai_model(api_key="k"))
        without = engine_for(provider)
        # The switch as callers turn it on: the name patched on the provider module.
        monkeypatch.setattr(scorewell, "get_untixt_enable_inference_cache", lambda: True)
        with_cache = engine_for(provider)
        assert without is not with_cache
        assert [c.kwargs["use_cache"] for c in engines.OpenAiInferenceEngine.call_args_list] == [
            False,
            True,
        ]

    def test_sorted_keys_make_equal_credentials_equal(self, engines):
        first = json.dumps({"b": 1, "a": 2}, sort_keys=True)
        second = json.dumps({"a": 2, "b": 1}, sort_keys=True)
        impl = Scorewell._create_inference_engine_impl
        one = impl(provider="openai", model_id="m", use_cache=False, credentials_json=first)
        two = impl(provider="openai", model_id="m", use_cache=False, credentials_json=second)
        assert one is two
        engines.OpenAiInferenceEngine.assert_called_once_with(
            model_name="m", credentials={"a": 2, "b": 1}, use_cache=False
        )

    def test_factory_refusals(self, engines):
        impl = Scorewell._create_inference_engine_impl
        with pytest.raises(Exception, match=r"^LLM Model provider 'ollama' is not supported\.$"):
            impl(provider="ollama", model_id="m", use_cache=False, credentials_json="{}")
        with pytest.raises(
            TypeError, match="credentials_json must be of type str or None, not int"
        ):
            impl(provider="openai", model_id="m", use_cache=False, credentials_json=7)
        # The cache's key is built first: a dictionary is refused there.
        with pytest.raises(TypeError, match="unhashable"):
            impl(provider="openai", model_id="m", use_cache=False, credentials_json={})
        with pytest.raises(TypeError, match="multiple values for keyword argument 'model'"):
            impl(
                provider="aws_bedrock",
                model_id="m",
                use_cache=True,
                credentials_json="{}",
                parameters_json='{"model": "other"}',
            )
        assert len(scorewell._inference_engine_cache) == 0

    def test_empty_texts_mean_no_credentials_and_no_parameters(self, engines):
        Scorewell._create_inference_engine_impl(
            provider="aws_bedrock",
            model_id="m",
            use_cache=1,
            credentials_json="",
            parameters_json="{}",
        )
        engines.LiteLLMInferenceEngine.assert_called_once_with(
            model="m", credentials={}, use_cache=True
        )

    def test_engine_construction_failure_is_not_cached(self, engines):
        engines.OpenAiInferenceEngine.side_effect = [AssertionError("no api key"), "ENGINE"]
        impl = Scorewell._create_inference_engine_impl
        with pytest.raises(AssertionError):
            impl(provider="openai", model_id="m", use_cache=False, credentials_json="{}")
        assert impl(provider="openai", model_id="m", use_cache=False, credentials_json="{}") == (
            "ENGINE"
        )
