"""Agreement statistics, each computed for many resamples at once, and the paired bootstrap.

Records are pairs (label, verdict). Identical pairs are one cell: a resample of the records
is a count per cell (a row of a weight matrix ``W``, resamples x cells), and every
statistic below is a function of such counts. Records in few cells (options, ratings) are
resampled by one multinomial draw per resample, whatever their number; records in many
cells (continuous scores) one by one, with fewer resamples above 20,000 records
(``resamples_for``). Each returns one value per row of ``W``: NaN where
the statistic is undefined for that resample (a single class, no spread).

- ``kappa``: Cohen's kappa from a matrix of disagreement weights (0 on the diagonal; for
  ordered options, linear weights: the distance of the options' values over their range);
- ``spearman``: Spearman's rho, ties given their mean rank;
- ``alpha_interval``: Krippendorff's alpha, interval metric, two coders (label and
  verdict); ``alpha_units`` for any number of coders with values missing (jurors);
- ``auc``: the area under the ROC curve (a tie counts half); ``best_threshold``: the
  threshold of best balanced accuracy (pass when the score reaches it);
- ``fleiss_kappa``: Fleiss' kappa of raters (jurors) who each rated every subject.

``bootstrap`` draws the resamples (seeded) and gives the percentile interval.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

RESAMPLES = 1000
CONFIDENCE = 0.95
# Record draws of a bootstrap at most: above 20,000 records, fewer resamples (200 at least),
# so that 100,000 records cost seconds, not a minute.
DRAWS = 20_000_000
LEAST_RESAMPLES = 200
# Values drawn (or cells of W) at once: bounds a batch's memory to some 50 MB.
_BATCH_CELLS = 4_000_000


def resamples_for(records: int, cells: int, resamples: int = RESAMPLES) -> int:
    """The resamples a bootstrap of ``records`` in ``cells`` draws: ``resamples``, or
    fewer when the records fall in many cells and must be drawn one by one (``DRAWS``
    record draws in all, never under ``LEAST_RESAMPLES``)."""
    if cells * 4 <= records or records * resamples <= DRAWS:
        return resamples
    return max(LEAST_RESAMPLES, min(resamples, DRAWS // max(records, 1)))


def _ratio(top: np.ndarray, bottom: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):
        out = top / bottom
    return np.where(bottom > 1e-12, out, np.nan)


def accuracy(W: np.ndarray, agree: np.ndarray) -> np.ndarray:
    return _ratio(W @ agree.astype(np.float64), W.sum(axis=1))


def kappa(W: np.ndarray, labels: np.ndarray, verdicts: np.ndarray, D: np.ndarray) -> np.ndarray:
    """Cohen's kappa; ``labels`` and ``verdicts`` are category indexes of D's rows."""
    total = W.sum(axis=1)
    observed = W @ D[labels, verdicts]
    p = np.zeros((len(W), len(D)))
    q = np.zeros((len(W), len(D)))
    for category in range(len(D)):
        p[:, category] = W[:, labels == category].sum(axis=1)
        q[:, category] = W[:, verdicts == category].sum(axis=1)
    expected = np.einsum("bi,ij,bj->b", p, D, q)
    return 1 - _ratio(observed * total, expected)


def disagreement(values: list[float], weighted: bool) -> np.ndarray:
    """Disagreement weights of categories of ``values`` plus one for a missing verdict
    (which disagrees with everything)."""
    m = len(values)
    D = np.ones((m + 1, m + 1))
    spread = max(values) - min(values) if values else 0.0
    for i in range(m):
        for j in range(m):
            if weighted and spread > 0:
                D[i, j] = abs(values[i] - values[j]) / spread
            else:
                D[i, j] = float(i != j)
    D[m, m] = 0.0
    return D


def _midranks(W: np.ndarray, x: np.ndarray) -> np.ndarray:
    order = np.argsort(x, kind="stable")
    ordered = x[order]
    new = np.r_[True, ordered[1:] != ordered[:-1]]
    starts = np.flatnonzero(new)
    group = np.cumsum(new) - 1
    weights = np.add.reduceat(W[:, order], starts, axis=1)
    ranks = np.cumsum(weights, axis=1) - weights + (weights + 1) / 2
    out = np.empty_like(W)
    out[:, order] = ranks[:, group]
    return out


def _pearson(W: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    total = W.sum(axis=1, keepdims=True)
    a = a - _ratio((W * a).sum(axis=1), total[:, 0])[:, None]
    b = b - _ratio((W * b).sum(axis=1), total[:, 0])[:, None]
    spread = np.sqrt((W * a * a).sum(axis=1) * (W * b * b).sum(axis=1))
    return _ratio((W * a * b).sum(axis=1), spread)


def spearman(W: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return _pearson(W, _midranks(W, x), _midranks(W, y))


def mean_absolute_error(W: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return _ratio(W @ np.abs(x - y), W.sum(axis=1))


def alpha_interval(W: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Krippendorff's alpha (interval) of two coders who both coded every unit."""
    n = 2 * W.sum(axis=1)
    mean = _ratio(W @ (x + y), n)[:, None]
    spread = (W * ((x - mean) ** 2 + (y - mean) ** 2)).sum(axis=1)
    observed = W @ ((x - y) ** 2)
    return 1 - _ratio((n - 1) * observed, n * spread)


