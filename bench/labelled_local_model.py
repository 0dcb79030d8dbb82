"""The packaged local model as the answer_grounding judge of the labelled examples
(examples/labelled/, 104 records labelled by hand), asked four ways, one after another in
one sitting: a single verdict, three repeats, the options swapped, and a jury of the one
model over three seeds. Prints one JSON line per way: agreement with the labels (accuracy
and Cohen's kappa with their 95 % intervals, over the records with a verdict and with a
missing verdict counted as a disagreement), stability, flip rate, the jurors' agreement,
verdicts asked, the wall time of the command and the machine's load before and after.

The runs are kept in build/bench-labelled/runs.sqlite; ``--figures`` prints the lines again
from the stored runs without asking the model anything.

Usage: python bench/labelled_local_model.py [--figures] [WAY ...]
       WAY: single, repeats, swap, jury (default: all four)
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

from _support import emit, load

ROOT = Path(__file__).resolve().parent.parent
LABELLED = ROOT / "examples" / "labelled"
FOLDER = ROOT / "build" / "bench-labelled"
STORE = FOLDER / "runs.sqlite"
LIMIT = 12 * 3600  # seconds a way may take before the bench gives up on it
WAYS = {
    "single": [],
    "repeats": ["--judge-repeats", "3"],
    "swap": ["--judge-swap-options"],
    "jury": ["--judge", "local-model", "--judge", "local-model"],  # and the first --judge
}


def evaluate(way: str) -> tuple[float, int, list[float], str]:
    command = [
        sys.executable, "-m", "zentrix_gov", "evaluate", str(LABELLED / "records.jsonl"),
        "--config", str(LABELLED / "config.json"),
        "--criteria", str(ROOT / "examples" / "criteria" / "answer_grounding.yaml"),
        "--judge", "local-model", *WAYS[way], "--store", str(STORE), "-q",
    ]  # fmt: skip
    environment = {**os.environ, "HF_HUB_OFFLINE": "1", "UNITXT_USE_ONLY_LOCAL_CATALOGS": "True"}
    before = load()
    started = time.perf_counter()
    done = subprocess.run(
        command, capture_output=True, text=True, env=environment, cwd=ROOT, timeout=LIMIT
    )
    return time.perf_counter() - started, done.returncode, before, done.stderr.strip()[-500:]


def figures(run_id: str) -> dict:
    """The agreement and the judging summary of a stored run of answer_grounding."""
    command = [sys.executable, "-m", "zentrix_gov", "runs", "agreement", run_id, "--json",
               "--metric", "answer_grounding", "--store", str(STORE)]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, cwd=ROOT, timeout=600)
    entry = json.loads(done.stdout)[0]
    judging = entry.get("judging") or {}
    strict = entry["missing_as_disagreement"]

    def shown(figure: dict) -> list:
        return [figure[name] and round(figure[name], 3) for name in ("value", "low", "high")]

    return {
        "labelled": entry["labelled"],
        "with_verdict": entry["with_verdict"],
        "accuracy": shown(entry["accuracy"]),
        "kappa": shown(entry["kappa"]),
        "accuracy_missing_as_disagreement": shown(strict["accuracy"]),
        "kappa_missing_as_disagreement": shown(strict["kappa"]),
        "confusion": entry["confusion"]["counts"],
        "verdicts_per_record": judging.get("verdicts_per_record", 1),
        "stability": judging.get("stability"),
        "not_unanimous": judging.get("not_unanimous"),
        "flip_rate": judging.get("flip_rate"),
        "jurors_fleiss_kappa": judging.get("juror_agreement"),
    }


def stored_runs() -> dict[str, str]:
    """The latest stored run of each way, by the way its command asked."""
    from zentrix_gov.runs.store import RunStore

    found = {}
    with RunStore(STORE, create=False) as store:
        for run in store.list_runs():
            command = run.command if isinstance(run.command, list) else []
            judges = command.count("--judge")
            way = "jury" if judges > 1 else next(
                (name for name, extra in WAYS.items() if extra and extra[0] in command), "single"
            )  # fmt: skip
            found[way] = run.id
    return found


def main() -> None:
    arguments = sys.argv[1:]
    only_figures = "--figures" in arguments
    ways = [way for way in arguments if way in WAYS] or list(WAYS)
    FOLDER.mkdir(parents=True, exist_ok=True)
    for way in ways:
        if only_figures:
            run_id = stored_runs().get(way)
            if run_id is not None:
                emit(way, run=run_id, **figures(run_id))
            continue
        seconds, code, before, stderr = evaluate(way)
        run_id = stored_runs().get(way)
        try:
            found = figures(run_id) if run_id is not None else {}
        except (ValueError, KeyError, IndexError) as exc:  # the runs stay: --figures later
            found = {"figures_failed": repr(exc)}
        emit(way, run=run_id, exit_code=code, seconds=round(seconds, 1), load_before=before,
             **found, **({"stderr": stderr} if code else {}))  # fmt: skip


if __name__ == "__main__":
    main()
