"""The judge model of LLM-as-judge metrics, and the options of the SDK's own judge engine."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, PrivateAttr

from zentrix_gov.entities.foundation_model import FoundationModel


class JudgeRequestOptions(BaseModel):
    """How the SDK's own judge engine asks an OpenAI-compatible judge (opt-in).

    A judge without options is asked as the template and judge libraries ask it. With
    ``LLMJudge(model=..., request_options=JudgeRequestOptions())`` it is asked by the SDK's
    engine (:class:`zentrix_gov.engines.OpenAIJudgeEngine`), as the command line does:

    - ``structured``: criteria verdicts are requested with their JSON schema as
      ``response_format`` (type ``json_schema``); a server that refuses it (a 400 whose
      body names ``response_format``, ``json_schema`` or the schema) is asked again
      without it, and without it for the rest of the run of this judge (said once);
    - ``max_tokens``: the cap on every answer (None: the server's own);
    - ``timeout``: seconds one verdict may take in all (None: no limit): connecting,
      waiting for the answer, every retry and every back-off, counted from when the
      request gets one of the judge's ``max_parallel`` slots. A verdict that runs out of
      time is that record's error (``JUDGE_TIMEOUT``), as is one whose server asks to
      retry later (Retry-After) than the time left; a time-out is not retried;
    - ``max_retries``: further tries after a 429, a 5xx or a dropped connection;
    - ``max_parallel``: requests at once, over every evaluation using these options at
      the same time; ``requests_per_second``: at most this many requests per second
      (None: no limit);
    - ``adaptive``: the number of requests at once adapts to the server (see
      :mod:`zentrix_gov.engines.adaptive_limit`): it halves on 429 or 503, grows back by
      one after a stretch of successes up to ``max_parallel``, and a Retry-After holds
      every request of the judge; a 429 (the server pacing its clients) is then tried
      again until the verdict's ``timeout`` rather than ``max_retries`` times. ``False``:
      always ``max_parallel``, as before.

    Answers that never came or came empty are errors of their records, as is a request
    the server refused (400) for any reason but structure; the other verdicts stand. Only
    OpenAI-compatible judges (``OpenAIFoundationModel``) take options.

    The state the SDK's engines share while they use these options (request slots,
    servers that refused structure; :mod:`zentrix_gov.engines.judge_channel`) belongs to
    this instance: equal options share nothing, and a pickled copy starts afresh.
    """

    model_config = ConfigDict(frozen=True)

    structured: bool = True
    max_tokens: int | None = Field(default=1024, gt=0)
    timeout: float | None = Field(default=60.0, gt=0)
    max_retries: int = Field(default=2, ge=0)
    max_parallel: int = Field(default=10, gt=0)
    requests_per_second: float | None = Field(default=None, gt=0)
    adaptive: bool = True
    # The engines' shared state (a JudgeChannel), made on first use.
    _channel: Any = PrivateAttr(default=None)

    def __eq__(self, other: object) -> bool:
        # Options are equal by their fields; the engines' state is not one of them.
        if not isinstance(other, JudgeRequestOptions):
            return NotImplemented
        return type(self) is type(other) and self.__dict__ == other.__dict__


class LLMJudge(BaseModel):
    """Wraps the foundation model that judges records, and how it is asked."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    model: FoundationModel
    # None: the judge libraries' own engines, as they always were.
    request_options: JudgeRequestOptions | None = None
