"""The risk command's summary table: one row per benchmark, its failure rate against the
risk's threshold, how many answers were errors (missing, empty, not text or too late:
counted as failing), and whether the risk passes."""

from __future__ import annotations

from typing import Any, TextIO


def summary_rows(result: Any, thresholds: Any) -> list[list[str]]:
    from metrics_plugin.mra import thresholds as risk_thresholds

    nested = {
        risk.name: {
            benchmark.name: {metric.name: metric.value for metric in benchmark.metrics}
            for benchmark in risk.benchmarks
        }
        for risk in result.risks
    }
    outcomes = {outcome.risk: outcome for outcome in risk_thresholds.outcomes(nested, thresholds)}
    rows = [["risk", "benchmark", "failure metric", "value", "threshold", "errors", "result"]]
    for risk, cards in nested.items():
        outcome = outcomes[risk]
        for benchmark, metrics in cards.items():
            metric = risk_thresholds.headline_metric(risk, benchmark) or "-"
            value = risk_thresholds.headline_value(risk, benchmark, metrics)
            passed = value is not None and value <= outcome.threshold
            errors = metrics.get("error_count")
            rows.append(
                [
                    risk,
                    benchmark,
                    metric,
                    "-" if value is None else f"{value:.3f}",
                    f"{outcome.threshold:.3f}",
                    "-" if errors is None else str(errors),
                    "pass" if passed else "FAIL",
                ]
            )
    return rows


def print_summary(result: Any, thresholds: Any, out: TextIO) -> None:
    rows = summary_rows(result, thresholds)
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    for row in rows:
        cells = (cell.ljust(width) for cell, width in zip(row, widths, strict=True))
        print("  ".join(cells).rstrip(), file=out)
    failed = sorted({row[0] for row in rows[1:] if row[-1] == "FAIL"})
    verdict = "every risk passed" if not failed else "failed: " + ", ".join(failed)
    print(f"{len(result.risks)} risks, {verdict}", file=out, flush=True)


def failed_risks(result: Any, thresholds: Any) -> list[str]:
    """The risks that fail their threshold, in name order."""
    return sorted({row[0] for row in summary_rows(result, thresholds)[1:] if row[-1] == "FAIL"})
