"""Criteria metrics: a judge model reads each record and picks one of a fixed set of answers.

A criterion is written by the user: a name, the question the judge answers and the answer
options, each worth a score::

    from zentrix_gov.entities.criteria import Option
    from zentrix_gov.metrics import CriteriaMetric

    grounding = CriteriaMetric(
        name="answer_grounding",
        criteria_description="Is the {answer} supported by the {contexts}?",
        options=[Option(name="Yes", value=1), Option(name="No", value=0)],
    )

Each record's result carries the chosen option's value and its name as the label, the
judge's explanation, and ``additional_info`` with the feedback and the token counts. The
``Critwise`` provider (``zentrix_gov.providers.critwise``) does the judging; it is imported
only when the metric is evaluated.
"""

from __future__ import annotations

import math
import numbers
import re
import string
from dataclasses import dataclass
from typing import Any, ClassVar

from pydantic import ConfigDict, field_validator, model_validator

from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.detector_catalog import CONTEXT, INPUT, OUTPUT, ColumnUse
from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.llm_judge import LLMJudge
from zentrix_gov.entities.metric import GenAIMetric
from zentrix_gov.metrics.problems import echo

__all__ = ["COMMAND_NAME", "CriteriaMetric", "CriteriaMetricInfo", "template_fields"]

COMMAND_NAME = "criteria"
JUDGE = "llm_as_judge"
# What the provider is told the metric's values are: the options' scores.
VALUE_TYPE = "numeric"
SUMMARY = "a criterion of your own: an LLM judge picks one of its named options (--criteria FILE)"

# Settings a criterion reads columns from, as named in messages.
PREDICTION = "prediction_field"
TEMPLATE = "prompt_template"
OPTION_FIELDS = ("name", "description", "value")

# A field of a prompt template: a column name, then attribute or index access.
_FIELD_ROOT = re.compile(r"[.\[]")


def template_fields(template: str) -> list[str]:
    """The column names ``template`` formats in, in order of first use.

    Raises ``ValueError`` for a template ``str.format`` cannot read, or for a field that
    names no column (``{}``, ``{0}``).
    """
    fields: list[str] = []
    try:
        parsed = list(string.Formatter().parse(template))
    except ValueError as exc:
        raise ValueError(f"{exc}; write {{{{ and }}}} for braces that name no column") from None
    for _, field, _, _ in parsed:
        if field is None:
            continue
        root = _FIELD_ROOT.split(field, maxsplit=1)[0]
        if not root or root.isdigit():
            raise ValueError(
                f"{{{field}}} names no column: write a column name in each pair of braces, "
                "e.g. {answer}, and {{ and }} for literal braces"
            )
        if root not in fields:
            fields.append(root)
    return fields


@dataclass(frozen=True)
class CriteriaMetricInfo:
    """What the command line's plan reads of a criterion: its name and its columns."""

    metric: CriteriaMetric
    summary: str = SUMMARY

    @property
    def command_name(self) -> str:
        # Each criterion is its own column of results, under the user's name.
        return self.metric.name

    @property
    def reads(self) -> tuple[str, ...]:
        if self.metric.uses_criteria:
            return (PREDICTION, CONTEXT)
        return (TEMPLATE,)

    def column_uses(self, configuration: Any) -> list[ColumnUse]:
        return self.metric.column_uses(configuration)


