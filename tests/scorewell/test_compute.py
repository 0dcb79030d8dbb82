"""Evaluation: reshaping records, running the pipeline, clipping, rounding and the mean."""

from __future__ import annotations

import asyncio
import threading
import time
from types import SimpleNamespace
from unittest import mock

import pandas as pd
import pytest

from zentrix_gov.entities.errors import MetricComputationError
from zentrix_gov.entities.foundation_model import OpenAIFoundationModel
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.providers import scorewell
from zentrix_gov.providers.scorewell import Scorewell, UnitxtColumnMapping


class FakePipeline:
    """Stands in for MultiStream + SequentialOperator: returns the scores it was given."""

    def __init__(self, scores, delay=0.0, extra=None):
        self.scores = list(scores)
        self.extra = list(extra) if extra is not None else [{} for _ in self.scores]
        self.delay = delay
        self.records = None
        self.steps = None
        self.running = 0
        self.most_at_once = 0
        self._lock = threading.Lock()

    def from_iterables(self, streams, copying):
        assert copying is True
        self.records = streams["test"]
        return streams

    def operator(self, steps):
        self.steps = steps
        return self.run

    def run(self, streams):
        with self._lock:
            self.running += 1
            self.most_at_once = max(self.most_at_once, self.running)
        time.sleep(self.delay)
        with self._lock:
            self.running -= 1
        instances = [{"score": s, **more} for s, more in zip(self.scores, self.extra, strict=True)]
        return {"test": iter([{"score": {"instance": instance}} for instance in instances])}

    def patch(self):
        return mock.patch.multiple(
            scorewell,
            MultiStream=SimpleNamespace(from_iterables=self.from_iterables),
            SequentialOperator=self.operator,
        )


def scored(provider, records, scores):
    pipeline = FakePipeline(scores)
    with pipeline.patch():
        return provider.evaluate(records), pipeline


class TestPreProcessing:
    def test_columns_are_renamed_and_turned_into_text(self, provider_for, config, records):
        records["id"] = [7, 8]
        provider = provider_for(column_mapping=UnitxtColumnMapping(question="q", answer="a"))
        table = provider._Scorewell__pre_process_data(data=records)
        assert list(table.columns) == ["q", "a", "contexts", "ground_truths", "record_id"]
        assert table["record_id"].tolist() == ["7", "8"]
        # One context column: its text form is turned back into a list.
        assert table["contexts"].tolist() == [
            ["Paris is the capital and largest city of France."],
            ["Hamlet is a tragedy by William Shakespeare."],
        ]
        assert table["ground_truths"].tolist() == [["Paris"], ["William Shakespeare"]]

    def test_several_context_columns_make_one_list_per_row(self, provider_for, config):
        config.context_fields = ["c1", "c2"]
        data = pd.DataFrame(
            {"question": ["q"], "answer": ["a"], "c1": ["one"], "c2": [2], "id": ["x"]}
        )
        table = provider_for()._Scorewell__pre_process_data(data=data)
        assert table["contexts"].tolist() == [["one", "2"]]
        assert "ground_truths" not in table

    def test_single_list_column_reads_the_cells_themselves(self, provider_for, config):
        import numpy as np

        data = pd.DataFrame(
            {
                "question": ["q1", "q2", "q3", "q4"],
                "answer": ["a"] * 4,
                "contexts": [np.array(["x", "y"]), '["j1", "j2"]', None, "['p1', 'p2']"],
                "id": ["1", "2", "3", "4"],
            }
        )
        table = provider_for()._Scorewell__pre_process_data(data=data)
        # An array cell stays a list and a missing cell holds no context (their text forms,
        # "['x' 'y']" and "None", would each become one context).
        assert table["contexts"].tolist() == [["x", "y"], ["j1", "j2"], [], ["p1", "p2"]]

    def test_missing_columns_are_left_out(self, provider_for, config):
        config.output_fields = ["answer", "other"]
        data = pd.DataFrame({"answer": ["a"], "id": ["x"]})
        table = provider_for()._Scorewell__pre_process_data(data=data)
        assert list(table.columns) == ["record_id"]

    def test_empty_field_lists_name_no_column(self, provider_for, config, records):
        config.input_fields = []
        config.output_fields = []
        table = provider_for()._Scorewell__pre_process_data(data=records)
        assert list(table.columns) == ["contexts", "ground_truths", "record_id"]

    def test_missing_record_id_column_fails_wrapped(self, provider_for, records):
        provider = provider_for()
        with pytest.raises(MetricComputationError) as caught:
            provider.evaluate(records.drop(columns=["id"]))
        assert str(caught.value) == (
            "Error while computing metrics: faithfulness with the method token_k_precision "
            "using unitxt library. Reason: 'id'"
        )
        assert isinstance(caught.value.__cause__, KeyError)
        assert caught.value.metric_name == "faithfulness"


