"""Engines for models reached through a gateway speaking OpenAI's chat completions API."""

from typing import Any

from ._common import InferenceFailed
from .chat import OpenAIChatEngine


def _required(engine: Any, credentials: dict[str, Any], name: str) -> str:
    value = credentials.get(name)
    if not value:
        raise InferenceFailed(engine, None, f"the credentials lack {name!r}.")
    return str(value)


class PortKeyInferenceEngine(OpenAIChatEngine):
    """A model behind a PortKey gateway.

    ``credentials`` is ``PortKeyCredentials.model_dump()``: ``url`` (the gateway's OpenAI
    base URL), ``api_key`` (the gateway's key, sent as ``x-portkey-api-key``),
    ``provider_api_key`` (the model provider's key, sent as the bearer token; the
    gateway's key is the bearer token when there is none) and ``provider`` (sent as
    ``x-portkey-provider``).
    """

    label: str = "portkey"
    model: str
    credentials: dict[str, str | None] = {}

    def _model(self) -> str:
        return self.model

    def _connection(self) -> tuple[str, str, dict[str, str]]:
        credentials = self.credentials or {}
        url = _required(self, credentials, "url")
        gateway_key = _required(self, credentials, "api_key")
        headers = {"x-portkey-api-key": gateway_key}
        if credentials.get("provider"):
            headers["x-portkey-provider"] = str(credentials["provider"])
        bearer = credentials.get("provider_api_key") or gateway_key
        return url, str(bearer), headers


class ZnoAIGatewayInferenceEngine(OpenAIChatEngine):
    """The hosting product's AI gateway, which picks the model itself.

    ``credentials`` holds ``url`` (the gateway's OpenAI base URL) and ``api_key`` (its
    bearer token). Requests carry ``model`` (default "default") because the API needs a
    model name; the gateway is free to ignore it.
    """

    label: str = "zno_ai_gateway"
    model: str = "default"
    credentials: dict[str, str | None] = {}

    def _model(self) -> str:
        return self.model

    def _connection(self) -> tuple[str, str, dict[str, str]]:
        credentials = self.credentials or {}
        return _required(self, credentials, "url"), _required(self, credentials, "api_key"), {}
