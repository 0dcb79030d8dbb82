"""The local model as a judge on a busy machine: `python -m zentrix_gov evaluate` of the
example records with the answer_grounding criterion and `--judge local-model`, while
another process keeps one core busy (a spinning loop, as another job on a 2-core machine
would). Prints one JSON line: the verdicts read of those asked, their error codes, the
wall time of the whole command and the machine's load.

Before: 7 of 9 verdicts with the other core busy (the 60 s judge timeout ran out).
Target: 9 of 9. Extra arguments go to the command, e.g. `--timeout 60` for the old
default; `--idle` runs without the busy core.

Usage: python bench/local_model_load.py [--idle] [EVALUATE ARGUMENTS ...]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

from _support import emit

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
LIMIT = 1800  # seconds the command may take before the bench gives up on it
# One core kept busy, as `stress --cpu 1` would.
SPIN = "while True:\n    pass\n"


def evaluate(folder: Path, extra: list[str]) -> tuple[dict, float, int, str]:
    output = folder / "results.json"
    command = [
        sys.executable, "-m", "zentrix_gov", "evaluate", str(EXAMPLES / "records.jsonl"),
        "--config", str(EXAMPLES / "columns.json"),
        "--criteria", str(EXAMPLES / "criteria" / "answer_grounding.yaml"),
        "--judge", "local-model", "--store", str(folder / "runs.sqlite"), "-o", str(output),
        "-q", *extra,
    ]  # fmt: skip
    environment = {**os.environ, "HF_HUB_OFFLINE": "1", "UNITXT_USE_ONLY_LOCAL_CATALOGS": "True"}
    started = time.perf_counter()
    done = subprocess.run(
        command, capture_output=True, text=True, env=environment, cwd=ROOT, timeout=LIMIT
    )
    seconds = time.perf_counter() - started
    metrics = json.loads(output.read_text())["metrics"] if output.exists() else []
    metric = next((m for m in metrics if m["metric"] == "answer_grounding"), {})
    return metric, seconds, done.returncode, done.stderr.strip()[-500:]


def main() -> None:
    extra = sys.argv[1:]
    idle = "--idle" in extra
    extra = [argument for argument in extra if argument != "--idle"]
    spinner = None if idle else subprocess.Popen([sys.executable, "-c", SPIN])
    try:
        with tempfile.TemporaryDirectory() as folder:
            metric, seconds, code, stderr = evaluate(Path(folder), extra)
    finally:
        if spinner is not None:
            spinner.kill()
            spinner.wait(timeout=10)
    records = metric.get("record_level_metrics") or []
    codes = Counter(e["code"] for r in records for e in r.get("errors") or [])
    figures = {
        "verdicts_read": sum(1 for r in records if r.get("value") is not None),
        "verdicts_total": len(records),
        "errors": dict(codes),
        "seconds": round(seconds, 1),
        "exit_code": code,
        "arguments": extra,
    }
    if code not in (0, 1):
        figures["stderr"] = stderr
    emit("local_model_busy_core" if not idle else "local_model_idle", **figures)


if __name__ == "__main__":
    main()
