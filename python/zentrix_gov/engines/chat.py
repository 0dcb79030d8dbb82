"""The base of the engines that speak OpenAI's chat completions API to a configured URL
(the gateways and Google AI Studio's OpenAI-compatible endpoint)."""

from typing import Any

from unitxt.inference import InferenceEngine, TextGenerationInferenceOutput

from ._common import InferenceFailed, generation_output, return_objects, run_parallel, safe_repr


class OpenAIChatEngine(InferenceEngine):
    """Chat completions through the ``openai`` client; subclasses say where and how.

    A subclass implements ``_connection()`` -> (base URL, API key, extra headers) and
    ``_model()``. A plain-string prompt is sent as one user message, a list of chat
    messages as it is. The client retries connection failures, 429 and 5xx replies
    ``max_retries`` times; any other failure raises :class:`InferenceFailed`.
    """

    __repr__ = __str__ = safe_repr

    label: str = "openai_chat"
    num_parallel_requests: int = 8
    timeout: float = 60.0
    max_retries: int = 2
    temperature: float | None = None
    max_tokens: int | None = None
    top_p: float | None = None
    seed: int | None = None

    def _connection(self) -> tuple[str, str, dict[str, str]]:
        raise NotImplementedError

    def _model(self) -> str:
        raise NotImplementedError

    def get_engine_id(self) -> str:
        from unitxt.inference import get_model_and_label_id

        return get_model_and_label_id(self._model(), self.label)

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

    def _complete(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
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

    def _infer(self, dataset: Any, return_meta_data: bool = False) -> list:
        outputs = run_parallel(self._complete, list(dataset), self.num_parallel_requests)
        return self.get_return_object(outputs, return_meta_data)

    def get_return_object(self, outputs: list, return_meta_data: bool) -> list:
        return return_objects(outputs, return_meta_data)
