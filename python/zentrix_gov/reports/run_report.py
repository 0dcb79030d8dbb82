"""The report of one stored run: a single HTML file that needs nothing but a browser.

It shows what was run and the summary table; per metric a chart of its values (or label
counts), its errors by code and its worst records with their texts and what the judge said;
and every record in a table that sorts, filters and shows a record's texts on click. The
table's data are embedded once, as compact JSON the page's small script renders a page of
rows at a time, so a run of 100,000 records stays usable. To keep such a page under
``DATA_LIMIT``, the longest texts in the table are cut (the worst records keep theirs).
"""

from __future__ import annotations

import os
import shlex
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zentrix_gov.reports import charts
from zentrix_gov.reports.direction import higher_is_worse, threshold_text, within_thresholds
from zentrix_gov.reports.page import script_json, script_text, write_page
from zentrix_gov.reports.table import (
    CUT_MARK,
    MetricColumn,
    RunTable,
    build_table,
    spooled_lines,
    text_cap,
)
from zentrix_gov.reports.texts import record_texts

if TYPE_CHECKING:
    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.summary import MetricSummary

# Bytes of the page's embedded data at most (the page itself adds some 100 kB).
DATA_LIMIT = 18_000_000
WORST_SHOWN = 10
# What a cut text gains besides its kept bytes: the mark "…".
_CUT_MARK = len(CUT_MARK.encode("utf-8"))
_RECORDS_PER_PIECE = 500


@dataclass
class ReportFacts:
    """What was written: the file's size, and how far the table's texts were cut."""

    size: int
    records: int
    text_cap: int | None  # None: no text was cut for size
    texts_note: str  # why there are no texts ("" when there are)


def write_run_report(
    store: RunStore,
    run: RunRecord,
    target: str | os.PathLike[str],
    *,
    data_limit: int = DATA_LIMIT,
) -> ReportFacts:
    """Write the report of ``run`` to ``target`` (replaced whole, never half-written)."""
    from zentrix_gov.runs.summary import summarize

    summaries = summarize(store, run)
    directions = [higher_is_worse(s.name, s.identity) for s in summaries]
    texts = record_texts(run)
    table = build_table(store, run, summaries, directions, texts)
    try:
        head = _data_head(table)
        fixed = len(head) + _record_overhead(table)
        cap = _cap(table, data_limit - fixed)
        context = {
            "run": run,
            "facts": _facts(store, run, texts.note),
            "summary": [_summary_row(summary) for summary in summaries],
            "sections": [_section(table, column) for column in table.metrics],
            "fields": table.fields,
            "records": table.records,
            "cap": cap,
            "texts_note": texts.note,
        }
        size = write_page(
            target,
            "run.html",
            context,
            script=script_text("table.js"),
            data=_data(head, table, cap),
        )
    finally:
        table.close()
    return ReportFacts(size, table.records, cap, texts.note)


def _facts(store: RunStore, run: RunRecord, texts_note: str) -> list[tuple[str, str]]:
    command = run.command
    if not isinstance(command, str):
        # The program ("python -m zentrix_gov") as it is, its arguments quoted for a shell.
        command = " ".join([*command[:1], shlex.join(command[1:])])
    facts = [
        ("run", f"{run.id} ({run.status})"),
        ("started", run.started + (f", ended {run.ended}" if run.ended else "")),
        ("records", f"{run.input_path or '-'} ({run.total_records:,} records)"),
        ("texts", texts_note or "from the records file, checked against the run's SHA-256"),
        ("metrics", ", ".join(run.metrics)),
    ]
    if run.judge_model:
        facts.append(("judge", run.judge_model + (f" at {run.judge_url}" if run.judge_url else "")))
    facts += [
        ("versions", ", ".join(f"{name} {version}" for name, version in run.versions.items())),
        ("command", command),
        ("store", str(store.path)),
    ]
    if run.error:
        facts.append(("error", run.error))
    return facts


def _summary_row(summary: MetricSummary) -> dict[str, Any]:
    thresholds = (summary.aggregate or summary.identity or {}).get("thresholds") or []
    return {
        "summary": summary,
        "thresholds": threshold_text(thresholds),
        "within": within_thresholds(summary.value, thresholds),
        "records": summary.read if not summary.skipped else f"{summary.read}/{summary.total}",
    }


