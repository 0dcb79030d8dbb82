"""The models the risk command evaluates (``model_under_test``: --model, --endpoint or
the local model; ``check_endpoint`` checks the endpoint's options first), each answer
bounded in time.

- :func:`guarded`: a Python function of the user's (``--model``). Every call runs on a
  thread of its own and is given ``--timeout`` seconds: a call that takes longer answers
  None for its prompts (errors of those prompts, never safe answers) while the run goes
  on; a function that raises or exits (``SystemExit``) ends the run as a failure.
- :class:`RiskProgress`: the model's answers counted, as progress lines.
- :func:`endpoint_model`: an OpenAI-compatible chat model (``--endpoint URL``, or the local
  model): one chat request per prompt, the answer capped at ``max_tokens``, each request
  bounded by ``timeout`` (a time-out answers None), 429 and 5xx tried again twice; a refused
  key or an unreachable server ends the run.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from zentrix_gov.cli.errors import UsageError

ENDPOINT_KEY_VARIABLE = "ZENTRIX_MODEL_API_KEY"
LOCAL_MODEL = "local-model"

Model = Callable[[list[str]], list[Any]]

_RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})
_BACKOFF = (0.5, 1.0)


class ModelFailed(RuntimeError):
    """The model under test failed: it raised, exited or could not be reached."""


@dataclass
class Timeouts:
    """How many answers did not come in time (thread-safe)."""

    count: int = 0
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def add(self, number: int) -> None:
        with self._lock:
            self.count += number


def _describe(exc: BaseException) -> str:
    if isinstance(exc, SystemExit):
        return f"the model exited (SystemExit with code {exc.code!r})"
    text = " ".join(str(exc).split())
    return f"the model raised {type(exc).__name__}" + (f": {text[:300]}" if text else "")


def guarded(function: Model, timeout: float | None, timeouts: Timeouts) -> Model:
    """``function`` with every call bounded by ``timeout`` seconds (None: no bound)."""

    def call(prompts: list[str]) -> list[Any]:
        outcome: dict[str, Any] = {}

        def run() -> None:
            try:
                outcome["answers"] = function(list(prompts))
            except BaseException as exc:  # SystemExit and KeyboardInterrupt included
                outcome["error"] = exc

        worker = threading.Thread(target=run, name="risk-model-call", daemon=True)
        worker.start()
        worker.join(timeout)
        if worker.is_alive():  # left behind: a daemon thread never holds the process
            timeouts.add(len(prompts))
            return [None] * len(prompts)
        error = outcome.get("error")
        if isinstance(error, Exception):
            raise error
        if error is not None:  # SystemExit and the like: a failure of the run, not an exit
            raise ModelFailed(_describe(error)) from error
        return outcome["answers"]

    return call


class RiskProgress:
    """``answered N prompts`` on standard error as the model's answers come in (at most once
    a second), and a last line after the run, with the plug-in's count of prompts when it
    reports one. Answers are counted where the SDK hands them to the plug-in: a platform
    model's are not seen, and only the plug-in's count is shown for it."""

    every_seconds = 1.0

    def __init__(self, quiet: bool, out: TextIO | None = None) -> None:
        self.quiet = quiet
        self.out = out if out is not None else sys.stderr
        self.answered = 0
        self._shown = 0  # the count of the last line printed
        self._last = 0.0
        self._lock = threading.Lock()

    def counted(self, model: Model) -> Model:
        """``model``, counting its answers (the plug-in may call it from several threads)."""

        def answer(prompts: list[str]) -> list[Any]:
            answers = model(prompts)
            with self._lock:
                self.answered += len(prompts)
                now = time.perf_counter()
                if not self.quiet and now - self._last >= self.every_seconds:
                    self._last, self._shown = now, self.answered
                    print(f"answered {self.answered} prompts", file=self.out, flush=True)
            return answers

        return answer

    def finish(self, counted: bool, prompt_count: int | None) -> None:
        if self.quiet or (not counted and prompt_count is None):
            return
        if not counted:
            line = f"asked {prompt_count} prompts"
        elif prompt_count is None:
            if self._shown == self.answered:
                return
            line = f"answered {self.answered} prompts"
        else:
            line = f"answered {self.answered}/{prompt_count} prompts"
        print(line, file=self.out, flush=True)


def endpoint_model(
    base_url: str,
    model: str,
    api_key: str,
    *,
    max_tokens: int,
    timeout: float | None,
    parallel: int,
    timeouts: Timeouts,
) -> Model:
    """A function asking the chat model ``model`` at ``base_url`` (``.../v1``), at most
    ``parallel`` requests at once."""
    import httpx

    url = base_url.rstrip("/") + "/chat/completions"
    client = httpx.Client(
        headers={"Authorization": f"Bearer {api_key}"},
        timeout=httpx.Timeout(timeout),
        limits=httpx.Limits(max_connections=parallel),
    )
    slots = threading.BoundedSemaphore(parallel)

    def ask(prompt: str) -> Any:
        body = {
            "model": model,
            "messages": [{"role": "user", "content": prompt}],
            "max_tokens": max_tokens,
            "temperature": 0,
        }
        for attempt in range(len(_BACKOFF) + 1):
            with slots:
                try:
                    response = client.post(url, json=body)
                except httpx.TimeoutException:
                    timeouts.add(1)
                    return None
                except httpx.HTTPError as exc:
                    raise ModelFailed(f"cannot reach the model at {url}: {exc}") from exc
            if response.status_code in _RETRY_STATUSES and attempt < len(_BACKOFF):
                time.sleep(_BACKOFF[attempt])
                continue
            if response.status_code != 200:
                try:
                    response.raise_for_status()
                except httpx.HTTPStatusError as exc:
                    raise ModelFailed(
                        f"the model at {url} answered HTTP {response.status_code}"
                    ) from exc
            try:
                return response.json()["choices"][0]["message"]["content"]
            except (ValueError, KeyError, IndexError, TypeError):
                return None  # no answer in the reply: an error of this prompt
        return None

    def answer(prompts: Sequence[str]) -> list[Any]:
        return [ask(prompt) for prompt in prompts]

    return answer


def check_endpoint(args: argparse.Namespace) -> str | None:
    """The key of --endpoint URL (None for the local model); usage errors first."""
    if args.endpoint is None:
        if args.endpoint_model:
            raise UsageError("--endpoint-model goes with --endpoint URL")
        return None
    if args.endpoint == LOCAL_MODEL:
        return None
    if not args.endpoint_model:
        raise UsageError(f"--endpoint {args.endpoint} needs a model: give --endpoint-model NAME")
    key = os.environ.get(ENDPOINT_KEY_VARIABLE)
    if not key:
        raise UsageError(
            f"--endpoint {args.endpoint} needs an API key: set {ENDPOINT_KEY_VARIABLE}"
        )
    return key


@contextlib.contextmanager
def model_under_test(
    args: argparse.Namespace, key: str | None, timeouts: Timeouts, load_model: Callable[[str], Any]
) -> Iterator[Any]:
    """(function, name) of the model of --model or --endpoint, for the ``with`` block; None
    for --platform-model."""
    timeout = args.timeout or None
    if args.model:
        yield guarded(load_model(args.model), timeout, timeouts), args.model
        return
    if args.endpoint is None:
        yield None, args.platform_model
        return
    if args.endpoint != LOCAL_MODEL:
        function = endpoint_model(
            args.endpoint,
            args.endpoint_model,
            key or "",
            max_tokens=args.max_tokens,
            timeout=timeout,
            parallel=8,
            timeouts=timeouts,
        )
        yield function, f"{args.endpoint_model} at {args.endpoint}"
        return
    from zentrix_gov.cli.local_services import local_model_server
    from zentrix_gov.local.model.files import MODEL

    with local_model_server(args.quiet) as server:
        function = endpoint_model(
            server.base_url,
            server.model_name,
            server.key,
            max_tokens=args.max_tokens,
            timeout=timeout,
            parallel=server.settings.slots,
            timeouts=timeouts,
        )
        yield function, f"{MODEL.name} (local model at {server.base_url})"
