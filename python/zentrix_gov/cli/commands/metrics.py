"""``metrics``: the metrics and metric groups that ``evaluate --metrics`` accepts."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.errors import EXIT_OK

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "metrics",
        help="list the metrics and metric groups",
        description="List the metrics and metric groups that --metrics accepts.",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    print_metric_list(sys.stdout)
    return EXIT_OK


def print_metric_list(out: TextIO) -> None:
    from zentrix_gov.cli.plan import group_members
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import known_metrics
    from zentrix_gov.metrics.catalog import metric_summary

    width = max(map(len, known_metrics())) + 2
    print("Metrics:", file=out)
    for name in known_metrics():
        print(f"  {name:<{width}}{metric_summary(name)}", file=out)
    print("\nMetric groups (evaluate all their metrics):", file=out)
    for group in MetricGroup:
        members = group_members(group)
        if members:
            print(f"  {group.value:<{width}}{', '.join(members)}", file=out)
