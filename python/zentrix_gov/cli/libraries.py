"""What the model and HTTP libraries say during a run: their failures read for the cause,
their prints kept off standard output.

A judge's failure reaches the command wrapped several times over: the judge library's
banner box (with the whole prompt) around litellm's exception around the OpenAI client's
around the HTTP library's. The reason a user can act on sits at the bottom. ``explain``
walks the chain (``__cause__``, else ``__context__``) and names first the connection that
failed, the HTTP status and its reason (and a refused key for 401 and 403), or else the
innermost library error; decoration (banners, boxes, colour codes) is dropped.

Some libraries also print to standard output (litellm its "Give Feedback / Get Help"
banner, on every failed request); ``library_prints`` sends such prints to standard error
for the duration of a run, without the decoration, or nowhere under ``-q``.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import sys
import threading
from collections.abc import Iterator
from typing import Any, TextIO
from urllib.parse import urlsplit

from zentrix_gov.cli.errors import describe, one_line

# Exception classes by "top-level module.name", matched anywhere in a class's MRO, so that
# no library needs importing to recognise its errors.
_TIMEOUT = {"builtins.TimeoutError", "httpx.TimeoutException", "openai.APITimeoutError"}
_CONNECTION = {
    "builtins.ConnectionError",
    "aiohttp.ClientConnectorError",
    "httpx.ConnectError",
    "openai.APIConnectionError",
}
_STATUS = {"openai.APIStatusError", "httpx.HTTPStatusError", "aiohttp.ClientResponseError"}
# Libraries whose status errors carry the status the server sent. litellm's subclasses of
# the OpenAI errors also stand for failures without any reply (status 500 for a refused
# connection or a reply that is not JSON).
_HTTP_CLIENTS = {"openai", "httpx", "aiohttp"}
_LIBRARIES = {"litellm", *_HTTP_CLIENTS, "requests", "urllib3"}
_REFUSED_KEY = {401: "the API key was refused", 403: "the API key lacks the permission"}

_ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")
_BOX = re.compile(r"^\s*[\u2500-\u257f]")  # a line of a box drawn around a message
_BANNERS = ("Give Feedback / Get Help", "LiteLLM.Info:", "If you need to debug this error")
# litellm's names in front of a message: "litellm.AuthenticationError: AuthenticationError:
# OpenAIException - The key ..."
_LITELLM_PREFIX = re.compile(r"^litellm\.\w+:\s*(?:\w+:\s*)?(?:\w+Exception - )?")
_STATUS_PREFIX = re.compile(r"^Error code: \d+ - ")


def _kinds(exc: BaseException) -> set[str]:
    return {f"{cls.__module__.partition('.')[0]}.{cls.__name__}" for cls in type(exc).__mro__}


def _library(exc: BaseException) -> str:
    return type(exc).__module__.partition(".")[0]


def chain(exc: BaseException) -> list[BaseException]:
    """``exc`` and the exceptions it was raised from or while handling, outermost first."""
    links: list[BaseException] = []
    current: BaseException | None = exc
    while current is not None and len(links) < 32 and all(current is not e for e in links):
        links.append(current)
        current = current.__cause__ or current.__context__
    return links


def is_decoration(line: str) -> bool:
    """Whether a line of a library's message or print is decoration, not content."""
    text = _ANSI.sub("", line)
    return not text.strip() or bool(_BOX.match(text)) or any(b in text for b in _BANNERS)


def clean(text: str) -> str:
    """``text`` without colour codes, banner lines and litellm's names in front."""
    lines = [_ANSI.sub("", line) for line in text.splitlines() if not is_decoration(line)]
    return _LITELLM_PREFIX.sub("", " ".join(" ".join(lines).split()))


def explain(exc: BaseException, limit: int = 400) -> str:
    """One line saying why ``exc`` happened, the root cause first."""
    return one_line(_root_cause(exc), limit) or describe(exc, limit)


