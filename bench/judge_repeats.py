"""Repeated verdicts against the local judge service: a stored run of 600 records judged
once, then with ``Judging(repeats=3)`` (each verdict asked three times, every repeat
stored, the record's verdict combined), as ``runs.evaluate`` runs them. Prints one JSON
line: the verdicts each run asked per second and the ratio of the repeated run's to the
single run's (target: at least 0.9, i.e. a run of three repeats takes at most 1/0.9 of three
single runs), medians of 3 runs each, with the machine's load.

Usage: python bench/judge_repeats.py [records]
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")
os.environ.setdefault("LITELLM_LOCAL_MODEL_COST_MAP", "True")
os.environ.setdefault("LITELLM_OFFLINE_MODE", "true")

from _support import emit
from zentrix_gov import runs
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.judging import Judging
from zentrix_gov.local.judge.server import JudgeServer
from zentrix_gov.metrics import CriteriaMetric
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

RUNS = 3


def records(count: int) -> list[dict]:
    return [
        {
            "id": f"r{index}",
            "answer": f"Economy tickets include {index % 3 + 1} checked bags.",
            "contexts": ["Economy tickets include one checked bag of up to 23 kg."],
            "grounded": "Yes" if index % 3 == 0 else "No",
        }
        for index in range(count)
    ]


def seconds_of(data: list[dict], judging: Judging | None, judge, store: Path) -> float:
    configuration = GenAIConfiguration(
        input_fields=[], output_fields=["answer"], context_fields=["contexts"],
        record_id_field="id", label_fields={"grounded": "grounded"}, llm_judge=judge,
    )  # fmt: skip
    metric = CriteriaMetric(
        name="grounded",
        criteria_description="Is the {answer} supported by the {contexts}?",
        options=[Option(name="Yes", value=1), Option(name="No", value=0)],
    )
    started = time.perf_counter()
    run = runs.evaluate(data, [metric], configuration, store=store, judging=judging)
    seconds = time.perf_counter() - started
    assert run.summary()[0].values == len(data)
    return seconds


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 600
    data = records(count)
    times: dict[str, list[float]] = {"single": [], "repeats": []}
    with JudgeServer(request_log_size=0) as server, tempfile.TemporaryDirectory() as folder:
        judge = judge_for(server.openai_base_url, server.token, "judge",
                          JudgeRequestOptions(max_parallel=DEFAULT_MAX_CONCURRENCY))  # fmt: skip
        store = Path(folder) / "runs.sqlite"
        seconds_of(data[:100], None, judge, store)  # libraries loaded, engines warm
        for _ in range(RUNS):  # interleaved: a change of load hits both alike
            times["single"].append(seconds_of(data, None, judge, store))
            times["repeats"].append(seconds_of(data, Judging(repeats=3), judge, store))
    single = sorted(times["single"])[RUNS // 2]
    repeated = sorted(times["repeats"])[RUNS // 2]
    emit(
        "judge_repeats",
        records=count,
        single_seconds=round(single, 2),
        repeats_seconds=round(repeated, 2),
        single_verdicts_per_second=round(count / single, 1),
        repeats_verdicts_per_second=round(3 * count / repeated, 1),
        ratio=round((3 * count / repeated) / (count / single), 3),
        target_ratio=0.9,
    )


if __name__ == "__main__":
    main()
