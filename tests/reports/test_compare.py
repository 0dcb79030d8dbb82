"""Comparing two runs: the gate's error rates on simulated judges, what the command decides
and prints for each kind of change, record matching by id, McNemar's test, the page."""

from __future__ import annotations

import html

import numpy as np
import pytest

from tests.support.synthetic_runs import SyntheticMetric, store_run, write_records
from zentrix_gov.cli import main
from zentrix_gov.reports.compare import compare_runs
from zentrix_gov.reports.stats import bootstrap_intervals, mcnemar

RECORDS = 2000
SD = 0.15  # of a metric's record values
# Of that spread, what the records differ by, and what a judge adds each time it scores.
ITEM_SD, NOISE_SD = 0.10, float(np.sqrt(SD**2 - 0.10**2))


def simulated_pairs(rng, pairs: int, drop: float) -> np.ndarray:
    """Paired differences (new - base) of ``pairs`` simulated run pairs: the same records
    scored twice by a noisy judge, the second time ``drop`` lower on average."""
    items = rng.normal(0.6, ITEM_SD, size=(pairs, RECORDS))
    base = items + rng.normal(0, NOISE_SD, size=(pairs, RECORDS))
    new = items + rng.normal(0, NOISE_SD, size=(pairs, RECORDS)) - drop
    return new - base


def test_the_gate_rarely_fails_without_a_change_and_catches_a_drop_of_003():
    """The evidence quoted in the README: 1,000 simulated pairs each, seed 20261208."""
    rng = np.random.default_rng(20261208)
    rates = {}
    for drop in (0.0, 0.03):
        _, high = bootstrap_intervals(simulated_pairs(rng, 1000, drop), seed=1)
        rates[drop] = float(np.mean(high < 0))  # --fail-if-worse 0, a metric where lower is worse
    print(f"false-fail rate {rates[0.0]:.3f}, planted drop caught {rates[0.03]:.3f}")
    assert rates[0.0] <= 0.05
    assert rates[0.03] >= 0.80


def noisy(rng, items: np.ndarray, shift: float = 0.0) -> list[float]:
    return (items + rng.normal(0, NOISE_SD, len(items)) + shift).tolist()


@pytest.mark.parametrize(
    ("metric", "shift", "delta", "worse"),
    [
        ("quality", 0.0, "0", False),  # no change
        ("quality", -0.03, "0", True),  # a planted drop where lower is worse
        ("quality", -0.03, "0.1", False),  # ... smaller than the DELTA allowed
        ("hap", +0.03, "0", True),  # the catalogue: a higher HAP score is worse
        ("hap", -0.03, "0", False),  # ... so a lower one is better
    ],
)
def test_fail_if_worse_exits_1_only_for_a_change_beyond_delta_in_the_worse_direction(
    store, capsys, metric, shift, delta, worse
):
    rng = np.random.default_rng(7)
    items = rng.normal(0.5, ITEM_SD, RECORDS)
    store_run(store, [SyntheticMetric(metric, noisy(rng, items))])
    store_run(store, [SyntheticMetric(metric, noisy(rng, items, shift))])
    runs = [run.id for run in store.list_runs()]
    code = main(["runs", "compare", runs[0], runs[1], "--fail-if-worse", delta])
    out = capsys.readouterr().out
    assert code == (1 if worse else 0)
    verdict = out.strip().splitlines()[-1]
    if worse:
        side = "above 0" if metric == "hap" else "below 0"
        assert verdict.startswith(f"worse: {metric} changed by ") and f"wholly {side}" in verdict
    else:
        assert verdict.startswith(f"no metric is worse by more than {delta}")


def test_records_are_matched_by_id_and_only_those_both_runs_scored_count(store, tmp_path):
    values = [0.1 * (index % 10) for index in range(200)]
    ids = [f"id-{index}" for index in range(200)]
    base = store_run(store, [SyntheticMetric("quality", values)], ids=ids)
    # The same records in the opposite order, two of them without a value now.
    kept = [None if index in (3, 150) else value for index, value in enumerate(values)]
    new = store_run(store, [SyntheticMetric("quality", kept[::-1])], ids=ids[::-1])
    (metric,) = compare_runs(store, base, new).metrics
    assert (metric.paired, metric.base_only, metric.new_only) == (198, 2, 0)
    assert metric.difference == 0 and metric.low == metric.high == 0
    assert metric.changed == []


def test_a_metric_scored_on_part_of_the_records_gets_the_interval_of_its_own_records(store):
    """Metrics share the resampled records; one that scored only some of them is averaged
    over those it has, so its interval is as wide as its own records make it."""
    rng = np.random.default_rng(3)
    base, new = rng.normal(0.5, 0.2, (2, 4000))
    scored = rng.random(4000) < 0.25  # about 1,000 records
    for values in (base, new + 0.01):
        partial = [value if keep else None for value, keep in zip(values, scored, strict=True)]
        statuses = ["ok" if keep else "skipped" for keep in scored]
        store_run(
            store,
            [
                SyntheticMetric("quality", values.tolist()),
                SyntheticMetric("partial", partial, statuses=statuses),
            ],
        )
    first, second = store.list_runs()
    whole, part = compare_runs(store, first, second).metrics
    assert part.paired == int(scored.sum()) and whole.paired == 4000
    for metric, keep in ((whole, np.ones(4000, bool)), (part, scored)):
        differences = (new + 0.01 - base)[keep]
        half_width = 1.96 * differences.std() / np.sqrt(keep.sum())
        assert (metric.low + metric.high) / 2 == pytest.approx(
            differences.mean(), abs=0.2 * half_width
        )
        assert (metric.high - metric.low) / 2 == pytest.approx(half_width, rel=0.15)