class CriteriaMetric(GenAIMetric):
    """A criterion judged by an LLM: the judge picks one of ``options`` for each record.

    Two ways to ask the judge:

    - criteria mode, when ``criteria_description`` is set (``criteria`` is accepted as its
      short name): the judge evaluates the text of ``prediction_field`` against the
      description, with the ``context_fields`` columns as context. Braces around column
      names in the description ("Is {answer} supported by {contexts}?") are removed.
    - custom-prompt mode, otherwise: ``prompt_template`` is filled per record with
      ``str.format`` fields naming columns ("Question: {question}\\nAnswer: {answer}\\n
      Is the answer polite?") and the judge answers with one option name.

    When both are given, criteria mode wins and ``prompt_template`` is not used.

    ``options`` holds at least two options with distinct names (compared without case) and
    a finite number as value. Left unset, ``prediction_field`` is the configuration's first
    output field, ``context_fields`` its first input field followed by its context fields,
    and ``llm_judge`` the configuration's judge. ``compute_token_count`` adds the judge's
    input and output token counts to every record's ``additional_info``.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True, extra="forbid")

    provider_path: ClassVar[str] = "zentrix_gov.providers.critwise:Critwise"

    name: str
    criteria_description: str | None = None
    prompt_template: str | None = None
    options: list[Option]
    prediction_field: str | None = None
    context_fields: list[str] | None = None
    llm_judge: LLMJudge | None = None
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY
    method: str | None = JUDGE
    compute_token_count: bool = False

    @model_validator(mode="before")
    @classmethod
    def _short_names(cls, values: Any) -> Any:
        if not isinstance(values, dict):
            return values
        values = dict(values)
        if "criteria" in values:
            if "criteria_description" in values:
                raise ValueError("give criteria_description or its short name criteria, not both")
            values["criteria_description"] = values.pop("criteria")
        if values.get("method") is None:
            values["method"] = JUDGE
        if isinstance(values.get("context_fields"), str):
            values["context_fields"] = [values["context_fields"]]  # one column, no list
        return values

    @field_validator("name")
    @classmethod
    def _name(cls, name: str) -> str:
        if not name.strip():
            raise ValueError("the criterion needs a name")
        return name.strip()

    @field_validator("criteria_description", "prompt_template")
    @classmethod
    def _blank_is_unset(cls, text: str | None) -> str | None:
        return text if text is not None and text.strip() else None

    @field_validator("method")
    @classmethod
    def _method(cls, method: str | None) -> str:
        if method is None or not method.strip():
            raise ValueError("must name a method, e.g. llm_as_judge")
        return method

    @field_validator("prediction_field")
    @classmethod
    def _prediction_field(cls, column: str | None) -> str | None:
        if column is not None and not column.strip():
            raise ValueError("must name a column")
        return column

    @field_validator("context_fields")
    @classmethod
    def _context_fields(cls, columns: list[str] | None) -> list[str] | None:
        if columns is not None and any(not column.strip() for column in columns):
            raise ValueError("must be a list of column names")
        return columns

    @field_validator("options", mode="before")
    @classmethod
    def _option_fields(cls, options: Any) -> Any:
        # Option ignores unknown fields: a misspelt "score" or "descripton" must not vanish.
        if isinstance(options, list):
            for index, option in enumerate(options):
                if not isinstance(option, dict):
                    continue
                unknown = [key for key in option if key not in OPTION_FIELDS]
                if unknown:
                    raise ValueError(
                        f"options[{index}] has unknown field {echo(unknown[0])}; an option has "
                        f"{', '.join(OPTION_FIELDS)}"
                    )
                value = option.get("value")
                # A boolean would pass as 1.0 or 0.0, a text as whatever it spells.
                if value is not None and (
                    isinstance(value, bool) or not isinstance(value, numbers.Real)
                ):
                    raise ValueError(f"options[{index}] needs a number as value, not {echo(value)}")
        return options

    @field_validator("options")
    @classmethod
    def _options(cls, options: list[Option]) -> list[Option]:
        if len(options) < 2:
            raise ValueError("give at least two options for the judge to choose from")
        seen: dict[str, int] = {}
        for index, option in enumerate(options):
            if not option.name.strip():
                raise ValueError(f"options[{index}] needs a name")
            key = option.name.strip().casefold()
            if key in seen:
                raise ValueError(
                    f"options[{index}] repeats the name {echo(option.name)} of "
                    f"options[{seen[key]}] (names are compared without case)"
                )
            seen[key] = index
            value = option.value
            if value is None or isinstance(value, bool) or not math.isfinite(value):
                raise ValueError(
                    f"options[{index}] ({echo(option.name)}) needs a number as value, the score "
                    "a record gets when the judge picks it"
                )
        return options

    @model_validator(mode="after")
    def _one_way_to_ask(self) -> CriteriaMetric:
        if self.criteria_description is None:
            if self.prompt_template is None:
                raise ValueError(
                    "give criteria_description (what the judge checks) or prompt_template "
                    "(the whole prompt, with column names in braces)"
                )
            try:
                fields = template_fields(self.prompt_template)
            except ValueError as exc:
                raise ValueError(f"prompt_template: {exc}") from None
            if not fields:
                raise ValueError(
                    "prompt_template names no column: write the columns the judge reads in "
                    "braces, e.g. {answer}"
                )
        return self

    @property
    def uses_criteria(self) -> bool:
        """Criteria mode (a description) rather than custom-prompt mode (a template)."""
        return self.criteria_description is not None

    @property
    def info(self) -> CriteriaMetricInfo:
        return CriteriaMetricInfo(self)

    def prediction_column(self, configuration: Any) -> str | None:
        """The column of the text the judge evaluates."""
        if self.prediction_field is not None:
            return self.prediction_field
        outputs = list(configuration.output_fields or ())
        return outputs[0] if outputs else None

    def context_columns(self, configuration: Any) -> list[str]:
        """The columns the judge is shown as context."""
        if self.context_fields is not None:
            return list(self.context_fields)
        columns = [*list(configuration.input_fields or ())[:1], *configuration.context_fields]
        return list(dict.fromkeys(columns))

    def column_uses(self, configuration: Any) -> list[ColumnUse]:
        """The columns the metric reads. The text to judge (criteria mode) and every column
        of the template (custom-prompt mode) must hold a value; the context need not."""
        if not self.uses_criteria:
            fields = template_fields(self.prompt_template or "")
            return [ColumnUse(TEMPLATE, (field,), True) for field in fields]
        prediction = self.prediction_column(configuration)
        if prediction is None:
            uses = [ColumnUse(PREDICTION, (), True)]  # neither the criterion nor the config
        else:
            setting = OUTPUT if self.prediction_field is None else PREDICTION
            uses = [ColumnUse(setting, (prediction,), True)]
        if self.context_fields is not None:
            if self.context_fields:
                uses.append(ColumnUse(CONTEXT, tuple(self.context_fields), False))
            return uses
        inputs = tuple(configuration.input_fields[:1])
        contexts = tuple(c for c in configuration.context_fields if c not in inputs)
        uses += [ColumnUse(INPUT, inputs, False)] if inputs else []
        uses += [ColumnUse(CONTEXT, contexts, False)] if contexts else []
        return uses

    def judge_for(self, configuration: Any) -> LLMJudge:
        """The metric's own judge, or else the configuration's."""
        judge = self.llm_judge or getattr(configuration, "llm_judge", None)
        if judge is None:
            raise ValueError(
                f"Criterion {echo(self.name)} needs a judge: give it llm_judge=LLMJudge(...) or "
                "set llm_judge in the configuration."
            )
        return judge

    def _check_columns(self, frame: Any, configuration: Any) -> None:
        present = {str(column) for column in frame.columns}
        for use in self.column_uses(configuration):
            if not use.columns:
                raise ValueError(
                    f"Criterion {echo(self.name)} has no column to judge: set its "
                    "prediction_field or output_fields in the configuration."
                )
            for column in use.columns:
                if column not in present:
                    raise ValueError(
                        f"The records have no column {echo(column)} (named by {use.setting}), "
                        f"which criterion {echo(self.name)} reads. Their columns are: "
                        f"{', '.join(map(str, frame.columns))}."
                    )

    def build_provider(self, frame: Any, configuration: Any, api_client: Any) -> Any:
        """A ``Critwise`` judging every record; the judge and the columns are checked first."""
        judge = self.judge_for(configuration)
        self._check_columns(frame, configuration)
        criteria = self.uses_criteria
        return self.provider_class()(
            self.name,
            self.display_name,
            VALUE_TYPE,
            judge,
            list(self.options),
            criteria_description=self.criteria_description if criteria else None,
            prompt_template=None if criteria else self.prompt_template,
            context_fields=self.context_columns(configuration),
            prediction_field=self.prediction_column(configuration),
            metric_group=self.group,
            metric_method=self.method,
            thresholds=list(self.thresholds),
            record_id_field=configuration.record_id_field,
            record_timestamp_field=configuration.record_timestamp_field,
            compute_token_count=self.compute_token_count,
        )
