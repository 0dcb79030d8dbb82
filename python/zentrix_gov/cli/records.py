"""Reading the records file (CSV, JSON, JSON Lines) and preparing its cells."""

from __future__ import annotations

import csv
import io
import json
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.errors import UsageError
from zentrix_gov.cli.settings import json_kind, load_json, read_text
from zentrix_gov.utils.python_utils import is_missing, records_frame

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.config import GenAIConfiguration

RECORD_FORMATS = {".csv": "csv", ".json": "json", ".jsonl": "jsonl", ".ndjson": "jsonl"}


def has_no_value(value: Any) -> bool:
    """Whether a cell holds no value: None, NaN, pandas NA or blank text."""
    return is_missing(value, blank_text=True)


def read_records(path: str) -> pd.DataFrame:
    """The records of a CSV, JSON or JSON Lines file as a data frame."""

    kind = RECORD_FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise UsageError(
            f"cannot tell the format of {path}: name it .csv, .json or .jsonl "
            "(one JSON object per line)"
        )
    text = read_text(path, "records file")
    if kind == "csv":
        frame = _csv_frame(text, path)
    else:
        records = _json_records(text, path) if kind == "json" else _jsonl_records(text, path)
        frame = records_frame(records)
    if frame.empty:
        raise UsageError(f"records file {path} holds no records")
    return frame


def _csv_frame(text: str, path: str) -> pd.DataFrame:
    """Every cell as text, so that nothing is guessed from the cells; short rows are padded
    with empty cells, rows with more cells than the header are refused."""
    import pandas as pd

    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        header = next(reader, None)
        if header is None:
            raise UsageError(f"records file {path} holds no records")
        rows = []
        for row in reader:
            if not row:
                continue  # blank line
            if len(row) > len(header):
                raise UsageError(
                    f"records file {path}, row {len(rows) + 1} (line {reader.line_num}): "
                    f"{len(row)} fields, but the header names {len(header)} columns"
                )
            rows.append(row + [""] * (len(header) - len(row)))
    except csv.Error as exc:
        raise UsageError(
            f"records file {path} is not valid CSV (line {reader.line_num}): {exc}"
        ) from None
    repeated = sorted({name for name in header if header.count(name) > 1})
    if repeated:
        raise UsageError(f"records file {path}: the header repeats column {repeated[0]!r}")
    return pd.DataFrame(rows, columns=header, dtype=str)


def _json_records(text: str, path: str) -> list[dict[str, Any]]:
    document = load_json(text, f"records file {path}")
    if not isinstance(document, list):
        raise UsageError(
            f"records file {path} must hold a JSON list of objects, not {json_kind(document)}"
        )
    for position, record in enumerate(document, 1):
        if not isinstance(record, dict):
            raise UsageError(
                f"records file {path}: record {position} is {json_kind(record)}, not an object"
            )
    return document


def _jsonl_records(text: str, path: str) -> list[dict[str, Any]]:
    records = []
    for line_number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError as exc:
            raise UsageError(
                f"records file {path}, line {line_number}: not valid JSON: {exc.msg} "
                f"(column {exc.colno})"
            ) from None
        except RecursionError:
            raise UsageError(
                f"records file {path}, line {line_number}: lists or objects nested too deeply "
                "to be read"
            ) from None
        if not isinstance(record, dict):
            raise UsageError(
                f"records file {path}, line {line_number}: {json_kind(record)}, not a JSON object"
            )
        records.append(record)
    return records


def prepare_records(frame: pd.DataFrame, configuration: GenAIConfiguration) -> pd.DataFrame:
    """Give every record a unique text id and make the text columns hold text."""
    frame = frame.reset_index(drop=True)
    id_field = configuration.record_id_field
    if id_field not in frame.columns or all(has_no_value(v) for v in frame[id_field]):
        frame[id_field] = [str(row + 1) for row in range(len(frame))]
    else:
        frame[id_field] = [
            str(row + 1) if has_no_value(value) else str(value).strip()
            for row, value in enumerate(frame[id_field])
        ]
    counts = frame[id_field].value_counts()
    repeated = counts[counts > 1]
    if len(repeated):
        raise UsageError(
            f"record ids in column {id_field!r} must be unique; {repeated.index[0]!r} is used "
            f"by {repeated.iloc[0]} records"
        )
    text_columns = [
        *configuration.input_fields[:1],
        *configuration.output_fields[:1],
        *configuration.context_fields,
    ]
    single_context = len(configuration.context_fields) == 1
    for column in text_columns:
        if column not in frame.columns:
            continue
        keep_lists = single_context and column == configuration.context_fields[0]
        frame[column] = [_text_cell(value, keep_lists) for value in frame[column]]
    return frame


def _text_cell(value: Any, keep_lists: bool) -> Any:
    # Empty cells become "" (the service wants text); numbers become their text.
    if has_no_value(value):
        return ""
    if isinstance(value, str) or (keep_lists and isinstance(value, list | tuple)):
        return value
    if isinstance(value, bool | int | float):
        return str(value)
    return value
