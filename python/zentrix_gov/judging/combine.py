"""A record's verdict from the verdicts of its variants.

First each juror's verdict, from its repeats (and swapped options): the option most of
them chose, a tie going to the option of lower value (then to the one listed first), or
the mean score. Then the jury's, from the jurors that gave one: by ``Judging.jury``
(majority, mean or median; majority by default for options, mean for scores). With mean or
median, a criterion's label is the option whose value is nearest (a tie: the lower). A
record has a verdict when at least the quorum of jurors gave one; below it the record is
an error (``JURY_NO_QUORUM``), never a guess. A single judge's record without any verdict
keeps the error its first variant had.

Stability: the share of a record's verdicts (every juror's, repeat's and order's) that
agree with the record's verdict (the same option; for scores, within ``SCORE_TOLERANCE``);
none for a record without a verdict. A record flips when a verdict and
its swapped twin (same juror, same repeat) chose different options; with
``unstable="drop"`` such a record is an error (``UNSTABLE_VERDICT``).
"""

from __future__ import annotations

import json
import statistics
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from zentrix_gov.judging.settings import MAJORITY, MEAN, Judging, Variant
from zentrix_gov.runs.schema import RESULT_COLUMNS, ResultStatus

# Two scores of one record agree when they lie this close (scores run from 0 to 1).
SCORE_TOLERANCE = 0.1
NO_QUORUM = "JURY_NO_QUORUM"
UNSTABLE = "UNSTABLE_VERDICT"
JUROR_FAILED = "JUROR_FAILED"

_STATUS, _VALUE, _LABEL = 2, 3, 4
_TOKENS = (RESULT_COLUMNS.index("input_tokens"), RESULT_COLUMNS.index("output_tokens"))
_ERROR = (RESULT_COLUMNS.index("error_code"), RESULT_COLUMNS.index("error_text"))
_RECORD = RESULT_COLUMNS.index("record")


@dataclass(frozen=True)
class Scale:
    """What a metric's verdicts are: options with values (criteria), or scores."""

    options: dict[str, float] | None = None  # option name -> value, in the metric's order

    def lower(self, labels: Sequence[str]) -> str:
        """Of tied labels, the one of lower value (then the one listed first)."""
        order = list(self.options or {})
        return min(labels, key=lambda name: ((self.options or {})[name], order.index(name)))

    def nearest(self, value: float) -> str:
        options = self.options or {}
        return self.lower([n for n in options if abs(options[n] - value) == _gap(options, value)])


def _gap(options: dict[str, float], value: float) -> float:
    return min(abs(option - value) for option in options.values())


@dataclass
class Combined:
    """A record's result row and its judgement (position, then the judgement columns)."""

    row: tuple[Any, ...]
    judgement: tuple[Any, ...]


def _answered(row: Sequence[Any], scale: Scale) -> bool:
    if row[_VALUE] is None:
        return False
    return scale.options is None or row[_LABEL] in scale.options


def _juror_verdict(rows: list[Sequence[Any]], scale: Scale) -> tuple[Any, float] | None:
    """A juror's (label, value) from its answered verdicts."""
    if not rows:
        return None
    if scale.options is not None:
        counts = Counter(row[_LABEL] for row in rows)
        top = max(counts.values())
        label = scale.lower([name for name, count in counts.items() if count == top])
        return label, scale.options[label]
    return None, statistics.fmean(row[_VALUE] for row in rows)


def _agreeing(rows: list[Sequence[Any]], label: Any, value: float, scale: Scale) -> int:
    if scale.options is not None:
        return sum(row[_LABEL] == label for row in rows)
    return sum(abs(row[_VALUE] - value) <= SCORE_TOLERANCE + 1e-12 for row in rows)


def _jury(verdicts: list[tuple[Any, float]], method: str, scale: Scale) -> tuple[Any, float]:
    values = [value for _, value in verdicts]
    if method == MAJORITY:
        if scale.options is not None:
            counts = Counter(label for label, _ in verdicts)
            top = max(counts.values())
            label = scale.lower([name for name, count in counts.items() if count == top])
            return label, scale.options[label]
        counts_by_value = Counter(values)
        top = max(counts_by_value.values())
        return None, min(value for value, count in counts_by_value.items() if count == top)
    value = statistics.fmean(values) if method == MEAN else statistics.median(values)
    return (scale.nearest(value) if scale.options is not None else None), value


