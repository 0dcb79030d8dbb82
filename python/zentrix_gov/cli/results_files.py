"""The results files of ``--output``: checked before a run, written from the run store."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from zentrix_gov.cli.errors import EvaluationFailed, UsageError
from zentrix_gov.cli.outputs import output_target, staged_files

if TYPE_CHECKING:
    from zentrix_gov.runs.store import RunRecord, RunStore


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


def write_export(store: RunStore, run: RunRecord, files: ResultsFiles) -> None:
    """Write ``run``'s JSON results and per-record CSV to ``files``, each through a
    temporary file renamed into place, so a results file is always whole."""
    from zentrix_gov.runs.api import export_header
    from zentrix_gov.runs.export import write_csv, write_json
    from zentrix_gov.runs.summary import summarize

    summaries = summarize(store, run)
    try:
        with staged_files() as stage:
            write_csv(store, run, stage(files.csv), run.definition.get("id_field", "record_id"))
            # Renamed last: when the JSON file is there, the run's files are complete.
            write_json(store, run, stage(files.json), export_header(run, summaries), summaries)
    except OSError as exc:
        raise EvaluationFailed(
            f"cannot write the results to {exc.filename or files.json}: {exc.strerror or exc}"
        ) from None
