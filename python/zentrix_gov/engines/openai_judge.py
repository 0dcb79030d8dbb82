"""The SDK's judge engine for OpenAI-compatible chat endpoints (llama.cpp, vLLM, OpenAI...).

What it adds to a plain chat client, for judges:

- structured answers: with ``response_schema`` set, requests carry it as
  ``response_format`` of type ``json_schema``, which such servers enforce. A server that
  refuses it (a 400 whose body names ``response_format``, ``json_schema`` or the schema)
  gets the request again without it, and no structured requests from any engine of the
  same judge for the rest of the run (said once on standard error). Any other 400 is
  that record's error;
- an answer cap (``max_tokens``) on every request;
- one deadline per verdict (``timeout``): connecting, waiting, every retry and back-off;
  it starts when the verdict holds one of the judge's request slots
  (:mod:`.judge_channel`: at most ``num_parallel_requests`` requests at once over every
  engine of the judge), so waiting behind the run's other requests is not counted;
- retries only for what may pass on a second try (:func:`.judge_requests.should_retry`:
  429, 5xx, a dropped connection), after the server's Retry-After (seconds or an HTTP
  date) or a short back-off, as long as that fits before the deadline; otherwise the
  verdict ends as ``JUDGE_TIMEOUT``. A 429 or 503 lowers the judge's concurrency and a
  Retry-After holds all its requests (:mod:`.adaptive_limit`); a 429 is tried again until
  the deadline rather than ``max_retries`` times;
- what every request used (the reply's ``usage``, or counted here) goes to the run and to
  the record it was for, and a run's budget is asked before each request is sent
  (:mod:`.judge_usage`);
- a verdict that never came (a time-out, a refused request, a server that kept failing)
  or came empty is a :class:`.judge_requests.JudgeFailure` up to ``_infer``, where the
  judge library takes one answer text per prompt: there it becomes a failure text
  (:mod:`zentrix_gov.utils.judge_answers`) that the judge providers make that record's
  error, and the other verdicts stand. A judge that cannot be used at all (refused
  connection, refused key, unknown model, or a server that failed every request of a
  batch) fails the whole run, with the cause;
- when set, at most ``requests_per_second`` requests a second.
"""

from __future__ import annotations

import threading
import time
from typing import Any

from unitxt.inference import TextGenerationInferenceOutput

from zentrix_gov.tracing.current import judge_request, judge_retry
from zentrix_gov.utils import judge_answers

from ._common import (
    InferenceFailed,
    PerInstanceEngine,
    generation_output,
    prompt_text,
    run_parallel,
)
from .adaptive_limit import Slot
from .judge_channel import JudgeChannel, channel_of
from .judge_requests import (
    OVERLOADED,
    Deadline,
    JudgeFailure,
    Pace,
    quoted_reply,
    refuses_structure,
    retry_after_header,
    retry_delay,
    should_retry,
    status_error,
)
from .judge_requests import retry_after as retry_after_seconds
from .judge_usage import JudgeCall, captured_prompts

# The seed of every judge request that names none: the one the criteria judge's engine
# parameters carry, so that the SDK's engine and the judge library's ask alike.
JUDGE_SEED = 36


