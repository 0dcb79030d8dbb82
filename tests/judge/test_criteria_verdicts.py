"""How the local judge picks options and answers criteria-judge prompts.

The prompt-reading cases run evalassist's DirectJudge for real through the platform
provider (no litellm: these runs take milliseconds).
"""

from __future__ import annotations

import json

import pytest

from zentrix_gov.local.judge import options as choice
from zentrix_gov.local.judge.criteria import answer
from zentrix_gov.local.judge.responders import judge as judge_responder

from .test_evalassist_runs import CONTEXT, GROUNDED, UNSUPPORTED, cross_provider_engine

CHAT_JUDGE = "local/judge-rater-small"


class TestRanking:
    @pytest.mark.parametrize(
        ("options", "best_first"),
        [
            (["Yes", "No"], ["Yes", "No"]),
            (["No", "Yes"], ["Yes", "No"]),
            (["False", "True"], ["True", "False"]),
            (["fail", "pass"], ["pass", "fail"]),
            (["Bad", "Good"], ["Good", "Bad"]),
            (["No", "Partially", "Yes"], ["Yes", "Partially", "No"]),
            (["Not grounded", "Mostly grounded"], ["Mostly grounded", "Not grounded"]),
            (["a", "b", "c"], ["a", "b", "c"]),
            (["1", "3", "2"], ["3", "2", "1"]),
            (["1 - Poor", "3 - Good", "5 - Excellent"], ["5 - Excellent", "3 - Good", "1 - Poor"]),
        ],
    )
    def test_best_first(self, options, best_first):
        assert choice.ranked(options) == best_first

    @pytest.mark.parametrize(
        ("rating", "count", "rank"),
        [(1.0, 2, 0), (0.5, 2, 0), (0.49, 2, 1), (0.0, 2, 1), (0.8, 4, 0), (0.6, 4, 1),
         (0.3, 4, 2), (0.1, 4, 3), (1.7, 3, 0), (-1.0, 3, 2), (0.4, 1, 0)],
    )  # fmt: skip
    def test_the_rating_picks_a_rank(self, rating, count, rank):
        assert choice.rank_for(rating, count) == rank

    def test_scores_on_an_interval(self):
        assert [choice.score_in(r, 1, 5) for r in (0.0, 0.5, 1.0, 2.0)] == [1, 3, 5, 5]
        with pytest.raises(ValueError):
            choice.rank_for(0.5, 0)


class TestRepairPrompts:
    @pytest.mark.parametrize(
        "invalid", ["I would rather not.", "", '{"explanation": "x"', "line one\n```\nline"]
    )
    def test_are_answered_with_the_invalid_output_unchanged(self, invalid):
        from evalassist.judges.batch_repair_parser import BatchRepairParser
        from evalassist.judges.utils import generate_dynamic_pydantic_model
        from pydantic import Field

        model = generate_dynamic_pydantic_model(
            "verdict", [("selected_option", str, Field(...), [])]
        )
        prompt = BatchRepairParser(inference_engine=None)._format_repair_prompt(
            invalid_output=invalid, parsing_error="Invalid JSON", model_class=model
        )
        assert answer(prompt) == invalid
        assert judge_responder(prompt) == invalid


def test_template_library_prompts_are_left_to_the_template_judge():
    prompt = "On a scale of 0 to 10?\n\nQuestion: capital of France\n\nPrediction: France's capital"
    assert answer(prompt) is None
    assert judge_responder(prompt) == "10"


def run_criteria(server, criterion, texts, model=CHAT_JUDGE):
    from evalassist.judges import DirectJudge, Instance

    engine = cross_provider_engine(server, "zentrix-sdk", model)
    judge = DirectJudge(inference_engine=engine, generate_feedback=True)
    fields = [{"context": CONTEXT, "response": text} for text in texts]
    return judge(instances=[Instance(fields=f) for f in fields], criteria=criterion)


def criterion(*names):
    from evalassist.judges import Criteria
    from evalassist.judges.types import CriteriaOption

    return Criteria(
        name="support",
        description="How well does the context support the response?",
        to_evaluate_field="response",
        context_fields=["context"],
        options=[CriteriaOption(name=name, description=f"rated {name}") for name in names],
    )


class TestCriteriaPrompts:
    @pytest.mark.parametrize(
        ("names", "expected"),
        [
            (["No", "Yes"], ["Yes", "No"]),
            (["1", "2", "3", "4", "5"], ["5", "1"]),
            (["Strong", "Weak"], ["Strong", "Weak"]),
        ],
    )
    def test_options_by_polarity_number_or_position(self, judge_service, names, expected):
        results = run_criteria(judge_service, criterion(*names), [GROUNDED, UNSUPPORTED])
        assert [result.selected_option for result in results] == expected
        assert not any(result.metadata["generation_failed"] for result in results)

    def test_a_model_that_is_no_judge_gives_unparseable_answers(self, judge_service):
        results = run_criteria(
            judge_service, criterion("Yes", "No"), [GROUNDED], model="local/assistant-chat"
        )
        assert results[0].metadata["generation_failed"] is True
        assert len(judge_service.requests) == 4
        assert {r.json()["model_id"] for r in judge_service.requests} == {"local/assistant-chat"}


def run_custom(server, prompts, valid_outputs):
    from evalassist.judges import DirectJudge

    judge = DirectJudge(inference_engine=cross_provider_engine(server, "zentrix-sdk"))
    return judge.evaluate_with_custom_prompt(judge_prompts=prompts, valid_outputs=valid_outputs)


class TestCustomPrompts:
    def test_template_labels_inside_a_custom_prompt_still_get_json(self, judge_service):
        prompts = [
            f"Does the prediction follow from the evidence? Reply yes or no.\n"
            f"Evidence: {CONTEXT}\nQuestion: What is the capital?\nPrediction: {text}"
            for text in (GROUNDED, UNSUPPORTED)
        ]
        results = run_custom(judge_service, prompts, ["yes", "no"])
        assert [result.selected_option for result in results] == ["yes", "no"]
        reply = json.loads(results[0].metadata["unparsed_response"])
        assert reply.keys() == {"explanation", "selected_option"}

    def test_a_prompt_without_labels_is_read_as_context_then_text(self, judge_service):
        prompts = [
            f"Rate whether the last paragraph is supported.\n\n{CONTEXT}\n\n{text}"
            for text in (GROUNDED, UNSUPPORTED)
        ]
        results = run_custom(judge_service, prompts, ["supported", "unsupported"])
        assert [result.selected_option for result in results] == ["supported", "unsupported"]

    def test_a_prompt_with_its_own_output_format_section(self, judge_service):
        prompts = [
            f"Context: {CONTEXT}\nResponse: {text}\n\n### Output format\nOne letter."
            for text in (GROUNDED, UNSUPPORTED)
        ]
        results = run_custom(judge_service, prompts, ["a", "b"])
        assert [result.selected_option for result in results] == ["a", "b"]

    def test_scores_from_0_to_10_without_an_interval(self, judge_service):
        prompts = [f"Context: {CONTEXT}\nAnswer: {text}" for text in (GROUNDED, UNSUPPORTED)]
        results = run_custom(judge_service, prompts, None)
        assert [result.score for result in results] == [10.0, 0.0]