def _by_score(W: np.ndarray, scores: np.ndarray, passed: np.ndarray):
    order = np.argsort(scores, kind="stable")
    ordered = scores[order]
    starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
    positive = np.add.reduceat(W[:, order] * passed[order], starts, axis=1)
    negative = np.add.reduceat(W[:, order] * ~passed[order], starts, axis=1)
    return ordered[starts], positive, negative


def auc(W: np.ndarray, scores: np.ndarray, passed: np.ndarray) -> np.ndarray:
    """P(a passing record scores above a failing one), ties counting half."""
    _, positive, negative = _by_score(W, scores, passed)
    below = np.cumsum(negative, axis=1) - negative
    wins = (positive * (below + negative / 2)).sum(axis=1)
    return _ratio(wins, positive.sum(axis=1) * negative.sum(axis=1))


def best_threshold(
    W: np.ndarray, scores: np.ndarray, passed: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The finite score whose "pass when the score reaches it" gives the best balanced
    accuracy, and that accuracy (the lowest such score on a tie)."""
    values, positive, negative = _by_score(W, scores, passed)
    finite = np.isfinite(values)
    pos_total, neg_total = positive.sum(axis=1), negative.sum(axis=1)
    above = pos_total[:, None] - (np.cumsum(positive, axis=1) - positive)
    below = np.cumsum(negative, axis=1) - negative
    with np.errstate(invalid="ignore", divide="ignore"):
        balanced = (above / pos_total[:, None] + below / neg_total[:, None]) / 2
    balanced[:, ~finite] = -np.inf
    balanced = np.where(np.isnan(balanced), -np.inf, balanced)
    best = np.argmax(balanced, axis=1)
    rows = np.arange(len(W))
    score = np.where(np.isfinite(balanced[rows, best]), values[best], np.nan)
    accuracy_ = np.where(np.isfinite(score), balanced[rows, best], np.nan)
    return score, accuracy_


def alpha_units(values: np.ndarray) -> float:
    """Krippendorff's alpha (interval) of units x coders, NaN where a coder gave none."""
    present = ~np.isnan(values)
    counts = present.sum(axis=1)
    pairable = counts >= 2
    values, present, counts = values[pairable], present[pairable], counts[pairable]
    n = counts.sum()
    if n < 2:
        return float("nan")
    filled = np.where(present, values, 0.0)
    means = filled.sum(axis=1) / counts
    within = (np.where(present, (values - means[:, None]) ** 2, 0.0)).sum(axis=1)
    observed = (2 * counts * within / (counts - 1)).sum() / n
    pooled = filled[present]
    spread = ((pooled - pooled.mean()) ** 2).sum()
    expected = 2 * spread / (n - 1)
    return float(1 - observed / expected) if expected > 0 else float("nan")


def fleiss_kappa(ratings: np.ndarray) -> float:
    """Fleiss' kappa of subjects x categories counts, every subject rated by as many."""
    if not len(ratings):
        return float("nan")
    raters = ratings.sum(axis=1)[0]
    if raters < 2:
        return float("nan")
    subjects = len(ratings)
    agreement = ((ratings * ratings).sum(axis=1) - raters) / (raters * (raters - 1))
    shares = ratings.sum(axis=0) / (subjects * raters)
    expected = float((shares * shares).sum())
    if expected >= 1 - 1e-12:
        return float("nan")
    return float((agreement.mean() - expected) / (1 - expected))


@dataclass
class Figure:
    """A statistic, its percentile interval and the records it was computed on."""

    value: float | None
    low: float | None
    high: float | None
    n: int

    def as_dict(self) -> dict[str, float | int | None]:
        return {"value": self.value, "low": self.low, "high": self.high, "n": self.n}


Statistics = Callable[[np.ndarray], dict[str, np.ndarray]]


def cells(*columns: np.ndarray) -> tuple[list[np.ndarray], np.ndarray, np.ndarray]:
    """The distinct rows of ``columns`` (one array each), their counts, and each record's
    cell."""
    arrays = [np.asarray(column, dtype=np.float64) for column in columns]
    if not len(arrays[0]):
        return [array[:0] for array in arrays], np.zeros(0), np.zeros(0, dtype=np.int64)
    order = np.lexsort(arrays[::-1])
    ordered = [array[order] for array in arrays]
    new = np.zeros(len(order), dtype=bool)
    new[0] = True
    for array in ordered:
        new[1:] |= array[1:] != array[:-1]
    starts = np.flatnonzero(new)
    inverse = np.empty(len(order), dtype=np.int32)
    inverse[order] = np.cumsum(new) - 1
    counts = np.diff(np.r_[starts, len(order)]).astype(np.float64)
    return [array[starts] for array in ordered], counts, inverse


def bootstrap(
    counts: np.ndarray,
    inverse: np.ndarray,
    statistics: Statistics,
    *,
    resamples: int = RESAMPLES,
    seed: int = 0,
    confidence: float = CONFIDENCE,
) -> dict[str, tuple[float | None, float | None, float | None]]:
    """Each statistic on the records (``counts`` per cell) with its percentile interval
    over ``resamples`` resamples of the records (drawn with replacement, seeded)."""
    observed = statistics(counts[None, :])
    records = int(counts.sum())
    cells_count = len(counts)
    if records == 0:
        return {name: (None, None, None) for name in observed}
    rng = np.random.default_rng(seed)
    drawn: dict[str, list[np.ndarray]] = {name: [] for name in observed}
    few = cells_count * 4 <= records  # few cells: one multinomial draw per resample
    batch = max(1, _BATCH_CELLS // max(cells_count if few else records, 1))
    shares = counts / records
    resamples = resamples_for(records, cells_count, resamples)
    for start in range(0, resamples, batch):
        size = min(batch, resamples - start)
        if few:
            W = rng.multinomial(records, shares, size=size).astype(np.float64)
        else:
            picked = inverse[rng.integers(0, records, size=(size, records), dtype=np.int32)]
            picked += (np.arange(size, dtype=np.int32) * cells_count)[:, None]
            W = np.bincount(picked.ravel(), minlength=size * cells_count)
            W = W.reshape(size, cells_count).astype(np.float64)
        for name, values in statistics(W).items():
            drawn[name].append(values)
    tail = (1 - confidence) / 2
    out = {}
    for name, values in observed.items():
        spread = np.concatenate(drawn[name])
        spread = spread[np.isfinite(spread)]
        value = float(values[0]) if np.isfinite(values[0]) else None
        if value is None or not len(spread):
            out[name] = (value, None, None)
            continue
        low, high = np.quantile(spread, [tail, 1 - tail])
        out[name] = (value, float(low), float(high))
    return out


def resampled(
    records: int,
    statistic: Callable[[np.ndarray], float],
    *,
    resamples: int = RESAMPLES,
    seed: int = 0,
) -> tuple[float | None, float | None, float | None]:
    """``statistic(indexes)`` on every record and its percentile interval over resampled
    records: for statistics no cell counts describe (jurors' agreement)."""
    value = statistic(np.arange(records)) if records else float("nan")
    if not records or not np.isfinite(value):
        return (None if not np.isfinite(value) else float(value)), None, None
    rng = np.random.default_rng(seed)
    spread = np.array([statistic(rng.integers(0, records, records)) for _ in range(resamples)])
    spread = spread[np.isfinite(spread)]
    if not len(spread):
        return float(value), None, None
    tail = (1 - CONFIDENCE) / 2
    low, high = np.quantile(spread, [tail, 1 - tail])
    return float(value), float(low), float(high)
