"""The agreement statistics against hand computations and reference formulas, degenerate
tables included, and the bootstrap's intervals."""

from __future__ import annotations

import itertools

import numpy as np
import pytest

from zentrix_gov.judging import figures, stats

OPTIONS = [("Yes", 1.0), ("No", 0.0)]


def _counts(*columns):
    (cells), counts, inverse = stats.cells(*columns)
    return cells, counts, inverse


def _kappa(labels, verdicts, values=None):
    (cl, cv), counts, _ = _counts(labels, verdicts)
    D = stats.disagreement(values or [0, 1], values is not None)
    return stats.kappa(counts[None], cl.astype(int), cv.astype(int), D)[0]


@pytest.mark.parametrize(
    ("labels", "verdicts", "values", "expected"),
    [
        # 20 yes/yes, 5 yes/no, 10 no/yes, 15 no/no: po 0.7, pe 0.5 -> 0.4
        ([0] * 25 + [1] * 25, [0] * 20 + [1] * 5 + [0] * 10 + [1] * 15, None, 0.4),
        # every verdict agrees, two classes: 1
        ([0, 1, 0, 1], [0, 1, 0, 1], None, 1.0),
        # one class only in labels and verdicts: undefined
        ([0, 0, 0], [0, 0, 0], None, np.nan),
        # labels of one class, verdicts mixed: no better than chance, 0
        ([0, 0, 0, 0], [0, 1, 0, 1], None, 0.0),
        # three ordered options 0, 0.5, 1 with linear weights: a near miss costs half;
        # observed disagreement (0.5 + 0 + 0.5 + 0) / 4 = 0.25; expected, from the label
        # shares (1/4, 1/4, 1/2) and verdict shares (0, 3/4, 1/4): 0.375 -> 1 - 0.25 / 0.375
        ([0, 1, 2, 2], [1, 1, 1, 2], [0.0, 0.5, 1.0], 1 - 0.25 / 0.375),
    ],
)
def test_kappa_on_small_tables(labels, verdicts, values, expected):
    found = _kappa(np.array(labels), np.array(verdicts), values)
    np.testing.assert_allclose(found, expected, equal_nan=True)


def _auc_by_pairs(scores, passed):
    wins = [
        1.0 if p > f else 0.5 if p == f else 0.0
        for p, f in itertools.product(scores[passed], scores[~passed])
    ]
    return float(np.mean(wins)) if wins else np.nan


@pytest.mark.parametrize(
    ("scores", "passed"),
    [
        ([0.1, 0.4, 0.35, 0.8], [0, 0, 1, 1]),  # the textbook 0.75
        ([0.5, 0.5, 0.5, 0.9, 0.1], [1, 0, 1, 1, 0]),  # ties count half
        ([0.2, 0.3], [1, 1]),  # one class only: undefined
    ],
)
def test_auc_is_the_share_of_pairs_ranked_right(scores, passed):
    scores, passed = np.array(scores), np.array(passed, dtype=bool)
    (cs, cp), counts, _ = _counts(scores, passed)
    found = stats.auc(counts[None], cs, cp.astype(bool))[0]
    np.testing.assert_allclose(found, _auc_by_pairs(scores, passed), equal_nan=True)


def test_best_threshold_maximises_balanced_accuracy():
    scores = np.array([0.1, 0.2, 0.6, 0.7, 0.65, 0.9])
    passed = np.array([0, 0, 0, 1, 1, 1], dtype=bool)
    (cs, cp), counts, _ = _counts(scores, passed)
    threshold, balanced = stats.best_threshold(counts[None], cs, cp.astype(bool))
    # pass from 0.65: every pass above, every fail below
    assert (threshold[0], balanced[0]) == (0.65, 1.0)


def test_spearman_with_ties_matches_the_reference():
    scipy_stats = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(3)
    x = rng.integers(0, 5, 60).astype(float)
    y = x + rng.integers(-2, 3, 60)
    (cx, cy), counts, _ = _counts(x, y)
    expected = scipy_stats.spearmanr(x, y).statistic
    assert stats.spearman(counts[None], cx, cy)[0] == pytest.approx(expected)


