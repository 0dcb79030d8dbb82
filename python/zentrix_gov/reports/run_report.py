"""The report of one stored run: a single HTML file that needs nothing but a browser.

It shows what was run and the summary table; per metric a chart of its values (or label
counts), its errors by code and its worst records with their texts and what the judge said;
and every record in a table that sorts, filters and shows a record's texts on click. The
table's data (``page_data.PageData``) are embedded once, as compact JSON the page's small
script renders a page of rows at a time, so a run of 240,000 records stays usable. To keep
such a page under ``DATA_LIMIT``, the table leaves out every text of some records rather
than cutting texts (``kept`` chooses), and the page says which and where they are.
"""

from __future__ import annotations

import os
import shlex
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import zentrix_gov.reports.charts as charts
from zentrix_gov.reports.agreement_section import agreement_sections
from zentrix_gov.reports.direction import higher_is_worse, threshold_text, within_thresholds
from zentrix_gov.reports.kept import KeptTexts, keep_texts
from zentrix_gov.reports.page import script_text, write_page
from zentrix_gov.reports.page_data import MetricData, PageData, data_size, head_json, json_pieces
from zentrix_gov.reports.table import MetricColumn, RunTable, build_table
from zentrix_gov.reports.texts import RecordTexts, record_texts
from zentrix_gov.runs.usage import spend_cells, spend_lines

if TYPE_CHECKING:
    import numpy as np

    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.summary import MetricSummary

# Bytes of the page's embedded data at most (the page itself adds some 100 kB).
DATA_LIMIT = 18_000_000
WORST_SHOWN = 10
# Rows the table shows at a time.
PAGE_SIZE = 50


@dataclass
class ReportFacts:
    """What was written: the file's size, and whose texts the table left out."""

    size: int
    records: int
    texts_note: str  # why there are no texts ("" when there are)
    left_out: int  # records whose texts the table leaves out to keep the page small
    kept: str  # which records keep their texts when some are left out ("" otherwise)
    left_out_note: str  # what the page says about it ("" when nothing is left out)


def write_run_report(
    store: RunStore,
    run: RunRecord,
    target: str | os.PathLike[str],
    *,
    data_limit: int | None = None,
) -> ReportFacts:
    """Write the report of ``run`` to ``target`` (replaced whole, never half-written); its
    embedded data take at most ``data_limit`` bytes (default ``DATA_LIMIT``)."""
    from zentrix_gov.runs.summary import summarize

    data_limit = DATA_LIMIT if data_limit is None else data_limit
    summaries = summarize(store, run)
    directions = [higher_is_worse(s.name, s.identity) for s in summaries]
    texts = record_texts(run)
    table = build_table(store, run, summaries, directions, texts)
    try:
        sections = [_section(table, column) for column in table.metrics]
        data = _page_data(table)
        head = head_json(data)
        fixed, extra = data_size(head, data)
        worst = [record["position"] for section in sections for record in section["worst"]]
        kept = keep_texts(extra, data_limit - fixed, worst, PAGE_SIZE, _with_errors(table))
        note = _left_out_note(run, texts, kept, data_limit)
        context = {
            "agreement": agreement_sections(store, run, table),
            "judging": any(summary.judging is not None for summary in summaries),
            "run": run,
            "facts": _facts(store, run, texts.note),
            "summary": [_summary_row(summary) for summary in summaries],
            "judged": any(summary.spend is not None for summary in summaries),
            "sections": sections,
            "fields": table.fields,
            "records": table.records,
            "left_out_note": note,
            "texts_note": texts.note,
        }
        size = write_page(
            target,
            "run.html",
            context,
            script=script_text("table.js"),
            data=json_pieces(head, data, kept.mask),
        )
    finally:
        table.close()
    return ReportFacts(size, table.records, texts.note, kept.left_out, kept.kept_text(), note)


def _left_out_note(run: RunRecord, texts: RecordTexts, kept: KeptTexts, limit: int) -> str:
    """What the page says about the records whose texts it leaves out."""
    if not kept.left_out:
        return ""
    where = (
        f"The records file {texts.shown_path} holds their texts, and " if texts.available else ""
    )
    command = f"python -m zentrix_gov runs export {run.id} -o FILE.json"
    return (
        f"To keep this page under {limit / 1e6:g} MB, the table leaves out the texts, "
        f"explanations, feedback and errors of {kept.left_out:,} of its {kept.records:,} "
        f"records and shows only their ids, values and status. It keeps them whole for "
        f"{kept.kept_text()}. {where}{'t' if where else 'T'}he command {command} writes "
        "every result with its explanation, feedback and error."
    )


def _with_errors(table: RunTable) -> np.ndarray:
    """The positions of the records with an error in some metric."""
    import numpy as np

    error = ord("e")
    found = np.zeros(table.records, dtype=bool)
    for column in table.metrics:
        found |= np.frombuffer(bytes(column.status), dtype=np.uint8) == error
    return np.flatnonzero(found)


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
    facts += [("judge spend", line) for line in spend_lines(store, run.id)]
    if run.error:
        facts.append(("error", run.error))
    return facts


def _summary_row(summary: MetricSummary) -> dict[str, Any]:
    thresholds = (summary.aggregate or summary.identity or {}).get("thresholds") or []
    tokens, cost = spend_cells(summary.spend)
    return {
        "summary": summary,
        "thresholds": threshold_text(thresholds),
        "within": within_thresholds(summary.value, thresholds),
        "records": summary.read if not summary.skipped else f"{summary.read}/{summary.total}",
        "tokens": tokens,
        "cost": cost,
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
        texts, notes = table.texts[position], table.notes[position]
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
                "id": table.ids[position],
                "value": float(column.values[position]),
                "label": label,
                "texts": shown,
                "explanation": explanation,
                "feedback": feedback,
                "error": error,
            }
        )
    return worst


def _page_data(table: RunTable) -> PageData:
    import numpy as np

    metrics = []
    for column in table.metrics:
        values = np.round(column.values, 4)  # as the page shows them
        metrics.append(
            MetricData(
                name=column.name,
                higher_is_worse=column.higher_is_worse,
                values=[None if value != value else value for value in values.tolist()],
                status=column.status.decode("ascii"),
                labels=column.labels,
                label=None if column.label_index is None else column.label_index.tolist(),
                reasons=column.reasons,
                reason=None
                if column.reason_index is None or len(column.reasons) < 2
                else column.reason_index.tolist(),
            )
        )
    return PageData(
        records=table.records,
        page_size=PAGE_SIZE,
        ids=table.ids.items,
        fields=table.fields,
        metrics=metrics,
        texts=table.texts,
        notes=table.notes,
    )


def write_report(run: Any, path: str | os.PathLike[str]) -> Path:
    """Write the report page of ``run`` (a :class:`zentrix_gov.runs.Run`) to ``path``, as
    the ``report`` command does; returns the path."""
    from zentrix_gov.utils.files import output_target

    target = output_target(path, str(path))
    with run.open_store() as store:
        write_run_report(store, store.find_run(run.id), target)
    return Path(path)
