"""What a stored run says per metric: its value, spread, coverage and lost records.

Everything is computed from the stored per-record results, so a run that was interrupted and
resumed reads exactly as one that ran straight through.
"""

from __future__ import annotations

import ast
import re
from dataclasses import dataclass, field
from typing import Any

from zentrix_gov.runs.schema import ResultStatus
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.usage import MetricSpend, run_spend, spend_cells
from zentrix_gov.utils.judge_answers import UNREADABLE_CODES

_COUNTED = re.compile(r"^(\d+) of (\d+) (.*)$", re.DOTALL)


@dataclass
class MetricSummary:
    """One metric of a stored run."""

    name: str
    total: int  # records of the run
    read: int = 0  # records the metric evaluated (not skipped)
    skipped: int = 0
    values: int = 0  # evaluated records with a value
    errors: int = 0  # evaluated records with an error (unreadable verdicts included)
    unreadable: int = 0
    stored: int = 0  # records with a stored result of any status
    value: float | int | None = None  # the mean of the values; None when there is none
    minimum: float | int | None = None
    maximum: float | int | None = None
    skip_reason: str = ""
    seconds: float = 0.0
    units: int = 0
    identity: dict[str, Any] | None = None  # what every record result says it is
    aggregate: dict[str, Any] | None = None  # what the metric's aggregate says it is
    notes: list[dict[str, Any]] = field(default_factory=list)
    first_error: dict[str, Any] | None = None  # code and message of the first record error
    spend: MetricSpend | None = None  # its judge requests' tokens and cost, if it asked one
    # Repeats, swapped options, jurors: a zentrix_gov.judging.summary.JudgingSummary.
    judging: Any = None

    @property
    def coverage(self) -> float | None:
        """Records with a value ÷ records the metric read (None when it read none)."""
        return self.values / self.read if self.read else None

    @property
    def failed(self) -> bool:
        """The metric read records but produced no value for any of them."""
        return self.read > 0 and self.values == 0

    @property
    def reason(self) -> str | None:
        """Why a metric that failed has no value (its first chunk-level or record error)."""
        if not self.failed:
            return None
        first = self.notes[0] if self.notes else self.first_error
        if first is None:
            return "no record has a value"
        return error_text(first["code"], first["message_en"])


def summarize(
    store: RunStore, run: RunRecord, names: list[str] | None = None
) -> list[MetricSummary]:
    """A summary of every metric of ``run`` (or of those ``names``), in the run's order."""
    summaries = []
    spent = run_spend(store, run.id).metrics
    for name in run.metrics if names is None else names:
        summary = MetricSummary(name, run.total_records, spend=spent.get(name))
        units = store.units(run.id, name)
        summary.units = len(units)
        summary.seconds = sum(unit.wall_seconds for unit in units)
        notes: list[list[dict[str, Any]]] = []
        for unit in units:
            if summary.identity is None and unit.summary.get("identity"):
                summary.identity = unit.summary["identity"]
                summary.aggregate = unit.summary.get("aggregate") or summary.identity
            notes.append(unit.summary.get("notes") or [])
        summary.notes = merge_notes(notes)
        total = 0.0
        for status, value, code, reason, message in store.results(
            run.id, name, ("status", "value", "error_code", "skip_reason", "error_text")
        ):
            summary.stored += 1
            if status == ResultStatus.SKIPPED:
                summary.skipped += 1
                summary.skip_reason = summary.skip_reason or reason or ""
                continue
            summary.read += 1
            if status == ResultStatus.ERROR:
                summary.errors += 1
                if summary.first_error is None:
                    summary.first_error = {"code": code, "message_en": message or ""}
                summary.unreadable += code in UNREADABLE_CODES
            if value is None:
                continue
            summary.values += 1
            total += value
            if summary.minimum is None or value < summary.minimum:
                summary.minimum = value
            if summary.maximum is None or value > summary.maximum:
                summary.maximum = value
        if summary.values:
            summary.value = round(total / summary.values, 4)
        if "judging" in run.definition:
            from zentrix_gov.judging.summary import judging_summary

            summary.judging = judging_summary(store, run, name)
        summaries.append(summary)
    return summaries


