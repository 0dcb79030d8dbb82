"""The formats of records files, each read as the run reads it: every id as written.

CSV cells are all text; a JSON number keeps its literal text when it is the id; a Parquet
id column of numbers becomes the numbers' text (see :mod:`zentrix_gov.runs.inputs`, which
cuts what these readers give into chunks).
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Callable, Iterator
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import RecordsError

if TYPE_CHECKING:
    import pandas as pd

# A JSON Lines record longer than this is refused rather than parsed.
MAX_LINE_BYTES = 64 * 1024 * 1024


def open_binary(path: str) -> io.BufferedReader:
    try:
        if Path(path).is_dir():
            raise RecordsError(f"records file {path} is a directory, not a file")
        return open(path, "rb")
    except FileNotFoundError:
        raise RecordsError(f"records file {path} does not exist") from None
    except OSError as exc:
        raise RecordsError(f"cannot read records file {path}: {exc.strerror or exc}") from None


def _open_text(path: str) -> io.TextIOWrapper:
    return io.TextIOWrapper(open_binary(path), encoding="utf-8-sig", newline="")


def _decoding(path: str, exc: UnicodeDecodeError) -> RecordsError:
    return RecordsError(f"records file {path} is not UTF-8 text ({exc.reason})")


def csv_chunks(path: str, size: int) -> Iterator[pd.DataFrame]:
    """Every cell as text, so that nothing is guessed from the cells; short rows are padded
    with empty cells, rows with more cells than the header are refused."""
    import pandas as pd

    with _open_text(path) as handle:
        reader = csv.reader(handle, strict=True)
        try:
            header = next(reader, None)
            if header is None:
                return
            repeated = sorted({name for name in header if header.count(name) > 1})
            if repeated:
                raise RecordsError(
                    f"records file {path}: the header repeats column {repeated[0]!r}"
                )
            rows: list[list[str]] = []
            count = 0
            for row in reader:
                if not row:
                    continue  # blank line
                count += 1
                if len(row) > len(header):
                    raise RecordsError(
                        f"records file {path}, row {count} (line {reader.line_num}): "
                        f"{len(row)} fields, but the header names {len(header)} columns"
                    )
                rows.append(row + [""] * (len(header) - len(row)))
                if len(rows) == size:
                    yield pd.DataFrame(rows, columns=header, dtype=str)
                    rows = []
            if rows:
                yield pd.DataFrame(rows, columns=header, dtype=str)
        except csv.Error as exc:
            raise RecordsError(
                f"records file {path} is not valid CSV (line {reader.line_num}): {exc}"
            ) from None
        except UnicodeDecodeError as exc:
            raise _decoding(path, exc) from None


def jsonl_records(path: str, id_field: str | None = None) -> Iterator[dict[str, Any]]:
    with open_binary(path) as handle:
        for line_number, raw in enumerate(_bounded_lines(handle, path), 1):
            if not raw.strip():
                continue
            try:
                text = raw.decode("utf-8-sig" if line_number == 1 else "utf-8")
                record = json.loads(text)
            except UnicodeDecodeError as exc:
                raise _decoding(path, exc) from None
            except json.JSONDecodeError as exc:
                raise RecordsError(
                    f"records file {path}, line {line_number}: not valid JSON: {exc.msg} "
                    f"(column {exc.colno})"
                ) from None
            except RecursionError:
                raise RecordsError(
                    f"records file {path}, line {line_number}: lists or objects nested too "
                    "deeply to be read"
                ) from None
            if not isinstance(record, dict):
                raise RecordsError(
                    f"records file {path}, line {line_number}: {_json_kind(record)}, not a JSON "
                    "object"
                )
            if id_field is not None and id_field in record:
                record[id_field] = _json_id(
                    record[id_field], partial(_id_as_written, text, id_field)
                )
            yield record


def _bounded_lines(handle: io.BufferedReader, path: str) -> Iterator[bytes]:
    line_number = 0
    while True:
        line = handle.readline(MAX_LINE_BYTES + 1)
        if not line:
            return
        line_number += 1
        if len(line) > MAX_LINE_BYTES and not line.endswith(b"\n"):
            raise RecordsError(
                f"records file {path}, line {line_number}: longer than "
                f"{MAX_LINE_BYTES // (1024 * 1024)} MiB; split the record"
            )
        yield line


def json_array(path: str, id_field: str | None = None) -> list[dict[str, Any]]:
    with open_binary(path) as handle:
        try:
            text = handle.read().decode("utf-8-sig")
            document = json.loads(text)
        except UnicodeDecodeError as exc:
            raise _decoding(path, exc) from None
        except json.JSONDecodeError as exc:
            raise RecordsError(
                f"records file {path} is not valid JSON: {exc.msg} (line {exc.lineno}, column "
                f"{exc.colno})"
            ) from None
        except RecursionError:
            raise RecordsError(
                f"records file {path} nests lists or objects too deeply to be read"
            ) from None
    if not isinstance(document, list):
        raise RecordsError(
            f"records file {path} must hold a JSON list of objects, not {_json_kind(document)}"
        )
    for position, record in enumerate(document, 1):
        if not isinstance(record, dict):
            raise RecordsError(
                f"records file {path}: record {position} is {_json_kind(record)}, not an object"
            )
    if id_field is not None:
        literal: list[Any] = []  # the document with its decimals as written, parsed if needed

        def reparsed(position: int) -> Any:
            if not literal:
                literal.append(json.loads(text, parse_float=str))
            return literal[0][position]

        for position, record in enumerate(document):
            if id_field in record:
                record[id_field] = _json_id(
                    record[id_field], lambda p=position: reparsed(p)[id_field]
                )
    return document


def _id_as_written(text: str, id_field: str) -> Any:
    return json.loads(text, parse_float=str)[id_field]


def _json_id(value: Any, as_written: Callable[[], Any]) -> str | None:
    """A record id cell of a JSON record as its text in the file. ``as_written()`` gives the
    cell parsed again with decimals kept as their text; it is called only for an id that is
    a decimal number, which parsing has turned into a float."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)  # JSON integers parse exactly, at any size
    if isinstance(value, float):
        if value != value:
            return None  # NaN: no id, as in a table
        return str(as_written())
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def parquet_file(path: str) -> Any:
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise RecordsError(
            f"reading {path} needs pyarrow: pip install 'zentrix-gov[parquet]'"
        ) from None
    open_binary(path).close()  # the usual errors for a missing or unreadable file
    try:
        return pq.ParquetFile(path)
    except Exception as exc:  # pyarrow raises its own error types for every kind of damage
        raise RecordsError(f"records file {path} is not a Parquet file: {exc}") from None


