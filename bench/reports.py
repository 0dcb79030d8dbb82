"""Reports of stored runs: what runs of 100,000 and 240,000 records cost to write, open and
compare. Prints one JSON line per case and size, with the machine's load.

- write: the report of a run of 4 metrics (a detector score, a quality score with errors, a
  judge's Yes/No with explanations, a metric that skips some records) over a JSON Lines file
  of question, answer and context: seconds and file size (target < 10 s, about 20 MB at
  most), and how many records keep their whole texts in the page's table.
- open: that page in headless Chromium, from the request until the table is rendered and
  takes clicks (target < 3 s), and how long sorting all rows by a metric then takes.
- compare: two runs of 100,000 records compared (the second with judge noise and a small
  drop), in Python and as the ``runs compare`` command (target < 5 s).

Times are wall-clock seconds, and for the work done in this process its CPU seconds (what
the load of a shared machine does not stretch). The runs are written straight into a store
(tests/support/synthetic_runs.py), not evaluated.

Usage: python bench/reports.py [--records N[,N...]] [case ...]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "python")]

from tests.support import browser  # noqa: E402
from tests.support.synthetic_runs import SyntheticMetric, store_run, write_records  # noqa: E402

from _support import emit  # noqa: E402
from zentrix_gov.reports.compare import compare_runs  # noqa: E402
from zentrix_gov.reports.run_report import write_run_report  # noqa: E402
from zentrix_gov.runs.store import RunStore  # noqa: E402

SIZES = (100_000, 240_000)
CASES = ("write", "open", "compare")


def records_file(folder: Path, count: int) -> Path:
    words = ["fare", "bag", "seat", "refund", "flight", "delay", "cabin", "wifi", "gate"]
    rows = []
    for index in range(count):
        topic = words[index % len(words)]
        rows.append(
            {
                "question": f"What is the rule for {topic} on booking {index}?",
                "answer": f"For booking {index}, the {topic} rule is simple: "
                + " ".join(words[(index + k) % len(words)] for k in range(18)),
                "context": f"Policy {index % 500}: {topic} " + " ".join(words * 3),
            }
        )
    return write_records(folder / "records.jsonl", rows)


def metrics(rng: np.random.Generator, count: int, shift: float = 0.0) -> list[SyntheticMetric]:
    items = rng.normal(0.7, 0.1, count)
    quality = np.clip(items + rng.normal(0, 0.11, count) + shift, 0, 1)
    errors = rng.random(count) < 0.01
    grounded = (items + rng.normal(0, 0.1, count) + shift) > 0.6
    skipped = rng.random(count) < 0.05
    return [
        SyntheticMetric(
            "hap",
            np.round(rng.beta(0.3, 6, count), 4).tolist(),
            thresholds=[{"type": "upper_limit", "value": 0.5}],
        ),
        SyntheticMetric(
            "answer_quality",
            [
                None if error else value
                for error, value in zip(errors, quality.tolist(), strict=True)
            ],
        ),
        SyntheticMetric(
            "grounded",
            grounded.astype(float).tolist(),
            labels=["Yes" if value else "No" for value in grounded],
            explanations=[
                f"- {int(value * 14)} of 14 content words of the answer appear in the context.\n"
                f'- A rating of {value:.2f} gives the option "{"Yes" if value > 0.6 else "No"}".'
                for value in items.tolist()
            ],
        ),
        SyntheticMetric(
            "faithfulness",
            [None if skip else value for skip, value in zip(skipped, items.tolist(), strict=True)],
            statuses=["skipped" if skip else "ok" for skip in skipped],
        ),
    ]


def main(sizes: list[int], cases: list[str]) -> None:
    for count in sizes:
        with tempfile.TemporaryDirectory(prefix="bench-reports-") as folder:
            bench_size(Path(folder), count, cases, compare=count == sizes[0])


def bench_size(folder: Path, count: int, cases: list[str], compare: bool) -> None:
    """The cases at one size; runs are compared at the first size only."""
    compare = compare and "compare" in cases
    rng = np.random.default_rng(17)
    started = time.perf_counter()
    records = records_file(folder, count)
    store_path = folder / "runs.sqlite"
    with RunStore(store_path) as store:
        base = store_run(store, metrics(rng, count), records=records)
        if compare:
            new = store_run(store, metrics(rng, count, shift=-0.005), records=records)
    emit(case="setup", seconds=round(time.perf_counter() - started, 1), records=count)
    page = folder / "report.html"
    if "write" in cases or "open" in cases:
        with RunStore(store_path, create=False) as store:
            started, cpu = time.perf_counter(), time.process_time()
            facts = write_run_report(store, store.find_run(base.id), page)
            seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
        emit(
            case="write",
            records=count,
            metrics=4,
            seconds=round(seconds, 2),
            cpu_seconds=round(cpu, 2),
            target_seconds=10,
            megabytes=round(facts.size / 1e6, 2),
            records_with_whole_texts=facts.records - facts.left_out,
            records_file_megabytes=round(records.stat().st_size / 1e6, 1),
        )
    if "open" in cases:
        bench_open(page, count)
    if compare:
        bench_compare(store_path, base.id, new.id, count)


def bench_open(page: Path, count: int) -> None:
    if browser.missing():
        emit(case="open", skipped=browser.missing())
        return
    with browser.headless_chromium() as driver:
        driver.get("about:blank")
        started = time.perf_counter()
        driver.get(page.as_uri())  # returns when the page has loaded and its script has run
        while driver.execute_script("return document.body.dataset.ready") != "1":
            time.sleep(0.01)
        seconds = time.perf_counter() - started
        in_page = driver.execute_script("return window.reportReadyAt")
        sort = driver.execute_script(
            """
            const started = performance.now();
            document.querySelectorAll('#record-head button')[4].click();
            return performance.now() - started;
            """
        )
        rows = len(driver.find_elements("css selector", "#record-rows tr"))
    emit(
        case="open",
        records=count,
        seconds_until_interactive=round(seconds, 2),
        target_seconds=3,
        ready_after_navigation_ms=round(in_page),
        sort_all_rows_ms=round(sort),
        rows_shown=rows,
    )


def bench_compare(store_path: Path, base: str, new: str, count: int) -> None:
    with RunStore(store_path, create=False) as store:
        started, cpu = time.perf_counter(), time.process_time()
        comparison = compare_runs(store, store.find_run(base), store.find_run(new))
        seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    command = [sys.executable, "-m", "zentrix_gov", "runs", "compare", base, new]
    command += ["--store", str(store_path), "--fail-if-worse", "0"]
    started = time.perf_counter()
    done = subprocess.run(
        command,
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(ROOT / "python")},
        check=False,
    )
    wall = time.perf_counter() - started
    emit(
        case="compare",
        records=count,
        metrics=len(comparison.metrics),
        seconds=round(seconds, 2),
        cpu_seconds=round(cpu, 2),
        command_seconds=round(wall, 2),
        target_seconds=5,
        command_exit=done.returncode,
        verdict=done.stdout.strip().splitlines()[-1][:160] if done.stdout.strip() else done.stderr,
    )


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Write, open and compare run reports.")
    parser.add_argument(
        "--records",
        type=lambda text: [int(size) for size in text.split(",")],
        default=list(SIZES),
        help="the run sizes, comma-separated (default: 100000,240000)",
    )
    parser.add_argument("cases", nargs="*", metavar="CASE", help="write, open or compare")
    arguments = parser.parse_args()
    unknown = set(arguments.cases) - set(CASES)
    if unknown:
        parser.error(f"unknown case {sorted(unknown)[0]!r}: the cases are {', '.join(CASES)}")
    main(arguments.records, arguments.cases or list(CASES))
