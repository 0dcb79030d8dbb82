"""The public detector metric classes, against the local detection service."""

from __future__ import annotations

import asyncio
import subprocess
import sys

import pandas as pd
import pytest

from zentrix_gov.entities.enums import BasaltGuardianRisks, MetricGroup
from zentrix_gov.entities.evaluation_result import AggregateMetricResult
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.metrics import (
    METRICS_BY_NAME,
    FaithfulnessMetric,
    HAPMetric,
    KeywordDetectionMetric,
    MetricParameterError,
    PromptSafetyRiskMetric,
    RegexDetectionMetric,
    RiskMetric,
    ToolCallAccuracyMetric,
    TopicRelevanceMetric,
    UnknownMetricError,
    metric_from_name,
)
from zentrix_gov.metrics.rag import RAG_METRICS

from .conftest import ROOT

RECORDS = pd.DataFrame(
    [
        {"id": "clean", "question": "When does check-in open?", "answer": "30 hours before."},
        {"id": "rude", "question": "You stupid idiot, where is my refund?", "answer": "Sorry."},
    ]
)


def detectors_sent(server) -> list[dict]:
    return [request.json()["detectors"] for request in server.requests]


class TestEvaluation:
    def test_hap_returns_the_providers_aggregate(self, api_client, configuration):
        thresholds = [MetricThreshold(type="upper_limit", value=0.2)]
        result = HAPMetric(thresholds=thresholds).evaluate(
            RECORDS.copy(), configuration, api_client=api_client
        )
        assert isinstance(result, AggregateMetricResult)
        assert (result.name, result.display_name) == ("hap", "HAP")
        assert result.group == MetricGroup.CONTENT_SAFETY
        assert result.thresholds == thresholds
        values = {record.record_id: record.value for record in result.record_level_metrics}
        assert values["clean"] == 0 and values["rude"] > 0.5

    def test_keyword_parameters_reach_the_detector(self, server, api_client, configuration):
        metric = KeywordDetectionMetric(keywords=["refund", "lawyer"])
        result = metric.evaluate(RECORDS.copy(), configuration, api_client=api_client)
        assert detectors_sent(server) == [{"keyword": {"keywords": ["refund", "lawyer"]}}] * 2
        values = {record.record_id: record.value for record in result.record_level_metrics}
        assert values["clean"] == 0 and values["rude"] == 1

    def test_regex_and_topic_parameters(self, server, api_client, configuration):
        RegexDetectionMetric(patterns=[r"\bcheck-in\b"]).evaluate(
            RECORDS.copy(), configuration, api_client=api_client
        )
        TopicRelevanceMetric(system_prompt="Airline check-in help.").evaluate(
            RECORDS.copy(), configuration, api_client=api_client
        )
        sent = detectors_sent(server)
        assert sent[0] == {"regex": {"regex": [r"\bcheck-in\b"]}}
        assert sent[-1] == {"topic_relevance": {"system_prompt": "Airline check-in help."}}

    @pytest.mark.parametrize("risk", ["harm", "jailbreak", "social_bias"])
    def test_risk_metrics_use_the_shared_detector(self, server, api_client, configuration, risk):
        metric = RiskMetric(risk=risk)
        result = metric.evaluate(RECORDS.copy(), configuration, api_client=api_client)
        assert result.name == risk
        assert detectors_sent(server) == [{"basalt_guardian": {"risk_name": risk}}] * 2

    def test_prompt_safety_risk(self, server, api_client, configuration):
        result = PromptSafetyRiskMetric().evaluate(
            RECORDS.copy(), configuration, api_client=api_client
        )
        assert result.name == "prompt_safety_risk" and result.method == "basalt_guardian"
        assert detectors_sent(server) == [{"basalt_guardian": {}}] * 2

    def test_faithfulness_returns_evidences_by_default(self, api_client, configuration):
        data = [{"id": "1", "question": "Bags?", "answer": "One bag is included.",
                 "contexts": ["One bag is included in every ticket."]}]  # fmt: skip
        result = FaithfulnessMetric().evaluate(data, configuration, api_client=api_client)
        assert result.method == "faithfulness_model"
        (record,) = result.record_level_metrics
        assert record.value == 1 and record.evidences

    def test_evaluate_async(self, api_client, configuration):
        async def run():
            return await HAPMetric().evaluate_async(
                RECORDS.copy(), configuration, api_client=api_client, max_concurrency=2
            )

        result = asyncio.run(run())
        assert [record.record_id for record in result.record_level_metrics] == ["clean", "rude"]

    def test_without_a_service_the_provider_says_so(self, configuration):
        with pytest.raises(ValueError, match="must be initialized"):
            HAPMetric().evaluate(RECORDS.copy(), configuration, api_client=None)


