"""OpenAI request and reply shapes: reading chat and completion requests, writing replies,
usage counts and logprobs.

Sampling options (temperature, top_p, max_tokens, seed, stop, response_format, ...) are
accepted and ignored: the models answer deterministically.
"""

from __future__ import annotations

import hashlib
import re
import time
from typing import Any

_TOKEN_RE = re.compile(r"\s*\w+|\s*[^\w\s]|\s+")
# Alternatives offered in top_logprobs, least likely last: enough for the largest request.
_RATINGS = tuple(str(rating) for rating in range(11))
_ALTERNATIVES = (*_RATINGS, " the", ".", "\n", " a", "yes", "no", " not", "Yes", "No", ",", " is")
MAX_TOP_LOGPROBS = 20


class RequestError(ValueError):
    """The request cannot be served as sent (400 unless ``status`` says otherwise)."""

    def __init__(self, message: str, *, param: str | None = None, status: int = 400):
        super().__init__(message)
        self.message = message
        self.param = param
        self.status = status


def tokens(text: str) -> list[str]:
    """A rough tokenisation: words and punctuation, each with its leading whitespace."""
    return _TOKEN_RE.findall(text)


def count_tokens(text: str) -> int:
    return len(tokens(text))


def _content_text(content: Any, where: str) -> str:
    if content is None:
        return ""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        texts = []
        for part in content:
            if not isinstance(part, dict) or part.get("type") not in ("text", "image_url"):
                raise RequestError(f"{where} has a content part that is not text.", param=where)
            if part["type"] == "text":
                texts.append(str(part.get("text", "")))
        return "\n".join(texts)
    raise RequestError(f"{where}.content must be a string or a list of parts.", param=where)


def chat_prompt(body: dict[str, Any]) -> str:
    """The text of a chat request's messages, in order, one message per paragraph."""
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        raise RequestError("'messages' must be a non-empty list.", param="messages")
    texts = []
    for index, message in enumerate(messages):
        where = f"messages[{index}]"
        if not isinstance(message, dict) or not isinstance(message.get("role"), str):
            raise RequestError(f"{where} must be an object with a 'role'.", param=where)
        texts.append(_content_text(message.get("content"), where))
    return "\n\n".join(text for text in texts if text)


def model_name(body: dict[str, Any]) -> str:
    model = body.get("model")
    if not isinstance(model, str) or not model:
        raise RequestError("'model' must be a non-empty string.", param="model")
    return model


def choice_count(body: dict[str, Any]) -> int:
    n = body.get("n")
    if n is None:
        return 1
    if isinstance(n, bool) or not isinstance(n, int) or not 1 <= n <= 128:
        raise RequestError("'n' must be a whole number from 1 to 128.", param="n")
    return n


def check_not_streaming(body: dict[str, Any]) -> None:
    if body.get("stream"):
        raise RequestError("Streaming replies are not supported by this service.", param="stream")


def top_logprobs_count(body: dict[str, Any]) -> int | None:
    """How many alternatives per token a chat request wants, or None without logprobs."""
    if not body.get("logprobs"):
        return None
    top = body.get("top_logprobs") or 0
    if isinstance(top, bool) or not isinstance(top, int) or not 0 <= top <= MAX_TOP_LOGPROBS:
        raise RequestError(
            f"'top_logprobs' must be a whole number from 0 to {MAX_TOP_LOGPROBS}.",
            param="top_logprobs",
        )
    return top


def _alternatives(token: str, count: int) -> list[str]:
    return [alt for alt in _ALTERNATIVES if alt != token][:count]


def _entry(token: str, logprob: float) -> dict[str, Any]:
    return {"token": token, "logprob": logprob, "bytes": list(token.encode("utf-8"))}


def chat_logprobs(text: str, top: int) -> dict[str, Any]:
    """OpenAI's chat logprobs structure for ``text``: the chosen token is near certain."""
    content = []
    for token in tokens(text):
        entry = _entry(token, -0.0001)
        alternatives = [token, *_alternatives(token, max(0, top - 1))][:top]
        entry["top_logprobs"] = [
            _entry(alt, -0.0001 if alt == token else -8.0 - rank)
            for rank, alt in enumerate(alternatives)
        ]
        content.append(entry)
    return {"content": content, "refusal": None}


