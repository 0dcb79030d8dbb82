"""The SDK's judge engine for OpenAI-compatible chat endpoints (llama.cpp, vLLM, OpenAI...).

What it adds to a plain chat client, for judges:

- structured answers: with ``response_schema`` set, requests carry it as
  ``response_format`` of type ``json_schema``, which such servers enforce. A server that
  answers 400 to it gets the request again without it, once, and no structured requests
  for the rest of the process (said once on standard error);
- an answer cap (``max_tokens``) on every request, and a time-out per request;
- retries only for what may pass on a second try: 429, 5xx and a dropped connection, with
  a short back-off. A time-out is not retried (a model that ran out of time would most
  likely run out again);
- an answer that never came (a time-out, a server that kept failing) or came empty is
  answered with a failure text (:mod:`zentrix_gov.utils.judge_answers`): the judge
  providers make it that record's error, and the other verdicts stand. A judge that cannot
  be used at all (refused connection, refused key, unknown model, or a server that failed
  every request of a batch) fails the whole run, with the cause;
- at most ``num_parallel_requests`` requests at once and, when set, at most
  ``requests_per_second``.
"""

from __future__ import annotations

import re
import threading
import time
from typing import Any

from unitxt.inference import TextGenerationInferenceOutput

from zentrix_gov.utils import judge_answers
from zentrix_gov.utils.notices import note_once

from ._common import (
    InferenceFailed,
    PerInstanceEngine,
    generation_output,
    prompt_text,
    run_parallel,
)

_RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})
_BACKOFF = (0.5, 1.0, 2.0, 4.0)
_MAX_RETRY_AFTER = 10.0
_FAILURE_IN_PROMPT = re.compile(r"\[zentrix judge failure\] [A-Z_]+: [^\n`]*")

# (chat URL, model) of servers that refused response_format: asked without it from then on.
_unstructured: set[tuple[str, str]] = set()
_unstructured_lock = threading.Lock()


class _Pace:
    """At most ``rate`` acquisitions per second across threads (None: no limit)."""

    def __init__(self, rate: float | None):
        self._interval = 1.0 / rate if rate else 0.0
        self._next = 0.0
        self._lock = threading.Lock()

    def wait(self) -> None:
        if not self._interval:
            return
        with self._lock:
            now = time.monotonic()
            start = max(now, self._next)
            self._next = start + self._interval
        if start > now:
            time.sleep(start - now)


class _NoAnswer(Exception):
    """A request that brought no answer: the record's failure text, and why."""

    def __init__(self, text: str, cause: BaseException | None = None):
        super().__init__(text)
        self.text = text
        self.cause = cause


def _status_error(response: Any) -> Exception:
    """The HTTP status error of ``response``, carrying its JSON body (as the OpenAI client's
    errors do) so that error lines can quote the server's message."""
    import httpx

    error = httpx.HTTPStatusError(
        f"{response.status_code} {response.reason_phrase}",
        request=response.request,
        response=response,
    )
    try:
        error.body = response.json()  # type: ignore[attr-defined]
    except ValueError:
        error.body = None  # type: ignore[attr-defined]
    return error


