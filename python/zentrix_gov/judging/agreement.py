"""How a stored run's verdicts agree with its human labels, per labelled metric.

A metric is labelled when some of its records carry a label (``results.human_label``). Its
kind follows its labels: option names (criteria), pass/fail (every label 0 or 1), or
numbers. Records without a label are left out and counted; labelled records the metric did
not evaluate (skipped) too; labelled records it evaluated without a verdict (an error, an
unreadable answer, a dropped unstable verdict) are counted apart and enter the second form
of each figure as disagreements. See :mod:`.figures` for the figures and :mod:`.stats` for
the statistics and the paired bootstrap (seeded: the same run and seed always give the same
intervals).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.judging.verdicts import farthest_apart, labelled_cells

if TYPE_CHECKING:
    from zentrix_gov.judging.stats import Figure
    from zentrix_gov.runs.schema import RunRecord
    from zentrix_gov.runs.store import RunStore

OPTIONS, SCORES, PASS_FAIL = "options", "scores", "pass_fail"
# The statistics a gate (--min-agreement) may name.
GATE_STATISTICS = ("accuracy", "kappa", "auc", "spearman", "alpha")
DISAGREEMENTS_SHOWN = 10


@dataclass
class Agreement:
    """One labelled metric of a run: its figures, and what they were computed on."""

    metric: str
    kind: str
    records: int  # records of the run
    labelled: int  # records with a label
    skipped: int  # labelled records the metric did not evaluate
    with_verdict: int  # labelled, evaluated records with a verdict
    missing: int  # labelled, evaluated records without one
    figures: dict[str, Figure]
    strict: dict[str, Figure]  # a missing verdict counted as a disagreement
    extra: dict[str, Any] = field(default_factory=dict)
    disagreements: list[dict[str, Any]] = field(default_factory=list)
    seed: int = 0
    resamples: int = 0

    def as_dict(self) -> dict[str, Any]:
        """The metric's figures as ``runs agreement --json`` prints them."""
        return {
            "metric": self.metric,
            "kind": self.kind,
            "records": self.records,
            "labelled": self.labelled,
            "unlabelled": self.records - self.labelled,
            "skipped": self.skipped,
            "with_verdict": self.with_verdict,
            "missing_verdict": self.missing,
            **{name: figure.as_dict() for name, figure in self.figures.items()},
            "missing_as_disagreement": {
                name: figure.as_dict() for name, figure in self.strict.items()
            },
            **{name: value for name, value in self.extra.items() if name != "roc"},
            "disagreements": self.disagreements,
            "seed": self.seed,
            "resamples": self.resamples,
        }


def _options_of(run: RunRecord, metric: str) -> list[tuple[str, float | None]] | None:
    from zentrix_gov.runs.blueprint import stored_metrics

    entry = stored_metrics(run.definition).get(metric) or {}
    options = (entry.get("fields") or {}).get("options")
    if not options:
        return None
    return [(option["name"], option.get("value")) for option in options]


def _identity(store: RunStore, run: RunRecord, metric: str) -> dict[str, Any]:
    for unit in store.units(run.id, metric):
        if unit.summary.get("identity"):
            return unit.summary["identity"]
    return {}


