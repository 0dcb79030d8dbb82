"""Text generation on the hosted AI platform (and on its local stand-in)."""

from typing import Any

from unitxt.inference import TextGenerationInferenceOutput

from ._common import (
    InferenceFailed,
    PerInstanceEngine,
    generation_output,
    prompt_text,
)

GENERATION_PATH = "/v1/text/generation"
# Sampling options under the names unitxt's engines share (CrossProviderInferenceEngine
# passes them on), and the names the platform's generation parameters give them.
_PARAMETER_NAMES = {
    "seed": "random_seed",
    "max_tokens": "max_new_tokens",
    "temperature": "temperature",
    "top_p": "top_p",
    "stop": "stop_sequences",
}


# unitxt has no class of this name: this is the SDK's own engine for the platform's text
# generation endpoint, as the local platform stand-in (zentrix_gov.local.judge) serves it.
class MLPInferenceEngineGeneration(PerInstanceEngine):
    """Generates with a platform model: ``POST {url}/v1/text/generation``.

    ``credentials`` holds ``url``; ``api_key`` (the bearer token) or, on a self-hosted
    platform, ``username``/``instance_id``/``password`` (the password is then the bearer
    token when there is no API key); and exactly one of ``project_id`` / ``space_id``,
    sent in the body. ``parameters`` go to the body as they are; ``seed``, ``max_tokens``,
    ``temperature``, ``top_p`` and ``stop`` join them as ``random_seed``,
    ``max_new_tokens``, ``temperature``, ``top_p`` and ``stop_sequences`` unless
    ``parameters`` already holds that name. A prompt made of chat messages is sent as
    their contents, one per paragraph.

    At most ``concurrency_limit`` requests run at once when it is set, otherwise
    ``num_parallel_requests``. With both fields, the engine is what unitxt's
    ``CrossProviderInferenceEngine`` builds for the "zentrix-sdk" provider (see
    :func:`zentrix_gov.engines.register_platform_provider`).
    """

    label: str = "mlp"
    model_name: str
    credentials: dict[str, Any] = {}
    parameters: dict[str, Any] | None = None
    seed: int | None = None
    max_tokens: int | None = None
    temperature: float | None = None
    top_p: float | None = None
    stop: str | list[str] | None = None
    concurrency_limit: int | None = None
    timeout: float = 60.0

    def _model(self) -> str:
        return self.model_name

    def _scope(self) -> dict[str, str]:
        credentials = self.credentials or {}
        scopes = {key: credentials.get(key) for key in ("project_id", "space_id")}
        given = {key: str(value) for key, value in scopes.items() if value}
        if len(given) != 1:
            raise InferenceFailed(
                self, self.model_name, "the credentials need exactly one of project_id, space_id."
            )
        return given

    def _parallel_requests(self) -> int:
        if self.concurrency_limit is not None:
            return self.concurrency_limit
        return self.num_parallel_requests

    def _generation_parameters(self) -> dict[str, Any]:
        parameters = dict(self.parameters or {})
        for field, name in _PARAMETER_NAMES.items():
            value = getattr(self, field)
            if value is not None and name not in parameters:
                # the platform takes a list of stop sequences; unitxt allows one string
                parameters[name] = [value] if field == "stop" and isinstance(value, str) else value
        return parameters

    def prepare_engine(self) -> None:
        import httpx

        credentials = self.credentials or {}
        url = credentials.get("url")
        if not url:
            raise InferenceFailed(self, self.model_name, "the credentials lack 'url'.")
        token = credentials.get("api_key") or credentials.get("password")
        if not token:
            raise InferenceFailed(
                self, self.model_name, "the credentials lack 'api_key' (or 'password')."
            )
        limit = self.concurrency_limit
        if limit is not None and (type(limit) is not int or limit < 1):
            reason = f"concurrency_limit must be a whole number >= 1, not {limit!r}."
            raise InferenceFailed(self, self.model_name, reason)
        self._scope_fields = self._scope()
        self._parameters = self._generation_parameters()
        self._endpoint = str(url).rstrip("/") + GENERATION_PATH
        self._client = httpx.Client(
            headers={"Authorization": f"Bearer {token}"}, timeout=self.timeout
        )

    def _answer(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
        import httpx

        text = prompt_text(instance["source"])
        body: dict[str, Any] = {"model_id": self.model_name, "input": text, **self._scope_fields}
        if self._parameters:
            body["parameters"] = self._parameters
        try:
            response = self._client.post(self._endpoint, json=body)
        except httpx.HTTPError as exc:
            reason = f"cannot reach {self._endpoint}: {type(exc).__name__}: {exc}"
            raise InferenceFailed(self, self.model_name, reason) from exc
        if response.status_code != 200:
            raise InferenceFailed(
                self,
                self.model_name,
                f"{self._endpoint} answered {response.status_code}: {_error_text(response)}",
            )
        try:
            result = response.json()["results"][0]
            generated = result["generated_text"]
        except (ValueError, KeyError, IndexError, TypeError):
            raise InferenceFailed(
                self, self.model_name, f"{self._endpoint} sent a reply without generated_text."
            ) from None
        return generation_output(
            self,
            self.model_name,
            str(generated),
            input_tokens=result.get("input_token_count"),
            output_tokens=result.get("generated_token_count"),
            stop_reason=result.get("stop_reason"),
            input_text=text,
        )


def _error_text(response: Any) -> str:
    """The message of an error reply, shortened; the body itself when it is not JSON."""
    try:
        errors = response.json().get("errors") or []
        message = "; ".join(str(error.get("message", error)) for error in errors)
    except (ValueError, AttributeError):
        message = ""
    return (message or response.text or response.reason_phrase)[:300]