class OpenAIJudgeEngine(PerInstanceEngine):
    """Chat completions at ``credentials["api_url"]`` (a base URL ending in ``/v1``) with
    ``credentials["api_key"]``, for judges; see the module's description."""

    label: str = "openai_judge"
    model_name: str
    credentials: dict[str, Any] = {}
    temperature: float | None = 0.0
    seed: int | None = 36
    max_tokens: int | None = 1024
    timeout: float | None = 60.0
    max_retries: int = 2
    num_parallel_requests: int = 10
    requests_per_second: float | None = None
    structured: bool = True
    response_schema: dict[str, Any] | None = None

    def _model(self) -> str:
        return self.model_name

    def prepare_engine(self) -> None:
        import httpx

        base = str(self.credentials.get("api_url") or "").rstrip("/")
        key = self.credentials.get("api_key")
        if not base:
            raise InferenceFailed(self, self.model_name, "the credentials lack 'api_url'.")
        if not key:
            raise InferenceFailed(self, self.model_name, "the credentials lack 'api_key'.")
        if self.num_parallel_requests < 1:
            raise InferenceFailed(self, self.model_name, "num_parallel_requests must be >= 1.")
        self._url = base + "/chat/completions"
        self._pace = _Pace(self.requests_per_second)
        limits = httpx.Limits(max_connections=self.num_parallel_requests)
        self._client = httpx.Client(
            headers={"Authorization": f"Bearer {key}"},
            timeout=httpx.Timeout(self.timeout),
            limits=limits,
        )

    def _infer(self, dataset: Any, return_meta_data: bool = False) -> list:
        answered = run_parallel(self._answer_or_failure, list(dataset), self.num_parallel_requests)
        causes = [cause for _, cause in answered]
        if causes and all(cause is not None for cause in causes):
            # Not one request of the batch was answered: the judge cannot be used.
            raise InferenceFailed(
                self, self.model_name, f"{self._url} failed every request"
            ) from causes[-1]
        return self.get_return_object([output for output, _ in answered], return_meta_data)

    def _answer_or_failure(
        self, instance: dict[str, Any]
    ) -> tuple[TextGenerationInferenceOutput, BaseException | None]:
        try:
            return self._answer(instance), None
        except _NoAnswer as lost:
            output = generation_output(self, self.model_name, lost.text)
            return output, lost.cause

    def infer(self, dataset: Any, return_meta_data: bool = False) -> Any:
        results = super().infer(dataset, return_meta_data)
        if self.use_cache:
            # A request that brought no answer is asked again next time.
            for item, result in zip(dataset, results, strict=False):
                text = result.prediction if return_meta_data else result
                if judge_answers.read_failure(text) is not None:
                    self._cache.delete(self._get_cache_key(item))
        return results

    def _body(self, instance: dict[str, Any]) -> dict[str, Any]:
        body: dict[str, Any] = {"model": self.model_name, "messages": self.to_messages(instance)}
        for name in ("temperature", "seed", "max_tokens"):
            value = getattr(self, name)
            if value is not None:
                body[name] = value
        if self.structured and self.response_schema and not self._refuses_structure():
            body["response_format"] = {
                "type": "json_schema",
                "json_schema": {"name": "verdict", "strict": True, "schema": self.response_schema},
            }
        return body

    def _refuses_structure(self) -> bool:
        with _unstructured_lock:
            return (self._url, self.model_name) in _unstructured

    def _refused_structure(self) -> None:
        with _unstructured_lock:
            _unstructured.add((self._url, self.model_name))
        note_once(
            f"unstructured {self._url} {self.model_name}",
            f"the judge at {self._url} refused structured answers (response_format); "
            "asking without them for the rest of the run",
        )

    def _answer(self, instance: dict[str, Any]) -> TextGenerationInferenceOutput:
        # A repair request for an answer that never came: the failure stands as it is.
        earlier = _FAILURE_IN_PROMPT.search(prompt_text(instance["source"]))
        if earlier is not None:
            return generation_output(self, self.model_name, earlier.group(0))
        body = self._body(instance)
        try:
            reply = self._post(body)
        except _NoAnswer as lost:
            if lost.cause is None:  # a time-out: an error of this record only
                return generation_output(self, self.model_name, lost.text)
            raise
        choices = reply.get("choices") or [{}]
        message = choices[0].get("message") or {}
        text = message.get("content")
        if not isinstance(text, str) or not text.strip():
            text = judge_answers.failure_text(judge_answers.EMPTY, "The judge's answer was empty")
        usage = reply.get("usage") or {}
        return generation_output(
            self,
            str(reply.get("model") or self.model_name),
            text,
            input_tokens=usage.get("prompt_tokens"),
            output_tokens=usage.get("completion_tokens"),
            stop_reason=choices[0].get("finish_reason"),
        )

    def _post(self, body: dict[str, Any]) -> dict[str, Any]:
        """The reply's JSON object; :class:`_NoAnswer` for a request that brought none."""
        import httpx

        attempt = 0
        while True:
            self._pace.wait()
            try:
                response = self._client.post(self._url, json=body)
            except httpx.TimeoutException:
                raise _NoAnswer(
                    judge_answers.failure_text(
                        judge_answers.TIMEOUT, f"The judge did not answer within {self.timeout:g} s"
                    )
                ) from None
            except (httpx.ConnectError, httpx.UnsupportedProtocol, httpx.InvalidURL) as exc:
                raise InferenceFailed(self, self.model_name, f"cannot reach {self._url}") from exc
            except httpx.TransportError as exc:  # the connection dropped mid-request
                failure = f"the connection to the judge dropped ({type(exc).__name__})"
                if attempt >= self.max_retries:
                    text = judge_answers.failure_text(judge_answers.REQUEST_FAILED, failure)
                    raise _NoAnswer(text, exc) from None
                attempt = self._back_off(attempt, None)
                continue
            status = response.status_code
            if status == 400 and "response_format" in body:
                self._refused_structure()
                body = {name: value for name, value in body.items() if name != "response_format"}
                continue
            if status in _RETRY_STATUSES:
                if attempt >= self.max_retries:
                    text = judge_answers.failure_text(
                        judge_answers.REQUEST_FAILED,
                        f"The judge answered HTTP {status} {response.reason_phrase} "
                        f"{attempt + 1} times",
                    )
                    raise _NoAnswer(text, _status_error(response))
                attempt = self._back_off(attempt, response.headers.get("Retry-After"))
                continue
            if status != 200:
                raise InferenceFailed(
                    self, self.model_name, f"{self._url} answered {status}"
                ) from _status_error(response)
            try:
                reply = response.json()
            except ValueError:
                reply = None
            if not isinstance(reply, dict):
                text = judge_answers.failure_text(
                    judge_answers.REQUEST_FAILED, "The judge's reply was not a JSON object"
                )
                raise _NoAnswer(text, ValueError(f"{self._url} sent a reply that is not JSON"))
            return reply

    def _back_off(self, attempt: int, retry_after: str | None) -> int:
        delay = _BACKOFF[min(attempt, len(_BACKOFF) - 1)]
        try:
            if retry_after is not None:
                delay = min(max(float(retry_after), 0.0), _MAX_RETRY_AFTER)
        except ValueError:
            pass
        time.sleep(delay)
        return attempt + 1


