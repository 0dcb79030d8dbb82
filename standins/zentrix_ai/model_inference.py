"""Text generation by a model of the platform."""

from __future__ import annotations

from typing import Any

from zentrix_ai.client import APIClient
from zentrix_ai.errors import ApiRequestFailure

PATH_GENERATION = "/v1/text/generation"


class ModelInference:
    """Generates text with one model of the platform, within a project or a space."""

    def __init__(
        self,
        model_id: str,
        api_client: APIClient,
        project_id: str | None = None,
        space_id: str | None = None,
        params: dict[str, Any] | None = None,
    ) -> None:
        if not model_id:
            raise ValueError("A model id is required for text generation.")
        self.model_id = model_id
        self.client = api_client
        self.project_id = project_id
        self.space_id = space_id
        self.params = dict(params or {})

    def generate(self, prompt: str, params: dict[str, Any] | None = None) -> dict[str, Any]:
        """The platform's whole generation reply for one prompt."""
        body: dict[str, Any] = {"model_id": self.model_id, "input": prompt}
        merged = {**self.params, **(params or {})}
        if merged:
            body["parameters"] = merged
        if self.project_id:
            body["project_id"] = self.project_id
        elif self.space_id:
            body["space_id"] = self.space_id
        return self.client.post(PATH_GENERATION, body)

    def generate_text(self, prompt: str, params: dict[str, Any] | None = None) -> str:
        """The generated text for one prompt."""
        reply = self.generate(prompt, params)
        try:
            text = reply["results"][0]["generated_text"]
        except (KeyError, IndexError, TypeError):
            raise ApiRequestFailure(
                "The generation reply has no results[0].generated_text."
            ) from None
        if not isinstance(text, str):
            raise ApiRequestFailure("The generation reply's generated_text is not text.")
        return text
