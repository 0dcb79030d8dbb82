import asyncio
import subprocess
import sys
import threading

import pandas as pd
import pytest
from pydantic import ValidationError

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.base_classes import Error
from zentrix_gov.entities.enums import BasaltGuardianRisks, MetricGroup, Region
from zentrix_gov.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.entities.metric_registry import register_group_metric, unregister_group_metric
from zentrix_gov.entities.metric_threshold import MetricThreshold

THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.5)]


def record(record_id, value, errors=None):
    return RecordMetricResult(
        name="hap",
        display_name="HAP",
        method="granite",
        provider="detectors",
        group=MetricGroup.CONTENT_SAFETY,
        record_id=record_id,
        value=value,
        thresholds=THRESHOLDS,
        errors=errors,
    )


class TestAggregateCreate:
    def test_statistics_skip_failed_records(self):
        failure = [Error(code="503", message_en="unavailable")]
        records = [record("r1", 0.2), record("r2", None, failure), record("r3", 0.4)]
        result = AggregateMetricResult.create(records)
        assert (result.mean, result.min, result.max) == (0.3, 0.2, 0.4)
        assert result.value == result.mean
        assert result.total_records == 3
        assert result.errors is None
        assert result.record_level_metrics == records
        assert (result.name, result.display_name, result.method) == ("hap", "HAP", "granite")
        assert result.group is MetricGroup.CONTENT_SAFETY
        assert result.provider == "detectors"
        assert result.thresholds == THRESHOLDS

    def test_mean_rounded_to_four_places(self):
        result = AggregateMetricResult.create([record(i, v) for i, v in enumerate([1, 0, 0])])
        assert result.mean == 0.3333
        assert (result.min, result.max) == (0, 1)

    def test_all_failed(self):
        errors = [Error(code="503", message_en="a"), Error(code="REQUEST_FAILED", message_en="b")]
        result = AggregateMetricResult.create(
            [record("r1", None, [errors[0]]), record("r2", float("nan"), [errors[1]])]
        )
        assert result.value == "Error"
        assert (result.mean, result.min, result.max) == (None, None, None)
        assert result.errors == errors
        assert result.total_records == 2

    def test_empty_input(self):
        with pytest.raises(ValueError, match="no record results"):
            AggregateMetricResult.create([])


class TestRecords:
    def test_frozen_and_dumpable(self):
        result = record("r1", 0.7)
        with pytest.raises(ValidationError):
            result.value = 0.1
        dumped = result.model_dump()
        assert dumped["record_id"] == "r1" and dumped["value"] == 0.7
        assert dumped["thresholds"] == [{"type": "upper_limit", "value": 0.5}]

    def test_numpy_values_become_python_numbers(self):
        import numpy as np

        result = RecordMetricResult(name="x", value=np.int64(3), record_id=np.int64(7))
        assert type(result.value) is int and type(result.record_id) is int

    def test_group_names_become_members(self):
        assert RecordMetricResult(name="x", group="readability").group is MetricGroup.READABILITY
        assert RecordMetricResult(name="x", group="custom group").group == "custom group"

    def test_metrics_evaluation_result(self):
        hap = AggregateMetricResult.create([record("r1", 0.1), record("r2", 0.3)])
        single = RecordMetricResult(name="custom", record_id="r1", value=1)
        evaluation = MetricsEvaluationResult(metrics_result=[hap, single])
        frame = evaluation.to_df()
        assert list(frame.columns[:3]) == ["record_id", "name", "value"]
        assert frame[["record_id", "name", "value"]].values.tolist() == [
            ["r1", "hap", 0.1],
            ["r2", "hap", 0.3],
            ["r1", "custom", 1],
        ]
        as_dict = evaluation.to_dict()
        assert as_dict["metrics_result"][0]["mean"] == 0.2
        assert evaluation.model_dump()["metrics_result"][1]["name"] == "custom"

    def test_error_is_frozen(self):
        error = Error(code="400", message_en="bad")
        with pytest.raises(ValidationError):
            error.code = "500"


class TestEnums:
    def test_risk_values(self):
        values = BasaltGuardianRisks.values()
        assert "harm" in values and "evasiveness" in values
        assert len(values) == len(set(values)) == len(BasaltGuardianRisks)

    def test_region_values_are_text(self):
        assert Region.AP_SOUTH.value == "ap-south-1"
        assert Region("us-gov-east1") is Region.US_GOV_EAST1


class ConstantMetric(GenAIMetric):
    value: float = 1.0

    def evaluate(self, data, configuration, api_client=None, metrics_result=None, **kwargs):
        return {
            "value": self.value,
            "rows": len(data),
            "thread": threading.get_ident(),
            "metrics_result": metrics_result,
            "kwargs": kwargs,
        }


class TestMetric:
    def test_display_name_defaults_to_title(self):
        assert GenAIMetric(name="answer_relevance").display_name == "Answer Relevance"
        assert GenAIMetric(name="x", display_name="Mine").display_name == "Mine"

    def test_dependencies_keep_their_class(self):
        dependency = ConstantMetric(name="dep")
        metric = GenAIMetric(name="top", metric_dependencies=[dependency])
        assert metric.metric_dependencies[0] is dependency

    def test_base_evaluate_is_abstract(self):
        with pytest.raises(NotImplementedError, match="'plain'"):
            GenAIMetric(name="plain").evaluate(data=None, configuration=None)

    def test_evaluate_async_runs_evaluate_on_a_worker(self):
        metric = ConstantMetric(name="const", value=0.5)
        shared = []

        async def main():
            result = await metric.evaluate_async(
                data=pd.DataFrame({"a": [1, 2]}),
                configuration=GenAIConfiguration(),
                metrics_result=shared,
                max_concurrency=3,
            )
            return result, threading.get_ident()

        result, loop_thread = asyncio.run(main())
        assert result["value"] == 0.5 and result["rows"] == 2
        assert result["thread"] != loop_thread
        assert result["metrics_result"] is shared
        assert result["kwargs"] == {"max_concurrency": 3}

    def test_group_metrics_come_from_registry(self):
        def factory():
            return ConstantMetric(name="flesch", group=MetricGroup.READABILITY)

        before = [m.name for m in MetricGroup.READABILITY.get_metrics()]
        register_group_metric(MetricGroup.READABILITY, factory)
        register_group_metric("readability", factory)  # same group, registered once
        try:
            metrics = MetricGroup.READABILITY.get_metrics()
            assert [m.name for m in metrics] == [*before, "flesch"]
            assert metrics[-1] is not MetricGroup.READABILITY.get_metrics()[-1]
        finally:
            unregister_group_metric(MetricGroup.READABILITY, factory)
        assert [m.name for m in MetricGroup.READABILITY.get_metrics()] == before


def test_imports_stay_light():
    code = (
        "import sys\n"
        "import zentrix_gov, zentrix_gov.config, zentrix_gov.entities.metric\n"
        "import zentrix_gov.entities.evaluation_result, zentrix_gov.clients.api_client\n"
        "import zentrix_gov.utils.async_util, zentrix_gov.utils.python_utils\n"
        "import zentrix_gov.providers.tool_call_metric_provider\n"
        "heavy = {'pandas', 'aiohttp', 'unitxt', 'evalassist', 'torch'} & set(sys.modules)\n"
        "assert not heavy, heavy\n"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr
