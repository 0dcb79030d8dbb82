"""Evaluation in both modes, verdicts into results, wrapped errors and the async form."""

from __future__ import annotations

import asyncio
import threading
from unittest import mock

import pytest
import tiktoken

from zentrix_gov.entities.credentials import AzureOpenAICredentials
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.enums import ModelProviderType
from zentrix_gov.entities.errors import MetricComputationError, NoJudgeResultsError
from zentrix_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentrix_gov.entities.foundation_model import AzureOpenAIFoundationModel, ModelProvider
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.entities.metric_threshold import MetricThreshold
from zentrix_gov.providers import critwise

from .conftest import FakeJudge, Verdict, platform_judge

TEMPLATE = "Question: {question}\nAnswer: {answer}\nIs the answer right? {{yes/no}}"


@pytest.fixture
def judge_with():
    """Replace the judge of every evaluation by a FakeJudge answering ``verdicts``."""

    def use(*verdicts: Verdict) -> FakeJudge:
        judge = FakeJudge(list(verdicts))
        patcher = mock.patch.object(critwise.Critwise, "_Critwise__get_judge", lambda self: judge)
        patcher.start()
        active.append(patcher)
        return judge

    active: list = []
    yield use
    for patcher in active:
        patcher.stop()


class TestModes:
    def test_criteria_mode(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"), Verdict("No"))
        result = provider_for().evaluate(records)
        ((mode, kwargs),) = judge.calls
        assert mode == "criteria" and set(kwargs) == {"instances", "criteria"}
        assert kwargs["criteria"].description == "Is the answer supported by the contexts?"
        assert [instance.fields["answer"] for instance in kwargs["instances"]] == list(
            records["answer"]
        )
        assert [record.value for record in result.record_level_metrics] == [1, 0]

    def test_prompt_template_mode(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"), Verdict("No"))
        provider_for(criteria_description=None, prompt_template=TEMPLATE).evaluate(records)
        ((mode, kwargs),) = judge.calls
        assert mode == "custom_prompt"
        assert kwargs == {
            "judge_prompts": [
                "Question: What is the capital of France?\nAnswer: Paris is the capital of "
                "France.\nIs the answer right? {yes/no}",
                "Question: Who wrote Hamlet?\nAnswer: It was written by Charles Dickens.\n"
                "Is the answer right? {yes/no}",
            ],
            "valid_outputs": ["Yes", "No"],
        }

    def test_template_cells_are_shown_as_text(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"), Verdict("No"))
        provider_for(criteria_description="", prompt_template="{contexts}").evaluate(records)
        assert judge.calls[0][1]["judge_prompts"][0] == (
            "['Paris is the capital and largest city of France.']"
        )

    def test_criteria_mode_wins_over_the_template(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"), Verdict("No"))
        provider_for(prompt_template=TEMPLATE).evaluate(records)
        assert judge.calls[0][0] == "criteria"

    def test_a_template_naming_a_missing_column(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"))
        provider = provider_for(criteria_description=None, prompt_template="{reference}")
        with pytest.raises(
            MetricComputationError,
            match=r"^Error while computing metrics: "
            r"grounded\. Reason: 'reference'$",
        ):
            provider.evaluate(records)

    def test_neither_criterion_nor_template(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"))
        provider = provider_for(criteria_description="", prompt_template=None)
        with pytest.raises(
            MetricComputationError, match="Reason: the judge produced no results"
        ) as caught:
            provider.evaluate(records)
        assert judge.calls == []
        assert isinstance(caught.value.cause, NoJudgeResultsError)
        assert caught.value.cause.metric_name == provider.metric_name


class TestResults:
    def test_record_fields(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes", explanation="grounded", feedback=""), Verdict("No"))
        thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
        provider = provider_for(metric_method="llm_as_judge", thresholds=thresholds)
        result = provider.evaluate(records)
        assert isinstance(result, AggregateMetricResult)
        first, second = result.record_level_metrics
        assert isinstance(first, RecordMetricResult)
        assert first.model_dump(exclude={"thresholds"}) == {
            "name": "grounded",
            "display_name": "Grounded",
            "method": "llm_as_judge",
            "provider": "unitxt",
            "group": None,
            "record_id": "r1",
            "record_timestamp": "2026-12-08T10:00:00",
            "value": 1,
            "label": "Yes",
            "explanation": "grounded",
            # An empty feedback and uncounted tokens are None.
            "additional_info": {"feedback": None, "input_tokens": None, "output_tokens": None},
            "evidences": None,
            "errors": None,
        }
        assert second.additional_info["feedback"] == "be specific"
        assert first.thresholds == second.thresholds == thresholds
        assert (result.value, result.min, result.max, result.total_records) == (0.5, 0, 1, 2)

    def test_score_map_and_labels(self, provider_for, records, judge_with):
        options = [
            Option(name="good", value=1),
            Option(name="bad", value=0),
            Option(name="good", value=0.75),  # a later option of the same name wins
        ]
        judge_with(Verdict("good"), Verdict("unlisted"))
        first, second = provider_for(options=options).evaluate(records).record_level_metrics
        assert (first.value, first.label) == (0.75, "good")
        assert (second.value, second.label) == (None, "unlisted")

    def test_fewer_verdicts_than_records(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"))
        result = provider_for().evaluate(records)
        assert [record.record_id for record in result.record_level_metrics] == ["r1"]

    def test_id_and_timestamp_columns_are_configurable(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"), Verdict("No"))
        data = records.rename(columns={"record_id": "id", "record_timestamp": "at"})
        provider = provider_for(record_id_field="id", record_timestamp_field="at")
        assert [r.record_id for r in provider.evaluate(data).record_level_metrics] == ["r1", "r2"]

    def test_a_missing_id_column_fails_after_the_judge_ran(self, provider_for, records, judge_with):
        judge = judge_with(Verdict("Yes"), Verdict("No"))
        with pytest.raises(MetricComputationError, match=r"Reason: 'record_timestamp'$"):
            provider_for().evaluate(records.drop(columns=["record_timestamp"]))
        assert len(judge.calls) == 1


class TestTokenCounts:
    def test_off_by_default(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"), Verdict("No"))
        provider = provider_for()
        for record in provider.evaluate(records).record_level_metrics:
            assert record.additional_info["input_tokens"] is None
            assert record.additional_info["output_tokens"] is None
        assert not hasattr(provider, "encoding")

    def test_counts_of_prompt_and_raw_answer(self, provider_for, records, judge_with):
        messages = [{"role": "user", "content": "Is it <|endoftext|> grounded?"}]
        judge_with(
            Verdict("Yes", metadata={"prompt": messages, "unparsed_response": '{"a": 1}'}),
            Verdict("No", metadata={"prompt": "", "unparsed_response": "no"}),
        )
        provider = provider_for(compute_token_count=True)
        first, second = provider.evaluate(records).record_level_metrics
        encoding = tiktoken.get_encoding("cl100k_base")
        assert provider.encoding is encoding
        # A structured prompt is counted on its text; special-token text as ordinary text.
        assert first.additional_info["input_tokens"] == len(encoding.encode_ordinary(str(messages)))
        assert first.additional_info["output_tokens"] == len(encoding.encode('{"a": 1}'))
        # A count of zero shows as None.
        assert second.additional_info["input_tokens"] is None
        assert second.additional_info["output_tokens"] == 1

    def test_a_verdict_without_a_prompt_fails(self, provider_for, records, judge_with):
        verdict = Verdict("Yes")
        del verdict.metadata["prompt"]
        judge_with(verdict)
        with pytest.raises(MetricComputationError, match=r"Reason: 'prompt'$"):
            provider_for(compute_token_count=True).evaluate(records)


class TestUnparsedVerdicts:
    """A verdict the judge library made up after the answer could not be parsed."""

    def failed(self, option="No"):
        return Verdict(
            option,
            explanation="",
            feedback="",
            metadata={"generation_failed": True, "unparsed_response": "I would rather not."},
        )

    def test_the_record_carries_an_error_and_no_value(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"), self.failed())
        result = provider_for().evaluate(records)
        good, bad = result.record_level_metrics
        assert (good.value, good.errors) == (1, None)
        assert (bad.value, bad.label, bad.explanation) == (None, None, None)
        assert [error.code for error in bad.errors] == ["UNPARSEABLE_VERDICT"]
        assert "I would rather not." in bad.errors[0].message_en
        # The aggregate is over the records with a value, and counts the failures.
        assert (result.value, result.total_records) == (1, 2)
        assert result.errors[0].message_en.startswith("1 of 2 judge verdicts could not be read")

    def test_all_failed(self, provider_for, records, judge_with):
        judge_with(self.failed("Yes"), self.failed())
        result = provider_for().evaluate(records)
        assert result.value == "Error"
        assert result.errors[0].message_en.startswith("2 of 2 ")
        assert len(result.errors) == 3  # the count, then each record's error


class TestErrors:
    def test_wrapped_with_the_metric_name_and_cause(self, provider_for, records):
        provider = provider_for(llm_judge=None)
        with pytest.raises(MetricComputationError) as caught:
            provider.evaluate(records)
        error = caught.value
        assert str(error) == (
            "Error while computing metrics: grounded. Reason: 'NoneType' object has no "
            "attribute 'model'"
        )
        assert isinstance(error.__cause__, AttributeError)
        assert error.metric_name == "grounded"

    @pytest.mark.parametrize(
        ("llm_judge", "reason"),
        [
            (
                LLMJudge(
                    model=AzureOpenAIFoundationModel(
                        model_id="gpt",
                        provider=ModelProvider(
                            type=ModelProviderType.AZURE_OPENAI,
                            credentials=AzureOpenAICredentials(),
                        ),
                    )
                ),
                "Azure OpenAI Model provider is not supported.",
            ),
            (platform_judge(project_id=None), "Either project or space id is required"),
        ],
    )
    def test_refusals_reach_the_caller_wrapped(self, provider_for, records, llm_judge, reason):
        with pytest.raises(MetricComputationError) as caught:
            provider_for(llm_judge=llm_judge).evaluate(records)
        assert str(caught.value) == f"Error while computing metrics: grounded. Reason: {reason}"

    def test_interrupts_are_not_wrapped(self, provider_for, records):
        def interrupted(self):
            raise KeyboardInterrupt

        with (
            mock.patch.object(critwise.Critwise, "_Critwise__get_judge", interrupted),
            pytest.raises(KeyboardInterrupt),
        ):
            provider_for().evaluate(records)


class TestAsync:
    def test_runs_evaluate_on_an_executor_thread(self, provider_for, records):
        seen = {}
        provider = provider_for()

        def evaluate(data):
            seen["thread"] = threading.get_ident()
            seen["own loop"] = asyncio.get_event_loop() is not None
            return len(data)

        provider.evaluate = evaluate

        async def main():
            coroutine = provider.evaluate_async(records)
            assert asyncio.iscoroutine(coroutine)
            return await coroutine

        assert asyncio.run(main()) == 2
        assert seen["thread"] != threading.get_ident() and seen["own loop"]

    def test_start_event_loop_run_func_gets_func_by_keyword(self, provider_for, records):
        provider = provider_for()
        with mock.patch.object(critwise, "start_event_loop_run_func", return_value="r") as run:
            assert asyncio.run(provider.evaluate_async(records)) == "r"
        assert run.call_args == mock.call(func=provider.evaluate, data=records)

    def test_errors_reach_the_awaiting_caller(self, provider_for, records):
        with pytest.raises(MetricComputationError, match=r"^Error while computing metrics"):
            asyncio.run(provider_for(llm_judge=None).evaluate_async(records))

    def test_behaves_like_an_async_def_twin(self, provider_for, records, judge_with):
        judge_with(Verdict("Yes"), Verdict("No"))
        provider = provider_for()

        async def twin(data):
            loop = asyncio.get_event_loop()
            return await loop.run_in_executor(None, lambda: provider.evaluate(data))

        async def main():
            native, python = await asyncio.gather(provider.evaluate_async(records), twin(records))
            return native, python

        native, python = asyncio.run(main())
        assert native.model_dump() == python.model_dump()
