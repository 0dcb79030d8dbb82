"""The judge: engine parameters per judge-model kind, the engine class, DirectJudge."""

from __future__ import annotations

from types import SimpleNamespace
from unittest import mock

import pytest

from zentrix_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    PortKeyCredentials,
    VertexAICredentials,
    ZnAICredentials,
)
from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.errors import ProjectOrSpaceRequiredError, UnsupportedJudgeModelError
from zentrix_gov.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    ModelProvider,
    PortKeyGateway,
    VertexAIFoundationModel,
    ZnAIFoundationModel,
    ZnoAIGateway,
)
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.providers import critwise

from .conftest import openai_judge, platform_judge

BASE = {"seed": 36, "data_classification_policy": ["public"]}
ENGINES = ["CrossProviderInferenceEngine", "PortKeyInferenceEngine", "GoogleStudioInferenceEngine"]


@pytest.fixture
def engines():
    """The engine classes and DirectJudge replaced by mocks that record their arguments."""
    fakes = {name: mock.Mock(name=name) for name in [*ENGINES, "DirectJudge"]}
    with mock.patch.multiple(critwise, **fakes):
        yield SimpleNamespace(**fakes)


def params_of(provider):
    return provider._Critwise__get_inference_engine_params()


def judged_by(provider_for, model):
    return provider_for(llm_judge=LLMJudge(model=model))


def provider(kind, credentials):
    return ModelProvider(type=kind, credentials=credentials)


class TestPlatformParameters:
    def test_key_and_project(self, provider_for):
        params = params_of(provider_for(llm_judge=platform_judge()))
        assert list(params) == [
            "seed",
            "data_classification_policy",
            "credentials",
            "provider",
            "model",
            "provider_specific_args",
        ]
        assert params == {
            **BASE,
            "credentials": {"url": "http://127.0.0.1:1", "api_key": "k", "project_id": "p1"},
            "provider": "zentrix-sdk",
            "model": "m",
            "provider_specific_args": {"zentrix-sdk": {"concurrency_limit": 10}},
        }

    def test_self_hosted_without_password(self, provider_for):
        credentials = ZnAICredentials(
            url="http://127.0.0.1:1", version="5.0", username="u", instance_id="i", password=""
        )
        model = ZnAIFoundationModel(
            model_id="m",
            project_id="p",
            space_id="s",
            provider=provider(ModelProviderType.ZNAI, credentials),
        )
        credentials_map = params_of(judged_by(provider_for, model))["credentials"]
        assert list(credentials_map.items()) == [
            ("url", "http://127.0.0.1:1"),
            ("username", "u"),
            ("instance_id", "i"),
            ("project_id", "p"),
        ]

    def test_space_when_there_is_no_project(self, provider_for):
        params = params_of(provider_for(llm_judge=platform_judge(space_id="s")))
        assert params["credentials"] == {
            "url": "http://127.0.0.1:1",
            "api_key": "k",
            "space_id": "s",
        }

    def test_project_or_space_is_required(self, provider_for):
        with pytest.raises(Exception, match=r"^Either project or space id is required$"):
            params_of(provider_for(llm_judge=platform_judge(project_id=None)))

    def test_concurrency_limit_is_read_at_that_moment(self, provider_for):
        provider = provider_for(llm_judge=platform_judge())
        with mock.patch.object(critwise, "get_zentrix_concurrency_limit", return_value=3):
            params = params_of(provider)
        assert params["provider_specific_args"] == {"zentrix-sdk": {"concurrency_limit": 3}}


