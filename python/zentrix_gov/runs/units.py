"""Units of work: one metric over one chunk of consecutive records.

A chunk is prepared once (stable record ids, text cells), then each metric of the run reads
the records of the chunk it can evaluate; the others are stored as skipped, with the reason.
What a metric returns for the chunk becomes one result row per record.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from zentrix_gov.runs.errors import RecordsError
from zentrix_gov.runs.schema import ResultStatus
from zentrix_gov.utils.python_utils import is_missing

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.runs.inputs import Source
    from zentrix_gov.spend.usage import UnitSpend

# Fields every record result of a unit shares; stored once per unit, not per record.
IDENTITY_FIELDS = ("name", "display_name", "method", "provider", "group", "thresholds")
# Entries of a record's additional_info that have columns of their own in the store.
_INFO_COLUMNS = ("feedback", "input_tokens", "output_tokens")
# Error code of an evaluated record for which the metric returned no result at all.
NO_RESULT = "NO_RESULT"


def has_no_value(value: Any) -> bool:
    """Whether a cell holds no value: None, NaN, pandas NA or blank text."""
    return is_missing(value, blank_text=True)


def default_id(position: int) -> str:
    """The id of the record at ``position`` (from 0) when the records carry none: its line
    among the records, counted from 1. Never random, so a resumed run finds it again."""
    return str(position + 1)


def record_ids(frame: pd.DataFrame, id_field: str, first_position: int) -> list[str]:
    """The chunk's record ids: the id column's text, or the position-derived id where the
    column is missing or empty."""
    positions = range(first_position, first_position + len(frame))
    if id_field not in frame.columns:
        return [default_id(position) for position in positions]
    return [
        default_id(position) if has_no_value(value) else str(value).strip()
        for position, value in zip(positions, frame[id_field], strict=True)
    ]


def prepare_chunk(
    frame: pd.DataFrame, configuration: GenAIConfiguration, first_position: int
) -> pd.DataFrame:
    """Give every record its id and make the text columns hold text."""
    frame = frame.reset_index(drop=True)
    frame[configuration.record_id_field] = record_ids(
        frame, configuration.record_id_field, first_position
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
    # Empty cells become "" (the services want text); numbers become their text.
    if has_no_value(value):
        return ""
    if isinstance(value, str) or (keep_lists and isinstance(value, list | tuple)):
        return value
    if isinstance(value, bool | int | float):
        return str(value)
    return value


class UniqueIds:
    """Checks that the ids of a whole file are unique, holding 8 bytes per record.

    Use it as the ``inspect`` callback of ``open_source``, then call :meth:`check`.
    """

    def __init__(self, path: str, id_field: str):
        self.path = path
        self.id_field = id_field
        self._hashes: list[np.ndarray] = []
        self._given = False

    def __call__(self, first_position: int, frame: pd.DataFrame) -> None:
        if self.id_field not in frame.columns:
            return
        self._given = True
        import pandas as pd

        ids = pd.Series(record_ids(frame, self.id_field, first_position), dtype=object)
        self._hashes.append(pd.util.hash_pandas_object(ids, index=False).to_numpy())

    def check(self, source: Source) -> None:
        """Raise ``RecordsError`` naming a repeated id of ``source`` (the file inspected)."""
        if not self._given:
            return  # position-derived ids are unique by construction
        hashes = np.sort(np.concatenate(self._hashes))
        repeated = set(hashes[1:][hashes[1:] == hashes[:-1]].tolist())
        self._hashes = []
        if not repeated:
            return
        import pandas as pd

        from zentrix_gov.runs.inputs import read_chunks

        # A second pass finds the texts behind the repeated hashes (rarely more than one).
        counts: dict[str, int] = {}
        for index, frame in enumerate(read_chunks(source, 4096)):
            ids = pd.Series(record_ids(frame, self.id_field, index * 4096), dtype=object)
            found = pd.util.hash_pandas_object(ids, index=False).to_numpy()
            for record_id, value in zip(ids, found.tolist(), strict=True):
                if value in repeated:
                    counts[record_id] = counts.get(record_id, 0) + 1
        record_id, count = max(counts.items(), key=lambda item: item[1])
        raise RecordsError(
            f"record ids in column {self.id_field!r} must be unique; {record_id!r} is used by "
            f"{count} records"
        )


def readable_rows(
    frame: pd.DataFrame, filled: Sequence[tuple[str, ...]]
) -> tuple[list[int], list[int], str]:
    """The rows of ``frame`` a metric can evaluate, the rows it cannot, and why not.

    ``filled`` holds groups of columns of which every evaluated record needs at least one
    value.
    """
    rows, skipped, lacking = [], [], []
    columns = {group: [frame[column].tolist() for column in group] for group in filled}
    for row in range(len(frame)):
        empty = [
            group for group in filled if all(has_no_value(cells[row]) for cells in columns[group])
        ]
        if not empty:
            rows.append(row)
            continue
        skipped.append(row)
        lacking += [group for group in empty if group not in lacking]
    lacking.sort(key=list(filled).index)
    return rows, skipped, "no " + " or ".join("/".join(group) for group in lacking)


@dataclass
class UnitOutcome:
    """What a unit produced: its summary and one store row per record of the chunk."""

    summary: dict[str, Any]
    rows: list[tuple[Any, ...]]
    values: int  # records with a value
    errors: int  # records with an error
    usage: UnitSpend | None = None  # what its judge requests used, per record


def unit_outcome(
    result: Any,
    ids: Sequence[str],
    evaluated: Sequence[int],
    skipped: Sequence[int],
    skip_reason: str,
    first_position: int,
) -> UnitOutcome:
    """Store rows for a chunk whose records ``evaluated`` (row numbers in the chunk) gave
    ``result`` and whose records ``skipped`` were not read."""
    records = list(getattr(result, "record_level_metrics", None) or []) if result else []
    by_id: dict[str, Any] = {}
    for record in records:
        by_id.setdefault(str(record.record_id), record)
    first = records[0] if records else None
    identity = _identity(first) if first is not None else None
    rows: list[tuple[Any, ...]] = []
    values = errors = 0
    for row in evaluated:
        record_id = ids[row]
        record = by_id.get(record_id)
        if record is None:
            errors += 1
            rows.append(_missing_row(first_position + row, record_id))
            continue
        stored = _record_row(first_position + row, record_id, record, first)
        values += stored[3] is not None
        errors += stored[2] == ResultStatus.ERROR
        rows.append(stored)
    for row in skipped:
        rows.append(
            (first_position + row, ids[row], ResultStatus.SKIPPED, *(None,) * 8, skip_reason, None)
        )
    rows.sort(key=lambda stored: stored[0])
    summary: dict[str, Any] = {
        "identity": identity,
        "aggregate": _identity(result) if records else None,
        "notes": _notes(result, records),
    }
    return UnitOutcome(summary, rows, values, errors)


def _identity(record: Any) -> dict[str, Any]:
    dumped = record.model_dump(mode="json", include=set(IDENTITY_FIELDS))
    return {name: dumped.get(name) for name in IDENTITY_FIELDS}


def _record_row(position: int, record_id: str, record: Any, first: Any) -> tuple[Any, ...]:
    record_errors = record.errors or []
    value = record.value
    if value is not None and not isinstance(value, int | float):
        value = None
    elif isinstance(value, float) and value != value:
        value = None  # NaN is no value
    info = record.additional_info if isinstance(record.additional_info, dict) else {}
    same_identity = record is first or _same_identity(record, first)
    stored = record.model_dump_json(
        exclude=set(IDENTITY_FIELDS) if same_identity else None, exclude_defaults=True
    )
    first_error = record_errors[0] if record_errors else None
    return (
        position,
        record_id,
        ResultStatus.ERROR if record_errors else ResultStatus.OK,
        value,
        record.label,
        record.explanation,
        *(_info_cell(info.get(key)) for key in _INFO_COLUMNS),
        first_error.code if first_error else None,
        first_error.message_en if first_error else None,
        None,
        stored,
    )


def _info_cell(value: Any) -> Any:
    return value if value is None or isinstance(value, str | int | float) else str(value)


def _same_identity(record: Any, first: Any) -> bool:
    return all(getattr(record, name) == getattr(first, name) for name in IDENTITY_FIELDS)


def _missing_row(position: int, record_id: str) -> tuple[Any, ...]:
    message = "The metric returned no result for this record."
    record = json.dumps(
        {"record_id": record_id, "errors": [{"code": NO_RESULT, "message_en": message}]}
    )
    return (position, record_id, ResultStatus.ERROR, *(None,) * 6, NO_RESULT, message, None, record)


def _notes(result: Any, records: list[Any]) -> list[dict[str, Any]]:
    """Errors the metric reported for the chunk as a whole, beside its records' errors."""
    aggregate_errors = getattr(result, "errors", None) or []
    record_errors = {
        (error.code, error.message_en) for record in records for error in (record.errors or [])
    }
    return [
        {"code": error.code, "message_en": error.message_en}
        for error in aggregate_errors
        if (error.code, error.message_en) not in record_errors
    ]
