"""The span of one judge request, by the GenAI client conventions: ``chat {model}``, kind
client, with ``gen_ai.operation.name`` ``chat``, ``gen_ai.provider.name`` ``openai`` (the
API the SDK's judge engine speaks, whoever serves it), the request's model, ``max_tokens``,
temperature and seed, the reply's id, model and token counts, and ``error.type`` when no
verdict came (a ``JudgeFailure``'s code such as ``JUDGE_TIMEOUT``, else the error's type).

The request's retries (429, 5xx, a dropped connection) are events ``retry`` of its span
(``http.response.status_code`` when there was a reply, ``zentrix.retry.wait`` in seconds):
one span per verdict asked for, however many tries it took. The prompt and the answer
(``gen_ai.input.messages``, ``gen_ai.output.messages``) only with content capture on.
"""

from __future__ import annotations

import json
from contextvars import ContextVar, Token
from typing import Any

from opentelemetry import trace
from opentelemetry.trace import SpanKind
from opentelemetry.trace.status import Status, StatusCode

from zentrix_gov.tracing.content import cut, server_of

PROVIDER = "openai"


class JudgeRequestSpan:
    """A context manager: the span of the request sent in its block."""

    def __init__(self, tracing: Any, engine: Any, request: ContextVar[Any]):
        self.tracing = tracing
        self.engine = engine
        self._request = request
        self._token: Token[Any] | None = None
        self._scope: Any = None
        model = str(getattr(engine, "model_name", "") or "")
        attributes: dict[str, Any] = {
            "gen_ai.operation.name": "chat",
            "gen_ai.provider.name": PROVIDER,
            "gen_ai.request.model": model,
        }
        host, port = server_of(str(getattr(engine, "credentials", {}).get("api_url") or ""))
        if host:
            attributes["server.address"] = host
        if port:
            attributes["server.port"] = port
        self.span = tracing.tracer.start_span(
            f"chat {model}", kind=SpanKind.CLIENT, attributes=attributes
        )

    def __enter__(self) -> JudgeRequestSpan:
        self._token = self._request.set(self)
        self._scope = trace.use_span(
            self.span, end_on_exit=False, record_exception=False, set_status_on_exception=False
        )
        self._scope.__enter__()
        return self

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> None:
        self._scope.__exit__(None, None, None)
        if self._token is not None:
            self._request.reset(self._token)
        if error is not None:
            what = getattr(error, "code", None) or type(error).__qualname__
            self.span.set_attribute("error.type", str(what))
            self.span.set_status(Status(StatusCode.ERROR, str(what)))
        self.span.end()

    def request(self, body: dict[str, Any]) -> None:
        """What was asked: the request's parameters (and its prompt with content on)."""
        for name, attribute in (
            ("max_tokens", "gen_ai.request.max_tokens"),
            ("temperature", "gen_ai.request.temperature"),
            ("seed", "gen_ai.request.seed"),
        ):
            if body.get(name) is not None:
                self.span.set_attribute(attribute, body[name])
        if "response_format" in body:
            self.span.set_attribute("gen_ai.output.type", "json")
        if self.tracing.content:
            messages = [_message(m, self.tracing.text_limit) for m in body.get("messages") or []]
            self.span.set_attribute("gen_ai.input.messages", json.dumps(messages))

    def reply(self, reply: dict[str, Any]) -> None:
        """What came back: its id, model, token counts (and its answer with content on)."""
        span = self.span
        if reply.get("id"):
            span.set_attribute("gen_ai.response.id", str(reply["id"]))
        if reply.get("model"):
            span.set_attribute("gen_ai.response.model", str(reply["model"]))
        usage = reply.get("usage") or {}
        for name, attribute in (
            ("prompt_tokens", "gen_ai.usage.input_tokens"),
            ("completion_tokens", "gen_ai.usage.output_tokens"),
        ):
            if isinstance(usage.get(name), int):
                span.set_attribute(attribute, usage[name])
        choices = reply.get("choices") or []
        reasons = [str(c.get("finish_reason")) for c in choices if c.get("finish_reason")]
        if reasons:
            span.set_attribute("gen_ai.response.finish_reasons", reasons)
        if self.tracing.content:
            answers = [
                {
                    **_message(c.get("message") or {}, self.tracing.text_limit),
                    "finish_reason": c.get("finish_reason"),
                }
                for c in choices
            ]
            span.set_attribute("gen_ai.output.messages", json.dumps(answers))

    def retry(self, status: int | None, wait: float) -> None:
        attributes: dict[str, Any] = {"zentrix.retry.wait": float(wait)}
        if status is not None:
            attributes["http.response.status_code"] = int(status)
        self.span.add_event("retry", attributes)


def _message(message: dict[str, Any], limit: int) -> dict[str, Any]:
    """A chat message as the conventions write it: its role and its text parts."""
    content = message.get("content")
    if isinstance(content, list):
        texts = [str(part.get("text", "")) for part in content if isinstance(part, dict)]
    else:
        texts = [] if content is None else [str(content)]
    parts = [{"type": "text", "content": cut(text, limit)} for text in texts]
    return {"role": str(message.get("role") or "assistant"), "parts": parts}
