"""The figures of agreement of one metric with its labels, by kind of label:

- options (criteria): accuracy and Cohen's kappa (linearly weighted by the options' values
  when there are more than two), and the confusion matrix;
- numbers: Spearman's rho, the mean absolute error and Krippendorff's alpha (interval);
- pass/fail (0/1): ROC AUC, the threshold of best balanced accuracy and that accuracy, and
  the accuracy at the metric's own threshold where it has one.

Each figure comes twice: over the records with a verdict, and with a missing verdict
counted as a disagreement: another option than the label; the end of the scale farthest
from the label; a score below every other for a passing record and above for a failing
one.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from zentrix_gov.judging import stats
from zentrix_gov.judging.stats import Figure

MISSING = "(no verdict)"


@dataclass
class Figures:
    """What one kind of label gives: figures both ways, what the report draws, and the
    resamples the intervals were drawn from."""

    figures: dict[str, Figure]
    strict: dict[str, Figure]
    extra: dict[str, Any]
    resamples: int = 0


def _figures(
    counts: np.ndarray, inverse: np.ndarray, compute: Any, missing: np.ndarray, seed: int,
    resamples: int,
) -> tuple[dict[str, Figure], dict[str, Figure], int]:  # fmt: skip
    """Bootstrap ``compute(W, strict)`` and split its figures: over the records with a
    verdict, and with missing verdicts as disagreements (the same figures when none is
    missing, computed once)."""
    lacking = bool(missing.any())
    results = stats.bootstrap(
        counts, inverse, lambda W: compute(W, lacking), resamples=resamples, seed=seed
    )
    labelled, with_verdict = len(missing), int((~missing).sum())
    figures, strict = {}, {}
    for name, (value, low, high) in results.items():
        if name.startswith("strict_"):
            strict[name[len("strict_") :]] = Figure(value, low, high, labelled)
        else:
            figures[name] = Figure(value, low, high, with_verdict)
    if not lacking:
        strict = {name: Figure(f.value, f.low, f.high, labelled) for name, f in figures.items()}
    return figures, strict, stats.resamples_for(len(missing), len(counts), resamples)


def option_figures(
    labels: list[str], verdicts: list[str | None], options: list[tuple[str, float | None]],
    seed: int, resamples: int,
) -> Figures:  # fmt: skip
    names = [name for name, _ in options]
    values = [value for _, value in options]
    weighted = len(names) > 2 and all(v is not None for v in values) and len(set(values)) > 1
    D = stats.disagreement([float(v) for v in values] if weighted else list(range(len(names))),
                           weighted)  # fmt: skip
    index = {name: i for i, name in enumerate(names)}
    li = np.array([index[label] for label in labels], dtype=np.int64)
    vi = np.array([index.get(v, len(names)) if v is not None else len(names) for v in verdicts],
                  dtype=np.int64)  # fmt: skip
    (cl, cv), counts, inverse = stats.cells(li, vi)
    cl, cv = cl.astype(np.int64), cv.astype(np.int64)
    has = cv < len(names)
    agree = cl == cv

    def compute(W: np.ndarray, strict: bool) -> dict[str, np.ndarray]:
        Wv = W * has
        found = {"accuracy": stats.accuracy(Wv, agree), "kappa": stats.kappa(Wv, cl, cv, D)}
        if strict:
            found["strict_accuracy"] = stats.accuracy(W, agree)
            found["strict_kappa"] = stats.kappa(W, cl, cv, D)
        return found

    figures, strict, drawn = _figures(counts, inverse, compute, vi == len(names), seed, resamples)
    confusion = np.zeros((len(names), len(names) + 1), dtype=np.int64)
    np.add.at(confusion, (li, vi), 1)
    extra = {
        "options": names,
        "kappa_weights": "linear" if weighted else "none",
        "confusion": {
            "labels": names,
            "verdicts": [*names, MISSING],
            "counts": confusion.tolist(),
        },
    }
    return Figures(figures, strict, extra, drawn)


def _far_ends(labels: np.ndarray, verdicts: np.ndarray) -> np.ndarray:
    """For each label, the end of the scale farthest from it."""
    finite = np.concatenate([labels, verdicts[np.isfinite(verdicts)]])
    low, high = float(finite.min()), float(finite.max())
    return np.where(np.abs(labels - low) >= np.abs(labels - high), low, high)


def score_figures(labels: np.ndarray, verdicts: np.ndarray, seed: int, resamples: int) -> Figures:
    """Numeric labels; ``verdicts`` NaN where missing."""
    missing = ~np.isfinite(verdicts)
    x = np.where(missing, _far_ends(labels, verdicts), verdicts) if len(labels) else verdicts
    (cx, cy, cm), counts, inverse = stats.cells(x, labels, missing)
    has = cm == 0

    def compute(W: np.ndarray, strict: bool) -> dict[str, np.ndarray]:
        found = {}
        for prefix, weights in (("", W * has), ("strict_", W)) if strict else (("", W),):
            found[prefix + "spearman"] = stats.spearman(weights, cx, cy)
            found[prefix + "mae"] = stats.mean_absolute_error(weights, cx, cy)
            found[prefix + "alpha"] = stats.alpha_interval(weights, cx, cy)
        return found

    figures, strict, drawn = _figures(counts, inverse, compute, missing, seed, resamples)
    return Figures(figures, strict, {}, drawn)


def pass_fail_figures(
    labels: np.ndarray, verdicts: np.ndarray, threshold: dict[str, Any] | None,
    higher_is_worse: bool, seed: int, resamples: int,
) -> Figures:  # fmt: skip
    """0/1 labels (1: pass); ``verdicts`` NaN where missing. Scores are oriented so that
    higher means pass (negated for a metric where higher is worse)."""
    passed = labels >= 0.5
    missing = ~np.isfinite(verdicts)
    oriented = -verdicts if higher_is_worse else verdicts
    # A missing verdict scores below every passing record and above every failing one.
    strict = np.where(missing, np.where(passed, -np.inf, np.inf), oriented)
    limit = threshold.get("value") if threshold else None
    kind = threshold.get("type") if threshold else None
    (cs, cp, cm), counts, inverse = stats.cells(strict, passed, missing)
    cp, has = cp.astype(bool), cm == 0
    raw = -cs if higher_is_worse else cs
    if isinstance(limit, int | float) and kind in ("lower_limit", "upper_limit"):
        predicted = raw >= limit if kind == "lower_limit" else raw <= limit
        at_limit = (predicted == cp) & has
    else:
        at_limit = None

    def compute(W: np.ndarray, strict: bool) -> dict[str, np.ndarray]:
        figures = {}
        for prefix, weights in (("", W * has), ("strict_", W)) if strict else (("", W),):
            figures[prefix + "auc"] = stats.auc(weights, cs, cp)
            best, balanced = stats.best_threshold(weights, cs, cp)
            figures[prefix + "threshold"] = -best if higher_is_worse else best
            figures[prefix + "balanced_accuracy"] = balanced
            if at_limit is not None:
                figures[prefix + "threshold_accuracy"] = stats.accuracy(weights, at_limit)
        return figures

    figures, strict_figures, drawn = _figures(counts, inverse, compute, missing, seed, resamples)
    extra = {
        "metric_threshold": threshold if at_limit is not None else None,
        "pass_when": "at most the threshold" if higher_is_worse else "at least the threshold",
        "roc": roc_points(oriented[~missing], passed[~missing]),
    }
    return Figures(figures, strict_figures, extra, drawn)


def roc_points(scores: np.ndarray, passed: np.ndarray) -> list[tuple[float, float]]:
    """(false positive rate, true positive rate) from the strictest threshold down."""
    positives, negatives = int(passed.sum()), int((~passed).sum())
    if not positives or not negatives:
        return []
    order = np.argsort(-scores, kind="stable")
    ordered, hits = scores[order], passed[order]
    ends = np.flatnonzero(np.r_[ordered[1:] != ordered[:-1], True])
    tpr = np.cumsum(hits)[ends] / positives
    fpr = np.cumsum(~hits)[ends] / negatives
    return [(0.0, 0.0), *zip(fpr.round(4).tolist(), tpr.round(4).tolist(), strict=True)]