def _section(table: RunTable, column: MetricColumn) -> dict[str, Any]:
    import numpy as np

    summary = column.summary
    if column.has_labels:
        assert column.label_index is not None
        numbers = np.bincount(
            column.label_index[column.label_index >= 0], minlength=len(column.labels)
        )
        chart = charts.label_bars(dict(zip(column.labels, numbers.tolist(), strict=True)))
    else:
        chart = charts.histogram(column.values)
    skipped: dict[str, int] = {}
    if column.reason_index is not None:
        reasons = np.bincount(
            column.reason_index[column.reason_index >= 0], minlength=len(column.reasons)
        )
        skipped = dict(zip(column.reasons, reasons.tolist(), strict=True))
    return {
        "summary": summary,
        "display_name": (summary.identity or {}).get("display_name") or summary.name,
        "higher_is_worse": column.higher_is_worse,
        "chart": chart,
        "errors": sorted(column.errors.items(), key=lambda item: (-item[1][0], item[0])),
        "notes": summary.notes,
        "skipped": skipped,
        "worst": _worst(table, column),
    }


def _worst(table: RunTable, column: MetricColumn) -> list[dict[str, Any]]:
    """The records with the worst values: the lowest, or the highest where higher is
    worse; among equal values, the first in the file."""
    import numpy as np

    scored = np.flatnonzero(np.isfinite(column.values))
    values = column.values[scored]
    order = np.argsort(values if not column.higher_is_worse else -values, kind="stable")
    index = table.metrics.index(column)
    worst = []
    for position in scored[order[:WORST_SHOWN]].tolist():
        record_id, texts, notes = table.line(position)
        explanation, feedback, error = (notes or {}).get(str(index)) or (None, None, None)
        label = None
        if column.label_index is not None and column.label_index[position] >= 0:
            label = column.labels[column.label_index[position]]
        shown = [(name, text) for name, text in zip(table.fields, texts, strict=False) if text]
        first = (explanation or error or (shown[0][1] if shown else "")).split("\n")[0]
        worst.append(
            {
                "position": position,
                "preview": first if len(first) <= 100 else first[:99] + "…",
                "id": record_id,
                "value": float(column.values[position]),
                "label": label,
                "texts": shown,
                "explanation": explanation,
                "feedback": feedback,
                "error": error,
            }
        )
    return worst


def _data_head(table: RunTable) -> str:
    """The page's data before the records: the metrics' compact columns."""
    import numpy as np

    metrics = []
    for column in table.metrics:
        values = np.round(column.values, 4)  # as the page shows them
        metrics.append(
            {
                "name": column.name,
                "hiw": column.higher_is_worse,
                "values": [None if value != value else value for value in values.tolist()],
                "status": column.status.decode("ascii"),
                "labels": column.labels,
                "label": None if column.label_index is None else column.label_index.tolist(),
                "reasons": column.reasons,
                # Which reason, per record, only when there are several.
                "reason": None
                if column.reason_index is None or len(column.reasons) < 2
                else column.reason_index.tolist(),
            }
        )
    head = {"n": table.records, "fields": table.fields, "metrics": metrics}
    return script_json(head)[:-1] + ',"records":['


def _record_overhead(table: RunTable) -> int:
    """Bytes of the spooled records that are not texts (ids, brackets, commas)."""
    table.spool.seek(0, os.SEEK_END)
    return max(table.spool.tell() - sum(table.text_lengths), 0)


def _cap(table: RunTable, budget: int) -> int | None:
    """How many bytes a text may take for the records' texts to fit in ``budget`` bytes;
    the marks of cut texts count too."""
    cap = text_cap(table.text_lengths, max(budget, 0))
    if cap is None:
        return None
    cut = sum(1 for length in table.text_lengths if length > cap)
    return text_cap(table.text_lengths, max(budget - cut * _CUT_MARK, 0)) or 0


def _data(head: str, table: RunTable, cap: int | None) -> Iterator[str]:
    yield head
    batch: list[str] = []
    first = True
    for line in spooled_lines(table, cap):
        batch.append(line)
        if len(batch) == _RECORDS_PER_PIECE:
            yield ("" if first else ",") + ",".join(batch)
            batch, first = [], False
    if batch:
        yield ("" if first else ",") + ",".join(batch)
    yield "]}"
