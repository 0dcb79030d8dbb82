"""Plain text tables on standard output: the run's summary table and the others."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, TextIO

if TYPE_CHECKING:
    from zentrix_gov.runs.summary import MetricSummary


def print_rows(
    header: Sequence[str], rows: Sequence[Sequence[str]], out: TextIO, right: Sequence[int]
) -> None:
    """A plain text table: columns ``right`` aligned right, the others left."""
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        parts = [
            f"{cell:>{width}}" if index in right else f"{cell:<{width}}"
            for index, (cell, width) in enumerate(zip(cells, widths, strict=True))
        ]
        return "  ".join(parts).rstrip()

    print(line(header), file=out)
    print("  ".join("-" * width for width in widths), file=out)
    for row in rows:
        print(line(row), file=out)
    out.flush()


def print_summary(summaries: Sequence[MetricSummary], out: TextIO) -> None:
    """The summary table of a run: value, spread, coverage and lost records per metric."""
    from zentrix_gov.runs.summary import table_rows

    header, rows = table_rows(list(summaries))
    print_rows(header, rows, out, right=range(1, len(header)))
    if any(summary.skipped for summary in summaries):
        print(
            "\nrecords n/N: the metric was computed for n of the N records; the others lack "
            "a value it reads.",
            file=out,
        )
    out.flush()