class TestOpenAIParameters:
    def test_temperature_zero_by_default(self, provider_for):
        assert params_of(provider_for(llm_judge=openai_judge())) == {
            **BASE,
            "credentials": {"api_key": "k"},
            "provider": "open-ai",
            "model": "gpt-4o",
            "provider_specific_args": {"open-ai": {"temperature": 0}},
        }

    def test_model_parameters_are_merged_over_it(self, provider_for):
        judge = openai_judge()
        judge.model.parameters = {"temperature": 0.7, "max_tokens": 100}
        params = params_of(provider_for(llm_judge=judge))
        assert params["provider_specific_args"] == {
            "open-ai": {"temperature": 0.7, "max_tokens": 100}
        }

    def test_a_record_without_parameters(self, provider_for):
        model = SimpleNamespace(
            model_id="gpt", provider=SimpleNamespace(credentials=SimpleNamespace(api_key="k"))
        )
        with mock.patch.object(critwise, "OpenAIFoundationModel", SimpleNamespace):
            params = params_of(provider_for(llm_judge=SimpleNamespace(model=model)))
        assert params["provider_specific_args"] == {"open-ai": {"temperature": 0}}
        assert params["credentials"] == {"api_key": "k"}

    def test_an_openai_compatible_endpoint_is_reached_at_its_address(self, provider_for):
        params = params_of(provider_for(llm_judge=openai_judge(url="http://127.0.0.1:9/v1")))
        assert params["credentials"] == {
            "api_key": "k",
            "api_base": "http://127.0.0.1:9/v1",
            "custom_llm_provider": "openai",
        }


class TestOtherKinds:
    def test_portkey(self, provider_for):
        credentials = PortKeyCredentials(api_key="k", url="https://gateway.example")
        model = PortKeyGateway(
            model_id="gpt", provider=provider(ModelProviderType.PORTKEY, credentials)
        )
        assert params_of(judged_by(provider_for, model)) == {
            **BASE,
            "credentials": credentials.model_dump(),
            "model": "gpt",
        }

    def test_vertex(self, provider_for):
        credentials = VertexAICredentials(project_id="proj", location="us-central1")
        model = VertexAIFoundationModel(
            model_id="gemini", provider=provider(ModelProviderType.VERTEX_AI, credentials)
        )
        assert params_of(judged_by(provider_for, model)) == {
            **BASE,
            "credentials": credentials.model_dump(),
            "provider": "vertex-ai",
            "model": "gemini",
        }

    @pytest.mark.parametrize(
        ("parameters", "expected"), [({"top_p": 0.5}, {"top_p": 0.5}), ({}, {})]
    )
    def test_aws_bedrock_has_no_seed(self, provider_for, parameters, expected):
        credentials = AWSBedrockCredentials(aws_region_name="us-east-1")
        model = AWSBedrockFoundationModel(
            model_id="claude",
            provider=provider(ModelProviderType.AWS_BEDROCK, credentials),
            parameters=parameters,
        )
        params = params_of(judged_by(provider_for, model))
        assert list(params) == [
            "data_classification_policy",
            "credentials",
            "model",
            "provider",
            "provider_specific_args",
        ]
        assert params["provider"] == "aws"
        assert params["provider_specific_args"] == {"aws": expected}

    def test_google_ai_studio(self, provider_for):
        credentials = GoogleAIStudioCredentials(api_key="k")
        model = GoogleAIStudioFoundationModel(
            model_id="gemini", provider=provider(ModelProviderType.GOOGLE_AI_STUDIO, credentials)
        )
        assert params_of(judged_by(provider_for, model)) == {
            **BASE,
            "credentials": credentials.model_dump(),
            "model": "gemini",
        }

    def test_azure_is_refused(self, provider_for):
        credentials = AzureOpenAICredentials(api_key="k", url="https://azure.example")
        model = AzureOpenAIFoundationModel(
            model_id="gpt", provider=provider(ModelProviderType.AZURE_OPENAI, credentials)
        )
        with pytest.raises(Exception, match=r"^Azure OpenAI Model provider is not supported\.$"):
            params_of(judged_by(provider_for, model))

    @pytest.mark.parametrize(
        "model",
        [
            CustomFoundationModel(scoring_fn=lambda prompts: prompts),
            ZnoAIGateway(provider=ModelProvider(type=ModelProviderType.ZNO_AI_GATEWAY)),
        ],
    )
    def test_other_kinds_are_refused(self, provider_for, model):
        with pytest.raises(Exception, match=r"^LLM Model provider is not supported\.$"):
            params_of(judged_by(provider_for, model))

    @pytest.mark.parametrize(
        ("model", "error"),
        [
            (
                AzureOpenAIFoundationModel(
                    model_id="gpt",
                    provider=provider(ModelProviderType.AZURE_OPENAI, AzureOpenAICredentials()),
                ),
                UnsupportedJudgeModelError,
            ),
            (ZnoAIGateway(), UnsupportedJudgeModelError),
            (
                ZnAIFoundationModel(
                    model_id="m",
                    provider=provider(ModelProviderType.ZNAI, ZnAICredentials(url="u")),
                ),
                ProjectOrSpaceRequiredError,
            ),
        ],
    )
    def test_refusals_are_typed_and_carry_the_model(self, provider_for, model, error):
        with pytest.raises(error) as caught:
            params_of(judged_by(provider_for, model))
        if error is UnsupportedJudgeModelError:
            assert caught.value.model_type is type(model)
        else:
            assert caught.value.model is model

    def test_a_new_dictionary_per_call(self, provider_for):
        provider = provider_for()
        first = params_of(provider)
        first["seed"] = 1
        assert params_of(provider)["seed"] == 36


