"""The comparison of two runs as a page in the style of a run's report: what was compared,
per metric the difference with its interval and what it means, McNemar's test per label,
and the records that changed the most with their texts in both runs."""

from __future__ import annotations

import os
from typing import Any

from zentrix_gov.reports.compare import Comparison, MetricComparison
from zentrix_gov.reports.page import write_page
from zentrix_gov.reports.texts import texts_at


def write_comparison_report(
    comparison: Comparison,
    target: str | os.PathLike[str],
    *,
    delta: float | None = None,
    **gate: Any,
) -> int:
    """Write the page to ``target``; returns its size. ``delta`` is the gate's, when the
    comparison decides a gate (the page then says which metrics fail it); ``gate`` holds
    the gate's other settings (see :func:`zentrix_gov.reports.gate.verdict`)."""
    from zentrix_gov.reports.gate import verdict

    base_texts, base_source = texts_at(
        comparison.base,
        {change.base_position for metric in comparison.metrics for change in metric.changed},
    )
    new_texts, new_source = texts_at(
        comparison.new,
        {change.new_position for metric in comparison.metrics for change in metric.changed},
    )
    decided = None
    if delta is not None:
        failed, lines = verdict(comparison, delta, **gate)
        decided = {"delta": delta, "failed": failed, "lines": lines}
    context = {
        "comparison": comparison,
        "runs": [_run_facts("base", comparison.base), _run_facts("new", comparison.new)],
        "rows": [_row(metric, delta or 0.0) for metric in comparison.metrics],
        "changes": [
            _changes(metric, base_texts, new_texts)
            for metric in comparison.metrics
            if metric.changed
        ],
        "notes": [source.note for source in (base_source, new_source) if source.note],
        "gate": decided,
        "share": f"{comparison.confidence:.0%}",
    }
    return write_page(target, "compare.html", context)


def _run_facts(role: str, run: Any) -> dict[str, Any]:
    return {
        "role": role,
        "run": run,
        "judge": run.judge_model + (f" at {run.judge_url}" if run.judge_url else "")
        if run.judge_model
        else "-",
    }


def _row(metric: MetricComparison, delta: float) -> dict[str, Any]:
    from zentrix_gov.reports.compare import change_word

    return {"metric": metric, "change": change_word(metric, delta)}


def _changes(
    metric: MetricComparison,
    base_texts: dict[int, dict[str, str]],
    new_texts: dict[int, dict[str, str]],
) -> dict[str, Any]:
    records = []
    for change in metric.changed:
        before = base_texts.get(change.base_position, {})
        after = new_texts.get(change.new_position, {})
        # Texts the same in both runs are shown once; those that differ, side by side.
        same = [(name, text) for name, text in after.items() if before.get(name) == text]
        differ = [
            (name, before.get(name, ""), after.get(name, ""))
            for name in dict.fromkeys([*before, *after])
            if before.get(name) != after.get(name)
        ]
        records.append({"change": change, "same": same, "differ": differ})
    return {"metric": metric, "records": records}
