"""The judge's input: placeholders stripped from texts, criteria and instances."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from evalassist.judges import Criteria, CriteriaOption, Instance

from zentrix_gov.entities.criteria import Option

from .conftest import YES_NO


def criteria_of(provider, prediction_field="answer", context_fields=("question",)):
    return provider._Critwise__get_criteria(
        prediction_field=prediction_field, context_fields=list(context_fields)
    )


def instances_of(provider, data, prediction_field="answer", context_fields=("question",)):
    return provider._Critwise__get_instances(
        data=data, prediction_field=prediction_field, context_fields=list(context_fields)
    )


class TestPlaceholders:
    @pytest.mark.parametrize(
        ("text", "prediction", "stripped"),
        [
            ("Answer {answer} is wrong", "answer", "Answer answer is wrong"),
            ("{my field} and {ctx}", "my field", "my field and ctx"),
            # Braces around a name that is neither the prediction column nor an identifier stay.
            ("{my field} and {ctx}", "other", "{my field} and ctx"),
            ("{1abc}", "answer", "{1abc}"),
            ("{{x}}", "answer", "{x}"),
            (
                "Is {generated_text} supported by {context}?",
                "generated_text",
                "Is generated_text supported by context?",
            ),
            ("{answer} then {answer} again", "answer", "answer then answer again"),
            ("no placeholders", "answer", "no placeholders"),
        ],
    )
    def test_option_and_criteria_descriptions(self, provider_for, text, prediction, stripped):
        provider = provider_for(
            criteria_description=text, options=[Option(name="a", description=text, value=1)]
        )
        criteria = criteria_of(provider, prediction_field=prediction)
        assert criteria.description == stripped
        assert criteria.options[0].description == stripped

    def test_without_a_prediction_column_the_concatenation_fails(self, provider_for):
        with pytest.raises(TypeError, match="can only concatenate str"):
            criteria_of(provider_for(), prediction_field=None)


class TestCriteria:
    def test_built_from_the_metric_and_its_options(self, provider_for):
        provider = provider_for()
        criteria = criteria_of(provider, context_fields=["question", "contexts"])
        assert isinstance(criteria, Criteria)
        assert criteria.name == "grounded"
        assert criteria.description == "Is the answer supported by the contexts?"
        assert criteria.to_evaluate_field == "answer"
        assert criteria.context_fields == ["question", "contexts"]
        assert criteria.options == [
            CriteriaOption(
                name="Yes", description="The answer is supported by the contexts.", score=1
            ),
            CriteriaOption(name="No", description="The answer is not supported.", score=0),
        ]

    def test_options_are_left_unchanged(self, provider_for):
        options = list(YES_NO)
        criteria_of(provider_for(options=options))
        assert options == YES_NO and options[0].description.startswith("The {answer}")

    def test_a_new_object_per_call(self, provider_for):
        provider = provider_for()
        assert criteria_of(provider) is not criteria_of(provider)


class TestInstances:
    def test_prediction_first_then_the_context_columns_in_order(self, provider_for, records):
        instances = instances_of(provider_for(), records, context_fields=["question", "contexts"])
        assert all(isinstance(instance, Instance) for instance in instances)
        assert [list(instance.fields) for instance in instances] == [
            ["answer", "question", "contexts"]
        ] * 2
        assert instances[1].fields == {
            "answer": "It was written by Charles Dickens.",
            "question": "Who wrote Hamlet?",
            "contexts": ["Hamlet is a tragedy by William Shakespeare."],
        }

    def test_a_context_column_named_like_the_prediction(self, provider_for, records):
        instances = instances_of(provider_for(), records, context_fields=["answer", "question"])
        assert instances[0].fields == {
            "answer": "Paris is the capital of France.",
            "question": "What is the capital of France?",
        }

    def test_without_context_columns_only_the_prediction(self, provider_for, records):
        three = pd.concat([records, records.iloc[:1]], ignore_index=True)
        instances = instances_of(provider_for(), three, context_fields=[])
        assert [instance.fields for instance in instances] == [
            {"answer": text} for text in three["answer"]
        ]

    def test_a_table_without_rows(self, provider_for, records):
        assert instances_of(provider_for(), records.iloc[:0]) == []
        assert instances_of(provider_for(), records.iloc[:0], context_fields=[]) == []

    def test_any_index_is_read_by_position(self, provider_for, records):
        shuffled = records.set_axis([10, 3])
        assert [i.fields["question"] for i in instances_of(provider_for(), shuffled)] == list(
            records["question"]
        )

    @pytest.mark.parametrize(
        ("prediction_field", "context_fields", "missing"),
        [("answer", ["question", "nope"], "nope"), ("absent", ["question"], "absent")],
    )
    def test_a_missing_column_is_a_lookup_error(
        self, provider_for, records, prediction_field, context_fields, missing
    ):
        with pytest.raises(KeyError, match=missing):
            instances_of(provider_for(), records, prediction_field, context_fields)

    def test_cells_become_texts(self, provider_for):
        # evalassist takes texts and lists of texts only.
        data = pd.DataFrame(
            {
                "answer": pd.Series([42, None, 1.5, float("nan")], dtype=object),
                "question": [["a", 2, None], np.array(["x", "y"]), ("t",), pd.NA],
            }
        )
        fields = [instance.fields for instance in instances_of(provider_for(), data)]
        assert fields == [
            {"answer": "42", "question": ["a", "2", ""]},
            {"answer": "", "question": ["x", "y"]},
            {"answer": "1.5", "question": ["t"]},
            {"answer": "", "question": ""},
        ]