def parquet_chunks(path: str, size: int, id_field: str | None = None) -> Iterator[pd.DataFrame]:
    import pandas as pd

    parquet = parquet_file(path)
    try:
        pending: pd.DataFrame | None = None
        for batch in parquet.iter_batches(batch_size=size):
            frame = _id_as_text(batch, id_field).to_pandas()
            pending = frame if pending is None else pd.concat([pending, frame], ignore_index=True)
            # Row groups may end batches early: cut exactly at multiples of ``size``.
            while len(pending) >= size:
                yield pending.iloc[:size].reset_index(drop=True)
                pending = pending.iloc[size:].reset_index(drop=True)
        if pending is not None and len(pending):
            yield pending
    finally:
        parquet.close()


def _id_as_text(batch: Any, id_field: str | None) -> Any:
    """The batch with its id column as text (a column of numbers with a missing cell would
    otherwise become floats in pandas: 1 would read "1.0", and large integers would round)."""
    import pyarrow as pa

    index = batch.schema.get_field_index(id_field) if id_field is not None else -1
    if index < 0 or pa.types.is_string(batch.schema.field(index).type):
        return batch
    try:
        text = batch.column(index).cast(pa.string())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return batch  # lists, structs, ...: no text form; read as pandas reads them
    batch = batch.set_column(index, id_field, text)
    metadata = dict(batch.schema.metadata or {})
    if b"pandas" in metadata:
        # A file pandas wrote says which dtype each column had; the id column's is text now.
        described = json.loads(metadata[b"pandas"])
        for column in described.get("columns", []):
            if column.get("name") == id_field:
                column.update(pandas_type="unicode", numpy_type="object", metadata=None)
        metadata[b"pandas"] = json.dumps(described).encode()
        batch = batch.replace_schema_metadata(metadata)
    return batch


def records_frame(records: list[dict[str, Any]], columns: list[str] | None) -> pd.DataFrame:
    import pandas as pd

    frame = pd.DataFrame(records)
    # Every chunk carries every column of the file, as one frame of the whole file would.
    if columns is not None and list(frame.columns) != columns:
        frame = frame.reindex(columns=columns)
    return frame


def _json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "a list", str: "a string", bool: "a boolean"}
    if value is None:
        return "null"
    return kinds.get(type(value), "a number")
