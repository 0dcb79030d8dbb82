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
    """What one kind of label gives: figures both ways, and what the report draws."""

    figures: dict[str, Figure]
    strict: dict[str, Figure]
    extra: dict[str, Any]


def _split(
    results: dict[str, tuple[float | None, float | None, float | None]], with_verdict: int,
    labelled: int,
) -> tuple[dict[str, Figure], dict[str, Figure]]:  # fmt: skip
    figures, strict = {}, {}
    for name, (value, low, high) in results.items():
        if name.startswith("strict_"):
            strict[name[len("strict_") :]] = Figure(value, low, high, labelled)
        else:
            figures[name] = Figure(value, low, high, with_verdict)
    return figures, strict


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

    def compute(W: np.ndarray) -> dict[str, np.ndarray]:
        Wv = W * has
        return {
            "accuracy": stats.accuracy(Wv, agree),
            "kappa": stats.kappa(Wv, cl, cv, D),
            "strict_accuracy": stats.accuracy(W, agree),
            "strict_kappa": stats.kappa(W, cl, cv, D),
        }

    results = stats.bootstrap(counts, inverse, compute, resamples=resamples, seed=seed)
    confusion = np.zeros((len(names), len(names) + 1), dtype=np.int64)
    np.add.at(confusion, (li, vi), 1)
    figures, strict = _split(results, int((vi < len(names)).sum()), len(labels))
    extra = {
        "options": names,
        "kappa_weights": "linear" if weighted else "none",
        "confusion": {
            "labels": names,
            "verdicts": [*names, MISSING],
            "counts": confusion.tolist(),
        },
    }
    return Figures(figures, strict, extra)


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

    def compute(W: np.ndarray) -> dict[str, np.ndarray]:
        Wv = W * has
        return {
            "spearman": stats.spearman(Wv, cx, cy),
            "mae": stats.mean_absolute_error(Wv, cx, cy),
            "alpha": stats.alpha_interval(Wv, cx, cy),
            "strict_spearman": stats.spearman(W, cx, cy),
            "strict_mae": stats.mean_absolute_error(W, cx, cy),
            "strict_alpha": stats.alpha_interval(W, cx, cy),
        }

    results = stats.bootstrap(counts, inverse, compute, resamples=resamples, seed=seed)
    figures, strict = _split(results, int((~missing).sum()), len(labels))
    return Figures(figures, strict, {})


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

    def compute(W: np.ndarray) -> dict[str, np.ndarray]:
        Wv = W * has
        figures = {"auc": stats.auc(Wv, cs, cp), "strict_auc": stats.auc(W, cs, cp)}
        for prefix, weights in (("", Wv), ("strict_", W)):
            best, balanced = stats.best_threshold(weights, cs, cp)
            figures[prefix + "threshold"] = -best if higher_is_worse else best
            figures[prefix + "balanced_accuracy"] = balanced
            if at_limit is not None:
                figures[prefix + "threshold_accuracy"] = stats.accuracy(weights, at_limit)
        return figures

    results = stats.bootstrap(counts, inverse, compute, resamples=resamples, seed=seed)
    figures, strict_figures = _split(results, int((~missing).sum()), len(labels))
    extra = {
        "metric_threshold": threshold if at_limit is not None else None,
        "pass_when": "at most the threshold" if higher_is_worse else "at least the threshold",
        "roc": roc_points(oriented[~missing], passed[~missing]),
    }
    return Figures(figures, strict_figures, extra)


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
