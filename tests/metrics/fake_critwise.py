"""A stand-in for the criteria provider (``zentrix_gov.providers.critwise.Critwise``).

It keeps the arguments it was built with and judges by word overlap, so that tests can
check what the metric hands over and what the command line makes of the results:

- criteria mode: the first option when the text to judge shares a word of four letters or
  more with the context columns, the last option otherwise;
- custom-prompt mode: the first option;
- a text holding "???" gets no verdict: no value, one error (as an unparseable answer).
"""

from __future__ import annotations

import re
from typing import Any

import pytest

from zentrix_gov.entities.base_classes import Error
from zentrix_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

UNREADABLE = "???"
_WORD = re.compile(r"[a-z]{4,}")


def _words(text: Any) -> set[str]:
    return set(_WORD.findall(str(text).lower()))


class FakeCritwise:
    """Built like the provider; every instance is recorded in ``built`` of its class."""

    built: list[FakeCritwise] = []

    def __init__(
        self,
        metric_name: str,
        display_name: str,
        value_type: str,
        llm_judge: Any,
        options: list[Any],
        criteria_description: str | None = None,
        prompt_template: str | None = None,
        context_fields: list[str] | None = None,
        prediction_field: str | None = None,
        metric_group: Any = None,
        metric_method: str | None = None,
        thresholds: list[Any] | None = None,
        **kwargs: Any,
    ):
        self.args = (metric_name, display_name, value_type, llm_judge, options)
        self.keywords = {
            "criteria_description": criteria_description,
            "prompt_template": prompt_template,
            "context_fields": context_fields,
            "prediction_field": prediction_field,
            "metric_group": metric_group,
            "metric_method": metric_method,
            "thresholds": thresholds,
            **kwargs,
        }
        self.evaluated: list[Any] = []
        type(self).built.append(self)

    def _record(self, row: dict[str, Any]) -> RecordMetricResult:
        name, display_name, _, _, options = self.args
        keywords = self.keywords
        if keywords["criteria_description"]:
            text = row[keywords["prediction_field"]]
            context = " ".join(str(row[c]) for c in keywords["context_fields"])
            option = options[0] if _words(text) & _words(context) else options[-1]
        else:
            text = keywords["prompt_template"].format(**row)
            option = options[0]
        common = {
            "name": name,
            "display_name": display_name,
            "method": keywords["metric_method"],
            "provider": "evalassist",
            "group": keywords["metric_group"],
            "record_id": row[keywords.get("record_id_field", "record_id")],
            "thresholds": keywords["thresholds"],
        }
        if UNREADABLE in str(text):
            error = Error(code="UNPARSEABLE_VERDICT", message_en="the judge named no option")
            return RecordMetricResult(**common, errors=[error])
        counting = keywords.get("compute_token_count", False)
        return RecordMetricResult(
            **common,
            value=option.value,
            label=option.name,
            explanation=f"The judge chose {option.name}.",
            additional_info={
                "feedback": f"Consider: {option.description or option.name}",
                "input_tokens": len(str(text).split()) if counting else None,
                "output_tokens": 7 if counting else None,
            },
        )

    def evaluate(self, data: Any) -> AggregateMetricResult:
        self.evaluated.append(data)
        return AggregateMetricResult.create(self._record(row) for row in data.to_dict("records"))

    async def evaluate_async(self, data: Any) -> AggregateMetricResult:
        return self.evaluate(data)


@pytest.fixture
def fake_critwise(monkeypatch: pytest.MonkeyPatch) -> type[FakeCritwise]:
    """The provider class the criteria metrics build, replaced by a fresh fake for the test."""
    fake = type("FakeCritwise", (FakeCritwise,), {"built": []})
    monkeypatch.setattr("zentrix_gov.providers.critwise.Critwise", fake)
    return fake
