"""``runs compare``: two stored runs compared, metric by metric, and a gate for CI.

    python -m zentrix_gov runs compare BASE NEW [--fail-if-worse DELTA] [--html FILE]

BASE and NEW are run ids, unique starts of ids, or ``last``; ``--store`` names the store as
for ``evaluate``. The work is :mod:`zentrix_gov.reports`'; this module reads the options and
prints.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.argtypes import fraction, non_negative, positive_int
from zentrix_gov.cli.constants import RUN_HELP
from zentrix_gov.cli.errors import EXIT_FAILED, EXIT_OK, UsageError
from zentrix_gov.cli.outputs import file_size, output_target
from zentrix_gov.cli.stores import add_store_option, find_run, open_store
from zentrix_gov.cli.tables import print_rows

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation
    from zentrix_gov.reports.compare import Comparison
    from zentrix_gov.runs.store import RunRecord

# The gate's defaults, as zentrix_gov.reports.gate has them (that module loads numpy's users
# only when a comparison is made).
DEFAULT_MIN_PAIRED = 0.9
DEFAULT_MAX_COVERAGE_DROP = 0.02


def register(actions: Any) -> None:
    """Add ``compare`` to the actions of the ``runs`` command."""
    compare = actions.add_parser(
        "compare",
        help="compare two stored runs, metric by metric, over the records both scored",
        description="Compare two stored runs over the records both scored (matched by record "
        "id): per metric the difference of the means with a 95% paired bootstrap interval, "
        "McNemar's test for label metrics, and the records that changed the most.",
    )
    compare.add_argument("base", metavar="BASE", help="the run to compare against: " + RUN_HELP)
    compare.add_argument("new", metavar="NEW", help="the run to compare: " + RUN_HELP)
    compare.add_argument(
        "--fail-if-worse",
        type=non_negative,
        metavar="DELTA",
        help="a gate for CI: exit 1 when some metric's interval lies wholly below -DELTA "
        "(above +DELTA for a metric where higher is worse), or when the runs cannot be "
        "compared as asked (a metric of BASE missing from NEW, nothing paired, too few "
        "records paired, a coverage that fell; see below), and say which; otherwise exit 0. "
        "DELTA 0 fails on any change the interval is sure of",
    )
    compare.add_argument(
        "--min-paired",
        type=fraction,
        metavar="F",
        help="with --fail-if-worse: fail when a metric paired fewer than F of the records "
        f"BASE gave a value (default {DEFAULT_MIN_PAIRED:g})",
    )
    compare.add_argument(
        "--max-coverage-drop",
        type=fraction,
        metavar="F",
        help="with --fail-if-worse: fail when a metric's coverage (records with a value / "
        f"records read) fell by more than F (default {DEFAULT_MAX_COVERAGE_DROP:g})",
    )
    compare.add_argument(
        "--allow-missing",
        action="store_true",
        help="with --fail-if-worse: pass metrics of BASE that NEW lacks or that paired no record",
    )
    compare.add_argument("--html", metavar="FILE.html", help="write the comparison as a page")
    compare.add_argument(
        "--seed",
        type=int,
        default=None,
        metavar="N",
        help="the bootstrap's random seed (default 0: the same runs always give the same interval)",
    )
    compare.add_argument(
        "--resamples",
        type=positive_int,
        metavar="N",
        help="bootstrap resamples (default 2000)",
    )
    add_store_option(compare)
    compare.set_defaults(handler=run)


def _gate_options(args: argparse.Namespace) -> dict[str, Any]:
    """The gate's settings; they go with --fail-if-worse."""
    given = {
        "--min-paired": args.min_paired is not None,
        "--max-coverage-drop": args.max_coverage_drop is not None,
        "--allow-missing": args.allow_missing,
    }
    named = [option for option, present in given.items() if present]
    if named and args.fail_if_worse is None:
        raise UsageError(f"{' and '.join(named)} go with --fail-if-worse")
    return {
        "min_paired": DEFAULT_MIN_PAIRED if args.min_paired is None else args.min_paired,
        "max_coverage_drop": (
            DEFAULT_MAX_COVERAGE_DROP if args.max_coverage_drop is None else args.max_coverage_drop
        ),
        "allow_missing": args.allow_missing,
    }


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    from zentrix_gov.reports.compare import DEFAULT_SEED, compare_runs
    from zentrix_gov.reports.gate import verdict
    from zentrix_gov.reports.stats import RESAMPLES

    gate = _gate_options(args)
    html = output_target(args.html, f"--html {args.html}") if args.html else None
    with open_store(args.store) as store:
        base, new = find_run(store, args.base), find_run(store, args.new)
        for stored in (base, new):
            _check_finished(stored)
        if base.id == new.id:
            raise UsageError(f"BASE and NEW are the same run ({base.id}); name two runs")
        comparison = compare_runs(
            store,
            base,
            new,
            resamples=args.resamples or RESAMPLES,
            seed=DEFAULT_SEED if args.seed is None else args.seed,
        )
        if html is not None:
            from zentrix_gov.reports.compare_page import write_comparison_report

            size = write_comparison_report(comparison, html, delta=args.fail_if_worse, **gate)
            print(f"wrote {args.html} ({file_size(size)})", file=sys.stderr)
    print_comparison(comparison, sys.stdout)
    if args.fail_if_worse is None:
        return EXIT_OK
    worse, lines = verdict(comparison, args.fail_if_worse, **gate)
    print(file=sys.stdout)
    for line in lines:
        print(line, file=sys.stdout)
    sys.stdout.flush()
    return EXIT_FAILED if worse else EXIT_OK


