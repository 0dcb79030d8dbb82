"""``report`` and ``runs compare``: a stored run as an HTML page, and two runs compared.

    python -m zentrix_gov report RUN_ID -o report.html
    python -m zentrix_gov runs compare BASE NEW [--fail-if-worse DELTA] [--html FILE]

RUN_ID, BASE and NEW are run ids, unique starts of ids, or ``last``; ``--store`` names the
store as for ``evaluate``. The work is :mod:`zentrix_gov.reports`'; this module reads the
options and prints.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.argtypes import positive_int
from zentrix_gov.cli.errors import EXIT_FAILED, EXIT_OK, UsageError
from zentrix_gov.cli.outputs import output_target
from zentrix_gov.cli.stored_runs import add_store_option, find_run, open_store, print_rows

if TYPE_CHECKING:
    from zentrix_gov.reports.compare import Comparison
    from zentrix_gov.runs.store import RunRecord

RUN_HELP = "a run id, a unique start of one, or 'last'"


def add_report_parser(commands: Any) -> None:
    report = commands.add_parser(
        "report",
        help="write a stored run's report: one HTML file",
        description="Write the report of a stored run: what was run, the summary table, per "
        "metric a chart of its values, its errors and its worst records with their texts, and "
        "a table of every record (sort, filter, click for the texts). One self-contained HTML "
        "file: it opens from disk in any browser and loads nothing from the network.",
    )
    report.add_argument("run", metavar="RUN_ID", help=RUN_HELP)
    report.add_argument(
        "-o", "--output", required=True, metavar="FILE.html", help="the HTML file to write"
    )
    add_store_option(report)


def add_compare_parser(actions: Any) -> None:
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
        type=_delta,
        metavar="DELTA",
        help="exit 1 when some metric's interval lies wholly below -DELTA (above +DELTA for a "
        "metric where higher is worse), and say which; otherwise exit 0. DELTA 0 fails on any "
        "change the interval is sure of",
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


def _delta(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def run_report(args: argparse.Namespace) -> int:
    from zentrix_gov.reports.run_report import write_run_report

    target = output_target(args.output, f"-o {args.output}")
    with open_store(args.store) as store:
        run = find_run(store, args.run)
        facts = write_run_report(store, run, target)
    if facts.texts_note:
        print(f"note: {facts.texts_note}", file=sys.stderr)
    cut = f"; table texts cut to {facts.text_cap:,} bytes" if facts.text_cap is not None else ""
    print(
        f"wrote {args.output} ({_size(facts.size)}, {facts.records:,} records{cut})",
        file=sys.stderr,
    )
    return EXIT_OK


def run_compare(args: argparse.Namespace) -> int:
    from zentrix_gov.reports.compare import DEFAULT_SEED, compare_runs, verdict
    from zentrix_gov.reports.stats import RESAMPLES

    html = output_target(args.html, f"--html {args.html}") if args.html else None
    with open_store(args.store) as store:
        base, new = find_run(store, args.base), find_run(store, args.new)
        for run in (base, new):
            _check_finished(run)
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

            size = write_comparison_report(comparison, html, delta=args.fail_if_worse)
            print(f"wrote {args.html} ({_size(size)})", file=sys.stderr)
    print_comparison(comparison, sys.stdout)
    if args.fail_if_worse is None:
        return EXIT_OK
    worse, lines = verdict(comparison, args.fail_if_worse)
    print(file=sys.stdout)
    for line in lines:
        print(line, file=sys.stdout)
    sys.stdout.flush()
    return EXIT_FAILED if worse else EXIT_OK


def _check_finished(run: RunRecord) -> None:
    if run.status == "running":
        raise UsageError(f"run {run.id} is still running; compare it when it has finished")
    if run.status == "interrupted":
        print(
            f"note: run {run.id} was interrupted: only the records it finished are compared",
            file=sys.stderr,
        )


def print_comparison(comparison: Comparison, out: TextIO) -> None:
    from zentrix_gov.reports.compare import signed

    base, new = comparison.base, comparison.new
    print(f"base {base.id} ({base.status}, {base.total_records} records)", file=out)
    print(f"new  {new.id} ({new.status}, {new.total_records} records)", file=out)
    print(file=out)
    share = f"{comparison.confidence:.0%}"
    header = ("metric", "records", "base", "new", "difference", f"{share} interval", "change")
    rows = []
    for metric in comparison.metrics:
        rows.append(
            (
                metric.name,
                str(metric.paired),
                "-" if metric.base_mean is None else f"{metric.base_mean:.4f}",
                "-" if metric.new_mean is None else f"{metric.new_mean:.4f}",
                signed(metric.difference),
                "-" if metric.low is None else f"{signed(metric.low)} to {signed(metric.high)}",
                _change(metric),
            )
        )
    print_rows(header, rows, out, right=(1, 2, 3, 4))
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


def _change(metric: Any) -> str:
    """What the interval says at DELTA 0: worse, better, or nothing sure."""
    if metric.low is None:
        return "not compared"
    if metric.worse_by(0.0):
        return "worse"
    if metric.better_by(0.0):
        return "better"
    return "no clear change"


def _size(size: int) -> str:
    return f"{size / 1e6:.1f} MB" if size >= 100_000 else f"{size / 1e3:.0f} kB"