class TestJudge:
    def judge_of(self, provider):
        return provider._Critwise__get_judge()

    def test_cross_provider_engine_under_a_direct_judge(self, provider_for, engines):
        provider = provider_for(llm_judge=platform_judge())
        judge = self.judge_of(provider)
        engines.CrossProviderInferenceEngine.assert_called_once_with(
            **params_of(provider), use_cache=False
        )
        engines.DirectJudge.assert_called_once_with(
            inference_engine=engines.CrossProviderInferenceEngine.return_value,
            generate_feedback=True,
        )
        assert judge is engines.DirectJudge.return_value

    def test_portkey_engine(self, provider_for, engines):
        credentials = PortKeyCredentials(api_key="k")
        model = PortKeyGateway(
            model_id="gpt", provider=provider(ModelProviderType.PORTKEY, credentials)
        )
        self.judge_of(judged_by(provider_for, model))
        engines.CrossProviderInferenceEngine.assert_not_called()
        assert engines.PortKeyInferenceEngine.call_args.kwargs == {
            **BASE,
            "credentials": credentials.model_dump(),
            "model": "gpt",
            "use_cache": False,
        }

    def test_google_ai_studio_engine(self, provider_for, engines):
        credentials = GoogleAIStudioCredentials(api_key="k")
        model = GoogleAIStudioFoundationModel(
            model_id="gemini", provider=provider(ModelProviderType.GOOGLE_AI_STUDIO, credentials)
        )
        self.judge_of(judged_by(provider_for, model))
        assert engines.GoogleStudioInferenceEngine.call_args.kwargs["model"] == "gemini"
        engines.CrossProviderInferenceEngine.assert_not_called()

    def test_calls_in_order_and_the_cache_switch(self, provider_for, engines):
        calls = mock.Mock()
        calls.get_untixt_enable_inference_cache.return_value = "switch"
        provider = provider_for()
        with (
            # The name callers patch on the provider module.
            mock.patch.object(
                critwise,
                "get_untixt_enable_inference_cache",
                calls.get_untixt_enable_inference_cache,
            ),
            mock.patch.object(
                type(provider),
                "_Critwise__get_inference_engine_params",
                lambda self: calls.params() or {"model": "x"},
            ),
            mock.patch.object(critwise, "CrossProviderInferenceEngine", calls.engine),
            mock.patch.object(critwise, "DirectJudge", calls.judge),
        ):
            calls.params.return_value = None
            self.judge_of(provider)
        assert [call[0] for call in calls.mock_calls] == [
            "get_untixt_enable_inference_cache",
            "params",
            "engine",
            "judge",
        ]
        assert calls.engine.call_args.kwargs == {"model": "x", "use_cache": "switch"}

    def test_the_parameter_dictionary_never_holds_use_cache(self, provider_for, engines):
        given = {"model": "x"}
        provider = provider_for()
        with mock.patch.object(
            type(provider), "_Critwise__get_inference_engine_params", lambda self: given
        ):
            self.judge_of(provider)
        assert given == {"model": "x"}

    def test_without_a_judge_the_parameters_fail(self, provider_for, engines):
        with pytest.raises(AttributeError, match="model"):
            self.judge_of(provider_for(llm_judge=None))
