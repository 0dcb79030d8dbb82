"""CriteriaMetric: what a definition must hold, what it takes from the configuration and
what it hands to the provider."""

from __future__ import annotations

import asyncio
import json
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from pydantic import ValidationError

import zentrix_gov
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.detector_catalog import ColumnUse
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.evaluation_result import AggregateMetricResult
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.metrics import (
    METRICS_BY_NAME,
    CriteriaMetric,
    MetricParameterError,
    known_metrics,
    metric_class,
    metric_from_name,
)
from zentrix_gov.metrics.catalog import metric_summary

ROOT = Path(__file__).resolve().parents[2]
YES_NO = [Option(name="Yes", value=1), Option(name="No", value=0)]
JUDGE = judge_for("http://127.0.0.1:9/v1", "key", "judge-model")
RECORDS = [
    {"id": "a", "question": "How heavy may my bag be?", "answer": "Bags may weigh 23 kg.",
     "contexts": ["Checked bags may weigh up to 23 kg."], "ts": "2024-05-01"},
    {"id": "b", "question": "Is there wifi?", "answer": "Planes never carry internet.",
     "contexts": ["Wifi is offered on long flights."], "ts": "2024-05-01"},
]  # fmt: skip


def grounding(**changes) -> CriteriaMetric:
    fields = {"name": "grounding", "criteria": "Is {answer} supported?", "options": YES_NO}
    return CriteriaMetric(**{**fields, **changes})


@pytest.fixture
def configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        record_id_field="id",
        record_timestamp_field="ts",
        llm_judge=JUDGE,
    )


def problems(**fields) -> str:
    with pytest.raises(ValidationError) as caught:
        CriteriaMetric(**fields)
    return str(caught.value)


class TestDefinition:
    def test_defaults(self):
        metric = grounding(name="answer_grounding")
        assert metric.display_name == "Answer Grounding"
        assert metric.criteria_description == "Is {answer} supported?"  # from "criteria"
        assert (metric.method, metric.group) == ("llm_as_judge", MetricGroup.ANSWER_QUALITY)
        assert metric.thresholds == [] and metric.compute_token_count is False
        assert metric.prediction_field is None and metric.context_fields is None
        assert metric.llm_judge is None and metric.uses_criteria

    def test_options_from_mappings(self):
        metric = grounding(options=[{"name": "Good", "value": 2}, {"name": "Bad", "value": -1.5}])
        assert metric.options == [Option(name="Good", value=2), Option(name="Bad", value=-1.5)]

    @pytest.mark.parametrize(
        ("fields", "message"),
        [
            ({}, "give criteria_description (what the judge checks) or prompt_template"),
            ({"criteria": "   "}, "give criteria_description"),
            ({"criteria": "x", "criteria_description": "y"}, "not both"),
            ({"criteria": "x", "name": " "}, "the criterion needs a name"),
            ({"criteria": "x", "prediction_field": ""}, "must name a column"),
            ({"criteria": "x", "context_fields": ["contexts", " "]}, "list of column names"),
            ({"criteria": "x", "method": ""}, "must name a method"),
            ({"criteria": "x", "option": YES_NO}, "Extra inputs are not permitted"),
        ],
    )
    def test_what_a_definition_must_hold(self, fields, message):
        assert message in problems(**{"name": "g", "options": YES_NO, **fields})

    @pytest.mark.parametrize(
        ("options", "message"),
        [
            ([{"name": "Yes", "value": 1}], "at least two options"),
            ([], "at least two options"),
            ([{"name": "Yes", "value": 1}, {"name": " yes", "value": 0}], "repeats the name"),
            ([{"name": "Yes", "value": 1}, {"name": "No"}], "options[1] ('No') needs a number"),
            ([{"name": "Yes", "value": float("nan")}, {"name": "No", "value": 0}], "a number"),
            ([{"name": "Yes", "value": True}, {"name": "No", "value": 0}], "not True"),
            (
                [{"name": "Yes", "value": "1"}, {"name": "No", "value": 0}],
                "number as value, not '1'",
            ),
            ([{"name": "Yes", "score": 1}, {"name": "No", "value": 0}], "unknown field 'score'"),
            ([{"name": "", "value": 1}, {"name": "No", "value": 0}], "options[0] needs a name"),
        ],
    )
    def test_options(self, options, message):
        assert message in problems(name="g", criteria="x", options=options)

    @pytest.mark.parametrize(
        ("template", "message"),
        [
            ("Is {} polite?", "{} names no column"),
            ("Is {0} polite?", "{0} names no column"),
            ("Is {answer polite?", "expected '}' before end of string"),
            ("Is the answer polite?", "names no column"),
            ("Is {{answer}} polite?", "names no column"),  # literal braces only
        ],
    )
    def test_prompt_templates_name_columns(self, template, message):
        assert message in problems(name="g", prompt_template=template, options=YES_NO)

    def test_template_fields_become_columns(self, configuration):
        template = "Q: {question}\nA: {answer[0]}\n{question!r} {{not a field}}"
        metric = grounding(criteria=None, prompt_template=template)
        assert not metric.uses_criteria
        assert metric.column_uses(configuration) == [
            ColumnUse("prompt_template", ("question",), True),
            ColumnUse("prompt_template", ("answer",), True),
        ]

    def test_both_ways_given_criteria_mode_wins(self, configuration):
        metric = grounding(prompt_template="Is {answer} polite?")
        assert metric.uses_criteria
        assert metric.column_uses(configuration)[0].setting == "output_fields"


