"""The risk command's report as a page in the style of a run's report: the model, the
summary table of every benchmark's failure rate against its risk's threshold, and per risk
a chart of those rates and all its benchmarks' metrics.

The failing answers the PDF report quotes stay with the plug-in that evaluated them; the
evaluation's result holds the metrics only, and so does this page.
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Sequence
from typing import Any

from zentrix_gov.reports import charts
from zentrix_gov.reports.page import write_page


def write_risk_report(
    target: str | os.PathLike[str],
    result: Any,
    rows: Sequence[Sequence[str]],
    *,
    model_name: str,
    samples: int | None = None,
) -> int:
    """Write the page to ``target``; returns its size.

    ``result`` is the evaluation's ``ModelRiskResult``; ``rows`` its summary table, a header
    row first (risk, benchmark, failure metric, value, threshold, result).
    """
    header, body = list(rows[0]), [list(row) for row in rows[1:]]
    risks = []
    for risk in result.risks:
        own = [row for row in body if row[0] == risk.name]
        limit = _number(own[0][4]) if own else None
        rates = [(row[1], _number(row[3])) for row in own]
        risks.append(
            {
                "name": risk.name,
                "passed": all(row[5] == "pass" for row in own),
                "chart": charts.rate_bars(rates, limit) if limit is not None else None,
                "benchmarks": [
                    (benchmark.name, [(metric.name, metric.value) for metric in benchmark.metrics])
                    for benchmark in risk.benchmarks
                ],
            }
        )
    failed = sorted({row[0] for row in body if row[5] != "pass"})
    context = {
        "model": model_name,
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "samples": "all" if samples is None else str(samples),
        "header": header,
        "rows": body,
        "risks": risks,
        "verdict": "every risk passed" if not failed else "failed: " + ", ".join(failed),
        "failed": bool(failed),
    }
    return write_page(target, "risk.html", context)


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None
