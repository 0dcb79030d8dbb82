"""The risk command's report as a page in the style of a run's report: the model, the
summary table of every benchmark's failure rate against its risk's threshold, per risk a
chart of those rates and all its benchmarks' metrics, and examples of failing answers as
the PDF report has them, when the plug-in reports them (otherwise the page says so).

Prompts and answers are untrusted texts: the template escapes them like every other text.
"""

from __future__ import annotations

import datetime
import os
from collections import defaultdict
from collections.abc import Sequence
from typing import Any

import zentrix_gov.reports.charts as charts
from zentrix_gov.reports.page import write_page

# As many examples per benchmark as the plug-in's PDF report shows.
EXAMPLES_PER_BENCHMARK = 3


def write_risk_report(
    target: str | os.PathLike[str],
    result: Any,
    rows: Sequence[Sequence[str]],
    *,
    model_name: str,
    samples: int | None = None,
    failing_answers: Sequence[Any] | None = None,
) -> int:
    """Write the page to ``target``; returns its size.

    ``result`` is the evaluation's ``ModelRiskResult``; ``rows`` its summary table, a header
    row first naming the columns (``risk``, ``benchmark``, ``value``, ``threshold`` and
    ``result`` among them), then one row per benchmark.
    """
    header, body = list(rows[0]), [list(row) for row in rows[1:]]
    column = {name: index for index, name in enumerate(header)}
    risk_at, benchmark_at, value_at = column["risk"], column["benchmark"], column["value"]
    limit_at, result_at = column["threshold"], column["result"]
    risks = []
    for risk in result.risks:
        own = [row for row in body if row[risk_at] == risk.name]
        limit = _number(own[0][limit_at]) if own else None
        rates = [(row[benchmark_at], _number(row[value_at])) for row in own]
        risks.append(
            {
                "name": risk.name,
                "passed": all(row[result_at] == "pass" for row in own),
                "chart": charts.rate_bars(rates, limit) if limit is not None else None,
                "benchmarks": [
                    (benchmark.name, [(metric.name, metric.value) for metric in benchmark.metrics])
                    for benchmark in risk.benchmarks
                ],
            }
        )
    failed = sorted({row[risk_at] for row in body if row[result_at] != "pass"})
    context = {
        "model": model_name,
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "samples": "all" if samples is None else str(samples),
        "header": header,
        "rows": body,
        "numeric": {column[name] for name in ("value", "threshold", "errors") if name in column},
        "result_at": result_at,
        "risks": risks,
        "verdict": "every risk passed" if not failed else "failed: " + ", ".join(failed),
        "failed": bool(failed),
        "failing": None if failing_answers is None else _examples(failing_answers),
        "examples_per_benchmark": EXAMPLES_PER_BENCHMARK,
    }
    return write_page(target, "risk.html", context)


def _examples(answers: Sequence[Any]) -> list[tuple[str, str, list[Any], int]]:
    """(risk, benchmark, the first examples, how many failed) per benchmark, in the order
    the answers came."""
    grouped: dict[tuple[str, str], list[Any]] = defaultdict(list)
    for answer in answers:
        grouped[(answer.risk, answer.benchmark)].append(answer)
    return [
        (risk, benchmark, found[:EXAMPLES_PER_BENCHMARK], len(found))
        for (risk, benchmark), found in grouped.items()
    ]


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None
