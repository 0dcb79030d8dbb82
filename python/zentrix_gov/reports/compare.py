"""Two stored runs side by side: did a change make any metric worse, beyond the noise?

Per metric, only records both runs scored count (matched by record id). The difference
of their means gets a paired bootstrap interval: judges are noisy, and an interval says how
far the difference could be from zero by chance alone. Label metrics also get McNemar's
test per label: of the records whose label changed, did as many gain it as lose it?
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.reports.direction import higher_is_worse
from zentrix_gov.reports.stats import CONFIDENCE, RESAMPLES, bootstrap_intervals, mcnemar
from zentrix_gov.runs.schema import ResultStatus

if TYPE_CHECKING:
    import numpy as np

    from zentrix_gov.runs.store import RunRecord, RunStore

# Records listed per metric as those that changed the most.
CHANGED_SHOWN = 10
# The bootstrap's seed unless another is given: the same two runs always get the same
# interval, so a CI gate does not flip between two runs of the same comparison.
DEFAULT_SEED = 0


@dataclass
class LabelChange:
    """Records that lost a label and records that gained it, between the two runs."""

    label: str
    base: int  # records with the label in the base run
    new: int
    lost: int
    gained: int
    p_value: float


@dataclass
class RecordChange:
    record_id: str
    base_position: int
    new_position: int
    base_value: float
    new_value: float
    base_label: str | None = None
    new_label: str | None = None

    @property
    def difference(self) -> float:
        return self.new_value - self.base_value


@dataclass
class MetricComparison:
    name: str
    higher_is_worse: bool
    paired: int = 0  # records both runs scored
    base_only: int = 0  # records only the base run scored
    new_only: int = 0
    base_coverage: float | None = None  # records with a value / records read, per run
    new_coverage: float | None = None
    definition_change: str | None = None  # how the metric's definition differs, if it does
    base_mean: float | None = None
    new_mean: float | None = None
    low: float | None = None  # the difference's interval
    high: float | None = None
    labels: list[LabelChange] = field(default_factory=list)
    changed: list[RecordChange] = field(default_factory=list)

    @property
    def difference(self) -> float | None:
        if self.base_mean is None or self.new_mean is None:
            return None
        return self.new_mean - self.base_mean

    @property
    def base_scored(self) -> int:
        """Records the base run gave a value."""
        return self.paired + self.base_only

    @property
    def paired_share(self) -> float | None:
        """Paired records / records the base run gave a value (None when it gave none)."""
        return self.paired / self.base_scored if self.base_scored else None

    def worse_by(self, delta: float) -> bool:
        """Whether the interval lies wholly on the worse side of ``delta``."""
        if self.low is None or self.high is None:
            return False
        return self.low > delta if self.higher_is_worse else self.high < -delta

    def better_by(self, delta: float) -> bool:
        if self.low is None or self.high is None:
            return False
        return self.high < -delta if self.higher_is_worse else self.low > delta


@dataclass
class Comparison:
    base: RunRecord
    new: RunRecord
    metrics: list[MetricComparison]
    only_base: list[str]  # metrics only the base run has
    only_new: list[str]
    resamples: int
    confidence: float
    seed: int | None

    def worse(self, delta: float) -> list[MetricComparison]:
        return [metric for metric in self.metrics if metric.worse_by(delta)]


def compare_runs(
    store: RunStore,
    base: RunRecord,
    new: RunRecord,
    *,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
    seed: int | None = DEFAULT_SEED,
    changed: int = CHANGED_SHOWN,
) -> Comparison:
    """Compare every metric the two runs share, over the records both scored.

    The bootstrap resamples records: each resample draws the new run's records with
    replacement, and every metric's mean difference is taken over the drawn records it
    paired. So all metrics share one set of draws, and a record counts in all or none.
    """
    import numpy as np

    shared = [name for name in new.metrics if name in base.metrics]
    metrics: list[MetricComparison] = []
    pairs: list[Paired] = []
    coverage = {run.id: _coverages(store, run.id) for run in (base, new)}
    for name in shared:
        identities = [_identity(store, run.id, name) for run in (base, new)]
        metric = MetricComparison(name, higher_is_worse(name, identities[1]))
        metric.definition_change = definition_change(base, new, name, *identities)
        metric.base_coverage = coverage[base.id].get(name)
        metric.new_coverage = coverage[new.id].get(name)
        paired = pair_results(store, base, new, name)
        metric.paired = len(paired.new_positions)
        metric.base_only, metric.new_only = paired.base_only, paired.new_only
        metrics.append(metric)
        if not metric.paired:
            continue
        metric.base_mean = float(paired.base_values.mean())
        metric.new_mean = float(paired.new_values.mean())
        metric.labels = _label_changes(paired)
        metric.changed = _most_changed(paired, changed)
        pairs.append(paired)
    compared = [metric for metric in metrics if metric.paired]
    if compared:
        # One row per metric over the records any metric paired (the new run's positions).
        records = np.unique(np.concatenate([paired.new_positions for paired in pairs]))
        differences = np.zeros((len(pairs), len(records)))
        weights = np.zeros((len(pairs), len(records)))
        for row, paired in enumerate(pairs):
            columns = np.searchsorted(records, paired.new_positions)
            differences[row, columns] = paired.new_values - paired.base_values
            weights[row, columns] = 1.0
        low, high = bootstrap_intervals(
            differences, weights=weights, resamples=resamples, confidence=confidence, seed=seed
        )
        for metric, lower, upper in zip(compared, low.tolist(), high.tolist(), strict=True):
            metric.low, metric.high = lower, upper
    return Comparison(
        base,
        new,
        metrics,
        only_base=[name for name in base.metrics if name not in new.metrics],
        only_new=[name for name in new.metrics if name not in base.metrics],
        resamples=resamples,
        confidence=confidence,
        seed=seed,
    )


def _identity(store: RunStore, run_id: str, name: str) -> dict[str, Any] | None:
    units = store.units(run_id, name)
    return next((unit.summary["identity"] for unit in units if unit.summary.get("identity")), None)


def _coverages(store: RunStore, run_id: str) -> dict[str, float | None]:
    """Per metric: records with a value / records read (None when it read none)."""
    found = {}
    for name, counts in store.counts(run_id).items():
        read = counts[ResultStatus.OK] + counts[ResultStatus.ERROR]
        found[name] = counts["value"] / read if read else None
    return found


def definition_change(
    base: RunRecord,
    new: RunRecord,
    name: str,
    base_identity: dict[str, Any] | None,
    new_identity: dict[str, Any] | None,
) -> str | None:
    """How the metric called ``name`` is defined differently in the two runs (its method,
    its judge's model, its criteria or parameters), or None when nothing says it is."""
    from zentrix_gov.runs.blueprint import stored_metrics

    before = stored_metrics(base.definition).get(name) or {}
    after = stored_metrics(new.definition).get(name) or {}
    methods = [
        (definition or {}).get("method") or (identity or {}).get("method")
        for definition, identity in ((before, base_identity), (after, new_identity))
    ]
    changes = []
    if methods[0] != methods[1]:
        changes.append(f"method {methods[0] or '-'} -> {methods[1] or '-'}")
    judged = before.get("judged") or after.get("judged")
    if judged and base.judge_model != new.judge_model:
        changes.append(f"judge model {base.judge_model or '-'} -> {new.judge_model or '-'}")
    digests = before.get("digest"), after.get("digest")
    if not changes and None not in digests and digests[0] != digests[1]:
        changes.append("its parameters, criteria or options differ")
    return "; ".join(changes) or None


@dataclass
class Paired:
    """A metric's values for the records both runs scored, matched by record id."""

    record_ids: list[str]
    base_positions: np.ndarray
    new_positions: np.ndarray
    base_values: np.ndarray
    new_values: np.ndarray
    base_labels: list[str | None]
    new_labels: list[str | None]
    base_only: int  # records only the base run scored
    new_only: int


def pair_results(store: RunStore, base: RunRecord, new: RunRecord, name: str) -> Paired:
    """The metric's records both runs gave a value, matched by record id."""
    import itertools

    import numpy as np

    before = _scored(store, base.id, name)
    after = _scored(store, new.id, name)
    index = dict(zip(before[0], range(len(before[0])), strict=True))
    found = np.fromiter(
        map(index.get, after[0], itertools.repeat(-1)), dtype=np.int64, count=len(after[0])
    )
    kept = np.flatnonzero(found >= 0)
    rows = found[kept]
    return Paired(
        [after[0][row] for row in kept.tolist()],
        before[1][rows],
        after[1][kept],
        before[2][rows],
        after[2][kept],
        [before[3][row] for row in rows.tolist()],
        [after[3][row] for row in kept.tolist()],
        base_only=len(before[0]) - len(kept),
        new_only=len(after[0]) - len(kept),
    )


def _scored(
    store: RunStore, run_id: str, name: str
) -> tuple[list[str], np.ndarray, np.ndarray, list[str | None]]:
    """Record ids, positions, values and labels of the run's records with a value (the
    store holds numbers or nothing there)."""
    import numpy as np

    rows = list(store.results(run_id, name, ("record_id", "position", "value", "label")))
    if not rows:
        return [], np.empty(0, np.int64), np.empty(0), []
    ids, positions, values, labels = zip(*rows, strict=True)
    cells = np.array(values, dtype=object)
    scored = np.flatnonzero(np.not_equal(cells, None))
    numbers = cells[scored].astype(np.float64)
    finite = np.isfinite(numbers)
    if not finite.all():
        scored, numbers = scored[finite], numbers[finite]
    keep = scored.tolist()
    return (
        [ids[row] for row in keep],
        np.array(positions, np.int64)[scored],
        numbers,
        [labels[row] for row in keep],
    )


def _label_changes(paired: Paired) -> list[LabelChange]:
    both = [
        (before, after)
        for before, after in zip(paired.base_labels, paired.new_labels, strict=True)
        if before is not None and after is not None
    ]
    if not both:
        return []
    names = sorted({label for pair in both for label in pair}, key=str)
    changes = []
    for label in names:
        had = sum(1 for before, _ in both if before == label)
        has = sum(1 for _, after in both if after == label)
        lost = sum(1 for before, after in both if before == label and after != label)
        gained = sum(1 for before, after in both if before != label and after == label)
        changes.append(LabelChange(str(label), had, has, lost, gained, mcnemar(lost, gained)))
    return changes


def _most_changed(paired: Paired, count: int) -> list[RecordChange]:
    import numpy as np

    size = np.abs(paired.new_values - paired.base_values)
    order = np.argsort(-size, kind="stable")[:count]
    return [
        RecordChange(
            paired.record_ids[row],
            int(paired.base_positions[row]),
            int(paired.new_positions[row]),
            float(paired.base_values[row]),
            float(paired.new_values[row]),
            paired.base_labels[row],
            paired.new_labels[row],
        )
        for row in order.tolist()
        if size[row] > 0
    ]


def change_word(metric: MetricComparison, delta: float = 0.0) -> str:
    """What the metric's interval says at ``delta``: worse, better, or nothing sure."""
    if metric.low is None:
        return "not compared"
    if metric.worse_by(delta):
        return "worse"
    if metric.better_by(delta):
        return "better"
    return "no clear change"
