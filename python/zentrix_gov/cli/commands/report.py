"""``report``: a stored run as one self-contained HTML page.

    python -m zentrix_gov report RUN_ID -o report.html

RUN_ID is a run id, a unique start of one, or ``last``; ``--store`` names the store as for
``evaluate``. The page is :mod:`zentrix_gov.reports`' work; this module reads the options
and prints.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.constants import PROG, RUN_HELP
from zentrix_gov.cli.errors import EXIT_OK
from zentrix_gov.cli.outputs import file_size, output_target
from zentrix_gov.cli.stores import add_store_option, find_run, open_store

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation


def register(commands: Any) -> None:
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
    report.set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    from zentrix_gov.reports.run_report import write_run_report

    target = output_target(args.output, f"-o {args.output}")
    with open_store(args.store) as store:
        stored = find_run(store, args.run)
        facts = write_run_report(store, stored, target)
    if facts.texts_note:
        print(f"note: {facts.texts_note}", file=sys.stderr)
    left_out = ""
    if facts.left_out:
        left_out = (
            f"; to keep it small, the table leaves out the texts of {facts.left_out:,} records "
            f"(kept for {facts.kept}): {PROG} runs export {stored.id} -o FILE.json writes every "
            "result" + ("" if facts.texts_note else ", the records file holds every text")
        )
    print(
        f"wrote {args.output} ({file_size(facts.size)}, {facts.records:,} records{left_out})",
        file=sys.stderr,
    )
    return EXIT_OK