class TestConfigurationDefaults:
    def test_columns_from_the_configuration(self, configuration):
        metric = grounding()
        assert metric.prediction_column(configuration) == "answer"
        assert metric.context_columns(configuration) == ["question", "contexts"]
        assert metric.column_uses(configuration) == [
            ColumnUse("output_fields", ("answer",), True),
            ColumnUse("input_fields", ("question",), False),
            ColumnUse("context_fields", ("contexts",), False),
        ]

    def test_own_columns_win(self, configuration):
        metric = grounding(prediction_field="reply", context_fields="passages")
        assert metric.context_fields == ["passages"]  # one column needs no list
        assert metric.prediction_column(configuration) == "reply"
        assert metric.column_uses(configuration) == [
            ColumnUse("prediction_field", ("reply",), True),
            ColumnUse("context_fields", ("passages",), False),
        ]
        no_context = grounding(context_fields=[])
        assert no_context.context_columns(configuration) == []
        assert len(no_context.column_uses(configuration)) == 1

    def test_no_column_to_judge(self):
        configuration = GenAIConfiguration(output_fields=[], input_fields=["question"])
        metric = grounding()
        assert metric.prediction_column(configuration) is None
        assert metric.column_uses(configuration)[0] == ColumnUse("prediction_field", (), True)

    def test_the_context_is_not_repeated(self):
        configuration = GenAIConfiguration(input_fields=["q"], context_fields=["q", "c"])
        assert grounding().context_columns(configuration) == ["q", "c"]

    def test_judge(self, configuration):
        own = judge_for("http://127.0.0.1:9/v1", "key", "own-model")
        assert grounding(llm_judge=own).judge_for(configuration) is own
        assert grounding().judge_for(configuration) is JUDGE
        bare = configuration.model_copy(update={"llm_judge": None})
        with pytest.raises(ValueError, match="Criterion 'grounding' needs a judge"):
            grounding().judge_for(bare)


