"""Google AI Studio models through their OpenAI-compatible chat completions endpoint."""

import os

from ._common import InferenceFailed
from .chat import OpenAIChatEngine

BASE_URL_VARIABLE = "GOOGLE_AI_STUDIO_BASE_URL"


class GoogleStudioInferenceEngine(OpenAIChatEngine):
    """A Google AI Studio model, e.g. ``model="gemini-2.0-flash"``.

    ``credentials`` holds ``api_key`` (the bearer token). The endpoint is ``base_url``,
    else ``credentials["url"]``, else the ``GOOGLE_AI_STUDIO_BASE_URL`` environment
    variable: the SDK names no remote address itself. ``seed``, ``temperature``,
    ``max_tokens`` and ``top_p`` are sent when set; ``data_classification_policy`` is
    unitxt's.
    """

    label: str = "google_ai_studio"
    model: str
    credentials: dict[str, str | None] = {}
    base_url: str | None = None

    def _model(self) -> str:
        return self.model

    def _connection(self) -> tuple[str, str, dict[str, str]]:
        credentials = self.credentials or {}
        api_key = credentials.get("api_key")
        if not api_key:
            raise InferenceFailed(self, self.model, "the credentials lack 'api_key'.")
        base_url = self.base_url or credentials.get("url") or os.environ.get(BASE_URL_VARIABLE)
        if not base_url:
            raise InferenceFailed(
                self,
                self.model,
                f"no endpoint: pass base_url=, credentials['url'] or set {BASE_URL_VARIABLE}.",
            )
        return str(base_url), str(api_key), {}
