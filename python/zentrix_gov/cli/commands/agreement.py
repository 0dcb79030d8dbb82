"""``runs agreement``: how a stored run's verdicts agree with its human labels, and a gate
for CI.

    python -m zentrix_gov runs agreement RUN_ID|last [--metric M] [--json] [--seed N]
        [--min-agreement METRIC=STAT:VALUE ...]

The figures are :mod:`zentrix_gov.judging.agreement`'s; this module reads the options,
prints and gates.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.constants import RUN_HELP
from zentrix_gov.cli.errors import EXIT_FAILED, EXIT_OK, UsageError
from zentrix_gov.cli.stores import add_store_option, find_run, open_store
from zentrix_gov.cli.tables import print_rows

if TYPE_CHECKING:
    from zentrix_gov.cli import Invocation
    from zentrix_gov.judging.agreement import Agreement

_STATISTICS = ("accuracy", "kappa", "auc", "spearman", "alpha")
_KINDS = {"options": "options", "scores": "numbers", "pass_fail": "pass/fail"}


def _rule(text: str) -> tuple[str, str, float]:
    metric, sep, rest = text.rpartition("=")
    statistic, colon, value = rest.partition(":")
    if not sep or not metric or not colon or statistic not in _STATISTICS:
        raise argparse.ArgumentTypeError(
            f"expected METRIC=STAT:VALUE with STAT one of {', '.join(_STATISTICS)} (e.g. "
            f"answer_grounding=kappa:0.6), got {text!r}"
        )
    try:
        least = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{value!r} in {text!r} is not a number") from None
    return metric, statistic, least


def register(actions: Any) -> None:
    """Add ``agreement`` to the actions of the ``runs`` command."""
    agreement = actions.add_parser(
        "agreement",
        help="how a run's verdicts agree with its human labels (label_fields), with intervals",
        description="How a stored run's verdicts agree with the human labels stored with it "
        "(label_fields of the config): for criteria, accuracy, Cohen's kappa and the "
        "confusion matrix; for scores against numbers, Spearman's rho, the mean absolute "
        "error and Krippendorff's alpha; against pass/fail labels, ROC AUC and thresholds. "
        "Every figure has a seeded paired-bootstrap 95%% interval, over the records with a "
        "verdict and with a missing verdict counted as a disagreement.",
    )
    agreement.add_argument("run", metavar="RUN_ID", help=RUN_HELP)
    agreement.add_argument("--metric", metavar="M", help="only the metric M")
    agreement.add_argument("--json", action="store_true", help="print one JSON object per metric")
    agreement.add_argument(
        "--seed", type=int, default=0, metavar="N", help="the bootstrap's seed (default 0)"
    )
    agreement.add_argument(
        "--min-agreement",
        action="append",
        type=_rule,
        metavar="METRIC=STAT:VALUE",
        help="a gate for CI (repeatable): exit 1 when the 95%% interval of STAT (accuracy, "
        "kappa, auc, spearman or alpha) of METRIC, with missing verdicts counted as "
        "disagreements, has a lower end below VALUE",
    )
    add_store_option(agreement)
    agreement.set_defaults(handler=run)


def run(args: argparse.Namespace, invocation: Invocation) -> int:
    from zentrix_gov.judging.agreement import gate_failures, run_agreement

    with open_store(args.store) as store:
        record = find_run(store, args.run)
        if args.metric is not None and args.metric not in record.metrics:
            raise UsageError(
                f"run {record.id} has no metric {args.metric!r}; its metrics: "
                f"{', '.join(record.metrics)}"
            )
        found = run_agreement(store, record, args.metric, seed=args.seed)
        summaries = _judging(store, record)
    if not found and not args.min_agreement:
        raise UsageError(
            f"run {record.id} holds no human labels"
            + (f" for {args.metric}" if args.metric else "")
            + ": name each metric's label column in label_fields of the --config file"
        )
    if args.json:
        entries = []
        for agreement in found:
            entry = agreement.as_dict()
            judged = summaries.get(agreement.metric)
            entry["judging"] = judged.as_dict() if judged is not None else None
            entries.append(entry)
        print(json.dumps(entries, indent=2, ensure_ascii=False))
    else:
        for agreement in found:
            print_agreement(agreement, summaries.get(agreement.metric), sys.stdout)
    try:
        failures = gate_failures(found, args.min_agreement or [])
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if failures:
        for failure in failures:
            print(f"agreement below the gate: {failure}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _judging(store: Any, record: Any) -> dict[str, Any]:
    from zentrix_gov.judging.summary import judging_summary

    if "judging" not in record.definition:
        return {}
    found = {name: judging_summary(store, record, name) for name in record.metrics}
    return {name: summary for name, summary in found.items() if summary is not None}


def _number(value: float | None) -> str:
    return "-" if value is None else f"{value:.4f}"


def _interval(figure: Any) -> str:
    if figure.low is None:
        return "-"
    return f"[{figure.low:.4f}, {figure.high:.4f}]"


def print_agreement(agreement: Agreement, judged: Any, out: TextIO) -> None:
    """One metric's figures as a few lines and tables."""
    options = agreement.extra.get("options")
    kind = _KINDS[agreement.kind] + (f" ({', '.join(options)})" if options else "")
    print(
        f"{agreement.metric}: {kind} labels on {agreement.labelled} of {agreement.records} "
        f"records; {agreement.with_verdict} with a verdict, {agreement.missing} without (an "
        f"error, unreadable or dropped), {agreement.skipped} not evaluated",
        file=out,
    )
    header = ("figure", "value", "95% interval", "n", "missing as disagreement", "interval", "n")
    rows = []
    for name, figure in agreement.figures.items():
        strict = agreement.strict[name]
        rows.append(
            (
                name,
                _number(figure.value),
                _interval(figure),
                str(figure.n),
                _number(strict.value),
                _interval(strict),
                str(strict.n),
            )
        )
    print_rows(header, rows, out, right=(1, 3, 4, 6))
    notes = []
    if agreement.extra.get("kappa_weights") == "linear":
        notes.append("kappa is weighted linearly by the options' values")
    threshold = agreement.extra.get("metric_threshold")
    if threshold:
        notes.append(f"threshold_accuracy: at the metric's own {threshold['type']} "
                     f"{threshold['value']:g}")  # fmt: skip
    if agreement.kind == "pass_fail":
        notes.append(f"threshold: pass when the value is {agreement.extra['pass_when']}")
    for note in notes:
        print(f"  ({note})", file=out)
    confusion = agreement.extra.get("confusion")
    if confusion:
        print("confusion matrix (rows: label, columns: verdict)", file=out)
        rows = [
            (label, *(str(count) for count in counts))
            for label, counts in zip(confusion["labels"], confusion["counts"], strict=True)
        ]
        print_rows(("", *confusion["verdicts"]), rows, out, right=range(1, len(rows[0])))
    if judged is not None:
        print(_judging_line(judged), file=out)
    print(file=out)


def _judging_line(judged: Any) -> str:
    def share(value: float | None) -> str:
        return "-" if value is None else f"{value:.1%}"

    parts = [
        f"{judged.verdicts} verdicts a record",
        f"stability {share(judged.stability)}",
        f"{share(judged.not_unanimous)} not unanimous",
    ]
    if judged.compared:
        parts.append(f"flip rate {share(judged.flip_rate)} ({judged.flipped} of "
                     f"{judged.compared})")  # fmt: skip
    if judged.juror_statistic is not None:
        value = "-" if judged.juror_agreement is None else f"{judged.juror_agreement:.4f}"
        parts.append(f"jurors' {judged.juror_statistic.replace('_', ' ')} {value} "
                     f"({judged.juror_records} records)")  # fmt: skip
    return "judges asked several times: " + ", ".join(parts)
