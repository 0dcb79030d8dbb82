"""Agreement with labels at scale, and whether its intervals hold what they claim.

- scale: ``runs agreement RUN --json`` on a stored run of 100,000 labelled records x 2
  metrics (a judge's Yes/No against Yes/No labels; a continuous score against labels in
  steps of 0.25), as the command (a process of its own, imports included) and in this
  process: median seconds of 3 (target < 5 s);
- coverage: 1,000 simulated judges of known agreement, 200 records each, and how often the
  95 % bootstrap interval holds the true value: kappa (labels Yes with probability 0.4, a
  judge right 80 % of the time either way: kappa 0.5902) and ROC AUC (scores normal with
  mean 1 for passing records, 0 for failing ones: AUC = Phi(1 / sqrt 2) = 0.7602). Target
  93-97 %.

The run is written straight into a store (tests/support/synthetic_runs.py), not evaluated.
Prints one JSON line per case, with the machine's load.

Usage: python bench/agreement.py [scale] [coverage]
"""

from __future__ import annotations

import math
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]

from tests.support.synthetic_runs import SyntheticMetric, store_run  # noqa: E402

from _support import emit, median_seconds  # noqa: E402
from zentrix_gov.judging import figures  # noqa: E402
from zentrix_gov.judging.agreement import run_agreement  # noqa: E402
from zentrix_gov.runs.store import RunStore  # noqa: E402

RECORDS = 100_000
JUDGES, PER_JUDGE = 1000, 200
TRUE_KAPPA_PREVALENCE, TRUE_KAPPA_RIGHT = 0.4, 0.8
AUC_SHIFT = 1.0


def true_kappa(prevalence: float, right: float) -> float:
    said_yes = prevalence * right + (1 - prevalence) * (1 - right)
    chance = prevalence * said_yes + (1 - prevalence) * (1 - said_yes)
    return (right - chance) / (1 - chance)


def labelled_run(store: RunStore) -> str:
    rng = np.random.default_rng(7)
    labels = rng.random(RECORDS) < 0.5
    said = np.where(rng.random(RECORDS) < 0.8, labels, ~labels)
    quality = rng.integers(0, 5, RECORDS) / 4
    scores = np.clip(quality + rng.normal(0, 0.2, RECORDS), 0, 1).round(4)
    errors = rng.random(RECORDS) < 0.01  # a verdict lost now and then
    grounding = SyntheticMetric(
        "grounding",
        [None if lost else float(yes) for yes, lost in zip(said, errors, strict=True)],
        labels=["Yes" if yes else "No" for yes in said],
    )
    scored = SyntheticMetric("quality", [float(score) for score in scores])
    run = store_run(store, [grounding, scored], chunk_size=10_000)
    with store.owned_transaction(run.id) as db:  # store_run's store still owns the run
        db.executemany(
            "UPDATE results SET human_label = ? WHERE run_id = ? AND metric = ? AND position = ?",
            [("Yes" if yes else "No", run.id, "grounding", i) for i, yes in enumerate(labels)]
            + [(float(q), run.id, "quality", i) for i, q in enumerate(quality)],
        )
    return run.id


def scale() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "runs.sqlite"
        with RunStore(path) as store:
            run_id = labelled_run(store)
            run = store.find_run(run_id)
            in_process = median_seconds(lambda: run_agreement(store, run), 3)
        command = [sys.executable, "-m", "zentrix_gov", "runs", "agreement", run_id, "--json",
                   "--store", str(path)]  # fmt: skip

        def as_command() -> None:
            subprocess.run(command, check=True, capture_output=True, timeout=600)

        seconds = median_seconds(as_command, 3)
    emit("agreement_scale", records=RECORDS, metrics=2, command_seconds=round(seconds, 2),
         in_process_seconds=round(in_process, 2), target_seconds=5)  # fmt: skip


def coverage() -> None:
    rng = np.random.default_rng(11)
    truth_kappa = true_kappa(TRUE_KAPPA_PREVALENCE, TRUE_KAPPA_RIGHT)
    truth_auc = 0.5 * (1 + math.erf(AUC_SHIFT / 2))  # Phi(shift / sqrt 2)
    held = {"kappa": 0, "auc": 0}
    started = time.perf_counter()
    for judge in range(JUDGES):
        labels = rng.random(PER_JUDGE) < TRUE_KAPPA_PREVALENCE
        said = np.where(rng.random(PER_JUDGE) < TRUE_KAPPA_RIGHT, labels, ~labels)
        names = [("Yes" if x else "No") for x in labels]
        verdicts = [("Yes" if x else "No") for x in said]
        found = figures.option_figures(names, verdicts, [("Yes", 1.0), ("No", 0.0)], judge, 1000)
        kappa = found.figures["kappa"]
        held["kappa"] += kappa.low is not None and kappa.low <= truth_kappa <= kappa.high
        passed = rng.random(PER_JUDGE) < 0.5
        scores = rng.normal(0, 1, PER_JUDGE) + AUC_SHIFT * passed
        found = figures.pass_fail_figures(passed.astype(float), scores, None, False, judge, 1000)
        auc = found.figures["auc"]
        held["auc"] += auc.low is not None and auc.low <= truth_auc <= auc.high
    emit(
        "interval_coverage",
        judges=JUDGES,
        records_per_judge=PER_JUDGE,
        resamples=1000,
        true_kappa=round(truth_kappa, 4),
        kappa_coverage=round(held["kappa"] / JUDGES, 3),
        true_auc=round(truth_auc, 4),
        auc_coverage=round(held["auc"] / JUDGES, 3),
        seconds=round(time.perf_counter() - started, 1),
        target="0.93-0.97",
    )


def main() -> None:
    cases = sys.argv[1:] or ["scale", "coverage"]
    if "scale" in cases:
        scale()
    if "coverage" in cases:
        coverage()


if __name__ == "__main__":
    main()
