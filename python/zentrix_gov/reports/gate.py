"""The gate of ``runs compare --fail-if-worse``: does the new run pass against the base run?

A gate must not pass on missing data. It fails when some metric is worse beyond ``delta``
(its whole interval on the worse side), and also when the comparison could not be made as
asked: a metric of the base run missing from the new run, a metric with no records both runs
scored, too few of the base run's records paired (the new run stopped early, skipped
records, or holds other ids), or a coverage that fell (more errors or unreadable verdicts).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from zentrix_gov.reports.compare import Comparison, MetricComparison

# Share of the base run's scored records that must be paired, and the most a metric's
# coverage may fall (records with a value / records read), unless the caller says otherwise.
DEFAULT_MIN_PAIRED = 0.9
DEFAULT_MAX_COVERAGE_DROP = 0.02
# Coverages are ratios: a drop equal to the limit must not fail by a rounding error.
_TOLERANCE = 1e-9


def verdict(
    comparison: Comparison,
    delta: float,
    *,
    min_paired: float = DEFAULT_MIN_PAIRED,
    max_coverage_drop: float = DEFAULT_MAX_COVERAGE_DROP,
    allow_missing: bool = False,
) -> tuple[bool, list[str]]:
    """Whether the gate fails, and the lines that say why (or what passed). With
    ``allow_missing``, metrics missing from the new run or with nothing paired pass."""
    failures = [] if allow_missing else [_missing(name) for name in comparison.only_base]
    for metric in comparison.metrics:
        failures += _coverage_failures(metric, min_paired, max_coverage_drop, allow_missing)
    worse = [_worse_line(comparison, metric, delta) for metric in comparison.worse(delta)]
    if failures or worse:
        return True, failures + worse
    compared = [metric for metric in comparison.metrics if metric.paired]
    if not compared:
        return False, ["no metric was scored on the same records by both runs: nothing compared"]
    share = f"{comparison.confidence:.0%}"
    return False, [
        f"no metric is worse by more than {delta:g}: no {share} interval lies wholly beyond "
        f"{_edge(delta, '-')} (beyond {_edge(delta, '+')} where higher is worse); compared "
        + ", ".join(
            f"{metric.name} ({metric.paired} of {metric.base_scored} records paired)"
            for metric in compared
        )
    ]


def _missing(name: str) -> str:
    return (
        f"missing: {name} is in the base run but not in the new run (--allow-missing lets it pass)"
    )


def _coverage_failures(
    metric: MetricComparison, min_paired: float, max_drop: float, allow_missing: bool
) -> list[str]:
    if not metric.paired:
        if allow_missing:
            return []
        return [
            f"not compared: {metric.name} has no record that both runs gave a value (the base "
            f"run gave {metric.base_scored}; the new run {metric.new_only}, under other ids)"
        ]
    failures = []
    share = metric.paired_share
    if share is not None and share < min_paired - _TOLERANCE:
        failures.append(
            f"too few paired: {metric.name} paired {metric.paired:,} of the "
            f"{metric.base_scored:,} records the base run gave a value ({share:.1%}, below "
            f"{min_paired:.0%}; --min-paired)"
        )
    if metric.base_coverage is not None:
        new = metric.new_coverage or 0.0
        drop = metric.base_coverage - new
        if drop > max_drop + _TOLERANCE:
            failures.append(
                f"coverage fell: {metric.name} {metric.base_coverage:.1%} -> {new:.1%} of its "
                f"records have a value, a fall of {drop:.1%} (more than {max_drop:.1%}; "
                "--max-coverage-drop)"
            )
    return failures


def _worse_line(comparison: Comparison, metric: MetricComparison, delta: float) -> str:
    from zentrix_gov.reports.page import signed

    share = f"{comparison.confidence:.0%}"
    side = f"above {_edge(delta, '+')}" if metric.higher_is_worse else f"below {_edge(delta, '-')}"
    line = (
        f"worse: {metric.name} changed by {signed(metric.difference)}; its {share} "
        f"interval, {signed(metric.low)} to {signed(metric.high)}, lies wholly {side} "
        f"({'higher' if metric.higher_is_worse else 'lower'} is worse; "
        f"{metric.paired} records)"
    )
    if metric.definition_change:
        line += f"; note: its definition differs ({metric.definition_change})"
    return line


def _edge(delta: float, sign: str) -> str:
    return "0" if delta == 0 else f"{sign}{delta:g}"
