"""The store's tables of judges asked several times (schema version 3, migration
``judge_measures``):

- ``verdicts``: every verdict of every variant (juror, repeat, options swapped or not) of
  every judged record, a result row as the metric gave it, keyed by run, metric, position
  and variant;
- ``verdict_units``: which variants of a unit (a metric over a chunk) are stored, each
  committed on its own as soon as it is done, so a resumed unit asks only the variants it
  lacks;
- ``judgements``: what each record's verdicts came to (how many were asked and answered,
  how many agree with the record's verdict, how many jurors answered, whether swapping
  the options changed a verdict, and each juror's verdict), committed with the unit;
- ``results.human_label``: each record's human label, committed with the unit.

The record's verdict itself is its ``results`` row, as for any run.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.schema import RESULT_COLUMNS, ResultStatus
from zentrix_gov.runs.usage import write_unit_usage
from zentrix_gov.utils.clock import now

if TYPE_CHECKING:
    import sqlite3

    from zentrix_gov.judging.settings import Variant
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.spend.usage import UnitSpend

# The columns of a result row a verdict keeps (results may gain columns; verdicts keep these).
VERDICT_COLUMNS = (
    "position",
    "record_id",
    "status",
    "value",
    "label",
    "explanation",
    "feedback",
    "input_tokens",
    "output_tokens",
    "error_code",
    "error_text",
    "record",
)
JUDGEMENT_COLUMNS = ("asked", "answered", "agreeing", "jurors_answered", "flipped", "jurors")
_INDEX = {name: RESULT_COLUMNS.index(name) for name in VERDICT_COLUMNS}


def verdict_cells(row: Sequence[Any]) -> tuple[Any, ...]:
    """The cells of a result row a verdict keeps."""
    return tuple(row[_INDEX[name]] for name in VERDICT_COLUMNS)


def result_row(cells: Sequence[Any]) -> tuple[Any, ...]:
    """A stored verdict as a result row (``RESULT_COLUMNS``)."""
    row: list[Any] = [None] * len(RESULT_COLUMNS)
    for name, cell in zip(VERDICT_COLUMNS, cells, strict=True):
        row[_INDEX[name]] = cell
    return tuple(row)


def store_variant(
    store: RunStore,
    run_id: str,
    metric: str,
    chunk: int,
    variant: Variant,
    rows: Iterable[Sequence[Any]],
    summary: dict[str, Any],
    seconds: float,
    usage: UnitSpend | None = None,
) -> None:
    """Commit one variant's verdicts of a unit (its evaluated records) at once, with what
    its judge requests used."""
    key = variant.key()
    cells = [verdict_cells(row) for row in rows if row[2] != ResultStatus.SKIPPED]
    columns = ", ".join(VERDICT_COLUMNS)
    marks = ", ".join("?" * (len(VERDICT_COLUMNS) + 5))
    with store.owned_transaction(run_id) as db:
        db.executemany(
            f"INSERT OR REPLACE INTO verdicts (run_id, metric, juror, repeat, swapped, {columns}) "
            f"VALUES ({marks})",
            ((run_id, metric, *key, *cell) for cell in cells),
        )
        db.execute(
            "INSERT OR REPLACE INTO verdict_units (run_id, metric, chunk, juror, repeat, "
            "swapped, seconds, summary, committed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (run_id, metric, chunk, *key, seconds, json.dumps(summary, ensure_ascii=False), now()),
        )
        if usage is not None:
            write_unit_usage(db, run_id, metric, chunk, usage)


def stored_variants(
    store: RunStore, run_id: str, metric: str, chunk: int, positions: range
) -> dict[Variant, tuple[list[tuple[Any, ...]], dict[str, Any]]]:
    """The variants of a unit stored before (an interrupted run), with their verdicts as
    result rows and their unit summaries."""
    from zentrix_gov.judging.settings import Variant

    done = store.read(
        "SELECT juror, repeat, swapped, summary FROM verdict_units "
        "WHERE run_id = ? AND metric = ? AND chunk = ?",
        (run_id, metric, chunk),
    ).fetchall()
    found: dict[Variant, tuple[list[tuple[Any, ...]], dict[str, Any]]] = {}
    for juror, repeat, swapped, summary in done:
        rows = store.read(
            f"SELECT {', '.join(VERDICT_COLUMNS)} FROM verdicts WHERE run_id = ? AND metric = ? "
            "AND juror = ? AND repeat = ? AND swapped = ? AND position BETWEEN ? AND ? "
            "ORDER BY position",
            (run_id, metric, juror, repeat, swapped, positions.start, positions.stop - 1),
        )
        variant = Variant(juror, repeat, bool(swapped))
        found[variant] = ([result_row(cells) for cells in rows], json.loads(summary))
    return found


def unit_extras(
    run_id: str,
    metric: str,
    labels: Sequence[tuple[int, Any]],
    judgements: Sequence[tuple[Any, ...]],
) -> Callable[[sqlite3.Connection], None]:
    """What a unit commits beside its results: its records' labels (position, label) and
    their judgements (position, then ``JUDGEMENT_COLUMNS``)."""

    def write(db: sqlite3.Connection) -> None:
        db.executemany(
            "UPDATE results SET human_label = ? WHERE run_id = ? AND metric = ? AND position = ?",
            ((label, run_id, metric, position) for position, label in labels if label is not None),
        )
        marks = ", ".join("?" * (len(JUDGEMENT_COLUMNS) + 3))
        db.executemany(
            f"INSERT INTO judgements (run_id, metric, position, {', '.join(JUDGEMENT_COLUMNS)}) "
            f"VALUES ({marks})",
            ((run_id, metric, *row) for row in judgements),
        )

    return write


def judgement_rows(store: RunStore, run_id: str, metric: str) -> list[tuple[Any, ...]]:
    """The metric's judgements in record order: position, then ``JUDGEMENT_COLUMNS``."""
    return store.read(
        f"SELECT position, {', '.join(JUDGEMENT_COLUMNS)} FROM judgements "
        "WHERE run_id = ? AND metric = ? ORDER BY position",
        (run_id, metric),
    ).fetchall()


