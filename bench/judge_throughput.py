"""Criteria judging throughput: 2,000 records judged by the local judge stand-in (which
answers at once), through the command line's judge (the SDK's engine: at most
--max-concurrency requests at once, no requests-per-second limit unless --judge-rps).
Before, the judge library's engine capped requests at 6 a second: 2,000 records took about
4 minutes. Target: under 60 s on 2 cores. Prints one JSON line.

Usage: python bench/judge_throughput.py [records]
"""

from __future__ import annotations

import os
import sys
import time

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")
os.environ.setdefault("LITELLM_LOCAL_MODEL_COST_MAP", "True")
os.environ.setdefault("LITELLM_OFFLINE_MODE", "true")

import pandas as pd

from _support import emit
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.criteria import Option
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.local.judge.server import JudgeServer
from zentrix_gov.metrics import CriteriaMetric
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000
    frame = pd.DataFrame(
        {
            "id": [f"r{index}" for index in range(count)],
            "answer": [
                f"Economy tickets include {index % 3 + 1} checked bags." for index in range(count)
            ],
            "contexts": [["Economy tickets include one checked bag of up to 23 kg."]] * count,
            "record_timestamp": ["2026-01-01T00:00:00"] * count,
        }
    )
    configuration = GenAIConfiguration(
        input_fields=[], output_fields=["answer"], context_fields=["contexts"], record_id_field="id"
    )
    with JudgeServer(request_log_size=0) as server:
        judge = judge_for(
            server.openai_base_url,
            server.token,
            "judge",
            JudgeRequestOptions(max_parallel=DEFAULT_MAX_CONCURRENCY),
        )
        metric = CriteriaMetric(
            name="grounded",
            criteria_description="Is the {answer} supported by the {contexts}?",
            options=[Option(name="Yes", value=1), Option(name="No", value=0)],
            llm_judge=judge,
        )
        provider = metric.build_provider(frame, configuration, None)
        started = time.perf_counter()
        result = provider.evaluate(frame)
        seconds = time.perf_counter() - started
    errors = sum(1 for record in result.record_level_metrics if record.errors)
    emit(
        "criteria_throughput",
        records=count,
        seconds=round(seconds, 1),
        records_per_second=round(count / seconds, 1),
        errors=errors,
    )


if __name__ == "__main__":
    main()
