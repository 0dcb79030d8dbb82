"""``zentrix_gov.evaluate`` over the driver, synchronous and concurrent."""

from __future__ import annotations

import asyncio

import pandas as pd
import pytest

import zentrix_gov
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.evaluation_result import MetricsEvaluationResult
from zentrix_gov.metrics import KeywordDetectionMetric

RECORDS = [
    {"question": "Is my e-mail jane@mail.example safe with you?", "answer": "Yes.",
     "contexts": ["We never share e-mail addresses."]},
    {"question": "You idiot, refund me now!", "answer": "Your refund is on its way.",
     "contexts": ["Refunds are paid within 7 days."]},
    {"question": "Which seat do I have?", "answer": "Seat 12A.",
     "contexts": ["Your booking holds seat 12A."]},
]  # fmt: skip


def values(result: MetricsEvaluationResult) -> dict[str, list]:
    return {
        metric.name: [record.value for record in metric.record_level_metrics]
        for metric in result.metrics_result
    }


class TestEvaluate:
    def test_names_and_objects_in_order(self, api_client, configuration):
        configuration = configuration.model_copy(update={"record_id_field": "record_id"})
        result = zentrix_gov.evaluate(
            RECORDS,
            ["hap", KeywordDetectionMetric(keywords=["refund"]), "pii"],
            configuration,
            api_client=api_client,
        )
        assert isinstance(result, MetricsEvaluationResult)
        assert [metric.name for metric in result.metrics_result] == ["hap", "keyword", "pii"]
        scores = values(result)
        assert scores["hap"][1] > 0 and scores["hap"][2] == 0
        assert scores["keyword"] == [0, 1.0, 0]
        assert scores["pii"][0] > 0 and scores["pii"][2] == 0

    def test_concurrent_matches_sequential(self, api_client, configuration):
        names = ["hap", "pii", "faithfulness", "context_relevance", "answer_relevance", "harm"]
        configuration = configuration.model_copy(update={"record_id_field": "record_id"})
        sequential = zentrix_gov.evaluate(RECORDS, names, configuration, api_client=api_client)
        concurrent = zentrix_gov.evaluate(
            RECORDS, names, configuration, api_client=api_client, concurrent=True, max_concurrency=2
        )
        assert sorted(values(concurrent).items()) == sorted(values(sequential).items())

    def test_evaluate_async_on_a_running_loop(self, api_client, configuration):
        configuration = configuration.model_copy(update={"record_id_field": "record_id"})

        async def run():
            return await zentrix_gov.evaluate_async(
                RECORDS[0], ["pii"], configuration, api_client=api_client
            )

        result = asyncio.run(run())
        assert len(result.metrics_result[0].record_level_metrics) == 1

    def test_data_frame_gets_record_ids_in_place(self, api_client, configuration):
        configuration = configuration.model_copy(update={"record_id_field": "record_id"})
        frame = pd.DataFrame(RECORDS)
        result = zentrix_gov.evaluate(frame, "hap", configuration, api_client=api_client)
        ids = [record.record_id for record in result.metrics_result[0].record_level_metrics]
        assert frame["record_id"].tolist() == ids
        assert len(set(ids)) == len(RECORDS)

    def test_metric_groups(self, api_client, configuration):
        configuration = configuration.model_copy(update={"record_id_field": "record_id"})
        result = zentrix_gov.evaluate(
            RECORDS, [], configuration, api_client=api_client, metric_groups=["retrieval_quality"]
        )
        expected = {metric.name for metric in MetricGroup.RETRIEVAL_QUALITY.get_metrics()}
        assert {metric.name for metric in result.metrics_result} == expected

    def test_default_configuration_reads_the_default_columns(self, api_client):
        result = zentrix_gov.evaluate(
            [{"input_text": "call me on +1 415 555 0132"}], ["pii"], api_client=api_client
        )
        assert result.metrics_result[0].value > 0


class TestEvaluateRefuses:
    @pytest.mark.parametrize(
        ("kwargs", "error", "match"),
        [
            ({"metrics": []}, ValueError, "at least one metric"),
            ({"metrics": ["nope"]}, ValueError, "Unknown metric 'nope'"),
            ({"metrics": [42]}, TypeError, "metric names"),
            ({"metrics": ["hap"], "metric_groups": ["nope"]}, ValueError, "Unknown metric group"),
            ({"metrics": ["hap"], "data": "text"}, TypeError, "DataFrame"),
            ({"metrics": ["hap"], "data": [1, 2]}, TypeError, "record 0"),
            ({"metrics": ["hap"], "max_concurrency": 0}, ValueError, "at least 1"),
            (
                {"metrics": ["faithfulness"]},
                ValueError,
                r"no column 'input_text' .* Their columns are: question, answer, contexts",
            ),
        ],
    )
    def test_bad_arguments(self, kwargs, error, match):
        kwargs.setdefault("data", RECORDS)
        with pytest.raises(error, match=match):
            zentrix_gov.evaluate(**kwargs)

    def test_empty_records(self, api_client):
        with pytest.raises(ValueError, match="empty"):
            zentrix_gov.evaluate([], ["hap"], api_client=api_client)

    @pytest.mark.parametrize("concurrent", [False, True])
    def test_partly_missing_ids_are_refused_before_sending(
        self, server, api_client, configuration, concurrent
    ):
        records = [{**record, "id": f"r{n}"} for n, record in enumerate(RECORDS)]
        records[1]["id"] = None
        with pytest.raises(ValueError, match=r"column 'id' has no value in rows 1 "):
            zentrix_gov.evaluate(
                records, ["hap", "pii"], configuration, api_client=api_client, concurrent=concurrent
            )
        assert len(server.requests) == 0
