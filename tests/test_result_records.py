"""The providers build their record results in batches, without validating again what they
computed themselves: the records must be exactly those validation builds, field by field."""

from __future__ import annotations

import gc
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.base_classes import Error
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.providers.critwise import Critwise
from zentrix_gov.providers.detectwire import Detectwire
from zentrix_gov.providers.scorewell import Scorewell

THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.5)]
# Dictionaries are user input that validation turns into MetricThreshold records.
THRESHOLD_DICTS = [{"type": "lower_limit", "value": 0.25}]


def detections(index):
    return [
        {"score": 0.1 + part / 10 + index / 1000, "text": "bad", "start": part, "end": part + 3}
        for part in range(index % 3)
    ]


def detection_results(thresholds):
    client = SimpleNamespace(
        evs_client=EVSClient(service_instance_id="i", authenticator=BearerTokenAuthenticator("t")),
        credentials=SimpleNamespace(url="http://127.0.0.1:9", version="local", disable_ssl=False),
    )
    config = GenAIConfiguration(input_fields=["question"])
    provider = Detectwire(
        config,
        "hap",
        "HAP",
        api_client=client,
        metric_group="content_safety",
        thresholds=thresholds,
    )
    replies = [{"detections": detections(i)} for i in range(40)]
    replies[5] = {"error": Error(code="503", message_en="busy")}
    # Record ids as a data frame hands them over: numpy numbers among texts and ints.
    ids = [f"r{i}" for i in range(40)]
    ids[3], ids[7], ids[9] = np.int64(3), 7, None
    return provider._Detectwire__post_process(replies, ids)


def template_results(thresholds):
    config = GenAIConfiguration(input_fields=["question"], record_id_field="id")
    provider = Scorewell(
        config,
        "context_relevance",
        "Context relevance",
        "sentence_bert_mini_lm",
        "metrics.zentrix.rag",
        metric_group="retrieval_quality",
        thresholds=thresholds,
    )
    scores = [(i * 37 % 100) / 99 - 0.2 for i in range(40)]
    scores[4] = float("nan")
    frame = pd.DataFrame({"context_relevance": scores, "record_id": [f"r{i}" for i in range(40)]})
    return provider._Scorewell__post_process(result=frame)


def criteria_results(thresholds):
    options = [
        Option(name="Yes", description="Supported.", value=1),
        Option(name="Partly", description="Partly.", value=0.5),
    ]
    provider = Critwise(
        "grounded",
        "Grounded",
        "numeric",
        None,
        options,
        criteria_description="Is the {answer} supported?",
        prediction_field="answer",
        context_fields=["contexts"],
        metric_group="my own group",
        thresholds=thresholds,
    )
    verdicts = [
        SimpleNamespace(
            selected_option=options[i % 2].name,
            explanation=f"reason {i}",
            feedback="" if i % 2 else "more detail",
            metadata={"prompt": "p", "unparsed_response": "?", "generation_failed": i == 6},
        )
        for i in range(40)
    ]
    data = pd.DataFrame(
        {
            "record_id": [i if i % 4 else f"r{i}" for i in range(40)],
            "record_timestamp": [
                pd.Timestamp(2026, 12, 8, 10, i) if i == 2 else "t" for i in range(40)
            ],
        }
    )
    return provider._Critwise__post_process(results=verdicts, data=data)


BUILDERS = [detection_results, template_results, criteria_results]


def field_types(record):
    return {
        name: (
            type(value),
            [type(item) for item in value or []] if isinstance(value, list) else None,
        )
        for name, value in record
    }


@pytest.mark.parametrize("thresholds", [THRESHOLDS, THRESHOLD_DICTS, None])
@pytest.mark.parametrize("build", BUILDERS)
def test_records_are_those_validation_builds(build, thresholds):
    aggregate = build(thresholds)
    assert type(aggregate) is AggregateMetricResult
    records = aggregate.record_level_metrics
    assert len(records) == 40
    for record in records:
        assert type(record) is RecordMetricResult
        # Validation again from the fields the record says were set gives the same record.
        given = {name: getattr(record, name) for name in record.model_fields_set}
        again = RecordMetricResult(**given)
        assert record.model_dump() == again.model_dump()
        assert repr(record) == repr(again)
        assert field_types(record) == field_types(again)
        assert record.model_fields_set == again.model_fields_set
        assert all(type(t) is MetricThreshold for t in record.thresholds)
        assert all(type(e) is Error for e in record.errors or [])
    assert isinstance(records[0].group, MetricGroup) or records[0].group == "my own group"
    # Every record owns its containers, as validated records do.
    assert len({id(record.thresholds) for record in records}) == len(records)
    again = AggregateMetricResult(
        **{name: getattr(aggregate, name) for name in aggregate.model_fields_set}
    )
    assert aggregate.model_dump() == again.model_dump()


def test_record_ids_from_numpy_become_python_numbers():
    records = detection_results(THRESHOLDS).record_level_metrics
    assert [(r.record_id, type(r.record_id)) for r in records[3:4] + records[7:10]] == [
        (3, int),
        (7, int),
        ("r8", str),
        (None, type(None)),
    ]


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("fails", [False, True])
def test_the_collectors_state_is_kept(enabled, fails):
    client = SimpleNamespace(
        evs_client=EVSClient(service_instance_id="i", authenticator=BearerTokenAuthenticator("t")),
        credentials=SimpleNamespace(url="http://127.0.0.1:9", version="local", disable_ssl=False),
    )
    provider = Detectwire(GenAIConfiguration(input_fields=["q"]), "hap", "HAP", api_client=client)
    replies = [{"detections": []}, {"no detections": []} if fails else {"detections": []}]
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        if fails:
            with pytest.raises(KeyError):
                provider._Detectwire__post_process(replies, ["a", "b"])
        else:
            provider._Detectwire__post_process(replies, ["a", "b"])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
