"""The risk command's summary table: one row per benchmark, its failure rate against the
risk's threshold, how many answers were errors (missing, empty, not text or too late:
counted as failing), and whether it passes. A benchmark without a failure rate the SDK can
find shows "-" and fails; so does a risk the plug-in returned without benchmarks."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TextIO

from zentrix_gov.model_risk.rules import BenchmarkOutcome, failed_risks

HEADER = ["risk", "benchmark", "failure metric", "value", "threshold", "errors", "result"]


def summary_rows(judged: Sequence[BenchmarkOutcome]) -> list[list[str]]:
    rows = [list(HEADER)]
    for outcome in judged:
        rows.append(
            [
                outcome.risk,
                outcome.benchmark or "-",
                outcome.metric or "-",
                "-" if outcome.value is None else f"{outcome.value:.3f}",
                f"{outcome.threshold:.3f}",
                "-" if outcome.errors is None else str(outcome.errors),
                "pass" if outcome.passed else "FAIL",
            ]
        )
    return rows


def verdict(judged: Sequence[BenchmarkOutcome], risk_count: int) -> str:
    failed = failed_risks(judged)
    return f"{risk_count} risks, " + (
        "every risk passed" if not failed else "failed: " + ", ".join(failed)
    )


def print_summary(judged: Sequence[BenchmarkOutcome], risk_count: int, out: TextIO) -> None:
    rows = summary_rows(judged)
    widths = [max(len(row[column]) for row in rows) for column in range(len(HEADER))]
    for row in rows:
        cells = (cell.ljust(width) for cell, width in zip(row, widths, strict=True))
        print("  ".join(cells).rstrip(), file=out)
    print(verdict(judged, risk_count), file=out, flush=True)
