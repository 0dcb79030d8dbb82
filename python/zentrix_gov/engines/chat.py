"""The base of the engines that speak OpenAI's chat completions API to a configured URL
(the gateways and Google AI Studio's OpenAI-compatible endpoint)."""

from typing import Any

from unitxt.inference import TextGenerationInferenceOutput

from ._common import InferenceFailed, PerInstanceEngine, generation_output


class OpenAIChatEngine(PerInstanceEngine):
    """Chat completions through the ``openai`` client; subclasses say where and how.

    A subclass implements ``_connection()`` -> (base URL, API key, extra headers) and
    ``_model()``. A plain-string prompt is sent as one user message, a list of chat
    messages as it is. The client retries connection failures, 429 and 5xx replies
    ``max_retries`` times; any other failure raises :class:`InferenceFailed`.
    """

    label: str = "openai_chat"
    timeout: float = 60.0
    max_retries: int = 2
    temperature: float | None = None
    max_tokens: int | None = None
    top_p: float | None = None
    seed: int | None = None

    def _connection(self) -> tuple[str, str, dict[str, str]]:
        raise NotImplementedError

    def prepare_engine(self) -> None:
        from openai import OpenAI

        base_url, api_key, headers = self._connection()
        self._client = OpenAI(
            api_key=api_key,
            base_url=base_url,
            default_headers=headers or None,
            timeout=self.timeout,
            max_retries=self.max_retries,
        )

    def _options(self) -> dict[str, Any]:
        options = {
            "temperature": self.temperature,
            "max_tokens": self.max_tokens,
            "top_p": self.top_p,
            "seed": self.seed,
        }
        return {name: value for name, value in options.items() if value is not None}

    def _answer(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
        import openai

        model = self._model()
        try:
            response = self._client.chat.completions.create(
                model=model, messages=self.to_messages(instance), **self._options()
            )
        except openai.APIError as exc:
            raise InferenceFailed(self, model, f"{type(exc).__name__}: {exc}") from exc
        if not response.choices:
            raise InferenceFailed(self, model, "the reply holds no choices.")
        choice = response.choices[0]
        text = choice.message.content or ""
        usage = response.usage
        return generation_output(
            self,
            response.model or model,
            text,
            input_tokens=usage.prompt_tokens if usage is not None else None,
            output_tokens=usage.completion_tokens if usage is not None else None,
            stop_reason=choice.finish_reason,
        )
