"""One pass over a stored run: every record's results beside its texts.

The per-metric numbers a report draws from (values, statuses, labels) are kept in compact
arrays, a few bytes per record, and the ids in an ``IdColumn``. The texts and what the
metrics said (explanations, feedback, error messages) go to spool files, one JSON line per
record, so that memory does not grow with the texts. The page's data are written from them
at the end.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.reports.page_data import IdColumn, Spool
from zentrix_gov.reports.texts import RecordTexts, iter_texts
from zentrix_gov.runs.export import TEXT_LIMIT
from zentrix_gov.runs.schema import ResultStatus
from zentrix_gov.runs.units import default_id

if TYPE_CHECKING:
    import numpy as np

    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.summary import MetricSummary

# One letter per record and metric in the page's data; "-" is a record with no stored
# result for the metric (a run that stopped before it).
STATUS_LETTERS = {ResultStatus.OK: "o", ResultStatus.ERROR: "e", ResultStatus.SKIPPED: "s"}
NOT_EVALUATED = "-"
_COLUMNS = (
    "position",
    "record_id",
    "status",
    "value",
    "label",
    "explanation",
    "feedback",
    "error_code",
    "error_text",
    "skip_reason",
)


@dataclass
class MetricColumn:
    """One metric's results across the run, a few bytes per record."""

    summary: MetricSummary
    higher_is_worse: bool
    values: np.ndarray  # float64, NaN where a record has no value
    status: bytearray  # STATUS_LETTERS, NOT_EVALUATED
    labels: list[str] = field(default_factory=list)
    label_index: np.ndarray | None = None  # int16 into labels, -1 for none
    reasons: list[str] = field(default_factory=list)
    reason_index: np.ndarray | None = None  # int16 into reasons, -1 for none
    errors: dict[str, list[Any]] = field(default_factory=dict)  # code -> [count, example]

    @property
    def name(self) -> str:
        return self.summary.name

    @property
    def has_labels(self) -> bool:
        return bool(self.labels)


@dataclass
class RunTable:
    """The run's results, record by record, and where the variable-length rest is."""

    records: int
    metrics: list[MetricColumn]
    fields: list[str]  # record columns with texts, in the order first seen
    ids: IdColumn  # every record's id
    texts: Spool  # per record: its texts by field (None where empty)
    notes: Spool  # per record: {metric index: [explanation, feedback, error]}, or 0

    def close(self) -> None:
        self.texts.close()
        self.notes.close()


def build_table(
    store: RunStore,
    run: RunRecord,
    summaries: list[MetricSummary],
    directions: list[bool],
    texts: RecordTexts,
) -> RunTable:
    """Read every result of ``run`` and every text of its records in one pass."""
    builder = _Builder(run.total_records, summaries, directions)
    cursors = [store.results(run.id, column.name, _COLUMNS) for column in builder.metrics]
    heads = [next(cursor, None) for cursor in cursors]
    record_texts = iter_texts(texts, run.definition.get("id_field", "record_id"))
    next_texts = next(record_texts, None)
    try:
        for position in range(run.total_records):
            found = []
            for index, head in enumerate(heads):
                if head is not None and head[0] == position:
                    found.append((index, head))
                    heads[index] = next(cursors[index], None)
            row_texts: dict[str, str] = {}
            if next_texts is not None and next_texts[0] == position:
                row_texts = next_texts[1]
                next_texts = next(record_texts, None)
            builder.add(position, found, row_texts)
        return builder.table()
    except BaseException:
        builder.texts.close()
        builder.notes.close()
        raise


class _Builder:
    def __init__(self, total: int, summaries: list[MetricSummary], directions: list[bool]):
        import numpy as np

        self.total = total
        self.metrics = [
            MetricColumn(
                summary, worse, np.full(total, np.nan), bytearray(NOT_EVALUATED.encode() * total)
            )
            for summary, worse in zip(summaries, directions, strict=True)
        ]
        self.fields: dict[str, int] = {}
        self.ids = IdColumn()
        self.texts, self.notes = Spool(), Spool()
        self.labels: list[dict[str, int]] = [{} for _ in summaries]
        self.reasons: list[dict[str, int]] = [{} for _ in summaries]
        self.label_rows: list[list[tuple[int, int]]] = [[] for _ in summaries]
        self.reason_rows: list[list[tuple[int, int]]] = [[] for _ in summaries]

    def add(
        self, position: int, found: list[tuple[int, tuple[Any, ...]]], texts: dict[str, str]
    ) -> None:
        """One record: its stored results (metric index, result row) and its texts."""
        record_id = None
        notes: dict[str, list[str | None]] = {}
        for index, head in found:
            _, record_id, status, value, label, explanation, feedback, code, message, reason = head
            column = self.metrics[index]
            column.status[position] = ord(STATUS_LETTERS[status])
            if value is not None:
                column.values[position] = value
            if label is not None:
                number = self.labels[index].setdefault(label, len(self.labels[index]))
                self.label_rows[index].append((position, number))
            if status == ResultStatus.SKIPPED:
                number = self.reasons[index].setdefault(reason or "", len(self.reasons[index]))
                self.reason_rows[index].append((position, number))
                continue
            error = None
            if status == ResultStatus.ERROR:
                code = code or ""
                entry = column.errors.setdefault(code, [0, message or ""])
                entry[0] += 1
                error = f"{code}: {message}" if message else code
            if explanation or feedback or error:
                notes[str(index)] = [
                    self._text(explanation),
                    self._text(feedback),
                    self._text(error),
                ]
        row_texts: list[str | None] = []
        for name, text in texts.items():
            slot = self.fields.setdefault(name, len(self.fields))
            row_texts.extend([None] * (slot + 1 - len(row_texts)))
            row_texts[slot] = self._text(text)
        # A record no metric stored a result for (the run stopped before it) has the id the
        # run would have given it without an id column.
        self.ids.append(default_id(position) if record_id is None else record_id)
        self.texts.append(row_texts)
        self.notes.append(notes or 0)

    def _text(self, text: str | None) -> str | None:
        if text is None or text == "":
            return None
        return cut(text, TEXT_LIMIT)

    def table(self) -> RunTable:
        for index, column in enumerate(self.metrics):
            column.labels = list(self.labels[index])
            if column.labels:
                column.label_index = _index_array(self.total, self.label_rows[index])
            column.reasons = list(self.reasons[index])
            if column.reasons:
                column.reason_index = _index_array(self.total, self.reason_rows[index])
        return RunTable(
            self.total, self.metrics, list(self.fields), self.ids, self.texts, self.notes
        )


def cut(text: str, limit: int) -> str:
    """``text`` cut to ``limit`` characters, saying how many more there were."""
    if len(text) <= limit:
        return text
    return f"{text[:limit]}… [{len(text) - limit:,} more characters]"


def _index_array(total: int, rows: list[tuple[int, int]]) -> np.ndarray:
    import numpy as np

    indexes = np.full(total, -1, dtype=np.int16)
    for position, number in rows:
        indexes[position] = number
    return indexes
