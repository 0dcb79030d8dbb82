"""Packaged local models as judges, on labelled records: how often each agrees with the
labels (with a seeded bootstrap interval), and how long a verdict takes.

Each judge (`--judge local-model` or `local-model:NAME`, or `local` for the stand-in)
judges the same records with the `answer_grounding` criterion through the command line,
as a user runs it: the labelled example records (`examples/answer_grounding.expected.yaml`)
and `bench/data/answer_grounding_labelled.jsonl` (44 records: short right answers, fluent
wrong ones, answers with one unsupported claim). A verdict that is missing (an error,
unreadable) counts as a disagreement, and is counted. With two judges or more, each pair
is compared on the same records: the interval of the difference of their agreement and
McNemar's p-value.

One JSON line per judge and set of records, then one per pair: agreement and its 95 %
percentile interval (2,000 resamples of the records, `--seed`), the verdicts that said
"Yes" to right answers and "No" to wrong ones, the model's start-up, the wall time of the
command and the seconds per verdict (wall time less the start-up, over the verdicts; the
local model answers 2 requests at once), and the machine's load before and after.

By default the stand-in (`local`) and the packaged model (`local-model`, about 25 minutes on
2 cores; a line with the command's error when its extra is not installed).

Usage: python bench/judge_models.py [--judge JUDGE ...] [--seed N] [--timeout S]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import yaml

from _support import emit, load
from zentrix_gov.reports.stats import bootstrap_intervals, mcnemar

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
LABELLED = ROOT / "bench" / "data" / "answer_grounding_labelled.jsonl"
CRITERION = EXAMPLES / "criteria" / "answer_grounding.yaml"
METRIC = "answer_grounding"
LIMIT = 3600  # seconds one judge may take over all the records before the bench gives up
STARTED = re.compile(r"started in ([0-9.]+)s")


def labelled_records() -> list[dict]:
    """The records with their label ("grounded") and set ("examples" or "bench")."""
    expected = yaml.safe_load((EXAMPLES / "answer_grounding.expected.yaml").read_text())
    records = []
    for line in (EXAMPLES / "records.jsonl").read_text().splitlines():
        record = json.loads(line)
        if record["id"] in expected:
            records.append({**record, "grounded": str(expected[record["id"]]), "set": "examples"})
    for line in LABELLED.read_text().splitlines():
        records.append({**json.loads(line), "set": "bench"})
    return records


def judge_records(judge: str, records_file: Path, folder: Path, timeout: str) -> dict | None:
    """Run the criterion over the records with ``judge``: verdicts by record id, timings
    (None, said on a JSON line, when the command gave no results)."""
    output = folder / "results.json"
    command = [
        sys.executable, "-m", "zentrix_gov", "evaluate", str(records_file),
        "--config", str(EXAMPLES / "columns.json"), "--criteria", str(CRITERION),
        "--judge", judge, "--timeout", timeout, "--store", str(folder / "runs.sqlite"),
        "-o", str(output),
    ]  # fmt: skip
    environment = {**os.environ, "HF_HUB_OFFLINE": "1", "UNITXT_USE_ONLY_LOCAL_CATALOGS": "True"}
    before = load()
    started = time.perf_counter()
    done = subprocess.run(
        command, capture_output=True, text=True, env=environment, cwd=ROOT, timeout=LIMIT
    )
    seconds = time.perf_counter() - started
    if not output.exists():  # e.g. the extra is not installed: exit 2, and it says which
        emit(f"{judge} all", exit_code=done.returncode, error=done.stderr.strip()[-500:])
        return None
    metric = next(m for m in json.loads(output.read_text())["metrics"] if m["metric"] == METRIC)
    verdicts = {
        str(record["record_id"]): None if record.get("errors") else record.get("label")
        for record in metric["record_level_metrics"]
    }
    start_up = STARTED.search(done.stderr)
    return {
        "verdicts": verdicts,
        "seconds": seconds,
        "start_up": float(start_up.group(1)) if start_up else 0.0,
        "exit_code": done.returncode,
        "load_before": before,
    }


def agreement(hits: np.ndarray, seed: int) -> dict:
    low, high = bootstrap_intervals(hits[None, :], seed=seed)
    return {
        "agreement": round(float(hits.mean()), 3) if hits.size else None,
        "interval": [round(float(low[0]), 3), round(float(high[0]), 3)],
    }


def figures(records: list[dict], verdicts: dict, seed: int) -> dict:
    labels = [record["grounded"] for record in records]
    said = [verdicts.get(record["id"]) for record in records]
    hits = np.array([s == label for s, label in zip(said, labels, strict=True)], dtype=float)
    right = [s for s, label in zip(said, labels, strict=True) if label == "Yes"]
    wrong = [s for s, label in zip(said, labels, strict=True) if label == "No"]
    return {
        "records": len(records),
        "agreed": int(hits.sum()),
        "missing": sum(1 for s in said if s is None),
        **agreement(hits, seed),
        "yes_to_right": f"{right.count('Yes')}/{len(right)}",
        "no_to_wrong": f"{wrong.count('No')}/{len(wrong)}",
        "disagreed": [r["id"] for r, hit in zip(records, hits, strict=True) if not hit],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--judge", action="append", help="a judge (default: local, then local-model)"
    )
    parser.add_argument("--seed", type=int, default=27)
    parser.add_argument("--timeout", default="600", help="seconds a verdict may take")
    args = parser.parse_args()
    judges = args.judge or ["local", "local-model"]
    records = labelled_records()
    sets = {"all": records}
    for name in ("examples", "bench"):
        sets[name] = [record for record in records if record["set"] == name]
    hits_of = {}
    with tempfile.TemporaryDirectory() as folder:
        records_file = Path(folder) / "labelled.jsonl"
        columns = ("id", "question", "contexts", "answer")
        lines = [json.dumps({key: record[key] for key in columns}) for record in records]
        records_file.write_text("\n".join(lines) + "\n")
        for number, judge in enumerate(judges):
            work = Path(folder) / f"judge-{number}"
            work.mkdir()
            run = judge_records(judge, records_file, work, args.timeout)
            if run is None:
                continue
            verdicts = run["verdicts"]
            answered = sum(1 for v in verdicts.values() if v is not None)
            judging = run["seconds"] - run["start_up"]
            for name, chosen in sets.items():
                emit(
                    f"{judge} {name}",
                    **figures(chosen, verdicts, args.seed),
                    **(
                        {
                            "start_up_s": run["start_up"],
                            "wall_s": round(run["seconds"], 1),
                            "s_per_verdict": round(judging / max(answered, 1), 1),
                            "exit_code": run["exit_code"],
                            "load_before": run["load_before"],
                        }
                        if name == "all"
                        else {}
                    ),
                )
            hits_of[judge] = np.array(
                [verdicts.get(r["id"]) == r["grounded"] for r in records], dtype=float
            )
    names = list(hits_of)
    for position, first in enumerate(names):
        for second in names[position + 1 :]:
            difference = hits_of[first] - hits_of[second]
            low, high = bootstrap_intervals(difference[None, :], seed=args.seed)
            gained = int(((hits_of[first] == 1) & (hits_of[second] == 0)).sum())
            lost = int(((hits_of[first] == 0) & (hits_of[second] == 1)).sum())
            emit(
                f"{first} - {second}",
                difference=round(float(difference.mean()), 3),
                interval=[round(float(low[0]), 3), round(float(high[0]), 3)],
                only_first_right=gained,
                only_second_right=lost,
                mcnemar_p=round(mcnemar(lost, gained), 4),
            )


if __name__ == "__main__":
    main()