def completion_logprobs(text: str, top: int) -> dict[str, Any]:
    """The legacy completions logprobs structure for ``text``."""
    pieces = tokens(text)
    offsets, position = [], 0
    for piece in pieces:
        offsets.append(position)
        position += len(piece)
    top_entries = []
    for piece in pieces:
        alternatives = {piece: -0.0001}
        for rank, alt in enumerate(_alternatives(piece, max(0, top - 1))):
            alternatives[alt] = -8.0 - (rank + 1)
        top_entries.append(alternatives)
    return {
        "tokens": pieces,
        "token_logprobs": [-0.0001] * len(pieces),
        "top_logprobs": top_entries,
        "text_offset": offsets,
    }


def _reply_id(prefix: str, model: str, prompt: str) -> str:
    digest = hashlib.sha256(f"{model}\0{prompt}".encode()).hexdigest()[:24]
    return f"{prefix}-{digest}"


def usage(prompt: str, replies: list[str]) -> dict[str, int]:
    prompt_tokens = count_tokens(prompt)
    completion_tokens = sum(count_tokens(reply) for reply in replies)
    return {
        "prompt_tokens": prompt_tokens,
        "completion_tokens": completion_tokens,
        "total_tokens": prompt_tokens + completion_tokens,
    }


def answer_cap(body: dict[str, Any]) -> int | None:
    """The request's answer cap (``max_tokens`` or ``max_completion_tokens``), if any."""
    cap = body.get("max_completion_tokens", body.get("max_tokens"))
    if cap is None:
        return None
    if isinstance(cap, bool) or not isinstance(cap, int) or cap < 1:
        raise RequestError("'max_tokens' must be a whole number >= 1.", param="max_tokens")
    return cap


def chat_completion(
    model: str,
    prompt: str,
    reply: str,
    n: int = 1,
    top: int | None = None,
    finish_reason: str = "stop",
) -> dict[str, Any]:
    """A chat.completion object with ``n`` identical choices answering ``reply``."""
    choices = [
        {
            "index": index,
            "message": {"role": "assistant", "content": reply, "refusal": None},
            "logprobs": chat_logprobs(reply, top) if top is not None else None,
            "finish_reason": finish_reason,
        }
        for index in range(n)
    ]
    return {
        "id": _reply_id("chatcmpl", model, prompt),
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": choices,
        "usage": usage(prompt, [reply] * n),
        "system_fingerprint": "local-judge",
    }


def completion_prompts(body: dict[str, Any]) -> list[str]:
    prompt = body.get("prompt")
    if isinstance(prompt, str):
        return [prompt]
    if isinstance(prompt, list) and prompt and all(isinstance(p, str) for p in prompt):
        return prompt
    raise RequestError("'prompt' must be a string or a non-empty list of strings.", param="prompt")


def completion_logprobs_count(body: dict[str, Any]) -> int | None:
    top = body.get("logprobs")
    if top is None:
        return None
    if isinstance(top, bool) or not isinstance(top, int) or not 0 <= top <= 5:
        raise RequestError("'logprobs' must be a whole number from 0 to 5.", param="logprobs")
    return top


def text_completion(
    model: str, prompts: list[str], replies: list[str], n: int = 1, top: int | None = None
) -> dict[str, Any]:
    """A text_completion object: ``n`` choices per prompt, in prompt order."""
    choices = []
    for reply in replies:
        for _ in range(n):
            choices.append(
                {
                    "index": len(choices),
                    "text": reply,
                    "logprobs": completion_logprobs(reply, top) if top is not None else None,
                    "finish_reason": "stop",
                }
            )
    joined = "\n".join(prompts)
    return {
        "id": _reply_id("cmpl", model, joined),
        "object": "text_completion",
        "created": int(time.time()),
        "model": model,
        "choices": choices,
        "usage": usage(joined, [choice["text"] for choice in choices]),
    }


def model_list(model_ids: list[str]) -> dict[str, Any]:
    return {
        "object": "list",
        "data": [
            {"id": model_id, "object": "model", "created": 0, "owned_by": "local"}
            for model_id in model_ids
        ],
    }


def error_body(message: str, kind: str, code: str, param: str | None = None) -> dict[str, Any]:
    """OpenAI's error shape."""
    return {"error": {"message": message, "type": kind, "param": param, "code": code}}
