"""Exports of a stored run: the results JSON and the per-record CSV beside it.

Both are written from the store a record at a time, so exporting a run of millions of
records needs no more memory than exporting a small one. The JSON reads exactly as
``json.dumps(document, indent=2)`` of the whole document would.
"""

from __future__ import annotations

import csv
import json
import shutil
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from zentrix_gov.runs.schema import ResultStatus
from zentrix_gov.runs.store import RunRecord, RunStore
from zentrix_gov.runs.summary import MetricSummary, aggregate_value, error_text, summarize

# Longest text an export repeats (evidences, error messages, ...); longer texts are cut and
# end with TRUNCATED_MARK. The JSON records the limit and how many texts were cut.
TEXT_LIMIT = 10_000
TRUNCATED_MARK = "... [truncated: {length} characters]"
# Entries of a record's additional_info the CSV shows in columns of their own.
DETAIL_INFO = ("feedback", "input_tokens", "output_tokens")
_DETAILS = ("label", "explanation", *DETAIL_INFO)
_RECORD_FIELDS = (
    "name",
    "display_name",
    "method",
    "provider",
    "group",
    "record_id",
    "record_timestamp",
    "value",
    "label",
    "thresholds",
    "explanation",
    "additional_info",
    "evidences",
    "errors",
)


def cap_texts(value: Any, limit: int = TEXT_LIMIT) -> tuple[Any, int]:
    """``value`` with every text longer than ``limit`` cut, and how many texts were cut."""
    if isinstance(value, str):
        if len(value) <= limit:
            return value, 0
        return value[:limit] + TRUNCATED_MARK.format(length=len(value)), 1
    if isinstance(value, list):
        items = [cap_texts(item, limit) for item in value]
        return [item for item, _ in items], sum(count for _, count in items)
    if isinstance(value, dict):
        entries = {key: cap_texts(item, limit) for key, item in value.items()}
        return {k: v for k, (v, _) in entries.items()}, sum(c for _, c in entries.values())
    return value, 0


def failure_text(summaries: list[MetricSummary]) -> str | None:
    """Why the run failed when some metric produced no value; None when all did."""
    failed = [summary for summary in summaries if summary.failed]
    if not failed:
        return None
    details = []
    for summary in failed:
        first = summary.notes[0] if summary.notes else summary.first_error
        details.append(
            f"{summary.name} ({error_text(first['code'], first['message_en'])})"
            if first
            else summary.name
        )
    plural = "s" if len(failed) > 1 else ""
    return f"{len(failed)} metric{plural} produced no value: " + "; ".join(details)


def write_json(
    store: RunStore,
    run: RunRecord,
    handle: IO[str],
    header: dict[str, Any],
    summaries: list[MetricSummary] | None = None,
) -> None:
    """The results document of ``run``: ``header`` entries first, then ``text_limit``,
    ``truncated_texts`` and one entry per metric with all its record results."""
    summaries = summaries if summaries is not None else summarize(store, run)
    truncated = 0
    # The count of cut texts comes before the metrics it counts: they go to a spool first.
    with tempfile.TemporaryFile("w+", encoding="utf-8") as spool:
        for index, summary in enumerate(summaries):
            spool.write(",\n    " if index else "\n    ")
            truncated += _write_metric(store, run, summary, spool)
        spool.write("\n  ]" if summaries else "]")
        document = {**header, "text_limit": TEXT_LIMIT, "truncated_texts": truncated}
        text = json.dumps(document, indent=2, ensure_ascii=False)
        handle.write(text[:-2] + ',\n  "metrics": [')
        spool.seek(0)
        shutil.copyfileobj(spool, handle)
        handle.write("\n}\n")


