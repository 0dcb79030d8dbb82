"""Providers, records, judge models and verdicts for the criteria-judge provider's tests."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import pandas as pd
import pytest

from zentrix_gov.entities.credentials import OpenAICredentials, ZnAICredentials
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.foundation_model import (
    ModelProvider,
    OpenAIFoundationModel,
    ZnAIFoundationModel,
)
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.providers.critwise import Critwise

YES_NO = [
    Option(name="Yes", description="The {answer} is supported by the {contexts}.", value=1),
    Option(name="No", description="The {answer} is not supported.", value=0),
]
CRITERION = "Is the {answer} supported by the {contexts}?"


def openai_judge(url: str | None = None, key: str = "k", model: str = "gpt-4o") -> LLMJudge:
    credentials = OpenAICredentials(api_key=key, url=url)
    provider = ModelProvider(type=ModelProviderType.OPENAI, credentials=credentials)
    return LLMJudge(model=OpenAIFoundationModel(model_id=model, provider=provider))


def platform_judge(url: str = "http://127.0.0.1:1", model: str = "m", **ids: Any) -> LLMJudge:
    credentials = ZnAICredentials(url=url, api_key=ids.pop("api_key", "k"))
    provider = ModelProvider(type=ModelProviderType.ZNAI, credentials=credentials)
    ids = ids or {"project_id": "p1"}
    return LLMJudge(model=ZnAIFoundationModel(model_id=model, provider=provider, **ids))


@pytest.fixture
def records() -> pd.DataFrame:
    """Two records: one answer backed by its context, one contradicting it."""
    return pd.DataFrame(
        {
            "question": ["What is the capital of France?", "Who wrote Hamlet?"],
            "answer": ["Paris is the capital of France.", "It was written by Charles Dickens."],
            "contexts": [
                ["Paris is the capital and largest city of France."],
                ["Hamlet is a tragedy by William Shakespeare."],
            ],
            "record_id": ["r1", "r2"],
            "record_timestamp": ["2026-12-08T10:00:00", "2026-12-08T10:00:01"],
        }
    )


@pytest.fixture
def provider_for():
    """A provider in criteria mode over ``records``; keywords override the defaults."""

    def build(**kwargs: Any) -> Critwise:
        arguments: dict[str, Any] = {
            "metric_name": "grounded",
            "display_name": "Grounded",
            "value_type": "numeric",
            "llm_judge": openai_judge(),
            "options": list(YES_NO),
            "criteria_description": CRITERION,
            "prediction_field": "answer",
            "context_fields": ["question", "contexts"],
        }
        arguments.update(kwargs)
        return Critwise(**arguments)

    return build


@dataclass
class Verdict:
    """What evalassist's judge returns per record (the fields the provider reads)."""

    selected_option: Any
    explanation: str = "because"
    feedback: str | None = "be specific"
    metadata: dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.metadata = {"prompt": "judge this", "unparsed_response": "{}", **self.metadata}


class FakeJudge:
    """Records its calls and answers with ``verdicts`` (in both modes)."""

    def __init__(self, verdicts: list[Verdict]):
        self.verdicts = verdicts
        self.calls: list[tuple[str, dict[str, Any]]] = []

    def __call__(self, **kwargs: Any) -> list[Verdict]:
        self.calls.append(("criteria", kwargs))
        return self.verdicts

    def evaluate_with_custom_prompt(self, **kwargs: Any) -> list[Verdict]:
        self.calls.append(("custom_prompt", kwargs))
        return self.verdicts
