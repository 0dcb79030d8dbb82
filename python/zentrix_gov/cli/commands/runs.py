"""``runs``: list the stored runs, show one, export one.

    python -m zentrix_gov runs [--json]
    python -m zentrix_gov runs show RUN_ID
    python -m zentrix_gov runs export RUN_ID -o FILE.json
    python -m zentrix_gov runs compare BASE NEW [--fail-if-worse DELTA] [--html FILE]
    python -m zentrix_gov runs agreement RUN_ID [--json] [--min-agreement METRIC=STAT:VALUE]

RUN_ID is a run's id, a unique start of one, or ``last``. ``--store`` (or ``ZENTRIX_STORE``)
names the store; the default is ``.zentrix/runs.sqlite`` under the current folder.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.constants import RUN_HELP
from zentrix_gov.cli.errors import EXIT_OK, UsageError
from zentrix_gov.cli.spend_options import listing_spend, print_spend_notes
from zentrix_gov.cli.stores import add_store_option, find_run, open_store
from zentrix_gov.cli.tables import print_rows, print_summary

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation
    from zentrix_gov.runs.store import RunRecord, RunStore


def register(commands: Any) -> None:
    from zentrix_gov.cli.commands.agreement import register as register_agreement
    from zentrix_gov.cli.commands.compare import register as register_compare

    runs = commands.add_parser(
        "runs",
        help="list, show, export or compare stored runs, or measure their judges",
        description="List the stored runs (id, start, status, metrics, records done/total), "
        "show one run's summary table, export one run's results as --output does, or compare "
        "two runs.",
    )
    add_store_option(runs)
    runs.add_argument("--json", action="store_true", help="print the listing as JSON")
    runs.set_defaults(handler=run)
    actions = runs.add_subparsers(dest="runs_command", metavar="ACTION")
    show_parser = actions.add_parser("show", help="print a stored run's summary table")
    show_parser.add_argument("run", metavar="RUN_ID", help=RUN_HELP)
    add_store_option(show_parser)
    export_parser = actions.add_parser("export", help="write a stored run's results JSON and CSV")
    export_parser.add_argument("run", metavar="RUN_ID", help=RUN_HELP)
    export_parser.add_argument(
        "-o", "--output", required=True, metavar="FILE", help="the JSON file (CSV beside it)"
    )
    add_store_option(export_parser)
    register_compare(actions)
    register_agreement(actions)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    with open_store(args.store) as store:
        if args.runs_command == "show":
            return show(store, find_run(store, args.run), sys.stdout)
        if args.runs_command == "export":
            return export(store, find_run(store, args.run), args.output)
        listing = [_listing(store, record) for record in store.list_runs()]
    if args.json:
        print(json.dumps(listing, indent=2, ensure_ascii=False))
    else:
        print_listing(listing, sys.stdout)
    return EXIT_OK


def _listing(store: RunStore, run: RunRecord) -> dict[str, Any]:
    done = store.records_done(run.id, run.metrics)
    return {
        "id": run.id,
        "started": run.started,
        "ended": run.ended,
        "status": run.status,
        "metrics": run.metrics,
        "records_done": done,
        "records_total": run.total_records,
        "input": run.input_path,
        "judge_model": run.judge_model,
        **listing_spend(store, run),
        "error": run.error,
    }


def print_listing(listing: Sequence[dict[str, Any]], out: TextIO) -> None:
    if not listing:
        print("no runs stored yet", file=out)
        return
    header = ("id", "started", "status", "records", "metrics")
    rows = [
        (
            entry["id"],
            entry["started"],
            entry["status"],
            f"{entry['records_done']}/{entry['records_total']}",
            ",".join(entry["metrics"]),
        )
        for entry in listing
    ]
    print_rows(header, rows, out, right=(3,))


def show(store: RunStore, record: RunRecord, out: TextIO) -> int:
    from zentrix_gov.runs.summary import summarize

    print(
        f"run {record.id}: {record.status}, started {record.started}"
        + (f", ended {record.ended}" if record.ended else "")
        + f"\nrecords: {record.input_path} ({record.total_records} records)",
        file=out,
    )
    if record.judge_model:
        print(
            f"judge: {record.judge_model}"
            + (f" at {record.judge_url}" if record.judge_url else ""),
            file=out,
        )
    if record.error:
        print(f"error: {record.error}", file=out)
    print(file=out)
    summaries = summarize(store, record)
    print_summary(summaries, out)
    print_spend_notes(store, record, out)
    return EXIT_OK


def export(store: RunStore, record: RunRecord, output: str) -> int:
    from zentrix_gov.cli.results_files import check_output, write_export
    from zentrix_gov.runs.schema import RunStatus

    files = check_output(output)
    assert files is not None
    if record.status is RunStatus.RUNNING:
        raise UsageError(f"run {record.id} is still running; export it when it has finished")
    write_export(store, record, files)
    print(f"wrote {files.shown} and {files.shown_csv}", file=sys.stderr)
    return EXIT_OK