def _check_finished(run: RunRecord) -> None:
    from zentrix_gov.runs.schema import RunStatus

    if run.status is RunStatus.RUNNING:
        raise UsageError(f"run {run.id} is still running; compare it when it has finished")
    if run.status is RunStatus.INTERRUPTED:
        print(
            f"note: run {run.id} was interrupted: only the records it finished are compared",
            file=sys.stderr,
        )


def print_comparison(comparison: Comparison, out: TextIO) -> None:
    from zentrix_gov.reports.compare import change_word
    from zentrix_gov.reports.page import signed

    base, new = comparison.base, comparison.new
    print(f"base {base.id} ({base.status}, {base.total_records} records)", file=out)
    print(f"new  {new.id} ({new.status}, {new.total_records} records)", file=out)
    print(file=out)
    share = f"{comparison.confidence:.0%}"
    header = (
        "metric",
        "paired",
        "coverage",
        "base",
        "new",
        "difference",
        f"{share} interval",
        "change",
    )
    rows = []
    for metric in comparison.metrics:
        rows.append(
            (
                metric.name,
                f"{metric.paired}/{metric.base_scored}",
                f"{_percent(metric.base_coverage)}->{_percent(metric.new_coverage)}",
                "-" if metric.base_mean is None else f"{metric.base_mean:.4f}",
                "-" if metric.new_mean is None else f"{metric.new_mean:.4f}",
                signed(metric.difference),
                "-" if metric.low is None else f"{signed(metric.low)} to {signed(metric.high)}",
                change_word(metric)
                + (" (defined differently)" if metric.definition_change else ""),
            )
        )
    print_rows(header, rows, out, right=(1, 2, 3, 4, 5))
    print(
        "paired: records both runs gave a value / records the base run gave a value; "
        "coverage: records with a value / records read, base -> new",
        file=out,
    )
    for metric in comparison.metrics:
        if metric.definition_change:
            print(
                f"{metric.name}: defined differently in the two runs ({metric.definition_change});"
                " a change may be the definition's, not a regression",
                file=out,
            )
    for name in comparison.only_base:
        print(f"{name}: only in the base run, not compared", file=out)
    for name in comparison.only_new:
        print(f"{name}: only in the new run, not compared", file=out)
    for metric in comparison.metrics:
        for change in metric.labels:
            if change.lost or change.gained:
                print(
                    f"{metric.name} label {change.label!r}: {change.lost} records lost it, "
                    f"{change.gained} gained it (McNemar p = {change.p_value:.3g})",
                    file=out,
                )
    for metric in comparison.metrics:
        if metric.changed:
            shown = ", ".join(
                f"{change.record_id} {signed(change.difference, 3)}"
                for change in metric.changed[:5]
            )
            print(f"{metric.name} changed most: {shown}", file=out)
    out.flush()


def _percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"
