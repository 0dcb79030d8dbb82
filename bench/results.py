"""Result building benchmarks: what each provider spends turning computed scores into result
records. Prints one JSON line per case, with the machine's load (1, 5 and 15 minutes).

- reply_processing: the detection provider's `__post_process` over 10,000 "hap" replies as
  the service sends them (none, one or two detections each, with evidences): record results
  and the aggregate, in us per record. Decoding the replies' JSON (`json.loads`, done while
  they arrive) is shown beside it. Target: at most 9.1 us per record (half of a plain-Python
  implementation's 18.2 us measured beside the product's 23.4).
- records: the template-library provider's `__post_process` over 10,000 scores and the
  criteria-judge provider's `__post_process` over 10,000 verdicts (token counting off): us per
  record. Target: half the time of the build before records skipped re-validation.

Medians of repeated runs in one process, garbage collector on as in any program, with the
usual libraries loaded (pandas, pydantic). Usage: python bench/results.py [case ...]
"""

from __future__ import annotations

import json
import sys
from types import SimpleNamespace

import pandas as pd

from _support import emit, median_seconds
from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.providers.critwise import Critwise
from zentrix_gov.providers.detectwire import Detectwire
from zentrix_gov.providers.scorewell import Scorewell

RECORDS = 10_000
RUNS = 7
THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.5)]


def hap_reply(index: int) -> str:
    """A reply of the detection service for one record, as JSON text."""
    sentence = f"Clause {index} says the fee is {index % 97} euros."
    detections = [
        {
            "detection_type": "hap",
            "detection": "has_HAP",
            "score": round(0.05 + (index * 7 + part * 13) % 90 / 100, 6),
            "text": sentence,
            "start": part * 60,
            "end": part * 60 + len(sentence),
        }
        for part in range(index % 3)
    ]
    return json.dumps({"detections": detections})


def bench_reply_processing() -> None:
    evs = EVSClient(service_instance_id="bench", authenticator=BearerTokenAuthenticator("t"))
    client = SimpleNamespace(
        evs_client=evs,
        credentials=SimpleNamespace(url="http://127.0.0.1:9", version="local", disable_ssl=False),
    )
    config = GenAIConfiguration(input_fields=["question"], output_fields=["answer"])
    provider = Detectwire(config, "hap", "HAP", api_client=client, thresholds=THRESHOLDS)
    texts = [hap_reply(i) for i in range(RECORDS)]
    replies = [json.loads(text) for text in texts]
    ids = [f"id-{i}" for i in range(RECORDS)]
    post = provider._Detectwire__post_process
    result = post(replies, ids)
    assert result.total_records == RECORDS and not result.errors
    seconds = median_seconds(lambda: post(replies, ids), RUNS)
    decode = median_seconds(lambda: [json.loads(text) for text in texts], RUNS)
    emit(
        "reply_processing",
        metric="hap",
        records=RECORDS,
        us_per_record=round(seconds / RECORDS * 1e6, 2),
        json_decode_us_per_record=round(decode / RECORDS * 1e6, 2),
        target_us=9.1,
    )


def scorewell_records() -> float:
    config = GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        record_id_field="id",
    )
    provider = Scorewell(
        config,
        "faithfulness",
        "Faithfulness",
        "token_k_precision",
        "metrics.zentrix.rag",
        metric_group="answer_quality",
        thresholds=THRESHOLDS,
    )
    scores = pd.DataFrame(
        {
            "faithfulness": [(i * 37 % 1000) / 999 for i in range(RECORDS)],
            "record_id": [f"r{i}" for i in range(RECORDS)],
        }
    )
    post = provider._Scorewell__post_process
    assert post(result=scores).total_records == RECORDS
    return median_seconds(lambda: post(result=scores), RUNS)


OPTIONS = [
    Option(name="Yes", description="Supported.", value=1),
    Option(name="Partly", description="Partly supported.", value=0.5),
    Option(name="No", description="Not supported.", value=0),
]


def verdict(index: int) -> SimpleNamespace:
    return SimpleNamespace(
        selected_option=OPTIONS[index % 3].name,
        explanation="- The context states the allowance of one checked bag of 23 kg.",
        feedback="" if index % 2 else "Name the fare class the allowance applies to.",
        metadata={"prompt": "p", "unparsed_response": "{}", "generation_failed": False},
    )


def critwise_records() -> float:
    provider = Critwise(
        "grounded",
        "Grounded",
        "numeric",
        None,
        OPTIONS,
        criteria_description="Is the {answer} supported by the {contexts}?",
        prediction_field="answer",
        context_fields=["contexts"],
        thresholds=THRESHOLDS,
    )
    verdicts = [verdict(i) for i in range(RECORDS)]
    data = pd.DataFrame(
        {
            "record_id": [f"r{i}" for i in range(RECORDS)],
            "record_timestamp": ["2026-12-08T10:00:00"] * RECORDS,
        }
    )
    post = provider._Critwise__post_process
    assert post(results=verdicts, data=data).total_records == RECORDS
    return median_seconds(lambda: post(results=verdicts, data=data), RUNS)


def bench_records() -> None:
    for provider, run in (("scorewell", scorewell_records), ("critwise", critwise_records)):
        seconds = run()
        emit(
            "records",
            provider=provider,
            records=RECORDS,
            us_per_record=round(seconds / RECORDS * 1e6, 2),
        )


CASES = {"reply_processing": bench_reply_processing, "records": bench_records}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        CASES[name]()