@pytest.mark.parametrize(("lost", "gained"), [(0, 0), (15, 3), (3, 15), (40, 38), (500, 430)])
def test_mcnemar_is_the_exact_binomial_test_of_the_changed_records(lost, gained):
    stats = pytest.importorskip("scipy.stats")
    expected = 1.0 if lost + gained == 0 else stats.binomtest(lost, lost + gained).pvalue
    assert mcnemar(lost, gained) == pytest.approx(expected, rel=1e-9)


def test_label_changes_and_the_comparison_page(store, tmp_path, capsys):
    answers = ["fine", "</script><script>window.hacked = 1</script>", "ok"] * 20
    records = write_records(tmp_path / "a.jsonl", [{"answer": text} for text in answers])
    labels = ["Yes" if index % 3 else "No" for index in range(60)]
    new_labels = [
        "No" if index in (1, 2, 4, 5, 7) else ("Yes" if index == 0 else label)
        for index, label in enumerate(labels)
    ]
    for stored in (labels, new_labels):
        values = [1.0 if label == "Yes" else 0.0 for label in stored]
        store_run(store, [SyntheticMetric("grounded", values, labels=stored)], records=records)
    runs = [run.id for run in store.list_runs()]
    page = tmp_path / "compare.html"
    # A mean 4/60 lower cannot be worse by more than 0.5: the gate passes, whatever the noise.
    assert main(["runs", "compare", *runs, "--html", str(page), "--fail-if-worse", "0.5"]) == 0
    out = capsys.readouterr().out
    assert "grounded label 'Yes': 5 records lost it, 1 gained it" in out
    assert f"McNemar p = {mcnemar(5, 1):.3g}" in out
    text = page.read_text()
    assert text.count("<script") == 0  # the comparison page runs no script at all
    assert html.escape(answers[1]) in text  # a changed record's text, escaped
    assert "script-src 'none'" in html.unescape(text)
    assert "No: the gate passes." in text and "60 of 60" in text  # paired records


def test_a_run_is_not_compared_with_itself(store, capsys):
    store_run(store, [SyntheticMetric("quality", [0.5, 0.6])])
    assert main(["runs", "compare", "last", "last"]) == 2
    assert "same run" in capsys.readouterr().err


def gate_case(store, case: str) -> tuple[str, str]:
    """A base run and a new run that the gate cannot pass, for each way a comparison can
    lose its records."""
    values = [0.5 + 0.01 * (index % 7) for index in range(200)]
    base = store_run(store, [SyntheticMetric("quality", values), SyntheticMetric("hap", values)])
    new = {
        "all errors": [SyntheticMetric("quality", [None] * 200), SyntheticMetric("hap", values)],
        "metric dropped": [SyntheticMetric("quality", values)],
        "stopped early": [SyntheticMetric(m, values[:120]) for m in ("quality", "hap")],
        "other ids": [SyntheticMetric(m, values) for m in ("quality", "hap")],
        "coverage fell": [
            SyntheticMetric("quality", [None if i % 10 == 0 else v for i, v in enumerate(values)]),
            SyntheticMetric("hap", values),
        ],
    }[case]
    ids = [f"other-{index}" for index in range(200)] if case == "other ids" else None
    return base.id, store_run(store, new, ids=ids).id


@pytest.mark.parametrize(
    ("case", "line", "allowed"),
    [
        ("all errors", "not compared: quality has no record that both runs gave a value", True),
        ("metric dropped", "missing: hap is in the base run but not in the new run", True),
        ("stopped early", "too few paired: quality paired 120 of the 200 records", False),
        ("other ids", "not compared: quality has no record that both runs gave a value", True),
        ("coverage fell", "coverage fell: quality 100.0% -> 90.0% of its records", False),
    ],
)
def test_the_gate_fails_when_nothing_or_too_little_was_compared(store, capsys, case, line, allowed):
    base, new = gate_case(store, case)
    assert main(["runs", "compare", base, new, "--fail-if-worse", "0"]) == 1
    out = capsys.readouterr().out
    assert line in out
    # --allow-missing lets missing metrics and metrics with nothing paired pass, no more.
    code = main(["runs", "compare", base, new, "--fail-if-worse", "0", "--allow-missing"])
    assert code == (0 if allowed else 1)


def test_a_metric_defined_differently_is_said_so_beside_it(store, capsys):
    values = [0.5, 0.6, 0.7] * 20
    base = store_run(store, [SyntheticMetric("faithfulness", values, method="token_k_precision")])
    new = store_run(
        store, [SyntheticMetric("faithfulness", values[::-1], method="sentence_bert_mini_lm")]
    )
    assert main(["runs", "compare", base.id, new.id]) == 0
    out = capsys.readouterr().out
    assert (
        "faithfulness: defined differently in the two runs "
        "(method token_k_precision -> sentence_bert_mini_lm)"
    ) in out


def test_gate_settings_go_with_the_gate(store, capsys):
    base, new = gate_case(store, "stopped early")
    assert main(["runs", "compare", base, new, "--min-paired", "0.5"]) == 2
    assert "--min-paired go with --fail-if-worse" in capsys.readouterr().err
    assert main(["runs", "compare", base, new, "--fail-if-worse", "0", "--min-paired", "0.5"]) == 0
