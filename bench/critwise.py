"""Criteria-judge provider benchmarks. Prints one JSON line per case.

- overhead: `evaluate` over 1,000 records around a judge that answers at once (its verdicts
  are made before the clock starts), in criteria mode and in prompt-template mode, with
  token counting off and on: the provider's own work (criteria, instances, prompts, results
  and the aggregate) in us per record. Target: under 50 us per record.
- tokens: token counting of the judge prompts and raw answers of 1,000 verdicts, as the
  provider does it (the difference between results with counting on and off), against bare
  tiktoken (`len(encoding.encode(text))` over the same texts, and `encode_ordinary`, which the
  provider uses so that special-token text counts as ordinary text). Target: at least 90 %
  of bare tiktoken's throughput.

Medians of repeated runs in one process. Usage: python bench/critwise.py [case ...]
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any
from unittest import mock

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")

import pandas as pd

from _support import emit, median_seconds
from zentrix_gov.entities.criteria import Option
from zentrix_gov.providers import critwise
from zentrix_gov.providers.critwise import Critwise

RECORDS = 1_000
RUNS = 7
OPTIONS = [
    Option(name="Yes", description="The {answer} is supported by the {contexts}.", value=1),
    Option(name="Partly", description="Some of the {answer} is supported.", value=0.5),
    Option(name="No", description="The {answer} is not supported.", value=0),
]


def records(count: int = RECORDS) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "question": [f"What is the baggage allowance on flight SK{i}?" for i in range(count)],
            "answer": [f"Flight SK{i} allows one checked bag of 23 kg." for i in range(count)],
            "contexts": [
                [f"On flight SK{i} economy passengers may check one bag of up to 23 kg."]
                for i in range(count)
            ],
            "record_id": [f"r{i}" for i in range(count)],
            "record_timestamp": ["2026-12-08T10:00:00"] * count,
        }
    )


class Verdict:
    __slots__ = ("explanation", "feedback", "metadata", "selected_option")

    def __init__(self, index: int, prompt: Any):
        self.selected_option = OPTIONS[index % 3].name
        self.explanation = "- The context states the allowance of one checked bag of 23 kg."
        self.feedback = "" if index % 2 else "Name the fare class the allowance applies to."
        answer = {
            "explanation": self.explanation,
            "selected_option": self.selected_option,
            "feedback": self.feedback,
        }
        self.metadata = {
            "prompt": prompt,
            "unparsed_response": json.dumps(answer),
            "generation_failed": False,
        }


def judge_prompt(index: int) -> list[dict[str, str]]:
    # About the size of evalassist's criteria prompts (a system and a user message).
    system = "You are an expert evaluator. " * 20 + '{"properties": {"explanation": ...}}'
    user = (
        "## Criteria:\nIs the answer supported by the contexts?\nOptions:\n- Yes\n- Partly\n"
        f"- No\n\n## Context\n\n- question: What is the baggage allowance on flight SK{index}?"
        f"\n\n## The answer to evaluate\n\nFlight SK{index} allows one checked bag of 23 kg."
    )
    return [{"role": "system", "content": system}, {"role": "user", "content": user}]


class InstantJudge:
    """Answers with verdicts made in advance."""

    def __init__(self, verdicts: list[Verdict]):
        self.verdicts = verdicts

    def __call__(self, instances, criteria):
        return self.verdicts

    def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs):
        return self.verdicts


def provider(mode: str, counting: bool) -> Critwise:
    texts = {
        "criteria": {"criteria_description": "Is the {answer} supported by the {contexts}?"},
        "template": {"prompt_template": "Question: {question}\nAnswer: {answer}\nSupported?"},
    }[mode]
    return Critwise(
        "grounded",
        "Grounded",
        "numeric",
        None,
        OPTIONS,
        prediction_field="answer",
        context_fields=["question", "contexts"],
        compute_token_count=counting,
        **texts,
    )


def bench_overhead() -> None:
    data = records()
    verdicts = [Verdict(i, judge_prompt(i)) for i in range(RECORDS)]
    judge = InstantJudge(verdicts)
    with mock.patch.object(Critwise, "_Critwise__get_judge", lambda self: judge):
        # Bind the lazily loaded names and load the encoding before timing.
        provider("criteria", True).evaluate(data.iloc[:3])
        for mode in ("criteria", "template"):
            for counting in (False, True):
                seconds = median_seconds(
                    lambda m=mode, c=counting: provider(m, c).evaluate(data), RUNS
                )
                emit(
                    "overhead",
                    mode=mode,
                    token_counts=counting,
                    records=RECORDS,
                    us_per_record=round(seconds / RECORDS * 1e6, 2),
                    target_us=50,
                )


def bench_tokens() -> None:
    data = records()
    verdicts = [Verdict(i, judge_prompt(i)) for i in range(RECORDS)]
    on, off = provider("criteria", True), provider("criteria", False)
    on._Critwise__post_process(results=verdicts[:3], data=data.iloc[:3])
    encoding = critwise.tiktoken.get_encoding("cl100k_base")
    texts = [str(v.metadata[key]) for v in verdicts for key in ("prompt", "unparsed_response")]
    tokens = sum(len(encoding.encode(text)) for text in texts)

    def bare() -> None:
        for text in texts:
            len(encoding.encode(text))

    def bare_ordinary() -> None:
        for text in texts:
            len(encoding.encode_ordinary(text))

    bare_s = median_seconds(bare, RUNS)
    ordinary_s = median_seconds(bare_ordinary, RUNS)
    with_counts = median_seconds(
        lambda: on._Critwise__post_process(results=verdicts, data=data), RUNS
    )
    without = median_seconds(lambda: off._Critwise__post_process(results=verdicts, data=data), RUNS)
    counting_s = max(with_counts - without, 1e-9)
    emit(
        "tokens",
        texts=len(texts),
        tokens=tokens,
        bare_tokens_per_s=round(tokens / bare_s),
        provider_tokens_per_s=round(tokens / counting_s),
        share_of_bare=round(bare_s / counting_s, 3),
        share_of_bare_encode_ordinary=round(ordinary_s / counting_s, 3),
        target_share=0.9,
    )


CASES = {"overhead": bench_overhead, "tokens": bench_tokens}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        CASES[name]()
