"""The judge model of LLM-as-judge metrics, and the options of the SDK's own judge engine."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict, Field

from zentrix_gov.entities.foundation_model import FoundationModel


class JudgeRequestOptions(BaseModel):
    """How the SDK's own judge engine asks an OpenAI-compatible judge (opt-in).

    A judge without options is asked as the template and judge libraries ask it. With
    ``LLMJudge(model=..., request_options=JudgeRequestOptions())`` it is asked by the SDK's
    engine (:class:`zentrix_gov.engines.OpenAIJudgeEngine`), as the command line does:

    - ``structured``: criteria verdicts are requested with their JSON schema as
      ``response_format`` (type ``json_schema``); a server that refuses it (400) is asked
      again without it, and without it for the rest of the process;
    - ``max_tokens``: the cap on every answer (None: the server's own);
    - ``timeout``: seconds to wait for each answer (None: no limit); a request that times
      out is that record's error (``JUDGE_TIMEOUT``) and is not retried;
    - ``max_retries``: further tries after a 429, a 5xx or a dropped connection;
    - ``max_parallel``: requests at once; ``requests_per_second``: at most this many
      requests per second (None: no limit).

    Answers that never came or came empty are errors of their records; the other verdicts
    stand. Only OpenAI-compatible judges (``OpenAIFoundationModel``) take options.
    """

    model_config = ConfigDict(frozen=True)

    structured: bool = True
    max_tokens: int | None = Field(default=1024, gt=0)
    timeout: float | None = Field(default=60.0, gt=0)
    max_retries: int = Field(default=2, ge=0)
    max_parallel: int = Field(default=10, gt=0)
    requests_per_second: float | None = Field(default=None, gt=0)


class LLMJudge(BaseModel):
    """Wraps the foundation model that judges records, and how it is asked."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    model: FoundationModel
    # None: the judge libraries' own engines, as they always were.
    request_options: JudgeRequestOptions | None = None
