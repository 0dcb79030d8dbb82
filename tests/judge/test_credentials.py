"""Credentials records dump in the key names unitxt's engines read."""

from zentrix_gov.entities.credentials import AzureOpenAICredentials, OpenAICredentials


class TestOpenAICredentials:
    def test_url_is_accepted_and_dumped_as_api_url(self):
        for credentials in (
            OpenAICredentials(api_key="k", url="https://llm.example/v1"),
            OpenAICredentials(api_key="k", api_url="https://llm.example/v1"),
        ):
            assert credentials.model_dump() == {"api_key": "k", "api_url": "https://llm.example/v1"}
            assert "k" not in repr(credentials).replace("api_key", "")

    def test_environment_and_overrides(self, monkeypatch):
        monkeypatch.setenv("OPENAI_API_KEY", "env-key")
        monkeypatch.setenv("OPENAI_URL", "https://env.example/v1")
        assert OpenAICredentials.from_env().api_url == "https://env.example/v1"
        assert OpenAICredentials.from_env(url="https://arg.example/v1").api_url == (
            "https://arg.example/v1"
        )

    def test_unitxt_openai_engine_reaches_the_service_with_them(self, judge_service):
        from unitxt.inference import OpenAiInferenceEngine

        credentials = OpenAICredentials(
            api_key=judge_service.token, url=judge_service.openai_base_url
        )
        engine = OpenAiInferenceEngine(
            model_name="judge", credentials=credentials.model_dump(), use_cache=False
        )
        prompt = "Rate 0 to 10.\n\nQuestion: capital of France?\n\nPrediction: France's capital"
        assert list(engine.infer([{"source": prompt}])) == ["10"]


class TestAzureOpenAICredentials:
    def test_dump_by_alias_has_the_azure_engine_keys(self):
        for name in ("url", "api_url", "azure_openai_host"):
            credentials = AzureOpenAICredentials(
                api_key="k", api_version="2024-06-01", **{name: "https://res.example"}
            )
            assert credentials.model_dump(by_alias=True) == {
                "api_key": "k",
                "azure_openai_host": "https://res.example",
                "api_version": "2024-06-01",
            }

    def test_unitxt_azure_engine_builds_its_url_from_them(self):
        from unitxt.inference import AzureOpenAIInferenceEngine

        credentials = AzureOpenAICredentials(
            api_key="k", url="https://res.example", api_version="2024-06-01"
        )
        engine = AzureOpenAIInferenceEngine(
            model_name="gpt-x", credentials=credentials.model_dump(by_alias=True), use_cache=False
        )
        assert engine.credentials["api_url"] == (
            "https://res.example/openai/deployments/gpt-x/chat/completions?api-version=2024-06-01"
        )