def _write_metric(store: RunStore, run: RunRecord, summary: MetricSummary, out: IO[str]) -> int:
    """One metric's entry, as json.dumps would indent it four levels deep; returns how many
    texts were cut."""
    skipped_ids = [
        record_id
        for record_id, status in store.results(run.id, summary.name, ("record_id", "status"))
        if status == ResultStatus.SKIPPED
    ]
    if summary.identity is None:
        entry = {"metric": summary.name, "name": summary.name, "value": None, "total_records": 0}
        entry["skipped_record_ids"] = skipped_ids
        entry, cut = cap_texts(entry)
        out.write(_indented(entry, 2))
        return cut
    identity = summary.aggregate or {}
    errors = list(summary.notes)
    if summary.failed:
        errors += [
            error
            for record in stored_records(store, run, summary)
            for error in record["errors"] or []
        ]
    before = {"metric": summary.name}
    before.update(
        {
            name: identity.get(name)
            for name in ("name", "display_name", "method", "provider", "group")
        }
    )
    before.update(value=aggregate_value(summary), total_records=summary.read)
    after = {
        "min": summary.minimum,
        "max": summary.maximum,
        "mean": summary.value if summary.values else None,
        "thresholds": identity.get("thresholds") or [],
        "errors": errors or None,
        "skipped_record_ids": skipped_ids,
    }
    before, cut = cap_texts(before)
    after, cut_after = cap_texts(after)
    cut += cut_after
    head = _indented(before, 2)
    out.write(head[:-2] + ',\n      "record_level_metrics": ')
    first = True
    for record in stored_records(store, run, summary):
        record, cut_record = cap_texts(record)
        cut += cut_record
        out.write("[\n        " if first else ",\n        ")
        out.write(_indented(record, 4))
        first = False
    out.write("[]" if first else "\n      ]")
    tail = _indented(after, 2)
    out.write(",\n" + tail[2:])
    return cut


def stored_records(
    store: RunStore, run: RunRecord, summary: MetricSummary
) -> Iterator[dict[str, Any]]:
    """The metric's record results as their JSON dumps, in record order (skipped left out)."""
    identity = summary.identity or {}
    for status, stored in store.results(run.id, summary.name, ("status", "record")):
        if status == ResultStatus.SKIPPED:
            continue
        fields = json.loads(stored)
        yield {
            name: fields[name] if name in fields else identity.get(name, _default(name))
            for name in _RECORD_FIELDS
        }


def _default(name: str) -> Any:
    return [] if name == "thresholds" else None


def _indented(value: Any, level: int) -> str:
    """json.dumps of ``value`` as it reads nested ``level`` levels deep (first line bare)."""
    text = json.dumps(value, indent=2, ensure_ascii=False)
    return text.replace("\n", "\n" + "  " * level)


def write_csv(store: RunStore, run: RunRecord, handle: IO[str], id_field: str) -> None:
    """One row per record: its id, every metric's value and, where some record of the
    metric has one, its label, explanation, feedback and token counts."""
    header = [id_field]
    columns: list[tuple[str, list[str]]] = []
    for name in run.metrics:
        present = store.detail_counts(run.id, name)
        details = [detail for detail in _DETAILS if present.get(detail)]
        header += [name, *(f"{name}.{detail}" for detail in details)]
        columns.append((name, details))
    writer = csv.writer(handle)
    writer.writerow(header)
    for record_id, cells in _joined_rows(store, run, columns):
        row, _ = cap_texts(cells)
        writer.writerow([record_id, *("" if cell is None else cell for cell in row)])


def _joined_rows(
    store: RunStore, run: RunRecord, columns: list[tuple[str, list[str]]]
) -> Iterator[tuple[str, list[Any]]]:
    """Rows of all metrics merged by record position."""
    wanted = ("position", "record_id", "status", "value", *_DETAILS)
    cursors = [store.results(run.id, name, wanted) for name, _ in columns]
    heads: list[tuple[Any, ...] | None] = [next(cursor, None) for cursor in cursors]
    while any(head is not None for head in heads):
        position = min(head[0] for head in heads if head is not None)
        record_id = None
        cells: list[Any] = []
        for index, (_, details) in enumerate(columns):
            head = heads[index]
            if head is None or head[0] != position:
                cells += [None] * (1 + len(details))
                continue
            record_id = head[1]
            found = dict(zip(wanted, head, strict=True))
            shown = found["status"] != ResultStatus.SKIPPED
            cells.append(found["value"] if shown else None)
            cells += [found[detail] if shown else None for detail in details]
            heads[index] = next(cursors[index], None)
        yield str(record_id), cells
