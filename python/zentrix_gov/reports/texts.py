"""The texts of a stored run's records, read back from its records file.

The store keeps what the metrics said about each record, not the record itself. A report
reads the records file the run names, by position, after checking that its size and
SHA-256 are still those the run recorded: a file that changed since could pair one
record's results with another record's texts. When the file is gone, changed or was a
table in memory, the report shows the results without texts and says why.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from zentrix_gov.runs.store import RunRecord

# Records read from the file at a time.
READ_CHUNK = 4096


@dataclass(frozen=True)
class RecordTexts:
    """Where a run's record texts come from, and whether they can be shown."""

    path: Path | None  # the records file, when its texts can be shown
    shown_path: str  # the file as the run names it
    note: str  # why there are no texts ("" when there are)

    @property
    def available(self) -> bool:
        return self.path is not None


def record_texts(run: RunRecord) -> RecordTexts:
    """Check the run's records file against the fingerprint the run stored."""
    from zentrix_gov.runs.errors import RecordsError
    from zentrix_gov.runs.inputs import fingerprint

    shown = run.input_path or ""
    if not run.input_path or run.input_path.startswith("<"):
        return RecordTexts(None, shown, "the records were a table in memory: no texts kept")
    path = Path(run.input_path)
    if not path.is_absolute():
        # Relative to the folder the run started in, where the command line noted it.
        path = Path(run.definition.get("cwd") or ".").absolute() / path
    if not path.is_file():
        where = "" if Path(shown).is_absolute() else f" (looked for {path})"
        return RecordTexts(None, shown, f"the records file {shown} is gone{where}: no texts shown")
    try:
        found = fingerprint(str(path))
    except RecordsError as exc:
        return RecordTexts(None, shown, f"{exc}: no texts shown")
    if (found.size, found.sha256) != (run.input_size, run.input_hash):
        return RecordTexts(
            None,
            shown,
            f"the records file {shown} changed since the run ({run.input_size} bytes then, "
            f"{found.size} now): no texts shown, as they might not be the records evaluated",
        )
    return RecordTexts(path, shown, "")


def iter_texts(source: RecordTexts, id_field: str) -> Iterator[tuple[int, dict[str, str]]]:
    """``(position, {column: text})`` for every record of the file, in file order; the id
    column and empty cells are left out."""
    if source.path is None:
        return
    for position, record in enumerate(_records(source.path)):
        texts = {}
        for column, cell in record:
            if column == id_field:
                continue
            text = cell_text(cell)
            if text is not None:
                texts[column] = text
        yield position, texts


def _records(path: Path) -> Iterator[Iterator[tuple[str, Any]]]:
    """Each record's cells. JSON Lines are read line by line (the file is the one the run
    read, so every line is a record); the other formats a chunk of frames at a time."""
    from zentrix_gov.runs.inputs import read_records, record_format

    if record_format(str(path)) == "jsonl":
        with path.open("rb") as handle:
            for line in handle:
                if line.strip():
                    yield iter(json.loads(line).items())
        return
    for frame in read_records(str(path), READ_CHUNK):
        columns = [str(column) for column in frame.columns]
        for row in frame.itertuples(index=False, name=None):
            yield zip(columns, row, strict=True)


def cell_text(cell: Any) -> str | None:
    """A cell as text: strings as they are, lists and objects as JSON, nothing for an empty
    cell."""
    from zentrix_gov.utils.python_utils import is_missing

    if isinstance(cell, str):
        return cell if cell.strip() else None
    if hasattr(cell, "tolist"):  # numpy arrays and scalars (Parquet list columns)
        cell = cell.tolist()
    if isinstance(cell, list | tuple | dict):
        return json.dumps(cell, ensure_ascii=False, default=str)
    if is_missing(cell):
        return None
    return str(cell)


def texts_at(run: RunRecord, positions: set[int]) -> tuple[dict[int, dict[str, str]], RecordTexts]:
    """The texts of the records at ``positions`` (a few), reading the file only as far as
    the last of them."""
    source = record_texts(run)
    found: dict[int, dict[str, str]] = {}
    if not positions or not source.available:
        return found, source
    last = max(positions)
    for position, texts in iter_texts(source, run.definition.get("id_field", "record_id")):
        if position in positions:
            found[position] = texts
        if position >= last:
            break
    return found, source
