"""Providers, records and judge models for the template-library provider's tests."""

from __future__ import annotations

import pandas as pd
import pytest

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.providers import scorewell
from zentrix_gov.providers.scorewell import Scorewell

PREFIX = "metrics.zentrix.rag"


@pytest.fixture
def config():
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        reference_fields=["ground_truth"],
        record_id_field="id",
    )


@pytest.fixture
def records():
    """Two records: one answer backed by its context, one contradicting it."""
    return pd.DataFrame(
        {
            "question": ["What is the capital of France?", "Who wrote Hamlet?"],
            "answer": ["Paris is the capital of France.", "It was written by Charles Dickens."],
            "contexts": [
                ["Paris is the capital and largest city of France."],
                ["Hamlet is a tragedy by William Shakespeare."],
            ],
            "ground_truth": ["Paris", "William Shakespeare"],
            "id": ["r1", "r2"],
        }
    )


@pytest.fixture
def provider_for(config):
    def build(metric_name="faithfulness", method="token_k_precision", **kwargs):
        kwargs.setdefault("configuration", config)
        return Scorewell(
            metric_name=metric_name,
            metric_display_name=metric_name.replace("_", " ").title(),
            metric_method=method,
            metric_prefix=kwargs.pop("metric_prefix", PREFIX),
            **kwargs,
        )

    return build


@pytest.fixture
def fresh_engine_cache():
    scorewell._inference_engine_cache.clear()
    yield scorewell._inference_engine_cache
    scorewell._inference_engine_cache.clear()
