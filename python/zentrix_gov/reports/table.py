"""One pass over a stored run: every record's results beside its texts.

The per-metric numbers a report draws from (values, statuses, labels) are kept in compact
arrays, a few bytes per record. Everything of variable length (ids, texts, explanations,
feedback, error messages) goes to a spool file, one JSON line per record, so that memory
does not grow with the texts. The page's data are written from both at the end.
"""

from __future__ import annotations

import json
import tempfile
from array import array
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any

from zentrix_gov.reports.texts import RecordTexts, iter_texts
from zentrix_gov.runs.export import TEXT_LIMIT
from zentrix_gov.runs.units import default_id

if TYPE_CHECKING:
    import numpy as np

    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.runs.summary import MetricSummary

# What ends a text cut to keep a page small.
CUT_MARK = "…"
# One letter per record and metric in the page's data; "-" is a record with no stored
# result for the metric (a run that stopped before it).
STATUS_LETTERS = {"ok": "o", "error": "e", "skipped": "s"}
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
    spool: IO[bytes]  # one JSON line per record: [id, [texts by field], {metric: notes}]
    offsets: array  # where each record's line starts in the spool
    text_lengths: array  # the length in bytes of every text in the spool

    def line(self, position: int) -> list[Any]:
        """The spooled line of the record at ``position``."""
        self.spool.seek(self.offsets[position])
        return json.loads(self.spool.readline())

    def close(self) -> None:
        self.spool.close()


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
        builder.spool.close()
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
        self.spool = tempfile.TemporaryFile("w+b")  # noqa: SIM115 - the table closes it
        self.written = 0
        self.offsets, self.lengths = array("q"), array("q")
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
            if status == "skipped":
                number = self.reasons[index].setdefault(reason or "", len(self.reasons[index]))
                self.reason_rows[index].append((position, number))
                continue
            error = None
            if status == "error":
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
        if record_id == default_id(position):
            record_id = None  # the page shows the position-derived id itself
        line = json.dumps(
            [record_id, row_texts, notes or 0], ensure_ascii=False, separators=(",", ":")
        )
        encoded = line.encode("utf-8") + b"\n"
        self.offsets.append(self.written)
        self.spool.write(encoded)
        self.written += len(encoded)

    def _text(self, text: str | None) -> str | None:
        if text is None or text == "":
            return None
        if len(text) > TEXT_LIMIT:
            text = cut(text, TEXT_LIMIT)
        self.lengths.append(len(text.encode("utf-8")))
        return text

    def table(self) -> RunTable:
        for index, column in enumerate(self.metrics):
            column.labels = list(self.labels[index])
            if column.labels:
                column.label_index = _index_array(self.total, self.label_rows[index])
            column.reasons = list(self.reasons[index])
            if column.reasons:
                column.reason_index = _index_array(self.total, self.reason_rows[index])
        return RunTable(
            self.total, self.metrics, list(self.fields), self.spool, self.offsets, self.lengths
        )


def cut(text: str, limit: int) -> str:
    """``text`` cut to ``limit`` characters, saying how many more there were."""
    if len(text) <= limit:
        return text
    return f"{text[:limit]}… [{len(text) - limit:,} more characters]"


def cut_bytes(text: str, limit: int) -> str:
    """``text`` cut to at most ``limit`` bytes of UTF-8 (whole characters), ending in "…"."""
    if len(text) <= limit // 4:  # short enough whatever its characters
        return text
    encoded = text.encode("utf-8")
    if len(encoded) <= limit:
        return text
    return encoded[:limit].decode("utf-8", "ignore") + CUT_MARK


def _index_array(total: int, rows: list[tuple[int, int]]) -> np.ndarray:
    import numpy as np

    indexes = np.full(total, -1, dtype=np.int16)
    for position, number in rows:
        indexes[position] = number
    return indexes


def text_cap(lengths: array, budget: int) -> int | None:
    """The longest a text may be for all texts to fit in ``budget`` bytes, cutting
    only the longest ones (None when everything fits)."""
    import numpy as np

    if not lengths:
        return None
    sizes = np.sort(np.array(lengths, dtype=np.int64))
    if int(sizes.sum()) <= budget:
        return None
    # With the k shortest texts whole and the others cut to c, the texts take
    # prefix[k] + (n - k) * c characters: the answer is the largest k whose c is at least
    # the longest text kept whole.
    count = len(sizes)
    kept = np.arange(count)
    prefix = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    caps = (budget - prefix) // (count - kept)
    longest_kept = np.concatenate(([0], sizes[:-1]))
    fitting = np.nonzero(caps >= longest_kept)[0]
    return max(int(caps[fitting[-1]]), 0) if len(fitting) else 0


def spooled_lines(table: RunTable, cap: int | None) -> Iterator[str]:
    """The spooled records, each text cut to ``cap`` bytes when it is given."""
    table.spool.seek(0)
    for raw in table.spool:
        line = raw.decode("utf-8").rstrip("\n")
        if cap is None:
            yield line
            continue
        record_id, texts, notes = json.loads(line)
        texts = [None if text is None else cut_bytes(text, cap) for text in texts]
        if notes:
            notes = {
                key: [None if text is None else cut_bytes(text, cap) for text in entry]
                for key, entry in notes.items()
            }
        yield json.dumps([record_id, texts, notes], ensure_ascii=False, separators=(",", ":"))
