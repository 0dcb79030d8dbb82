"""The summary table and the results files."""

from __future__ import annotations

import ast
import csv
import json
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.errors import EvaluationFailed, UsageError, one_line
from zentrix_gov.cli.outputs import output_target, staged_files
from zentrix_gov.cli.plan import MetricRun

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.cli.service import Service
    from zentrix_gov.config import GenAIConfiguration

# Longest text the results file repeats (evidences, error messages, ...); longer texts are
# cut and end with TRUNCATED_MARK. The file records the limit and how many texts were cut.
TEXT_LIMIT = 10_000
TRUNCATED_MARK = "... [truncated: {length} characters]"
# Entries of a record's additional_info the CSV shows in columns of their own.
DETAIL_INFO = ("feedback", "input_tokens", "output_tokens")


def format_value(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool) or not isinstance(value, int | float):
        return str(value)
    return f"{value:.4f}"


def error_count(result: Any) -> int:
    records = getattr(result, "record_level_metrics", None) or []
    count = sum(1 for record in records if getattr(record, "errors", None))
    return count or len(getattr(result, "errors", None) or [])


def print_table(runs: list[MetricRun], total_records: int, out: TextIO) -> None:
    header = ("metric", "value", "min", "max", "records", "errors")
    rows = []
    for run in runs:
        result = run.result
        records = str(len(run.rows)) if not run.skipped_ids else f"{len(run.rows)}/{total_records}"
        rows.append(
            (
                run.name,
                format_value(getattr(result, "value", None)),
                format_value(getattr(result, "min", None)),
                format_value(getattr(result, "max", None)),
                records,
                str(error_count(result)) if result is not None else "-",
            )
        )
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        first = f"{cells[0]:<{widths[0]}}"
        rest = [f"{cell:>{width}}" for cell, width in zip(cells[1:], widths[1:], strict=True)]
        return "  ".join([first, *rest])

    print(line(header), file=out)
    print("  ".join("-" * width for width in widths), file=out)
    for row in rows:
        print(line(row), file=out)
    if any(run.skipped_ids for run in runs):
        print(
            "\nrecords n/N: the metric was computed for n of the N records; the others lack "
            "a value it reads.",
            file=out,
        )
    out.flush()


def error_text(error: Any) -> str:
    """A short reading of a record error; service replies are shown by their message."""
    message = error.message_en
    try:
        reply = ast.literal_eval(message)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        reply = None
    if isinstance(reply, dict):
        errors = reply.get("errors")
        if isinstance(errors, list) and errors and isinstance(errors[0], dict):
            message = errors[0].get("message", message)
        elif isinstance(reply.get("message"), str):
            message = reply["message"]
    text = one_line(message, 200)
    if not text:
        # Time-outs and some connection failures carry no message.
        text = "no message (a timed-out request reports none)"
    return f"{error.code}: {text}"


def failed_metrics_message(runs: list[MetricRun]) -> str | None:
    """Why the run failed when some metric produced no value; None when all did."""
    failed = [run for run in runs if getattr(run.result, "value", None) == "Error"]
    if not failed:
        return None
    details = []
    for run in failed:
        errors = list(getattr(run.result, "errors", None) or [])
        details.append(f"{run.name} ({error_text(errors[0])})" if errors else run.name)
    plural = "s" if len(failed) > 1 else ""
    return f"{len(failed)} metric{plural} produced no value: " + "; ".join(details)


@dataclass(frozen=True)
class ResultsFiles:
    """Where ``--output`` puts the results: the JSON file and the CSV file beside it, as
    named (``shown``, ``shown_csv``) and as written (a link's target)."""

    json: Path
    csv: Path
    shown: str
    shown_csv: str


def check_output(path: str | None) -> ResultsFiles | None:
    """The results files of ``--output PATH``, after checking that both can be written."""
    if path is None:
        return None
    output = Path(path)
    if output.suffix.lower() == ".csv":
        raise UsageError(
            f"--output names the JSON results file (the CSV is written next to it), not {path}"
        )
    beside = output.with_suffix(".csv")
    return ResultsFiles(
        json=output_target(output, f"--output {path}"),
        csv=output_target(beside, f"--output {path}: its CSV file {beside}"),
        shown=str(output),
        shown_csv=str(beside),
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


def record_details(record: Any) -> dict[str, Any]:
    """What a record result says besides its value (judges' labels, explanations, ...)."""
    info = getattr(record, "additional_info", None)
    info = info if isinstance(info, dict) else {}
    details = {
        "label": getattr(record, "label", None),
        "explanation": getattr(record, "explanation", None),
    }
    details.update({key: info.get(key) for key in DETAIL_INFO})
    return details


def csv_columns(runs: list[MetricRun]) -> tuple[list[str], list[dict[str, Any]]]:
    """The CSV's columns after the record id: every metric's value, followed by
    ``NAME.label``, ``NAME.explanation``, ``NAME.feedback``, ``NAME.input_tokens`` and
    ``NAME.output_tokens`` where some record of the metric has one. Each column comes with
    its cells by record id."""
    header: list[str] = []
    cells: list[dict[str, Any]] = []
    for run in runs:
        records = getattr(run.result, "record_level_metrics", None) or []
        header.append(run.name)
        cells.append({str(record.record_id): record.value for record in records})
        details = {str(record.record_id): record_details(record) for record in records}
        for key in ("label", "explanation", *DETAIL_INFO):
            column = {record_id: found[key] for record_id, found in details.items()}
            if any(value is not None for value in column.values()):
                header.append(f"{run.name}.{key}")
                cells.append(column)
    return header, cells


def write_outputs(
    files: ResultsFiles,
    runs: list[MetricRun],
    frame: pd.DataFrame,
    records_path: str,
    service: Service,
    configuration: GenAIConfiguration,
    failure: str | None = None,
) -> None:
    """Write the JSON results and the per-record CSV to ``files``.

    ``failure`` says why the run failed; the JSON then has status "failed". Each file is
    written to a temporary file and renamed, so a results file is always whole.
    """
    metrics = []
    for run in runs:
        if run.result is not None and hasattr(run.result, "model_dump"):
            entry = run.result.model_dump(mode="json")
        else:
            entry = {"name": run.name, "value": None, "total_records": 0}
        # The command-line name tells apart results of the same name (rag_faithfulness and
        # faithfulness both report "faithfulness").
        entry = {"metric": run.name, **entry}
        entry["skipped_record_ids"] = list(run.skipped_ids)
        metrics.append(entry)
    metrics, truncated = cap_texts(metrics)
    document: dict[str, Any] = {
        "status": "failed" if failure else "complete",
        **({"error": failure} if failure else {}),
        "records_file": records_path,
        "total_records": len(frame),
        "detection_service": {"url": service.url, "local": service.local},
        "text_limit": TEXT_LIMIT,
        "truncated_texts": truncated,
        "metrics": metrics,
    }
    id_field = configuration.record_id_field
    header, cells = csv_columns(runs)
    try:
        with staged_files() as stage:
            writer = csv.writer(stage(files.csv))
            writer.writerow([id_field, *header])
            for record_id in frame[id_field]:
                row = [column.get(record_id) for column in cells]
                row, _ = cap_texts(row)
                writer.writerow([record_id, *("" if v is None else v for v in row)])
            # Renamed last: when the JSON file is there, the run's files are complete.
            stage(files.json).write(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
    except OSError as exc:
        raise EvaluationFailed(
            f"cannot write the results to {exc.filename or files.json}: {exc.strerror or exc}"
        ) from None
