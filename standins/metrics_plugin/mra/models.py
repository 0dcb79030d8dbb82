"""Asking the model under test: a scoring function of the user's, or a platform model.

A model answers a list of prompts with a list of answers, in the same order. Prompts are
sent in parallel, at most ``max_parallel`` calls at once, and ``on_answered(count)`` is
called (on the caller's thread) as answers arrive. The first failure stops the run: calls
not yet started are cancelled and the error is raised.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait
from typing import Any

from zentrix_ai.client import APIClient
from zentrix_ai.credentials import ON_PREMISES_INSTANCE_ID, Credentials
from zentrix_ai.model_inference import ModelInference

Answered = Callable[[int], None]


def _run_parallel(
    jobs: Sequence[Callable[[], list[str]]], max_parallel: int, on_answered: Answered | None
) -> list[str]:
    if not jobs:
        return []
    results: list[list[str] | None] = [None] * len(jobs)
    with ThreadPoolExecutor(max_workers=min(max_parallel, len(jobs))) as pool:
        futures: dict[Future, int] = {pool.submit(job): index for index, job in enumerate(jobs)}
        pending = set(futures)
        while pending:
            done, pending = wait(pending, return_when=FIRST_EXCEPTION)
            for future in done:
                error = future.exception()
                if error is not None:
                    for other in pending:
                        other.cancel()
                    raise error
                answers = future.result()
                results[futures[future]] = answers
                if on_answered is not None:
                    on_answered(len(answers))
    return [answer for batch in results for answer in batch or []]


class FunctionModel:
    """A model answered by ``scoring_function(prompts) -> answers``, in batches."""

    def __init__(
        self, scoring_function: Callable[[list[str]], Any], batch_size: int, max_parallel: int
    ) -> None:
        if not callable(scoring_function):
            raise TypeError("The scoring function must be callable.")
        self.scoring_function = scoring_function
        self.batch_size = batch_size
        self.max_parallel = max_parallel

    def _answer_batch(self, prompts: list[str]) -> list[str]:
        answers = self.scoring_function(list(prompts))
        if isinstance(answers, str) or not isinstance(answers, Sequence):
            raise TypeError(
                f"The scoring function must return a list of answers, got {type(answers).__name__}."
            )
        if len(answers) != len(prompts):
            raise ValueError(
                f"The scoring function returned {len(answers)} answers for {len(prompts)} prompts."
            )
        # Answers that are no text (None, a mapping, ...) are kept as they are: the scoring
        # counts them as errors, never as safe answers.
        return list(answers)

    def answer(self, prompts: Sequence[str], on_answered: Answered | None = None) -> list[str]:
        batches = [
            list(prompts[start : start + self.batch_size])
            for start in range(0, len(prompts), self.batch_size)
        ]
        jobs = [lambda batch=batch: self._answer_batch(batch) for batch in batches]
        return _run_parallel(jobs, self.max_parallel, on_answered)


class PlatformModel:
    """A model of the AI platform, asked one prompt per generation request."""

    def __init__(self, inference: ModelInference, max_parallel: int) -> None:
        self.inference = inference
        self.max_parallel = max_parallel

    def answer(self, prompts: Sequence[str], on_answered: Answered | None = None) -> list[str]:
        jobs = [lambda prompt=prompt: [self.inference.generate_text(prompt)] for prompt in prompts]
        return _run_parallel(jobs, self.max_parallel, on_answered)


def _platform_inference(
    url: Any, model_id: Any, api_key: Any, on_premises: bool, **extra: Any
) -> ModelInference:
    project_id = extra.pop("project_id", None)
    credentials = Credentials(
        url=url,
        api_key=api_key or None,
        instance_id=ON_PREMISES_INSTANCE_ID if on_premises else None,
        **extra,
    )
    return ModelInference(
        model_id=model_id, api_client=APIClient(credentials), project_id=project_id
    )


def build_model(
    system_credentials: dict[str, Any],
    scoring_function: Callable[..., Any] | None,
    batch_size: int,
    max_parallel: int,
) -> FunctionModel | PlatformModel:
    """The model to ask: the scoring function when there is one, else the platform model
    named by the credential map (the AI platform's keys, or those of a governance-connected
    platform)."""
    if scoring_function is not None:
        return FunctionModel(scoring_function, batch_size, max_parallel)
    creds = system_credentials or {}
    if creds.get("zentrix_ai_endpoint_url"):
        on_premises = "zentrix_ai_opk_username" in creds or "zentrix_ai_opk_apikey" in creds
        inference = _platform_inference(
            creds["zentrix_ai_endpoint_url"],
            creds.get("zentrix_ai_model_id"),
            creds.get("zentrix_ai_opk_apikey")
            if on_premises
            else creds.get("zentrix_ai_cloud_apikey"),
            on_premises,
            username=creds.get("zentrix_ai_opk_username"),
            project_id=creds.get("zentrix_ai_project_id"),
        )
        return PlatformModel(inference, max_parallel)
    if creds.get("op_url"):
        inference = _platform_inference(
            creds["op_url"],
            creds.get("op_model_id"),
            creds.get("op_apikey"),
            "op_opk_host" in creds,
            username=creds.get("op_username"),
            password=creds.get("op_password"),
        )
        return PlatformModel(inference, max_parallel)
    raise ValueError(
        "There is no way to ask the model: give a scoring function, or credentials of the "
        "platform that serves it."
    )
