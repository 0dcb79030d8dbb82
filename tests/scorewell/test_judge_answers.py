"""Template-library judges report answers that hold no verdict on their template's scale
as record errors, never as scores: the aggregate is the mean of the scored records."""

from __future__ import annotations

import pandas as pd
import pytest

from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.foundation_model import CustomFoundationModel
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.metrics.rag import AnswerCorrectnessMetric, RagFaithfulnessMetric

CONFIGURATION = GenAIConfiguration(
    input_fields=["question"],
    output_fields=["answer"],
    context_fields=["contexts"],
    reference_fields=["ground_truth"],
    record_id_field="id",
)


def run(metric_class, answers: dict[str, str]):
    """Each record's judge answer is ``answers[record answer]``."""

    def judge(prompts: list[str]) -> list[str]:
        return [next(reply for key, reply in answers.items() if key in prompts[0])]

    records = pd.DataFrame(
        {
            "id": [f"r{i}" for i in range(len(answers))],
            "question": ["Q?"] * len(answers),
            "answer": list(answers),
            "contexts": [["context"]] * len(answers),
            "ground_truth": ["truth"] * len(answers),
        }
    )
    llm_judge = LLMJudge(model=CustomFoundationModel(scoring_fn=judge))
    metric = metric_class(method="llm_as_judge", llm_judge=llm_judge)
    return metric.build_provider(records, CONFIGURATION, None).evaluate(records)


@pytest.mark.parametrize(
    ("metric_class", "bad_answer", "code"),
    [
        (AnswerCorrectnessMetric, "I think it is quite good.", "UNREADABLE_JUDGE_ANSWER"),
        (AnswerCorrectnessMetric, "   ", "EMPTY_JUDGE_ANSWER"),
        (AnswerCorrectnessMetric, "99", "OUT_OF_SCALE_JUDGE_ANSWER"),
        (AnswerCorrectnessMetric, "-5", "OUT_OF_SCALE_JUDGE_ANSWER"),
        (RagFaithfulnessMetric, "Grounded, I would say", "UNREADABLE_JUDGE_ANSWER"),
        (RagFaithfulnessMetric, "", "EMPTY_JUDGE_ANSWER"),
    ],
)
def test_an_answer_off_the_scale_is_an_error_not_a_score(metric_class, bad_answer, code):
    good, score = ("8", 0.8) if metric_class is AnswerCorrectnessMetric else ("Mostly", 0.6667)
    result = run(metric_class, {"alpha": good, "beta": bad_answer, "gamma": good})
    values = [record.value for record in result.record_level_metrics]
    assert values == [score, None, score]
    lost = result.record_level_metrics[1].errors[0]
    assert lost.code == code
    if bad_answer.strip():
        assert f"The answer was: {bad_answer}" in lost.message_en
    assert result.value == pytest.approx(values[0], abs=1e-4)
    assert result.errors[0].code == code
    assert result.errors[0].message_en.startswith("1 of 3 ")


def test_long_answers_are_quoted_up_to_200_characters():
    result = run(AnswerCorrectnessMetric, {"alpha": "x" * 500, "beta": "7"})
    message = result.record_level_metrics[0].errors[0].message_en
    assert message.endswith("x" * 200 + "...")


def test_when_every_answer_is_lost_the_metric_has_no_value():
    result = run(AnswerCorrectnessMetric, {"alpha": "no idea", "beta": "12"})
    assert result.value == "Error" and result.min is None
    assert [error.code for error in result.errors] == [
        "UNREADABLE_JUDGE_ANSWER",
        "OUT_OF_SCALE_JUDGE_ANSWER",
    ]