def _root_cause(exc: BaseException) -> str:
    links = chain(exc)
    # The innermost address: litellm's own errors may carry a stand-in request.
    addresses = [_address(link) for link in links if _library(link) != "litellm"]
    where = next(filter(None, reversed(addresses)), None)
    if any(_kinds(link) & _TIMEOUT for link in links):
        return f"the request to {where} timed out" if where else "timed out"
    failed = [link for link in links if _kinds(link) & _CONNECTION]
    if failed:
        errors = [link for link in links if isinstance(link, OSError) and link.errno]
        reason = os.strerror(errors[-1].errno).lower() if errors else clean(str(failed[-1]))
        return f"cannot connect to {where}: {reason}" if where else f"cannot connect: {reason}"
    for link in links:
        if _kinds(link) & _STATUS and _library(link) in _HTTP_CLIENTS:
            return _status_failure(link)
    library = [link for link in links if _library(link) in _LIBRARIES]
    return clean(str(library[-1] if library else exc))


def _address(exc: BaseException) -> str | None:
    """The URL (or host and port) a failed request was for, when the exception says; without
    the URL's user, password and query, which may hold credentials."""
    with contextlib.suppress(Exception):  # httpx raises when an error has no request
        url = getattr(getattr(exc, "request", None), "url", None)
        if url is not None:
            parts = urlsplit(str(url))
            if parts.hostname:
                host = f"[{parts.hostname}]" if ":" in parts.hostname else parts.hostname
                port = f":{parts.port}" if parts.port else ""
                return f"{parts.scheme}://{host}{port}{parts.path}"
    host, port = getattr(exc, "host", None), getattr(exc, "port", None)
    return f"{host}:{port}" if isinstance(host, str) and port else None


def _status_failure(exc: BaseException) -> str:
    response = getattr(exc, "response", None)
    status = getattr(response, "status_code", None) or getattr(exc, "status", None)
    reason = getattr(response, "reason_phrase", None)
    if reason is None and _library(exc) == "aiohttp":
        reason = getattr(exc, "message", None)  # aiohttp's name for the reason phrase
    text = f"HTTP {status}" + (f" {reason}" if isinstance(reason, str) and reason else "")
    if status in _REFUSED_KEY:
        text += f": {_REFUSED_KEY[status]}"
    detail = _body_message(getattr(exc, "body", None))
    if detail is None and _library(exc) == "openai":
        detail = _STATUS_PREFIX.sub("", clean(str(exc)))
    return f"{text}: {detail}" if detail else text


def _body_message(body: Any) -> str | None:
    """The message of an error reply's JSON body: {"message": ...} or {"error": {...}}."""
    if isinstance(body, dict):
        inner = body.get("error")
        message = inner.get("message") if isinstance(inner, dict) else body.get("message")
        message = message if message is not None else inner
        return clean(message) if isinstance(message, str) and message.strip() else None
    return None


class _LibraryPrints(io.TextIOBase):
    """Standard output while libraries run: whole lines go on to ``target`` (nowhere when
    None), decoration lines are dropped."""

    def __init__(self, target: TextIO | None):
        super().__init__()
        self._target = target
        self._pending = ""
        self._lock = threading.Lock()

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        with self._lock:
            self._pending += text
            *lines, self._pending = self._pending.split("\n")
            if self._target is not None:
                for line in lines:
                    if not is_decoration(line):
                        self._target.write(line + "\n")
        return len(text)

    def flush(self) -> None:
        if self._target is not None:
            self._target.flush()

    def close(self) -> None:
        with self._lock:
            rest, self._pending = self._pending, ""
        if rest:
            self.write(rest + "\n")
        self.flush()
        super().close()


class _LineEnds:
    """Standard error while libraries run: passes everything on, and notes whether the last
    text written left a line unfinished (a progress bar stopped by a failure)."""

    def __init__(self, stream: TextIO):
        self._stream = stream
        self.unfinished = False

    def write(self, text: str) -> int:
        if text:
            self.unfinished = not text.endswith("\n")
        return self._stream.write(text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def library_prints(quiet: bool) -> Iterator[None]:
    """For the ``with`` block, what is printed to standard output goes to standard error
    without decoration, or nowhere when ``quiet``: standard output carries the results.
    A line the block leaves unfinished on standard error is ended, so that what follows
    (the ``error:`` line) starts a line of its own."""
    errors = _LineEnds(sys.stderr)
    prints = _LibraryPrints(None if quiet else errors)  # type: ignore[arg-type]
    try:
        with (
            contextlib.redirect_stderr(errors),  # type: ignore[type-var]
            contextlib.redirect_stdout(prints),  # type: ignore[type-var]
        ):
            yield
    finally:
        prints.close()
        if errors.unfinished:
            with contextlib.suppress(OSError, ValueError):
                errors.write("\n")
                errors.flush()
