"""The data a run report's page holds for its table, described once: ``PageData``.

The page embeds one JSON object of this shape in ``<script type="application/json"
id="report-data">``; static/table.js reads it, and its opening comment names the same fields
(a test holds the two together). Columns are per record, in record order. The texts and
notes columns are written from spool files, a record at a time, so that a run's texts are
never all in memory.
"""

from __future__ import annotations

import json
import tempfile
from array import array
from bisect import bisect_right
from collections.abc import Iterator
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any

from zentrix_gov.reports.page import script_json, script_safe

if TYPE_CHECKING:
    import numpy as np

# What a texts or notes entry holds for a record whose texts are left out (or, in notes,
# about which no metric said anything).
NOTHING = "0"
# Records whose entries are joined into one piece of the page's text.
_PIECE = 500
# Longest run of digits a browser's numbers hold exactly (2**53 has 16).
_COUNTING_DIGITS = 15
# One encoder for every entry: json.dumps with options makes a new one each call.
_ENCODE = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


@dataclass
class MetricData:
    """One metric's results."""

    name: str
    higher_is_worse: bool
    values: list[float | None]  # rounded to 4 places, as the page shows them; None: no value
    status: str  # one letter per record: o ok, e error, s skipped, - not evaluated
    labels: list[str]  # the labels the metric gave
    label: list[int] | None  # an index into labels per record, -1: none; None: no labels
    reasons: list[str]  # why records were skipped
    reason: list[int] | None  # an index into reasons per record; None: fewer than 2 reasons


@dataclass
class PageData:
    """Everything the page's table shows."""

    records: int  # how many records the run has
    page_size: int  # rows the table shows at a time
    ids: list[str | list[int]]  # every record's id; [first, count]: count ids counting from first
    fields: list[str]  # the record columns that have texts
    metrics: list[MetricData]
    texts: Spool  # per record its texts by field (None: empty), or 0: left out
    notes: Spool  # per record {metric index: [explanation, feedback, error]}, or 0: none


class Spool:
    """A column of JSON texts, one per record, in a temporary file: page-ready (escaped for
    a ``<script>`` element), so a text's length here is its length in the page."""

    def __init__(self) -> None:
        self.file = tempfile.TemporaryFile("w+b")  # noqa: SIM115 - closed by close()
        self.offsets = array("q", [0])

    def append(self, value: Any) -> None:
        """Add the next record's entry (all are added before any is read)."""
        encoded = script_safe(_ENCODE(value)).encode("utf-8") + b"\n"
        self.file.write(encoded)
        self.offsets.append(self.offsets[-1] + len(encoded))

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __getitem__(self, position: int) -> Any:
        self.file.seek(self.offsets[position])
        return json.loads(self.file.readline())

    def lengths(self) -> np.ndarray:
        """The length in bytes of each record's entry."""
        import numpy as np

        return np.diff(np.frombuffer(self.offsets, dtype=np.int64)) - 1

    def pieces(self, kept: np.ndarray | None) -> Iterator[str]:
        """The entries, comma-separated, in pieces; ``0`` for records not ``kept``."""
        self.file.seek(0)
        batch: list[bytes] = []
        first = True
        nothing = NOTHING.encode()
        for position, line in enumerate(self.file):
            batch.append(line[:-1] if kept is None or kept[position] else nothing)
            if len(batch) == _PIECE:
                yield ("" if first else ",") + b",".join(batch).decode("utf-8")
                batch, first = [], False
        if batch:
            yield ("" if first else ",") + b",".join(batch).decode("utf-8")

    def close(self) -> None:
        self.file.close()


class IdColumn:
    """Record ids, in record order, as the page holds them: a run of ids that count up by one
    (the line numbers that records without an id get, or ids that are counts) is written as
    ``[first, count]``, so that a run's ids cost next to nothing when they are line numbers."""

    def __init__(self) -> None:
        self.items: list[str | list[int]] = []
        self.starts = array("q")  # the position of each item's first record
        self.count = 0

    def append(self, record_id: str) -> None:
        number = _counting(record_id)
        last = self.items[-1] if self.items else None
        if number is not None and isinstance(last, list) and last[0] + last[1] == number:
            last[1] += 1
        else:
            self.starts.append(self.count)
            self.items.append(record_id if number is None else [number, 1])
        self.count += 1

    def __getitem__(self, position: int) -> str:
        index = bisect_right(self.starts, position) - 1
        item = self.items[index]
        return item if isinstance(item, str) else str(item[0] + position - self.starts[index])


def _counting(text: str) -> int | None:
    """The number ``text`` writes, when it is written as the page's script would write it."""
    if not 0 < len(text) <= _COUNTING_DIGITS or not (text.isascii() and text.isdigit()):
        return None
    return int(text) if text == "0" or text[0] != "0" else None


def head_json(data: PageData) -> str:
    """The page data but its spooled columns, as JSON without its closing brace."""
    head = {
        field.name: getattr(data, field.name)
        for field in fields(data)
        if not isinstance(getattr(data, field.name), Spool)
    }
    # Not dataclasses.asdict: it copies every value of every column one by one.
    head["metrics"] = [
        {field.name: getattr(metric, field.name) for field in fields(metric)}
        for metric in data.metrics
    ]
    return script_json(head)[:-1]


def _spooled(data: PageData) -> list[tuple[str, Spool]]:
    return [
        (field.name, getattr(data, field.name))
        for field in fields(data)
        if isinstance(getattr(data, field.name), Spool)
    ]


def data_size(head: str, data: PageData) -> tuple[int, np.ndarray]:
    """The page data's size in bytes with every record's texts left out, and what keeping
    each record's adds to it."""
    import numpy as np

    size = len(head.encode("utf-8")) + len("}")
    extra = np.zeros(data.records, dtype=np.int64)
    for name, spool in _spooled(data):
        size += len(f',"{name}":[]') + max(data.records - 1, 0) + data.records * len(NOTHING)
        extra += spool.lengths() - len(NOTHING)
    return size, extra


def json_pieces(head: str, data: PageData, kept: np.ndarray | None) -> Iterator[str]:
    """The page data as JSON text, in pieces; ``kept`` says per record whether its texts and
    notes are on the page (None: every record's)."""
    yield head
    for name, spool in _spooled(data):
        yield f',"{name}":['
        yield from spool.pieces(kept)
        yield "]"
    yield "}"
