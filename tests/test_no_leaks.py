"""Repeated native work must not leave Python objects behind."""

import asyncio
import contextlib
import gc
import sys
from types import SimpleNamespace

import pandas as pd
import pytest

from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.evaluators.impl import metricrun
from zentrix_gov.providers.detectwire import Detectwire

ROWS = 1000


def growth_after_repeats(work, repeats=20, warm_up=5):
    for _ in range(warm_up):  # lets lazy caches of pandas and pydantic fill first
        work()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeats):
        work()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.fixture
def provider():
    client = SimpleNamespace(
        evs_client=EVSClient(service_instance_id="i", authenticator=BearerTokenAuthenticator("t")),
        credentials=SimpleNamespace(url="http://127.0.0.1:9", version="local", disable_ssl=False),
    )
    config = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c"])
    return Detectwire(
        config, "faithfulness", "Faithfulness", "faithfulness_model", api_client=client
    )


def test_bodies_and_results_leak_nothing_per_record(provider):
    frame = pd.DataFrame(
        {
            "q": [f"question {i} é" for i in range(ROWS)],
            "a": [f"answer {i}" for i in range(ROWS)],
            "c": [["ctx", f"context {i}"] for i in range(ROWS)],
            "record_id": [str(i) for i in range(ROWS)],
        }
    )
    replies = [{"detections": [{"score": 0.5, "evidence": [{"text": "e"}]}]}] * ROWS

    def work():
        _, ids = provider._Detectwire__pre_process_data(frame)
        provider._Detectwire__post_process(replies, ids)

    # One object kept per record would leave 20,000 blocks behind.
    assert growth_after_repeats(work, repeats=20) < ROWS


def test_driver_leaks_nothing_per_call(monkeypatch):
    class Quiet:
        async def track_event(self, payload):
            return None

    class Metric:
        metric_dependencies: list = []

        def __init__(self, name):
            self.name = name

        def evaluate(self, **kwargs):
            return self.name

        async def evaluate_async(self, **kwargs):
            return self.name

    monkeypatch.setattr(metricrun, "SegmentBatchManager", Quiet)
    monkeypatch.setattr(metricrun, "run_in_event_loop", lambda fn, *args: None)
    # the timing registry keeps recent durations by design
    monkeypatch.setattr(metricrun, "track_duration", lambda label: contextlib.nullcontext())
    monkeypatch.setattr(metricrun, "api_client_cache", object())
    config = GenAIConfiguration()
    rows = [{"input_text": "x", "generated_text": "y", "record_id": "1", "record_timestamp": "t"}]
    metrics = [Metric(f"m{i}") for i in range(20)]

    def work():
        metricrun._evaluate_metrics(config, rows, metrics)
        asyncio.run(metricrun._evaluate_metrics_async(config, rows, metrics))

    # One object kept per metric evaluation would leave 2,000 blocks behind.
    assert growth_after_repeats(work, repeats=50) < 500


def test_template_library_provider_leaks_nothing_per_record():
    from tests.scorewell.test_compute import FakePipeline
    from zentrix_gov.providers.scorewell import Scorewell

    config = GenAIConfiguration(
        input_fields=["q"], output_fields=["a"], context_fields=["c"], reference_fields=[]
    )
    provider = Scorewell(config, "faithfulness", "Faithfulness", "sentence_bert_mini_lm", "p")
    frame = pd.DataFrame(
        {
            "q": [f"question {i}" for i in range(ROWS)],
            "a": [f"answer {i}" for i in range(ROWS)],
            "c": [["ctx", f"context {i}"] for i in range(ROWS)],
            "record_id": [str(i) for i in range(ROWS)],
        }
    )
    pipeline = FakePipeline([(i % 7) / 7 - 0.3 for i in range(ROWS)])

    def work():
        with pipeline.patch():
            provider.evaluate(frame)

    assert growth_after_repeats(work, repeats=20) < ROWS


def test_criteria_judge_provider_leaks_nothing_per_record():
    from unittest import mock

    from tests.critwise.conftest import YES_NO, Verdict
    from zentrix_gov.providers.critwise import Critwise

    frame = pd.DataFrame(
        {
            "answer": [f"answer {i}" for i in range(ROWS)],
            "question": [f"question {i}" for i in range(ROWS)],
            "contexts": [["ctx", f"context {i}", None] for i in range(ROWS)],
            "record_id": [str(i) for i in range(ROWS)],
            "record_timestamp": ["2026-12-08"] * ROWS,
        }
    )
    failed = {"generation_failed": True, "unparsed_response": "no verdict " * 40}
    verdicts = [
        Verdict("Yes" if i % 3 else "No", metadata=failed if i % 5 == 0 else {})
        for i in range(ROWS)
    ]

    class Judge:  # answers at once and keeps nothing
        def __call__(self, **kwargs):
            return verdicts

        evaluate_with_custom_prompt = __call__

    judge = Judge()
    providers = [
        Critwise(
            "grounded",
            "Grounded",
            "numeric",
            None,
            YES_NO,
            prediction_field="answer",
            context_fields=["question", "contexts"],
            compute_token_count=True,
            **mode,
        )
        for mode in (
            {"criteria_description": "Is {answer} grounded?"},
            {"prompt_template": "{answer}"},
        )
    ]

    def work():
        with mock.patch.object(Critwise, "_Critwise__get_judge", lambda self: judge):
            for provider in providers:
                provider.evaluate(frame)

    assert growth_after_repeats(work, repeats=10) < ROWS
