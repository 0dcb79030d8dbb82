"""Human labels as data: which column labels which metric, what a label may be, and the
check that refuses a wrong one before any request is sent.

``label_fields`` of the configuration maps a metric's name in the results to the records
column holding its label:

- criteria: the name of one of the criterion's options (compared without case or
  surrounding blanks, stored as the option spells it);
- other metrics: a number, or a pass/fail label: 0/1, true/false (stored as 1.0/0.0).

An empty cell is a record without a label: stored as none, left out of agreement and
counted. Entries naming metrics the run does not evaluate are left alone, so one config
file serves runs of different metrics.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.planning import PlanError
from zentrix_gov.runs.units import has_no_value, record_ids

if TYPE_CHECKING:
    from zentrix_gov.runs.inputs import Source
    from zentrix_gov.runs.types import PlannedMetric

# Records read at a time while labels are checked.
_CHECK_CHUNK = 4096
_TRUE, _FALSE = frozenset({"true"}), frozenset({"false"})


class LabelError(PlanError):
    """A label that is not one the metric can be compared with."""


@dataclass(frozen=True)
class LabelColumn:
    """The column of a metric's human labels, and what they may be."""

    metric: str
    column: str
    options: tuple[str, ...] | None = None  # a criterion's option names; None: numbers

    def allowed(self) -> str:
        if self.options is not None:
            return "one of the options " + ", ".join(self.options)
        return "a number, or 0/1 or true/false for pass/fail"

    def read(self, value: Any) -> str | float | None:
        """The label of a cell as stored; None for an empty cell. ``ValueError`` for a
        value the metric cannot be compared with."""
        if has_no_value(value):
            return None
        if self.options is not None:
            return self._option(value)
        return _number(value)

    def _option(self, value: Any) -> str:
        if isinstance(value, bool):
            raise ValueError
        if isinstance(value, numbers.Real) and float(value).is_integer():
            value = int(value)  # a column of numbered options may be read as numbers
        wanted = str(value).strip().casefold()
        for name in self.options or ():
            if name.strip().casefold() == wanted:
                return name
        raise ValueError


def _number(value: Any) -> float:
    if isinstance(value, bool):
        return float(value)
    if isinstance(value, numbers.Real):
        number = float(value)
    elif isinstance(value, str):
        text = value.strip().casefold()
        if text in _TRUE or text in _FALSE:
            return float(text in _TRUE)
        number = float(text)
    else:
        raise ValueError
    if not math.isfinite(number):
        raise ValueError
    return number


def label_columns(configuration: Any, planned: Sequence[PlannedMetric]) -> list[LabelColumn]:
    """The labelled metrics of a run, in the run's order."""
    fields = getattr(configuration, "label_fields", None) or {}
    columns = []
    for entry in planned:
        column = fields.get(entry.name)
        if column is None:
            continue
        options = getattr(entry.metric, "options", None)
        names = tuple(option.name for option in options) if options else None
        columns.append(LabelColumn(entry.name, column, names))
    return columns


def check_labels(source: Source, configuration: Any, planned: Sequence[PlannedMetric]) -> None:
    """Refuse (``LabelError``, naming the record, the column and what is allowed) a label
    no metric can be compared with, and a label column the records lack."""
    from zentrix_gov.metrics.problems import echo
    from zentrix_gov.runs.inputs import read_chunks

    columns = label_columns(configuration, planned)
    if not columns:
        return
    present = {str(column) for column in source.columns}
    for labels in columns:
        if labels.column not in present:
            raise LabelError(
                f"{source.path} has no column {labels.column!r} (label_fields of "
                f"{labels.metric}); its columns are: {', '.join(sorted(present))}"
            )
    id_field = configuration.record_id_field
    for index, frame in enumerate(read_chunks(source, _CHECK_CHUNK)):
        for labels in columns:
            for row, value in enumerate(frame[labels.column].tolist()):
                try:
                    labels.read(value)
                except ValueError:
                    first = index * _CHECK_CHUNK + row
                    ids = record_ids(frame.iloc[row : row + 1], id_field, first)
                    raise LabelError(
                        f"record {ids[0]!r}: the label {echo(value)} in column "
                        f"{labels.column!r} cannot be compared with {labels.metric}, which "
                        f"takes {labels.allowed()}"
                    ) from None


def chunk_labels(labels: LabelColumn, frame: Any) -> list[str | float | None]:
    """The labels of a chunk's records, as stored (checked when the run was planned)."""
    if labels.column not in frame.columns:
        return [None] * len(frame)
    return [labels.read(value) for value in frame[labels.column].tolist()]
