"""What the SDK's inference engines share: prompt text, parallel calls, result objects and
error messages that name the engine and model (never a credential)."""

from __future__ import annotations

import contextvars
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from unitxt.inference import InferenceEngine, TextGenerationInferenceOutput

T = TypeVar("T")
R = TypeVar("R")


def prompt_text(source: Any) -> str:
    """An instance's prompt as one text: a plain string as is, chat messages joined.

    Chat messages (``[{"role": ..., "content": ...}, ...]``) become their contents, one per
    paragraph, in order; list contents contribute their text parts.
    """
    if isinstance(source, str):
        return source
    if isinstance(source, list):
        texts = []
        for message in source:
            content = message.get("content") if isinstance(message, dict) else message
            if isinstance(content, list):
                content = "\n".join(
                    str(part.get("text", ""))
                    for part in content
                    if isinstance(part, dict) and part.get("type") == "text"
                )
            if content:
                texts.append(str(content))
        return "\n\n".join(texts)
    raise TypeError(f"A prompt must be a string or a list of chat messages, not {type(source)}.")


def run_parallel(call: Callable[[T], R], items: Sequence[T], workers: int) -> list[R]:
    """``[call(item) for item in items]`` with at most ``workers`` calls at a time, in order.

    The first failure (in item order) is raised; calls not started by then are cancelled.
    """
    if workers < 1:
        raise ValueError(f"The number of parallel requests must be at least 1, got {workers}.")
    if len(items) <= 1 or workers == 1:
        return [call(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(workers, len(items))) as pool:
        # Each call sees the caller's context variables (the traced run and its span).
        futures = [pool.submit(contextvars.copy_context().run, call, item) for item in items]
        try:
            return [future.result() for future in futures]
        except BaseException:
            for future in futures:
                future.cancel()
            raise


def generation_output(
    engine: Any,
    model: str,
    text: str,
    *,
    input_tokens: int | None = None,
    output_tokens: int | None = None,
    stop_reason: str | None = None,
    input_text: str | None = None,
) -> TextGenerationInferenceOutput:
    """unitxt's result object for one answer of ``engine``."""
    return TextGenerationInferenceOutput(
        prediction=text,
        generated_text=text,
        input_tokens=input_tokens,
        output_tokens=output_tokens,
        stop_reason=stop_reason,
        input_text=input_text,
        model_name=model,
        inference_type=engine.label,
    )


def return_objects(outputs: list[TextGenerationInferenceOutput], return_meta_data: bool) -> list:
    """The result objects with ``return_meta_data``, else only their predictions."""
    return outputs if return_meta_data else [output.prediction for output in outputs]


_SECRET_KEYS = frozenset({"api_key", "password", "provider_api_key", "token"})


def masked(credentials: Any) -> Any:
    """``credentials`` with secret values replaced by "***"."""
    if not isinstance(credentials, dict):
        return credentials
    return {
        key: "***" if value and (key in _SECRET_KEYS or "secret" in str(key)) else value
        for key, value in credentials.items()
    }


def safe_repr(engine: Any) -> str:
    """An engine's repr without secrets (unitxt's own shows every field, keys included)."""
    shown = []
    for name in ("model", "model_name", "base_url", "credentials", "use_cache"):
        if hasattr(engine, name):
            value = getattr(engine, name)
            shown.append(f"{name}={masked(value)!r}")
    return f"{type(engine).__name__}({', '.join(shown)})"


class InferenceFailed(RuntimeError):
    """A model call failed; the message names the engine and model, never a credential."""

    def __init__(self, engine: Any, model: str | None, reason: str):
        what = type(engine).__name__ + (f" (model {model!r})" if model else "")
        super().__init__(f"{what}: {reason}")


class PerInstanceEngine(InferenceEngine):
    """An engine that answers each instance with one call, ``num_parallel_requests`` at a time.

    Subclasses implement ``_model()`` (the model name the engine reports and is cached
    under), ``_answer(instance)`` and ``prepare_engine()``.
    """

    __repr__ = __str__ = safe_repr

    label: str = "per_instance"
    num_parallel_requests: int = 8

    def _model(self) -> str | None:
        raise NotImplementedError

    def _answer(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
        raise NotImplementedError

    def get_engine_id(self) -> str:
        from unitxt.inference import get_model_and_label_id

        return get_model_and_label_id(self._model(), self.label)

    def _parallel_requests(self) -> int:
        """How many calls may run at once."""
        return self.num_parallel_requests

    def _infer(self, dataset: Any, return_meta_data: bool = False) -> list:
        outputs = run_parallel(self._answer, list(dataset), self._parallel_requests())
        return self.get_return_object(outputs, return_meta_data)

    def get_return_object(self, outputs: list, return_meta_data: bool) -> list:
        return return_objects(outputs, return_meta_data)