def verdict_schema(option_names: list[str], feedback: bool) -> dict[str, Any]:
    """The JSON schema of a criteria verdict: an explanation, one of the options and, when
    asked for, feedback; as the judge library reads it."""
    properties: dict[str, Any] = {
        "explanation": {"type": "string", "description": "Step by step explanation"},
        "selected_option": {"type": "string", "enum": list(option_names)},
    }
    if feedback:
        properties["feedback"] = {"type": "string"}
    return {
        "type": "object",
        "properties": properties,
        "required": list(properties),
        "additionalProperties": False,
    }


def judge_engine(
    llm_judge: Any, use_cache: bool, response_schema: dict[str, Any] | None = None
) -> Any:
    """The engine of a judge that carries ``request_options``: an OpenAI-compatible judge
    asked with those options (and the verdict's JSON schema, when given)."""
    from zentrix_gov.entities.errors import UnsupportedJudgeModelError
    from zentrix_gov.entities.foundation_model import OpenAIFoundationModel

    model = llm_judge.model
    options = llm_judge.request_options
    if not isinstance(model, OpenAIFoundationModel):
        raise UnsupportedJudgeModelError(
            "Judge request options are supported for OpenAI-compatible judges "
            "(OpenAIFoundationModel) only.",
            model_type=type(model),
        )
    credentials = model.provider.credentials
    parameters = dict(model.parameters or {})
    return OpenAIJudgeEngine(
        model_name=model.model_id,
        credentials={"api_key": credentials.api_key, "api_url": credentials.api_url},
        temperature=parameters.get("temperature", 0.0),
        seed=parameters.get("seed", 36),
        max_tokens=options.max_tokens,
        timeout=options.timeout,
        max_retries=options.max_retries,
        num_parallel_requests=options.max_parallel,
        requests_per_second=options.requests_per_second,
        structured=options.structured,
        response_schema=response_schema,
        use_cache=use_cache,
    )