def _flipped(by_variant: dict[Variant, Sequence[Any]], scale: Scale) -> int | None:
    compared = flipped = 0
    for variant, row in by_variant.items():
        if variant.swapped or scale.options is None:
            continue
        twin = by_variant.get(Variant(variant.juror, variant.repeat, True))
        if twin is None or not (_answered(row, scale) and _answered(twin, scale)):
            continue
        compared += 1
        flipped += row[_LABEL] != twin[_LABEL]
    return None if not compared else int(flipped > 0)


def error_row(row: Sequence[Any], code: str, message: str) -> tuple[Any, ...]:
    """``row`` as a record error of ``code`` with no verdict."""
    record = json.dumps(
        {"record_id": row[1], "errors": [{"code": code, "message_en": message}]},
        ensure_ascii=False,
    )
    cells = list(row)
    cells[_STATUS], cells[_VALUE], cells[_LABEL] = ResultStatus.ERROR, None, None
    for index in range(5, len(cells)):
        cells[index] = None
    cells[_ERROR[0]], cells[_ERROR[1]], cells[_RECORD] = code, message, record
    return tuple(cells)


def combine_record(
    by_variant: dict[Variant, Sequence[Any]],
    jurors: int,
    judging: Judging,
    scale: Scale,
) -> Combined:
    """The record's row and judgement from its verdicts (every variant, in their order)."""
    ordered = sorted(by_variant.items())
    first = ordered[0][1]
    verdicts: list[tuple[Any, float]] = []
    juror_cells: list[list[Any] | None] = []
    answered = [row for _, row in ordered if _answered(row, scale)]
    for juror in range(jurors):
        rows = [row for v, row in ordered if v.juror == juror and _answered(row, scale)]
        verdict = _juror_verdict(rows, scale)
        juror_cells.append(None if verdict is None else list(verdict))
        if verdict is not None:
            verdicts.append(verdict)
    flipped = _flipped(by_variant, scale)
    quorum = judging.quorum_of(jurors) if jurors > 1 else 1
    label = value = None
    if len(verdicts) >= quorum:
        label, value = _jury(verdicts, judging.jury_method(scale.options is not None), scale)
    judgement = (
        first[0],
        len(ordered),
        len(answered),
        None if value is None else _agreeing(answered, label, value, scale),
        len(verdicts),
        flipped,
        json.dumps(juror_cells, ensure_ascii=False),
    )
    if value is None:
        if jurors == 1:
            return Combined(tuple(first), judgement)  # its own error, as a single run
        message = (
            f"{len(verdicts)} of {jurors} jurors gave a verdict; the jury's quorum is {quorum}"
        )
        return Combined(error_row(first, NO_QUORUM, message), judgement)
    if flipped and judging.unstable == "drop":
        message = (
            "the verdict changed when the options were listed in reverse order; "
            "dropped (--unstable drop)"
        )
        return Combined(error_row(first, UNSTABLE, message), judgement)
    return Combined(_verdict_row(ordered, label, value, scale), judgement)


def _verdict_row(
    ordered: list[tuple[Variant, Sequence[Any]]], label: Any, value: float, scale: Scale
) -> tuple[Any, ...]:
    """The record's row: the first verdict of the chosen option (or the first answered),
    with the combined value and label, and the tokens of every verdict."""
    answered = [row for _, row in ordered if _answered(row, scale)]
    chosen = next((row for row in answered if row[_LABEL] == label), answered[0])
    if scale.options is None:
        label = chosen[_LABEL]  # scores: whatever label the metric gives stays
    cells = list(chosen)
    if isinstance(value, float) and value.is_integer() and isinstance(chosen[_VALUE], int):
        value = int(value)
    if cells[_VALUE] != value or cells[_LABEL] != label:
        fields = json.loads(cells[_RECORD]) if cells[_RECORD] else {}
        fields.update(value=value, label=label)
        cells[_RECORD] = json.dumps(fields, ensure_ascii=False)
    cells[_VALUE], cells[_LABEL] = value, label
    for index in _TOKENS:
        counts = [row[index] for _, row in ordered if isinstance(row[index], int)]
        cells[index] = sum(counts) if counts else None
    return tuple(cells)
