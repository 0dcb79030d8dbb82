"""Models the user scores through a function of their own."""

import hashlib
import json
from typing import Any

from unitxt.inference import TextGenerationInferenceOutput

from ._common import (
    InferenceFailed,
    PerInstanceEngine,
    generation_output,
    prompt_text,
)


class CustomFunctionInferenceEngine(PerInstanceEngine):
    """Answers each prompt with ``scoring_fn([prompt])``, ``num_parallel_requests`` at a time.

    The function receives a one-element list holding the prompt text (chat messages
    joined, one per paragraph) and returns a list holding the answer (a plain string is
    accepted too). ``context`` is kept for the function's owner and not passed on. Any
    failure, and an answer of another shape, raises an error naming ``model_name``.
    """

    label: str = "custom_fn"
    scoring_fn: Any
    model_name: str | None = "custom_fn"
    context: Any = None
    num_parallel_requests: int = 20

    def _model(self) -> str | None:
        return self.model_name

    def prepare_engine(self) -> None:
        if not self.model_name:
            # A custom model may carry no id; it is then reported under the default name.
            self.model_name = "custom_fn"
        if not callable(self.scoring_fn):
            raise InferenceFailed(self, self.model_name, "scoring_fn is not callable.")
        if self.num_parallel_requests < 1:
            raise InferenceFailed(self, self.model_name, "num_parallel_requests must be >= 1.")

    def _get_cache_key(self, instance: dict[str, Any]) -> str:
        # unitxt keys its cache on the engine's fields, but a function is not JSON: key on
        # the model name and the function's qualified name instead.
        function = getattr(self.scoring_fn, "__qualname__", type(self.scoring_fn).__qualname__)
        module = getattr(self.scoring_fn, "__module__", "")
        record = {
            "instance": self.get_instance_cache_key(instance),
            "engine": type(self).__name__,
            "model_name": self.model_name,
            "scoring_fn": f"{module}.{function}",
        }
        text = json.dumps(record, sort_keys=True, default=repr)
        return hashlib.md5(text.encode()).hexdigest()

    def _answer(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
        prompt = prompt_text(instance["source"])
        try:
            returned = self.scoring_fn([prompt])
        except Exception as exc:
            raise InferenceFailed(
                self, self.model_name, f"the scoring function raised {type(exc).__name__}: {exc}"
            ) from exc
        if isinstance(returned, str):
            answer = returned
        elif isinstance(returned, (list, tuple)) and len(returned) == 1:
            answer = returned[0]
        else:
            raise InferenceFailed(
                self,
                self.model_name,
                "the scoring function must return a list with one answer per prompt "
                f"(one here), got {_describe(returned)}.",
            )
        if not isinstance(answer, str):
            raise InferenceFailed(
                self, self.model_name, f"the scoring function's answer is {_describe(answer)}."
            )
        return generation_output(self, self.model_name, answer, input_text=prompt)


def _describe(value: Any) -> str:
    if isinstance(value, (list, tuple)):
        return f"a {type(value).__name__} of {len(value)} items"
    return f"a {type(value).__name__}, not a str"