class TestDefinitions:
    def test_parameters_are_validated(self):
        with pytest.raises(ValueError, match="at least one keyword"):
            KeywordDetectionMetric(keywords=[])
        with pytest.raises(ValueError, match="does not compile"):
            RegexDetectionMetric(patterns=["(x"])
        with pytest.raises(ValueError, match="must not be blank"):
            TopicRelevanceMetric(system_prompt="  ")
        with pytest.raises(ValueError, match="unknown risk"):
            RiskMetric(risk="rudeness")
        with pytest.raises(ValueError):
            HAPMetric(name="pii")  # the name selects the detector; it is fixed
        with pytest.raises(ValueError):
            HAPMetric(treshold=1)  # misspelt parameters are not dropped silently

    def test_every_risk_has_a_metric_by_name(self):
        for risk in BasaltGuardianRisks.values():
            metric = metric_from_name(risk)
            assert isinstance(metric, RiskMetric) and metric.name == metric.risk == risk

    def test_metric_from_name(self):
        metric = metric_from_name("keyword", keywords=["x"])
        assert isinstance(metric, KeywordDetectionMetric) and metric.keywords == ["x"]
        with pytest.raises(UnknownMetricError, match="Known metrics: hap, pii"):
            metric_from_name("nope")
        with pytest.raises(MetricParameterError, match="missing parameter 'keywords'"):
            metric_from_name("keyword")
        with pytest.raises(MetricParameterError, match="unknown parameter 'words'"):
            metric_from_name("keyword", keywords=["x"], words=["y"])
        for name in METRICS_BY_NAME:
            built = metric_from_name(name, **_params(name))
            # Template-library metrics are named like their detector counterparts; a
            # criterion carries the name of its definition.
            expected = RAG_METRICS[name].name if name in RAG_METRICS else name
            assert built.name == _params(name).get("name", expected)

    def test_groups(self):
        def names(group):
            return {metric.name for metric in group.get_metrics()}

        assert {"hap", "pii", "harm", "jailbreak"} <= names(MetricGroup.CONTENT_SAFETY)
        assert {"faithfulness", "context_relevance", "answer_relevance"} <= names(
            MetricGroup.RETRIEVAL_QUALITY
        )
        assert "tool_call_accuracy" in names(MetricGroup.TOOL_CALL_QUALITY)
        for group in MetricGroup:
            for metric in group.get_metrics():
                if metric.name in METRICS_BY_NAME:
                    assert metric.group == group
        assert ToolCallAccuracyMetric().group == MetricGroup.TOOL_CALL_QUALITY

    def test_imports_stay_light(self):
        code = (
            "import sys, zentrix_gov, zentrix_gov.metrics\n"
            "zentrix_gov.metrics.HAPMetric()\n"
            "heavy = {'pandas', 'aiohttp', 'unitxt', 'evalassist', 'torch'}\n"
            "print(sorted(heavy & {m.split('.')[0] for m in sys.modules}))\n"
            "zentrix_gov.evaluate\n"
            "print(sorted({'unitxt', 'evalassist', 'torch'} & set(sys.modules)))\n"
        )
        done = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env={"PYTHONPATH": str(ROOT / "python"), "PATH": ""},
            check=True,
        )
        assert done.stdout.splitlines() == ["[]", "[]"]


def _params(name: str) -> dict:
    return {
        "keyword": {"keywords": ["x"]},
        "regex": {"patterns": ["x"]},
        "topic_relevance": {"system_prompt": "x"},
        "criteria": {
            "name": "mine",
            "criteria": "x",
            "options": [{"name": "a", "value": 1}, {"name": "b", "value": 0}],
        },
    }.get(name, {})