def labelled_cells(store: RunStore, run_id: str, metric: str) -> list[tuple[Any, ...]]:
    """The metric's labelled records grouped by what agreement reads of them: (human label,
    skipped, value, label, records), counted in the store."""
    return store.read(
        "SELECT human_label, status = ?, value, label, count(*) FROM results "
        "WHERE run_id = ? AND metric = ? AND human_label IS NOT NULL "
        "GROUP BY human_label, status = ?, value, label",
        (ResultStatus.SKIPPED, run_id, metric, ResultStatus.SKIPPED),
    ).fetchall()


def farthest_apart(
    store: RunStore, run_id: str, metric: str, values: dict[str, float] | None, limit: int
) -> list[tuple[int, str, Any, Any]]:
    """(position, record id, label, verdict) of the evaluated records whose verdict lies
    farthest from their label: by the options' ``values`` (label metrics) or the values
    themselves, the first records first among equals."""
    if values is None:
        verdict, gap = "value", "abs(value - human_label)"
        arguments: list[Any] = []
    else:
        cases = " ".join("WHEN ? THEN ?" for _ in values)
        named = [item for pair in values.items() for item in pair]
        verdict = "label"
        gap = (
            f"abs(coalesce(CASE label {cases} END, 0) - coalesce(CASE human_label {cases} END, 0))"
        )
        arguments = [*named, *named]
    rows = store.read(
        f"SELECT position, record_id, human_label, {verdict} FROM results "
        f"WHERE run_id = ? AND metric = ? AND human_label IS NOT NULL AND value IS NOT NULL "
        f"AND status != ? AND {verdict} IS NOT human_label "
        f"ORDER BY {gap} DESC, position LIMIT ?",
        (run_id, metric, ResultStatus.SKIPPED, *arguments, limit),
    )
    return rows.fetchall()


def verdict_rows(store: RunStore, run_id: str, metric: str) -> list[tuple[Any, ...]]:
    """(position, juror, repeat, swapped, value, label) of every verdict of the metric."""
    return store.read(
        "SELECT position, juror, repeat, swapped, value, label FROM verdicts "
        "WHERE run_id = ? AND metric = ? ORDER BY position, juror, repeat, swapped",
        (run_id, metric),
    ).fetchall()