class TestProvider:
    def test_constructor_arguments(self, fake_critwise, configuration):
        thresholds = [MetricThreshold(type="lower_limit", value=0.8)]
        metric = grounding(
            display_name="Grounded?", thresholds=thresholds, compute_token_count=True,
            group=MetricGroup.RETRIEVAL_QUALITY, prompt_template="ignored {answer}",
        )  # fmt: skip
        result = metric.evaluate(RECORDS, configuration)
        (provider,) = fake_critwise.built
        assert provider.args == ("grounding", "Grounded?", "numeric", JUDGE, YES_NO)
        assert provider.keywords == {
            "criteria_description": "Is {answer} supported?",
            "prompt_template": None,  # criteria mode wins
            "context_fields": ["question", "contexts"],
            "prediction_field": "answer",
            "metric_group": MetricGroup.RETRIEVAL_QUALITY,
            "metric_method": "llm_as_judge",
            "thresholds": thresholds,
            "record_id_field": "id",
            "record_timestamp_field": "ts",
            "compute_token_count": True,
        }
        (frame,) = provider.evaluated
        assert isinstance(frame, pd.DataFrame) and list(frame["id"]) == ["a", "b"]
        assert isinstance(result, AggregateMetricResult)
        labels = {record.record_id: record.label for record in result.record_level_metrics}
        assert labels == {"a": "Yes", "b": "No"}

    def test_custom_prompt_arguments(self, fake_critwise, configuration):
        template = "Question: {question}\nAnswer: {answer}\nIs the answer polite?"
        metric = CriteriaMetric(name="polite", prompt_template=template, options=YES_NO)
        metric.evaluate(pd.DataFrame(RECORDS), configuration)
        keywords = fake_critwise.built[0].keywords
        assert keywords["criteria_description"] is None
        assert keywords["prompt_template"] == template
        assert keywords["compute_token_count"] is False

    def test_evaluate_async(self, fake_critwise, configuration):
        result = asyncio.run(grounding().evaluate_async(RECORDS, configuration))
        assert [record.value for record in result.record_level_metrics] == [1, 0]
        assert result.mean == 0.5

    def test_missing_judge_or_column_fails_before_the_provider(self, fake_critwise, configuration):
        bare = configuration.model_copy(update={"llm_judge": None})
        with pytest.raises(ValueError, match="needs a judge"):
            grounding().evaluate(RECORDS, bare)
        with pytest.raises(ValueError, match=r"no column 'reply' \(named by prediction_field\)"):
            grounding(prediction_field="reply").evaluate(RECORDS, configuration)
        template = grounding(criteria=None, prompt_template="{question} / {tone}")
        with pytest.raises(ValueError, match=r"no column 'tone'.*Their columns are: id, question"):
            template.evaluate(RECORDS, configuration)
        assert fake_critwise.built == []

    @pytest.mark.parametrize("concurrent", [False, True])
    def test_through_the_driver(self, fake_critwise, configuration, concurrent):
        result = zentrix_gov.evaluate(
            [dict(record) for record in RECORDS], [grounding(compute_token_count=True)],
            configuration, api_client=object(), concurrent=concurrent,
        )  # fmt: skip
        (aggregate,) = result.metrics_result
        assert aggregate.name == "grounding" and aggregate.provider == "evalassist"
        info = aggregate.record_level_metrics[0].additional_info
        assert info["feedback"] and info["input_tokens"] > 0


class TestCatalogue:
    def test_listed_as_criteria(self):
        assert "criteria" in known_metrics() and "criteria" in METRICS_BY_NAME
        assert metric_class("criteria") is CriteriaMetric
        assert "LLM judge" in metric_summary("criteria")

    def test_inline_definition(self):
        metric = metric_from_name("criteria", name="g", criteria="x", options=YES_NO)
        assert isinstance(metric, CriteriaMetric) and metric.name == "g"
        with pytest.raises(MetricParameterError, match="parameter 'options': give at least two"):
            metric_from_name("criteria", name="g", criteria="x", options=YES_NO[:1])
        with pytest.raises(MetricParameterError, match="give a definition"):
            metric_from_name("criteria")

    def test_file(self, tmp_path):
        definition = {"name": "g", "criteria": "x", "options": [o.model_dump() for o in YES_NO]}
        one = tmp_path / "one.json"
        one.write_text(json.dumps(definition))
        assert metric_from_name("criteria", file=str(one)).name == "g"
        two = tmp_path / "two.json"
        two.write_text(json.dumps([definition, {**definition, "name": "h"}]))
        with pytest.raises(MetricParameterError, match="defines 2 criteria; load them all"):
            metric_from_name("criteria", file=two)
        with pytest.raises(MetricParameterError, match="not both"):
            metric_from_name("criteria", file=str(one), name="g")
        with pytest.raises(MetricParameterError, match=r"criteria file .*nope\.yaml: does not"):
            metric_from_name("criteria", file=str(tmp_path / "nope.yaml"))

    def test_other_metrics_keep_their_names(self):
        with pytest.raises(MetricParameterError, match="name is fixed"):
            metric_from_name("hap", name="mine")


def test_defining_a_criterion_imports_neither_provider_nor_libraries():
    code = (
        "import sys\nfrom zentrix_gov.metrics import CriteriaMetric\n"
        "CriteriaMetric(name='g', criteria='x', options=[{'name': 'a', 'value': 1}, "
        "{'name': 'b', 'value': 0}])\n"
        "loaded = {m.split('.')[0] for m in sys.modules} | set(sys.modules)\n"
        "heavy = {'pandas', 'yaml', 'evalassist', 'unitxt', 'zentrix_gov.providers.critwise'}\n"
        "print(sorted(heavy & loaded))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(ROOT / "python"), "PATH": ""},
        check=True,
    )
    assert done.stdout.strip() == "[]"