class TestPipeline:
    def test_records_carry_their_own_metadata(self, provider_for, records):
        result, pipeline = scored(provider_for(), records, [0.5, 0.25])
        first, second = pipeline.records
        assert first["metadata"] == {"data_classification_policy": ["public"]}
        assert first["metadata"] is not second["metadata"]
        assert (
            first["metadata"]["data_classification_policy"]
            is not (second["metadata"]["data_classification_policy"])
        )
        assert pipeline.steps == ["metrics.zentrix.rag.faithfulness.token_k_precision"]
        assert result.total_records == 2

    def test_alias_names_the_library_metric_and_the_name_the_results(self, provider_for, records):
        provider = provider_for("my_faithfulness", "token_k_precision", metric_alias="faithfulness")
        result, pipeline = scored(provider, records, [0.5, 0.25])
        assert pipeline.steps == ["metrics.zentrix.rag.faithfulness.token_k_precision"]
        assert result.name == "my_faithfulness"
        assert {r.name for r in result.record_level_metrics} == {"my_faithfulness"}

    def test_scores_stay_with_their_records_whatever_the_index(self, provider_for, records):
        records.index = [10, 3]
        result, _ = scored(provider_for(), records, [0.9, 0.1])
        assert [(r.record_id, r.value) for r in result.record_level_metrics] == [
            ("r1", 0.9),
            ("r2", 0.1),
        ]


class TestResults:
    def test_record_and_aggregate_fields(self, provider_for, records):
        provider = provider_for(metric_group="rag", thresholds=[])
        result, _ = scored(provider, records, [0.123456, 1 / 3])
        assert [r.value for r in result.record_level_metrics] == [0.1235, 0.3333]
        first = result.record_level_metrics[0]
        assert (first.name, first.display_name, first.method, first.provider) == (
            "faithfulness",
            "Faithfulness",
            "token_k_precision",
            "unitxt",
        )
        assert (result.value, result.mean, result.min, result.max) == (
            0.2284,
            0.2284,
            0.1235,
            0.3333,
        )
        assert result.provider == "unitxt" and result.total_records == 2

    def test_clipping_applies_to_the_records_not_the_mean(self, provider_for, records):
        provider = provider_for("context_relevance", "sentence_bert_bge")
        result, _ = scored(provider, records, [-0.12, 0.5])
        assert [r.value for r in result.record_level_metrics] == [0.0, 0.5]
        assert (result.min, result.max, result.mean) == (0.0, 0.5, 0.19)

    def test_missing_scores_clip_to_zero_and_are_skipped_by_the_mean(self, provider_for, records):
        provider = provider_for("faithfulness", "sentence_bert_mini_lm")
        result, _ = scored(provider, records, [float("nan"), 0.5])
        assert [r.value for r in result.record_level_metrics] == [0.0, 0.5]
        assert result.mean == 0.5

    def test_other_methods_keep_negative_scores(self, provider_for, records):
        provider = provider_for("context_relevance", "bert_score_recall")
        result, _ = scored(provider, records, [-0.123456, 0.5])
        assert [r.value for r in result.record_level_metrics] == [-0.1235, 0.5]

    def test_clipping_is_keyed_by_the_metric_name_not_the_alias(self, provider_for, records):
        provider = provider_for(
            "my_relevance", "sentence_bert_bge", metric_alias="context_relevance"
        )
        result, _ = scored(provider, records, [-0.5, 0.5])
        assert result.record_level_metrics[0].value == -0.5

    def test_no_records_cannot_be_aggregated(self, provider_for, records):
        with pytest.raises(MetricComputationError, match=r"Reason: .*empty"):
            scored(provider_for(), records.iloc[:0], [])


def judge():
    return LLMJudge(model=OpenAIFoundationModel(model_id="judge"))