class OpenAIJudgeEngine(PerInstanceEngine):
    """Chat completions at ``credentials["api_url"]`` (a base URL ending in ``/v1``) with
    ``credentials["api_key"]``, for judges; see the module's description. An engine has
    a :class:`~.judge_channel.JudgeChannel` of its own unless given its judge's
    (:meth:`share_channel`)."""

    label: str = "openai_judge"
    model_name: str
    credentials: dict[str, Any] = {}
    temperature: float | None = 0.0
    seed: int | None = JUDGE_SEED
    max_tokens: int | None = 1024
    timeout: float | None = 60.0
    max_retries: int = 2
    num_parallel_requests: int = 10
    requests_per_second: float | None = None
    structured: bool = True
    response_schema: dict[str, Any] | None = None
    adaptive: bool = True

    def _model(self) -> str:
        return self.model_name

    def prepare_engine(self) -> None:
        base = str(self.credentials.get("api_url") or "").rstrip("/")
        key = self.credentials.get("api_key")
        if not base:
            raise InferenceFailed(self, self.model_name, "the credentials lack 'api_url'.")
        if not key:
            raise InferenceFailed(self, self.model_name, "the credentials lack 'api_key'.")
        if self.num_parallel_requests < 1:
            raise InferenceFailed(self, self.model_name, "num_parallel_requests must be >= 1.")
        self._url = base + "/chat/completions"
        self._base, self._key = base, str(key)
        self._pace = Pace(self.requests_per_second)
        self._channel = JudgeChannel(self.num_parallel_requests, self.adaptive)
        self._lost: set[str] = set()  # cache keys of verdicts that never came
        self._lost_lock = threading.Lock()
        self._calls = threading.local()  # the JudgeCall of this thread's infer

    def share_channel(self, channel: JudgeChannel) -> OpenAIJudgeEngine:
        """Use ``channel`` (its request slots and memory) with the other engines of the
        same judge; returns the engine."""
        self._channel = channel
        return self

    def _infer(self, dataset: Any, return_meta_data: bool = False) -> list:
        instances = list(dataset)
        call = getattr(self._calls, "call", None) or JudgeCall.current()
        answered = run_parallel(
            lambda instance: self._answer_or_failure(instance, call),
            instances,
            self.num_parallel_requests,
        )
        failures = [failure for _, failure in answered if failure is not None]
        if answered and sum(failure.server_failed for failure in failures) == len(answered):
            # The server failed every request of the batch: the judge cannot be used.
            raise InferenceFailed(
                self, self.model_name, f"{self._url} failed every request"
            ) from failures[-1].cause
        outputs = []
        for instance, (output, failure) in zip(instances, answered, strict=True):
            if failure is not None:
                # Where the judge library takes answer texts: the failure becomes one.
                output = generation_output(self, self.model_name, failure.text())
                if self.use_cache:  # asked again next time
                    with self._lost_lock:
                        self._lost.add(self._get_cache_key(instance))
            outputs.append(output)
        return self.get_return_object(outputs, return_meta_data)

    def _answer_or_failure(
        self, instance: dict[str, Any], call: JudgeCall
    ) -> tuple[TextGenerationInferenceOutput | None, JudgeFailure | None]:
        try:
            return self._answer(instance, call), None
        except JudgeFailure as failure:
            return None, failure
        finally:
            self._channel.answered()

    def infer(self, dataset: Any, return_meta_data: bool = False) -> Any:
        captured = captured_prompts()
        if captured is not None:
            return self._capture(list(dataset), captured, return_meta_data)
        if not isinstance(dataset, list):
            dataset = list(dataset)
        call = self._calls.call = JudgeCall.current()
        try:
            results = super().infer(dataset, return_meta_data)
        finally:
            self._calls.call = None
        call.report([prompt_text(instance["source"]) for instance in dataset], results)
        if self.use_cache:
            with self._lost_lock:
                lost, self._lost = self._lost, set()
            for key in lost:
                self._cache.delete(key)
        return results

    def _body(self, instance: dict[str, Any]) -> dict[str, Any]:
        body: dict[str, Any] = {"model": self.model_name, "messages": self.to_messages(instance)}
        for name in ("temperature", "seed", "max_tokens"):
            value = getattr(self, name)
            if value is not None:
                body[name] = value
        refused = self._channel.refuses_structure(self._url, self.model_name)
        if self.structured and self.response_schema and not refused:
            body["response_format"] = {
                "type": "json_schema",
                "json_schema": {"name": "verdict", "strict": True, "schema": self.response_schema},
            }
        return body

    def _capture(self, instances: list, captured: list, return_meta_data: bool) -> list:
        """What an estimate asks: note each prompt that would be sent, send nothing."""
        failure = JudgeFailure(judge_answers.REQUEST_FAILED, "an estimate sends no request")
        for instance in instances:
            prompt = prompt_text(instance["source"])
            if JudgeFailure.from_text(prompt) is None:  # not a repair of an unsent answer
                captured.append((self.model_name, prompt))
        outputs = [generation_output(self, self.model_name, failure.text()) for _ in instances]
        return self.get_return_object(outputs, return_meta_data)

    def _answer(self, instance: dict[str, Any], call: JudgeCall) -> TextGenerationInferenceOutput:
        """The judge's answer; :class:`JudgeFailure` for a verdict that never came."""
        prompt = prompt_text(instance["source"])
        # A repair request for an answer that never came: the failure stands as it is.
        earlier = JudgeFailure.from_text(prompt)
        if earlier is not None:
            raise earlier
        reservation = None
        with self._channel.slot() as slot, judge_request(self) as traced:
            reservation = call.reserve(self.model_name, prompt, self.max_tokens)
            try:
                self._pace.wait()
                # Made (once per judge) before the verdict's time starts: it loads TLS roots.
                self._channel.client(self._base, self._key)
                deadline = Deadline(self.timeout)
                body = self._body(instance)
                traced.request(body)
                reply = self._post(body, deadline, slot, call)
                traced.reply(reply)
            except BaseException:
                if reservation is not None:
                    reservation.settle(None)
                raise
        choices = reply.get("choices") or [{}]
        message = choices[0].get("message") or {}
        text = message.get("content")
        usage = reply.get("usage") or {}
        answer = text if isinstance(text, str) else ""
        self._channel.used(call.answered(self.model_name, prompt, answer, usage, reservation))
        if not answer.strip():
            raise JudgeFailure(judge_answers.EMPTY, "The judge's answer was empty")
        return generation_output(
            self,
            str(reply.get("model") or self.model_name),
            text,
            input_tokens=usage.get("prompt_tokens"),
            output_tokens=usage.get("completion_tokens"),
            stop_reason=choices[0].get("finish_reason"),
        )

    def _post(
        self, body: dict[str, Any], deadline: Deadline, slot: Slot, call: JudgeCall
    ) -> dict[str, Any]:
        """The reply's JSON object, within ``deadline``; :class:`JudgeFailure` for a
        request that brought none. ``slot``: the request's place among the judge's."""
        import httpx

        attempt = 0
        while True:
            response = retry_after = None
            try:
                response = self._send(body, deadline)
            except httpx.TransportError as exc:  # the connection dropped mid-request
                what = f"the connection to the judge dropped ({type(exc).__name__})"
                failure = JudgeFailure(judge_answers.REQUEST_FAILED, what, exc, server_failed=True)
            status = None if response is None else response.status_code
            if response is not None:
                if status == 200:
                    self._channel.limit.succeeded()
                    return self._reply_object(response)
                if "response_format" in body and refuses_structure(status, response.text):
                    self._channel.structure_refused(self._url, self.model_name)
                    body = {key: value for key, value in body.items() if key != "response_format"}
                    continue
                tries = attempt + 1
                what = f"The judge answered HTTP {status} {response.reason_phrase} {tries} times"
                failure = JudgeFailure(
                    judge_answers.REQUEST_FAILED, what, status_error(response), server_failed=True
                )
                retry_after = retry_after_header(response.headers)
                if status in OVERLOADED:
                    self._overloaded(slot, retry_after, call)
            if not should_retry(status):
                raise self._refused(response)
            # A 429 paces the client: tried again until the verdict's deadline, if it has one.
            paced = status == 429 and self._channel.adaptive and deadline.seconds is not None
            if attempt >= self.max_retries and not paced:
                raise failure
            wait = retry_delay(attempt, retry_after)
            why = "the connection dropped" if status is None else f"HTTP {status}"
            if not deadline.fits(wait):
                raise deadline.timed_out(f"{why}; a retry after {wait:g} s would end past it")
            judge_retry(status, wait)
            if status in OVERLOADED and self._channel.adaptive:
                # Waiting, the request leaves its place to the lowered limit, then queues anew.
                if not slot.wait_again(wait, deadline.left()):
                    raise deadline.timed_out(f"{why}; no place among the judge's requests")
            else:
                time.sleep(wait)
            self._pace.wait()
            attempt += 1

    def _overloaded(self, slot: Slot, retry_after: str | None, call: JudgeCall) -> None:
        """The server answered 429 or 503: the judge's limit hears it."""
        lowered = self._channel.overloaded(slot.round, retry_after_seconds(retry_after))
        if call.unit is not None:
            call.unit.limited(self._channel.limit.limit, lowered)

    def _send(self, body: dict[str, Any], deadline: Deadline) -> Any:
        """One try, given what is left of the verdict's time; the response of any status."""
        import httpx

        left = deadline.left()
        if left == 0:
            raise deadline.timed_out()
        try:
            client = self._channel.client(self._base, self._key)
            return client.post(self._url, json=body, timeout=httpx.Timeout(left))
        except httpx.TimeoutException:
            raise deadline.timed_out() from None
        except (httpx.ConnectError, httpx.UnsupportedProtocol, httpx.InvalidURL) as exc:
            raise InferenceFailed(self, self.model_name, f"cannot reach {self._url}") from exc

    def _refused(self, response: Any) -> Exception:
        """What a reply that will not pass on another try means: a 400 refused this
        request (its record's error); anything else (a refused key, an unknown model)
        refuses the judge."""
        if response.status_code == 400:
            return JudgeFailure(
                judge_answers.REQUEST_FAILED,
                f"The judge refused the request (HTTP 400): {quoted_reply(response.text)}",
                status_error(response),
            )
        status = response.status_code
        error = InferenceFailed(self, self.model_name, f"{self._url} answered {status}")
        error.__cause__ = status_error(response)
        return error

    def _reply_object(self, response: Any) -> dict[str, Any]:
        try:
            reply = response.json()
        except ValueError:
            reply = None
        if not isinstance(reply, dict):
            raise JudgeFailure(
                judge_answers.REQUEST_FAILED,
                "The judge's reply was not a JSON object",
                ValueError(f"{self._url} sent a reply that is not JSON"),
                server_failed=True,
            )
        return reply


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
    engine = OpenAIJudgeEngine(
        model_name=model.model_id,
        credentials={"api_key": credentials.api_key, "api_url": credentials.api_url},
        temperature=parameters.get("temperature", 0.0),
        seed=parameters.get("seed", JUDGE_SEED),
        max_tokens=options.max_tokens,
        timeout=options.timeout,
        max_retries=options.max_retries,
        num_parallel_requests=options.max_parallel,
        requests_per_second=options.requests_per_second,
        adaptive=getattr(options, "adaptive", True),
        structured=options.structured,
        response_schema=response_schema,
        use_cache=use_cache,
    )
    # Every engine of this judge in the run shares its slots and what it learnt.
    return engine.share_channel(channel_of(options))
