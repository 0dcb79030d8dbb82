"""Module setup, the column mapping, the class tables, construction and judge building."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
from types import SimpleNamespace
from unittest import mock

import pytest

from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.foundation_model import OpenAIFoundationModel, ZnAIFoundationModel
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.providers import scorewell
from zentrix_gov.providers.scorewell import Scorewell, UnitxtColumnMapping

LAZY_NAMES = [
    "ChatAPIFormat",
    "Format",
    "MLPInferenceEngineGeneration",
    "OpenAiInferenceEngine",
    "AzureOpenAIInferenceEngine",
    "TaskBasedLLMasJudge",
    "SequentialOperator",
    "MultiStream",
    "LiteLLMInferenceEngine",
]


def run_python(code: str) -> str:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


class TestLazyBinding:
    def test_import_loads_neither_unitxt_nor_torch(self):
        out = run_python(
            """
            import sys
            from zentrix_gov.providers import scorewell
            print(sorted(m for m in ("unitxt", "torch", "bert_score") if m in sys.modules))
            print("lazy_unitxt" in sys.modules, "MultiStream" in vars(scorewell))
            """
        )
        assert out.split("\n")[:2] == ["[]", "True False"]

    def test_first_use_binds_the_unitxt_names_and_quietens_logging(self):
        out = run_python(
            """
            import logging
            from zentrix_gov.providers import scorewell
            import unitxt.stream
            stream = scorewell.MultiStream
            print(stream is unitxt.stream.MultiStream, "MultiStream" in vars(scorewell))
            from unitxt.logging_utils import get_logger
            print(get_logger().getEffectiveLevel() == logging.WARNING)
            """
        )
        assert out.split("\n")[:2] == ["True True", "True"]

    def test_every_name_resolves_to_a_class(self):
        import unitxt.llm_as_judge

        for name in LAZY_NAMES:
            assert isinstance(getattr(scorewell, name), type), name
        assert scorewell.TaskBasedLLMasJudge is unitxt.llm_as_judge.TaskBasedLLMasJudge
        assert scorewell.unitxt_imports.__name__ == "lazy_unitxt"
        assert sys.modules["lazy_unitxt"] is scorewell.unitxt_imports

    def test_names_stay_replaceable(self, provider_for, records):
        calls = []

        class Operator:
            def __init__(self, steps):
                calls.append(steps)

            def __call__(self, streams):
                return {"test": [{"score": {"instance": {"score": 0.5}}} for _ in range(2)]}

        fake_stream = SimpleNamespace(from_iterables=lambda streams, copying: streams)
        with (
            mock.patch.object(scorewell, "SequentialOperator", Operator),
            mock.patch.object(scorewell, "MultiStream", fake_stream),
        ):
            result = provider_for().evaluate(records)
        assert calls == [["metrics.zentrix.rag.faithfulness.token_k_precision"]]
        assert result.value == 0.5

    def test_unknown_names_are_attribute_errors(self):
        with pytest.raises(AttributeError, match="no attribute 'NotThere'"):
            scorewell.NotThere  # noqa: B018


class TestTables:
    def test_column_mapping_is_a_pydantic_model_with_descriptions(self):
        fields = UnitxtColumnMapping.model_fields
        assert list(fields) == ["question", "answer", "contexts", "ground_truths"]
        assert {name: field.default for name, field in fields.items()} == {
            name: name for name in fields
        }
        assert fields["ground_truths"].description == "Expected ground_truths column name by unitxt"
        assert UnitxtColumnMapping.__doc__ == "Column mapping expected by unitxt"
        assert UnitxtColumnMapping(answer="reply").model_dump()["answer"] == "reply"

    def test_metric_tables(self):
        assert list(scorewell.METRIC_TO_TEMPLATE.items()) == [
            ("faithfulness", "judge_with_question_simplified"),
            ("context_relevance", "judge_context_relevance_ares"),
            ("answer_correctness", "judge_loose_match_no_context"),
            ("answer_relevance", "judge_answer_relevance"),
        ]
        assert {
            "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
            "faithfulness": {"sentence_bert_mini_lm"},
            "answer_correctness": {"sentence_bert_mini_lm"},
        } == Scorewell.CLIP_METRIC_METHODS
        assert {
            "bert_score_recall",
            "sentence_bert_mini_lm",
            "sentence_bert_bge",
        } == Scorewell.METRIC_METHODS_WITH_LOCKS
        assert isinstance(Scorewell._lock, type(threading.Lock()))

    def test_engine_cache_is_bounded_and_time_limited(self):
        cache = scorewell._inference_engine_cache
        assert (cache.maxsize, cache.ttl) == (128, 3600)


def openai_judge():
    return LLMJudge(model=OpenAIFoundationModel(model_id="gpt-judge"))


class TestConstruction:
    def test_stores_the_definition(self, provider_for, config):
        provider = provider_for("answer_correctness", "token_recall", metric_alias="x", extra=1)
        assert provider.configuration is config
        assert provider.configuration_ == {}
        assert (provider.metric_name, provider.metric_method, provider.metric_alias) == (
            "answer_correctness",
            "token_recall",
            "x",
        )
        assert provider.metric_prefix == "metrics.zentrix.rag"
        assert provider.column_mapping == UnitxtColumnMapping()
        assert provider.llm_judge is None
        assert provider.thresholds == []
        assert provider_for().thresholds is not provider.thresholds

    def test_falsy_mapping_gives_default_names_and_judge_falls_back_to_configuration(
        self, provider_for, config
    ):
        judge = openai_judge()
        config.llm_judge = judge
        provider = provider_for(column_mapping=None)
        assert provider.column_mapping.model_dump() == {
            "question": "question",
            "answer": "answer",
            "contexts": "contexts",
            "ground_truths": "ground_truths",
        }
        assert provider.llm_judge is judge

    @pytest.mark.parametrize(
        "argument", ["metric_name", "metric_display_name", "metric_method", "metric_prefix"]
    )
    def test_text_arguments_refuse_other_types_before_storing(self, config, argument):
        arguments = dict(
            configuration=config,
            metric_name="faithfulness",
            metric_display_name="Faithfulness",
            metric_method="token_k_precision",
            metric_prefix="p",
        )
        arguments[argument] = 3
        provider = Scorewell.__new__(Scorewell)
        with pytest.raises(TypeError, match=f"{argument} must be of type str or None, not int"):
            provider.__init__(**arguments)
        assert vars(provider) == {}

    def test_alias_and_thresholds_are_checked(self, provider_for):
        with pytest.raises(TypeError, match="metric_alias must be of type str or None"):
            provider_for(metric_alias=b"faithfulness")
        with pytest.raises(TypeError, match="thresholds must be of type list or None, not tuple"):
            provider_for(thresholds=())


class TestMetricDefinition:
    def test_identifier_is_prefix_name_and_method(self, provider_for):
        provider = provider_for("faithfulness", "sentence_bert_mini_lm", metric_prefix="P")
        identifier = provider._Scorewell__generate_unitxt_metric(
            metric_name="faithfulness", metric_prefix="P"
        )
        assert identifier == "P.faithfulness.sentence_bert_mini_lm"

    def test_non_judge_methods_never_touch_the_judge(self, provider_for):
        class Untouchable:
            def __getattr__(self, name):
                raise AssertionError(f"judge read: {name}")

        provider = provider_for(llm_judge=None)
        provider.llm_judge = Untouchable()
        assert provider._Scorewell__generate_unitxt_metric(
            metric_name="faithfulness", metric_prefix="P"
        ).endswith("token_k_precision")

    @pytest.mark.parametrize(
        ("metric", "template"),
        [
            ("faithfulness", "faithfulness.judge_with_question_simplified_verbal"),
            ("context_relevance", "context_relevance.judge_context_relevance_ares_numeric"),
            ("answer_correctness", "answer_correctness.judge_loose_match_no_context_numeric"),
            ("answer_relevance", "answer_relevance.judge_answer_relevance_numeric"),
        ],
    )
    def test_judge_templates(self, provider_for, metric, template):
        provider = provider_for(metric, "llm_as_judge")
        got = provider._Scorewell__get_llmaj_template(metric_name=metric)
        assert got == "templates.rag_eval." + template

    def test_unknown_judge_metric_is_a_key_error(self, provider_for):
        with pytest.raises(KeyError, match="toxicity"):
            provider_for()._Scorewell__get_llmaj_template(metric_name="toxicity")

    def test_only_openai_judges_get_the_chat_format(self, provider_for):
        provider = provider_for(llm_judge=openai_judge())
        assert type(provider._Scorewell__get_llmaj_format()) is scorewell.ChatAPIFormat
        provider.llm_judge = LLMJudge(model=ZnAIFoundationModel(model_id="m", project_id="p"))
        assert provider.llm_judge.model.provider.type is ModelProviderType.ZNAI
        assert provider._Scorewell__get_llmaj_format() is None

    @pytest.mark.parametrize(
        ("metric", "field"),
        [
            ("context_relevance", "ctx"),
            ("faithfulness", "ans"),
            ("answer_relevance", "ans"),
            ("answer_correctness", "ans"),
        ],
    )
    def test_judge_arguments(self, provider_for, metric, field):
        order = []
        provider = provider_for(
            "my_" + metric,
            "llm_as_judge",
            metric_alias=metric,
            llm_judge=openai_judge(),
            column_mapping=UnitxtColumnMapping(answer="ans", contexts="ctx"),
        )
        judge = mock.Mock(name="TaskBasedLLMasJudge")
        engine = mock.Mock(side_effect=lambda: order.append("engine") or "ENGINE")
        fmt = mock.Mock(side_effect=lambda: order.append("format") or "FORMAT")
        with (
            mock.patch.object(scorewell, "TaskBasedLLMasJudge", judge),
            mock.patch.object(Scorewell, "_Scorewell__get_ai_evaluator_inference_engine", engine),
            mock.patch.object(Scorewell, "_Scorewell__get_llmaj_format", fmt),
        ):
            built = provider._Scorewell__generate_unitxt_metric(
                metric_name=metric, metric_prefix="unused"
            )
        assert built is judge.return_value
        assert order == ["engine", "format"]
        kwargs = judge.call_args.kwargs
        assert list(kwargs) == [
            "inference_model",
            "format",
            "template",
            "task",
            "main_score",
            "prediction_field",
            "infer_log_probs",
            "judge_to_generator_fields_mapping",
        ]
        assert kwargs["inference_model"] == "ENGINE"
        assert kwargs["format"] == "FORMAT"
        assert kwargs["template"].startswith(f"templates.rag_eval.{metric}.")
        assert kwargs["task"] == f"tasks.rag_eval.{metric}.binary"
        assert kwargs["main_score"] == f"{metric}_judge"
        assert kwargs["prediction_field"] == field
        assert kwargs["infer_log_probs"] is False
        assert kwargs["judge_to_generator_fields_mapping"] == {}
