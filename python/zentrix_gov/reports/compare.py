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

if TYPE_CHECKING:
    import pandas as pd

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
    """Compare every metric the two runs share, over the records both scored."""
    import numpy as np

    from zentrix_gov.runs.summary import summarize

    shared = [name for name in new.metrics if name in base.metrics]
    identities = {summary.name: summary.identity for summary in summarize(store, new, shared)}
    metrics: list[MetricComparison] = []
    paired_sets: dict[bytes, list[tuple[MetricComparison, Any]]] = {}
    for name in shared:
        metric = MetricComparison(name, higher_is_worse(name, identities.get(name)))
        joined = _joined(store, base, new, name)
        scored = joined["value_base"].notna() & joined["value_new"].notna()
        metric.base_only = int((joined["value_base"].notna() & ~scored).sum())
        metric.new_only = int((joined["value_new"].notna() & ~scored).sum())
        both = joined[scored]
        metric.paired = len(both)
        metrics.append(metric)
        if not metric.paired:
            continue
        base_values = both["value_base"].to_numpy(dtype=np.float64)
        new_values = both["value_new"].to_numpy(dtype=np.float64)
        metric.base_mean = float(base_values.mean())
        metric.new_mean = float(new_values.mean())
        metric.labels = _label_changes(both)
        metric.changed = _most_changed(both, base_values, new_values, changed)
        key = _key(both)
        paired_sets.setdefault(key, []).append((metric, new_values - base_values))
    # Metrics over the same records share one set of resamples.
    for group in paired_sets.values():
        differences = np.vstack([difference for _, difference in group])
        low, high = bootstrap_intervals(
            differences, resamples=resamples, confidence=confidence, seed=seed
        )
        for (metric, _), lower, upper in zip(group, low, high, strict=True):
            metric.low, metric.high = float(lower), float(upper)
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


def _joined(store: RunStore, base: RunRecord, new: RunRecord, name: str) -> pd.DataFrame:
    """The metric's results of both runs, one row per record id either run has."""
    import pandas as pd

    columns = ("position", "record_id", "value", "label")
    frames = []
    for run in (base, new):
        frame = pd.DataFrame.from_records(store.results(run.id, name, columns), columns=columns)
        frame["value"] = pd.to_numeric(frame["value"], errors="coerce")
        frames.append(frame)
    return frames[0].merge(frames[1], on="record_id", how="outer", suffixes=("_base", "_new"))


def _key(both: pd.DataFrame) -> bytes:
    return both["position_new"].to_numpy(dtype="int64").tobytes()


def _label_changes(both: pd.DataFrame) -> list[LabelChange]:
    labelled = both[both["label_base"].notna() & both["label_new"].notna()]
    if labelled.empty:
        return []
    names = sorted(set(labelled["label_base"]) | set(labelled["label_new"]), key=str)
    changes = []
    for label in names:
        had = labelled["label_base"] == label
        has = labelled["label_new"] == label
        lost, gained = int((had & ~has).sum()), int((~had & has).sum())
        changes.append(
            LabelChange(
                str(label), int(had.sum()), int(has.sum()), lost, gained, mcnemar(lost, gained)
            )
        )
    return changes


def _most_changed(
    both: pd.DataFrame, base_values: Any, new_values: Any, count: int
) -> list[RecordChange]:
    import numpy as np

    size = np.abs(new_values - base_values)
    order = np.argsort(-size, kind="stable")[:count]
    changes = []
    for row in order:
        if size[row] == 0:
            break
        entry = both.iloc[int(row)]
        changes.append(
            RecordChange(
                str(entry["record_id"]),
                int(entry["position_base"]),
                int(entry["position_new"]),
                float(base_values[row]),
                float(new_values[row]),
                _text_or_none(entry["label_base"]),
                _text_or_none(entry["label_new"]),
            )
        )
    return changes


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) else None


def verdict(comparison: Comparison, delta: float) -> tuple[bool, list[str]]:
    """Whether some metric is worse by more than ``delta``, and the lines that say why."""
    worse = comparison.worse(delta)
    share = f"{comparison.confidence:.0%}"
    if worse:
        lines = []
        for metric in worse:
            side = (
                f"above {_edge(delta, '+')}"
                if metric.higher_is_worse
                else f"below {_edge(delta, '-')}"
            )
            lines.append(
                f"worse: {metric.name} changed by {signed(metric.difference)}; its {share} "
                f"interval, {signed(metric.low)} to {signed(metric.high)}, lies wholly {side} "
                f"({'higher' if metric.higher_is_worse else 'lower'} is worse; "
                f"{metric.paired} records)"
            )
        return True, lines
    compared = [metric for metric in comparison.metrics if metric.paired]
    if not compared:
        return False, ["no metric was scored on the same records by both runs: nothing compared"]
    return False, [
        f"no metric is worse by more than {delta:g}: no {share} interval lies wholly beyond "
        f"{_edge(delta, '-')} (beyond {_edge(delta, '+')} where higher is worse); compared "
        + ", ".join(f"{metric.name} ({metric.paired} records)" for metric in compared)
    ]


def _edge(delta: float, sign: str) -> str:
    return "0" if delta == 0 else f"{sign}{delta:g}"


def signed(value: float | None, digits: int = 4) -> str:
    return "-" if value is None else f"{value:+.{digits}f}"