def _alpha_by_pairs(units):
    """Krippendorff's alpha (interval) from its definition: disagreement of pairs of values
    within units against pairs of values anywhere."""
    pairable = [[v for v in unit if v == v] for unit in units]
    pairable = [unit for unit in pairable if len(unit) >= 2]
    values = [v for unit in pairable for v in unit]
    n = len(values)
    within = (
        sum(
            (a - b) ** 2 / (len(unit) - 1)
            for unit in pairable
            for i, a in enumerate(unit)
            for j, b in enumerate(unit)
            if i != j
        )
        / n
    )
    anywhere = sum((a - b) ** 2 for a in values for b in values) / (n * (n - 1))
    return 1 - within / anywhere


def test_krippendorff_alpha_matches_its_definition():
    labels = np.array([1.0, 2.0, 3.0, 4.0, 2.0])
    verdicts = np.array([1.0, 2.5, 3.0, 3.0, 1.0])
    (cx, cy), counts, _ = _counts(verdicts, labels)
    units = list(zip(labels, verdicts, strict=True))
    expected = _alpha_by_pairs(units)
    assert stats.alpha_interval(counts[None], cx, cy)[0] == pytest.approx(expected)
    assert stats.alpha_units(np.array(units)) == pytest.approx(expected)
    # three coders, some values missing
    jurors = np.array([[1, 1, np.nan], [2, 3, 3], [4, np.nan, 5], [1, np.nan, np.nan]])
    assert stats.alpha_units(jurors) == pytest.approx(_alpha_by_pairs(jurors.tolist()))


def test_fleiss_kappa_of_the_textbook_table():
    # Fleiss (1971) as usually reproduced: 10 subjects, 14 raters, 5 categories -> 0.210
    rows = (
        "0 0 0 0 14, 0 2 6 4 2, 0 0 3 5 6, 0 3 9 2 0, 2 2 8 1 1, 7 7 0 0 0, 3 2 6 3 0, "
        "2 5 3 2 2, 6 5 2 1 0, 0 2 2 3 7"
    )
    table = np.array([[int(n) for n in row.split()] for row in rows.split(", ")])
    assert stats.fleiss_kappa(table) == pytest.approx(0.20993, abs=1e-4)
    assert np.isnan(stats.fleiss_kappa(np.array([[3, 0], [3, 0]])))  # all agree on one class


def test_the_bootstrap_is_seeded_and_brackets_its_value():
    rng = np.random.default_rng(0)
    labels = rng.integers(0, 2, 300)
    verdicts = np.where(rng.random(300) < 0.8, labels, 1 - labels)
    (cl, cv), counts, inverse = _counts(labels, verdicts)
    agree = cl == cv

    def accuracy(W):
        return {"accuracy": stats.accuracy(W, agree)}

    first = stats.bootstrap(counts, inverse, accuracy, seed=5)["accuracy"]
    assert first == stats.bootstrap(counts, inverse, accuracy, seed=5)["accuracy"]
    value, low, high = first
    assert low < value < high and high - low < 0.15
    # no records: no value, no interval
    empty = stats.bootstrap(np.zeros(0), np.zeros(0, dtype=int), lambda W: {"a": W.sum(1)})
    assert empty == {"a": (None, None, None)}


@pytest.mark.parametrize(
    ("compute", "figure", "strict"),
    [
        # no record has a verdict: nothing to measure on them; counted as disagreements, all
        # are wrong
        (lambda: figures.option_figures(["Yes", "No"], [None, None], OPTIONS, 0, 50),
         "accuracy", 0.0),
        # a missing verdict is the far end of the scale from its label: 1 from 0, 0 from 1
        (lambda: figures.score_figures(np.array([0.0, 1.0]), np.array([np.nan] * 2), 0, 50),
         "mae", 1.0),
        # and for AUC a passing record's lost score ranks below the failing one's
        (lambda: figures.pass_fail_figures(np.array([1.0, 0.0]), np.array([np.nan, 0.2]), None,
                                           False, 0, 50), "auc", 0.0),
    ],
)  # fmt: skip
def test_figures_without_verdicts_count_them_as_disagreements(compute, figure, strict):
    found = compute()
    assert found.figures[figure].value is None and found.figures[figure].low is None
    assert found.strict[figure].value == strict
