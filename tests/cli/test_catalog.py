"""The detector catalogue agrees with the native provider, and the package's shared
constants and registrations hold without hidden imports."""

from __future__ import annotations

import asyncio
import subprocess
import sys
from contextlib import suppress
from types import SimpleNamespace
from unittest import mock

import pandas as pd

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.detector_catalog import (
    DETECTOR_METRICS,
    ColumnUse,
    detector_info,
)
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.evaluators.impl import metricrun
from zentrix_gov.metrics import METRICS_BY_NAME, metric_from_name
from zentrix_gov.metrics.rag import RAG_METRICS
from zentrix_gov.providers import detectwire
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

from .conftest import ROOT


def test_catalogue_agrees_with_the_native_provider():
    provider = detectwire.Detectwire
    for name, info in DETECTOR_METRICS.items():
        assert provider._Detectwire__get_base_url(SimpleNamespace(), name) == info.url_template, (
            name
        )
        probe = SimpleNamespace(metric_name=name, metric_method=info.method)
        assert provider.set_metric_name(probe, name) == info.detector, name
    assert {n for n, i in DETECTOR_METRICS.items() if i.inverted} == set(
        detectwire.ACCURACY_METRICS
    )
    spans = {n for n, i in DETECTOR_METRICS.items() if i.evidences == "spans"}
    passages = {n: i.method for n, i in DETECTOR_METRICS.items() if i.evidences == "passages"}
    assert spans == set(detectwire.EVIDENCES)
    assert set(passages) == set(detectwire.RAG_EVIDENCE_METRICS)
    assert set(passages.values()) <= set(detectwire.RAG_SMALL_MODELS)


def test_every_named_metric_is_described_by_its_class():
    assert set(METRICS_BY_NAME) == set(DETECTOR_METRICS) | set(RAG_METRICS) | {"criteria"}
    for name, info in RAG_METRICS.items():
        metric = metric_from_name(name)
        assert metric.info is info
        assert (metric.name, metric.method) == (info.name, info.token_method)
    for name in DETECTOR_METRICS:
        params = {"keyword": {"keywords": ["x"]}, "regex": {"patterns": ["x"]},
                  "topic_relevance": {"system_prompt": "x"}}.get(name, {})  # fmt: skip
        metric = metric_from_name(name, **params)
        info = metric.info
        assert info is detector_info(name)
        assert (metric.group, metric.method) == (info.group, info.method)
        limit = metric.thresholds[0]
        assert limit.type == ("upper_limit" if info.higher_is_worse else "lower_limit")


def test_columns_a_metric_reads():
    configuration = GenAIConfiguration(
        input_fields=["q"], output_fields=["a"], context_fields=["c1", "c2"]
    )
    faithfulness = detector_info("faithfulness").column_uses(configuration)
    assert faithfulness == [
        ColumnUse("input_fields", ("q",), False),  # sent, but need not be filled
        ColumnUse("output_fields", ("a",), True),
        ColumnUse("context_fields", ("c1", "c2"), True),
    ]
    tool_calls = detector_info("tool_call_accuracy").column_uses(configuration)
    assert tool_calls[-1] == ColumnUse("tool_calls_field", (), True)  # not configured


def test_native_driver_uses_the_same_default_concurrency():
    seen = {}

    async def gather_stub(coros, max_concurrency):
        seen["max_concurrency"] = max_concurrency
        for coro in coros:
            coro.close()
        return []

    metric = metric_from_name("hap")
    data = pd.DataFrame([{"input_text": "hello"}])
    run = metricrun._evaluate_metrics_async(
        GenAIConfiguration(), data, [metric], api_client=object()
    )
    # Only the value handed to the stub matters; merging its empty answer may fail.
    with mock.patch.object(metricrun, "gather_with_concurrency", gather_stub), suppress(Exception):
        asyncio.run(run)
    assert seen == {"max_concurrency": DEFAULT_MAX_CONCURRENCY}


def _fresh(code: str) -> str:
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(ROOT / "python"), "PATH": ""},
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_enumerations_import_nothing_of_the_package():
    loaded = _fresh(
        "import sys\nimport zentrix_gov.entities.enums\n"
        "print(sorted(m for m in sys.modules if m.startswith('zentrix_gov')))"
    )
    assert loaded == "['zentrix_gov', 'zentrix_gov.entities', 'zentrix_gov.entities.enums']"


def test_groups_are_complete_without_importing_the_metrics():
    names = _fresh(
        "from zentrix_gov.entities.enums import MetricGroup\n"
        "print(','.join(m.name for m in MetricGroup.RETRIEVAL_QUALITY.get_metrics()))"
    )
    expected = [m.name for m in MetricGroup.RETRIEVAL_QUALITY.get_metrics()]
    assert names.split(",") == expected
    assert set(expected) == {
        n for n, i in DETECTOR_METRICS.items() if i.group == "retrieval_quality" and i.in_group
    }


def test_catalogue_imports_neither_pydantic_nor_pandas():
    heavy = _fresh(
        "import sys\nimport zentrix_gov.entities.detector_catalog as c\nc.detectors_by_endpoint()\n"
        "print(sorted({'pydantic', 'pandas', 'aiohttp'} & set(sys.modules)))"
    )
    assert heavy == "[]"


def test_a_subclass_of_a_metric_class_is_not_listed_again():
    from zentrix_gov.metrics import HAPMetric

    class StricterHAP(HAPMetric):
        pass

    names = [metric.name for metric in MetricGroup.CONTENT_SAFETY.get_metrics()]
    assert names.count("hap") == 1
    assert StricterHAP().info is detector_info("hap")