def metric_agreement(
    store: RunStore, run: RunRecord, metric: str, *, seed: int = 0, resamples: int | None = None
) -> Agreement | None:
    """The agreement of ``metric`` with its labels; None when no record carries one."""
    import numpy as np

    from zentrix_gov.judging import figures
    from zentrix_gov.judging.stats import RESAMPLES
    from zentrix_gov.reports.direction import higher_is_worse

    resamples = RESAMPLES if resamples is None else resamples
    cells = labelled_cells(store, run.id, metric)
    if not cells:
        return None
    labelled = sum(cell[4] for cell in cells)
    read = [cell for cell in cells if not cell[1]]
    counts = np.array([cell[4] for cell in read], dtype=np.int64)
    options = _options_of(run, metric)
    scale: dict[str, float] | None = None
    if options is not None or any(isinstance(cell[0], str) for cell in read):
        options = options or [(name, None) for name in sorted({str(cell[0]) for cell in read})]
        kind = OPTIONS
        names = {name for name, _ in options}
        labels = np.repeat(np.array([str(cell[0]) for cell in read], dtype=object), counts)
        said = [cell[3] if cell[2] is not None and cell[3] in names else None for cell in read]
        verdicts = np.repeat(np.array(said, dtype=object), counts)
        found = figures.option_figures(list(labels), list(verdicts), options, seed, resamples)
        with_verdict = int(sum(n for verdict, n in zip(said, counts, strict=True) if verdict))
        if all(value is not None for _, value in options):
            scale = {name: float(value) for name, value in options}
        else:
            scale = {name: 0.0 for name, _ in options}
    else:
        labels = np.repeat(np.array([float(cell[0]) for cell in read]), counts)
        scores = [float(cell[2]) if isinstance(cell[2], int | float) else np.nan for cell in read]
        verdicts = np.repeat(np.array(scores), counts)
        identity = _identity(store, run, metric)
        worse = higher_is_worse(metric, identity)
        if len(labels) and np.isin(labels, (0.0, 1.0)).all():
            kind = PASS_FAIL
            thresholds = identity.get("thresholds") or []
            found = figures.pass_fail_figures(
                labels, verdicts, thresholds[0] if thresholds else None, worse, seed, resamples
            )
        else:
            kind = SCORES
            found = figures.score_figures(labels, verdicts, seed, resamples)
        with_verdict = int(np.isfinite(verdicts).sum())
    apart = farthest_apart(store, run.id, metric, scale, DISAGREEMENTS_SHOWN)
    return Agreement(
        metric=metric,
        kind=kind,
        records=run.total_records,
        labelled=labelled,
        skipped=labelled - int(counts.sum()),
        with_verdict=with_verdict,
        missing=int(counts.sum()) - with_verdict,
        figures=found.figures,
        strict=found.strict,
        extra=found.extra,
        disagreements=[
            {"position": position, "record_id": record_id, "label": label, "verdict": verdict}
            for position, record_id, label, verdict in apart
        ],
        seed=seed,
        resamples=found.resamples,
    )


def labelled_metrics(store: RunStore, run: RunRecord) -> list[str]:
    """The run's metrics some record of which carries a label, in the run's order."""
    found = {
        metric
        for (metric,) in store.read(
            "SELECT DISTINCT metric FROM results WHERE run_id = ? AND human_label IS NOT NULL",
            (run.id,),
        )
    }
    return [metric for metric in run.metrics if metric in found]


def run_agreement(
    store: RunStore, run: RunRecord, metric: str | None = None, *, seed: int = 0,
    resamples: int | None = None,
) -> list[Agreement]:  # fmt: skip
    """The agreement of every labelled metric of ``run`` (or of ``metric``)."""
    names = labelled_metrics(store, run) if metric is None else [metric]
    found = []
    for name in names:
        agreement = metric_agreement(store, run, name, seed=seed, resamples=resamples)
        if agreement is not None:
            found.append(agreement)
    return found


def gate_failures(agreements: list[Agreement], rules: list[tuple[str, str, float]]) -> list[str]:
    """The rules (metric, statistic, least value) whose interval's lower end falls below
    the value, each as a text naming the metric. The interval read is the one with missing
    verdicts counted as disagreements (the stricter; the same when none is missing)."""
    by_name = {agreement.metric: agreement for agreement in agreements}
    failures = []
    for metric, statistic, least in rules:
        agreement = by_name.get(metric)
        if agreement is None:
            failures.append(f"{metric}: no labelled records to measure {statistic} on")
            continue
        figure = agreement.strict.get(statistic)
        if figure is None:
            raise ValueError(
                f"{metric} has {agreement.kind.replace('_', '/')} labels: {statistic} is not "
                f"one of its figures ({', '.join(sorted(agreement.strict))})"
            )
        if figure.low is None or figure.low < least:
            low = "none" if figure.low is None else f"{figure.low:.4f}"
            failures.append(
                f"{metric}: {statistic} interval's lower end {low} is below {least:g} "
                f"({figure.n} labelled records)"
            )
    return failures
