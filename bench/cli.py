"""The command line as users run it. Prints one JSON line per case, with the machine's load
(1, 5 and 15 minutes).

- rag_1000: `python -m zentrix_gov evaluate` of 1,000 varied records with two
  template-library metrics (rag_faithfulness and rag_answer_relevance, token overlap): wall
  time of the whole process (start-up, imports, reading, evaluating, writing the results) and
  the peak resident memory of the largest process of the run, medians of three runs. Target:
  at most 0.6 x 9.1 s, the wall time while unitxt computed confidence intervals.

Usage: python bench/cli.py [case ...]
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _support import emit

RUNS = 3
# Runs the command and prints the largest peak RSS (KiB) of it and its children.
PEAK = (
    "import resource, subprocess, sys\n"
    "code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
    "print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
)


def write_records(folder: Path, count: int) -> tuple[Path, Path]:
    """Records whose scores differ (unitxt skips confidence intervals over equal scores)."""
    words = ["bag", "seat", "fare", "refund", "meal", "wifi", "pet", "gate", "lounge", "visa"]

    def text(i: int, k: int) -> str:
        return " ".join(words[(i * 7 + j * 3 + k) % len(words)] for j in range(3 + (i + k) % 6))

    lines = []
    for i in range(count):
        record = {
            "id": f"r{i}",
            "question": f"What about the {text(i, 1)} on flight SK{100 + i % 900}?",
            "answer": f"On flight SK{100 + i % 900} the {text(i, 2)} is included.",
            "contexts": [text(i, 3), f"Flight SK{100 + i % 900}: {text(i, 4)}."][: 1 + i % 2],
        }
        lines.append(json.dumps(record))
    records = folder / "records.jsonl"
    records.write_text("\n".join(lines) + "\n")
    config = folder / "columns.json"
    config.write_text(
        json.dumps(
            {
                "input_fields": ["question"],
                "output_fields": ["answer"],
                "context_fields": ["contexts"],
                "record_id_field": "id",
            }
        )
    )
    return records, config


def bench_rag_1000() -> None:
    with tempfile.TemporaryDirectory() as folder:
        records, config = write_records(Path(folder), 1000)
        command = [
            sys.executable,
            "-m",
            "zentrix_gov",
            "evaluate",
            str(records),
            "--config",
            str(config),
            "--metrics",
            "rag_faithfulness,rag_answer_relevance",
            "--output",
            str(Path(folder) / "results.json"),
            "-q",
        ]
        walls, peaks = [], []
        for _ in range(RUNS):
            started = time.perf_counter()
            out = subprocess.run(
                [sys.executable, "-c", PEAK, *command], capture_output=True, text=True, check=True
            )
            walls.append(time.perf_counter() - started)
            code, peak = out.stdout.split()
            assert code == "0", out.stderr
            peaks.append(int(peak))
    emit(
        "rag_1000",
        metrics="rag_faithfulness,rag_answer_relevance",
        records=1000,
        wall_s=round(statistics.median(walls), 2),
        peak_rss_mib=round(statistics.median(peaks) / 1024),
        target_wall_s=round(0.6 * 9.1, 2),
    )


CASES = {"rag_1000": bench_rag_1000}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        CASES[name]()