def error_text(code: str, message: str) -> str:
    """A short reading of a record error; service replies are shown by their message."""
    try:
        reply = ast.literal_eval(message)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        reply = None
    if isinstance(reply, dict):
        errors = reply.get("errors")
        if isinstance(errors, list) and errors and isinstance(errors[0], dict):
            message = errors[0].get("message", message)
        elif isinstance(reply.get("message"), str):
            message = reply["message"]
    text = " ".join(str(message).split())
    if len(text) > 200:
        text = text[:197] + "..."
    if not text:
        # Time-outs and some connection failures carry no message.
        text = "no message (a timed-out request reports none)"
    return f"{code}: {text}"


def aggregate_value(summary: MetricSummary) -> float | int | str | None:
    """The metric's value as its aggregate result record gives it: the mean, or "Error"
    when the metric read records but none has a value."""
    return "Error" if summary.failed else summary.value


def merge_notes(per_unit: list[list[dict[str, Any]]]) -> list[dict[str, Any]]:
    """One list of a metric's chunk-level errors: notes of the same code that count
    records ("3 of 500 ...") are added up, other notes are kept once each, in order."""
    merged: list[dict[str, Any]] = []
    counted: dict[str, tuple[int, int, str, int]] = {}  # code -> (lost, of, tail, index)
    for notes in per_unit:
        for note in notes:
            code, message = note.get("code"), note.get("message_en", "")
            match = _COUNTED.match(message)
            if match is not None:
                lost, of, tail = int(match[1]), int(match[2]), match[3]
                if code in counted and counted[code][2] == tail:
                    before = counted[code]
                    counted[code] = (before[0] + lost, before[1] + of, tail, before[3])
                    continue
                counted[code] = (lost, of, tail, len(merged))
            if note not in merged:
                merged.append(dict(note))
    for code, (lost, of, tail, index) in counted.items():
        merged[index] = {"code": code, "message_en": f"{lost} of {of} {tail}"}
    return merged


def coverage_failures(summaries: list[MetricSummary], minimum: float) -> list[str]:
    """The metrics whose coverage falls below ``minimum``, each as a short text."""
    failures = []
    for summary in summaries:
        coverage = summary.coverage
        if coverage is not None and coverage < minimum:
            failures.append(
                f"{summary.name} {coverage:.1%} ({summary.values} of {summary.read} records "
                "have a value)"
            )
    return failures


def format_value(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool) or not isinstance(value, int | float):
        return str(value)
    return f"{value:.4f}"


def table_rows(summaries: list[MetricSummary]) -> tuple[tuple[str, ...], list[tuple[str, ...]]]:
    """The summary table's header and rows; with the judge's tokens and cost when some
    metric asked a judge."""
    header = (
        "metric",
        "value",
        "min",
        "max",
        "records",
        "coverage",
        "errors",
        "unreadable",
        "skipped",
    )
    rows = []
    for summary in summaries:
        records = str(summary.read) if not summary.skipped else f"{summary.read}/{summary.total}"
        coverage = summary.coverage
        rows.append(
            (
                summary.name,
                "Error" if summary.failed else format_value(summary.value),
                format_value(summary.minimum),
                format_value(summary.maximum),
                records,
                "-" if coverage is None else f"{coverage:.1%}",
                str(summary.errors - summary.unreadable),
                str(summary.unreadable),
                str(summary.skipped),
            )
        )
    if any(summary.spend is not None for summary in summaries):
        header += ("tokens", "cost")
        rows = [
            (*row, *spend_cells(summary.spend))
            for row, summary in zip(rows, summaries, strict=True)
        ]
    if any(summary.judging is not None for summary in summaries):
        from zentrix_gov.judging.summary import table_columns

        header, rows = table_columns(summaries, header, rows)
    return header, rows