@pytest.mark.parametrize(
    ("raw", "values", "codes"),
    [
        (None, [0.7, 0.2], [None, None]),  # a pipeline that keeps no raw answer: its scores
        (["7", ""], [0.7, None], [None, "EMPTY_JUDGE_ANSWER"]),  # raw answers are checked
    ],
)
def test_judge_scores_stand_unless_a_raw_answer_shows_it_unusable(
    provider_for, records, raw, values, codes
):
    extra = None if raw is None else [{"score_name": "s", "s_judge_raw_output": r} for r in raw]
    provider = provider_for("answer_relevance", "llm_as_judge", llm_judge=judge())
    with (
        FakePipeline([0.7, 0.2], extra=extra).patch(),
        mock.patch.object(Scorewell, "_Scorewell__generate_unitxt_metric", return_value="m"),
    ):
        result = provider.evaluate(records)
    found = result.record_level_metrics
    assert [record.value for record in found] == values
    assert [record.errors[0].code if record.errors else None for record in found] == codes


class TestLocks:
    def run_together(self, providers, records, delay=0.3):
        pipeline = FakePipeline([0.5, 0.5], delay=delay)
        errors = []

        def work(provider):
            try:
                provider.evaluate(records)
            except Exception as exc:  # reported below
                errors.append(exc)

        with (
            pipeline.patch(),
            mock.patch.object(Scorewell, "_Scorewell__generate_unitxt_metric", return_value="m"),
        ):
            threads = [threading.Thread(target=work, args=(p,)) for p in providers]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        assert errors == []
        return pipeline.most_at_once

    def test_judge_providers_run_one_at_a_time(self, provider_for, records):
        providers = [provider_for(m, "llm_as_judge", llm_judge=judge()) for m in ("a", "b", "c")]
        assert self.run_together(providers, records) == 1

    def test_model_backed_methods_run_one_at_a_time(self, provider_for, records):
        providers = [provider_for("faithfulness", "sentence_bert_mini_lm") for _ in range(3)]
        assert self.run_together(providers, records) == 1

    def test_other_methods_run_at_the_same_time(self, provider_for, records):
        providers = [provider_for("faithfulness", "token_k_precision") for _ in range(3)]
        assert self.run_together(providers, records) == 3

    def test_lock_is_released_after_a_failure(self, provider_for, records):
        provider = provider_for("faithfulness", "sentence_bert_mini_lm")
        with (
            mock.patch.object(scorewell, "MultiStream", side_effect=RuntimeError("boom")),
            pytest.raises(MetricComputationError, match="Reason: "),
        ):
            provider.evaluate(records)
        assert Scorewell._lock.acquire(blocking=False)
        Scorewell._lock.release()


class TestAsync:
    def test_evaluate_async_runs_evaluate_on_an_executor_thread(self, provider_for, records):
        threads = []
        provider = provider_for()

        def evaluate(data):
            threads.append(threading.get_ident())
            # Worker threads get an event loop of their own.
            assert asyncio.get_event_loop().is_running() is False
            return ("done", len(data))

        provider.evaluate = evaluate

        async def main():
            coroutine = provider.evaluate_async(records)
            assert asyncio.iscoroutine(coroutine)
            return await coroutine

        assert asyncio.run(main()) == ("done", 2)
        assert threads and threads[0] != threading.get_ident()

    def test_errors_reach_the_awaiting_caller(self, provider_for, records):
        async def main():
            return await provider_for().evaluate_async(records.drop(columns=["id"]))

        with pytest.raises(MetricComputationError, match="Reason: 'id'"):
            asyncio.run(main())


class TestRealPipelines:
    """The local catalog's methods, run by unitxt itself."""

    @pytest.mark.parametrize(
        ("metric", "method"),
        [
            ("faithfulness", "token_k_precision"),
            ("context_relevance", "token_precision"),
            ("answer_correctness", "token_recall"),
            ("answer_relevance", "token_recall"),
        ],
    )
    def test_token_overlap_methods(self, provider_for, records, metric, method):
        result = provider_for(metric, method).evaluate(records)
        supported, unsupported = (r.value for r in result.record_level_metrics)
        assert 0 <= unsupported < supported <= 1
        assert result.mean == pytest.approx((supported + unsupported) / 2, abs=1e-4)

    def test_sentence_embeddings_from_the_packaged_model(self, provider_for, records):
        result = provider_for("faithfulness", "sentence_bert_mini_lm").evaluate(records)
        supported, unsupported = (r.value for r in result.record_level_metrics)
        assert 0 <= unsupported < supported <= 1
        assert result.method == "sentence_bert_mini_lm"

    def test_unknown_method_fails_offline_without_a_download(self, provider_for, records):
        with pytest.raises(MetricComputationError, match="does not exist"):
            provider_for("faithfulness", "no_such_method").evaluate(records)
