"""Records files, read a chunk at a time.

CSV, JSON Lines and Parquet files are streamed: memory holds one chunk of records, never the
whole table. A JSON file holds one array, which is read whole. Chunk ``k`` always holds the
records at positions ``k * size`` to ``(k + 1) * size - 1`` (positions count records in file
order from 0), whatever the format, so a resumed run cuts the file exactly as before.

The id column (when the source names one) is read as text as written in the file, whatever
the format and however the records are cut into chunks: a JSON number keeps its literal text
(``12345678901234567`` stays exact, ``1`` never becomes ``1.0``), a Parquet column of
numbers becomes the numbers' text, and a missing cell stays missing (the record then gets its
position-derived id).
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import RecordsError
from zentrix_gov.runs.record_formats import (
    csv_chunks,
    json_array,
    jsonl_records,
    open_binary,
    parquet_chunks,
    parquet_file,
    records_frame,
)

if TYPE_CHECKING:
    import pandas as pd

RECORD_FORMATS = {
    ".csv": "csv",
    ".json": "json",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".parquet": "parquet",
    ".pq": "parquet",
}
_HASH_BLOCK = 1 << 20
# Records per frame while a file is scanned.
_SCAN_CHUNK = 4096
# The path of a source that is a table in memory.
IN_MEMORY = "<data frame>"


@dataclass(frozen=True)
class Fingerprint:
    """What identifies the content of a records file."""

    path: str
    size: int
    sha256: str


def record_format(path: str) -> str:
    kind = RECORD_FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise RecordsError(
            f"cannot tell the format of {path}: name it .csv, .json, .jsonl (one JSON object "
            "per line) or .parquet"
        )
    return kind


def fingerprint(path: str) -> Fingerprint:
    """Size and SHA-256 of the file's bytes."""
    digest = hashlib.sha256()
    size = 0
    with open_binary(path) as handle:
        while block := handle.read(_HASH_BLOCK):
            digest.update(block)
            size += len(block)
    return Fingerprint(str(path), size, digest.hexdigest())


@dataclass(frozen=True)
class Source:
    """A records file as one streaming pass found it, or a table in memory."""

    path: str
    kind: str
    columns: tuple[str, ...]
    records: int
    frame: pd.DataFrame | None = field(default=None, compare=False, repr=False)
    id_field: str | None = None  # the column of record ids, read as text


def frame_source(frame: pd.DataFrame) -> tuple[Source, Fingerprint]:
    """A table in memory as a source, with a fingerprint of its content."""
    import pandas as pd

    digest = hashlib.sha256(json.dumps([str(c) for c in frame.columns]).encode())
    digest.update(pd.util.hash_pandas_object(frame.astype(str), index=False).to_numpy().tobytes())
    source = Source(IN_MEMORY, "frame", tuple(str(c) for c in frame.columns), len(frame), frame)
    return source, Fingerprint(source.path, len(frame), digest.hexdigest())


def open_source(
    path: str,
    inspect: Callable[[int, pd.DataFrame], None] | None = None,
    id_field: str | None = None,
) -> Source:
    """Read ``path`` once to learn its columns and how many records it holds; malformed
    records are refused here, before any work starts. ``inspect(first_position, frame)``
    sees every record on the way, a few thousand at a time, its ids (``id_field``) as text
    exactly as the run's chunks will hold them."""
    kind = record_format(path)
    if kind == "parquet" and inspect is None:
        parquet = parquet_file(path)
        try:
            return Source(
                str(path),
                kind,
                tuple(parquet.schema_arrow.names),
                parquet.metadata.num_rows,
                id_field=id_field,
            )
        finally:
            parquet.close()
    seen: dict[str, None] = {}
    count = 0
    scanned = Source(str(path), kind, (), 0, id_field=id_field)
    for frame in _chunks(scanned, _SCAN_CHUNK, fill_columns=False):
        if inspect is not None:
            inspect(count, frame)
        count += len(frame)
        for column in frame.columns:
            seen.setdefault(str(column), None)
    if kind == "csv" and not count:
        seen = {}
    return Source(str(path), kind, tuple(seen), count, id_field=id_field)


def read_chunks(source: Source, size: int) -> Iterator[pd.DataFrame]:
    """The records of ``source`` as data frames of ``size`` records (the last may be
    shorter).

    Every frame has the same columns, the file's own in first-seen order; a record without
    a value for a column has a missing value (NaN) there, as in one frame of the whole file.
    """
    if size < 1:
        raise ValueError(f"chunk size must be at least 1, got {size}")
    yield from _chunks(source, size, fill_columns=True)


def read_records(path: str, size: int, id_field: str | None = None) -> Iterator[pd.DataFrame]:
    """The records of the file ``path`` as data frames of ``size`` records, read without a
    first pass over the file: each frame has the columns its own records have."""
    if size < 1:
        raise ValueError(f"chunk size must be at least 1, got {size}")
    source = Source(str(path), record_format(path), (), 0, id_field=id_field)
    yield from _chunks(source, size, fill_columns=False)


def _chunks(source: Source, size: int, fill_columns: bool) -> Iterator[pd.DataFrame]:
    if source.frame is not None:
        for start in range(0, len(source.frame), size):
            yield source.frame.iloc[start : start + size].reset_index(drop=True)
        return
    if source.kind == "parquet":
        chunks = parquet_chunks(source.path, size, source.id_field)
    elif source.kind == "csv":
        chunks = csv_chunks(source.path, size)  # every cell is its text already
    else:
        records: Iterator[dict[str, Any]] | list[dict[str, Any]]
        if source.kind == "json":
            records = json_array(source.path, source.id_field)
        else:
            records = jsonl_records(source.path, source.id_field)
        columns = list(source.columns) if fill_columns else None
        chunks = _record_chunks(records, columns, size)
    yield from chunks


def _record_chunks(
    records: Iterator[dict[str, Any]] | list[dict[str, Any]], columns: list[str] | None, size: int
) -> Iterator[pd.DataFrame]:
    batch: list[dict[str, Any]] = []
    for record in records:
        batch.append(record)
        if len(batch) == size:
            yield records_frame(batch, columns)
            batch = []
    if batch:
        yield records_frame(batch, columns)
