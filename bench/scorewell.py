"""Template-library provider benchmarks. Prints one JSON line per case.

- import: the time importing the module adds over what it imports from outside (pandas,
  pydantic, cachetools, lazy-imports, the SDK's records), and the time of the first use of
  a unitxt name (loading unitxt). Medians of fresh interpreters. Target: under 20 ms.
- engine_cache: one call of the memoised engine factory that finds its engine in the cache,
  against one that builds it (a real unitxt OpenAiInferenceEngine). Target: hit under 5 us.
- overhead: `evaluate` of faithfulness with token_k_precision over 1,000 records, the unitxt
  pipeline alone on the same prepared records, and the provider's own work (reshaping,
  locks, results: `evaluate` around a pipeline that hands back the computed instances at
  once), in us per record and as a share of the pipeline. Target: under 10 %.

Usage: python bench/scorewell.py [case ...]
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
import timeit
from unittest import mock

from _support import emit

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")

OUTSIDE = (
    "import pandas, pydantic, cachetools, lazy_imports, threading, json, functools, asyncio\n"
    "import zentrix_gov.entities.foundation_model, zentrix_gov.entities.evaluation_result\n"
    "import zentrix_gov.entities.errors, zentrix_gov.utils.async_util\n"
    "import zentrix_gov.utils.python_utils, zentrix_gov.utils.environment\n"
)
PROBE = OUTSIDE + (
    "import time\n"
    "t0 = time.perf_counter()\n"
    "from zentrix_gov.providers import scorewell\n"
    "t1 = time.perf_counter()\n"
    "scorewell.MultiStream\n"
    "t2 = time.perf_counter()\n"
    "print((t1 - t0) * 1e3, (t2 - t1) * 1e3)\n"
)


def bench_import(runs: int = 7) -> None:
    module_ms, first_use_ms = [], []
    for _ in range(runs):
        out = subprocess.run(
            [sys.executable, "-c", PROBE], capture_output=True, text=True, check=True
        ).stdout.split()
        module_ms.append(float(out[0]))
        first_use_ms.append(float(out[1]))
    emit(
        "import",
        module_ms_median=round(statistics.median(module_ms), 2),
        first_use_ms_median=round(statistics.median(first_use_ms), 1),
        target_module_ms=20,
        runs=runs,
    )


def bench_engine_cache() -> None:
    from zentrix_gov.providers import scorewell
    from zentrix_gov.providers.scorewell import Scorewell

    scorewell.OpenAiInferenceEngine  # noqa: B018 - load unitxt before timing
    kwargs = dict(
        provider="openai",
        model_id="judge",
        use_cache=False,
        credentials_json='{"api_key": "k", "api_url": "http://127.0.0.1:9/v1"}',
    )
    factory = Scorewell._create_inference_engine_impl

    def miss() -> None:
        scorewell._inference_engine_cache.clear()
        factory(**kwargs)

    misses = [timeit.timeit(miss, number=1) for _ in range(15)]
    factory(**kwargs)
    hits = [timeit.timeit(lambda: factory(**kwargs), number=10_000) / 10_000 for _ in range(7)]
    hit_us, miss_us = statistics.median(hits) * 1e6, statistics.median(misses) * 1e6
    emit(
        "engine_cache",
        hit_us_median=round(hit_us, 2),
        miss_us_median=round(miss_us, 1),
        miss_over_hit=round(miss_us / hit_us),
        target_hit_us=5,
    )


def records(n: int):
    import pandas as pd

    return pd.DataFrame(
        {
            "question": [f"What does fare {i} include?" for i in range(n)],
            "answer": [f"Fare {i} includes one checked bag and a seat." for i in range(n)],
            "contexts": [
                [f"Fare {i} includes one checked bag.", "Seats cost extra."] for i in range(n)
            ],
            "id": [f"r{i}" for i in range(n)],
        }
    )


def bench_overhead(n: int = 1000, runs: int = 11) -> None:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.providers import scorewell
    from zentrix_gov.providers.scorewell import Scorewell

    config = GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        reference_fields=[],
        record_id_field="id",
    )
    provider = Scorewell(
        config, "faithfulness", "Faithfulness", "token_k_precision", "metrics.zentrix.rag"
    )
    data = records(n)
    prepared = provider._Scorewell__pre_process_data(data=data).to_dict(orient="records")
    for record in prepared:
        record["metadata"] = {"data_classification_policy": ["public"]}
    identifier = "metrics.zentrix.rag.faithfulness.token_k_precision"

    def pipeline_only() -> None:
        streams = scorewell.MultiStream.from_iterables({"test": prepared}, copying=True)
        list(scorewell.SequentialOperator(steps=[identifier])(streams)["test"])

    provider.evaluate(data)  # warm: catalog, metric objects
    instances = list(
        scorewell.SequentialOperator(steps=[identifier])(
            scorewell.MultiStream.from_iterables({"test": prepared}, copying=True)
        )["test"]
    )

    # The provider's own work: everything evaluate does around a pipeline that returns
    # the instances computed above at once.
    class Streams:
        @staticmethod
        def from_iterables(streams, copying):
            return streams

    def instant_pipeline(steps):
        return lambda streams: {"test": iter(instances)}

    def provider_only() -> None:
        with mock.patch.multiple(
            scorewell, MultiStream=Streams, SequentialOperator=instant_pipeline
        ):
            provider.evaluate(data)

    totals, pipelines, own = [], [], []
    for _ in range(runs):
        totals.append(timeit.timeit(lambda: provider.evaluate(data), number=1))
        pipelines.append(timeit.timeit(pipeline_only, number=1))
        own.append(timeit.timeit(provider_only, number=1))
    total, pipeline, provider_ms = (statistics.median(x) for x in (totals, pipelines, own))
    emit(
        "overhead",
        records=n,
        evaluate_ms_median=round(total * 1e3, 1),
        pipeline_ms_median=round(pipeline * 1e3, 1),
        provider_ms_median=round(provider_ms * 1e3, 2),
        provider_us_per_record=round(provider_ms / n * 1e6, 1),
        provider_share=round(provider_ms / pipeline, 3),
        target_share=0.10,
    )


def varied_records(n: int):
    """Records whose scores differ (unitxt skips confidence intervals over equal scores)."""
    import pandas as pd

    words = ["bag", "seat", "fare", "refund", "meal", "wifi", "pet", "gate", "lounge", "visa"]

    def text(i: int, k: int) -> str:
        return " ".join(words[(i * 7 + j * 3) % len(words)] for j in range(3 + (i + k) % 6))

    return pd.DataFrame(
        {
            "question": [f"What about {text(i, 1)}?" for i in range(n)],
            "answer": [f"The {text(i, 2)} is included." for i in range(n)],
            "contexts": [[text(i, 3), text(i, 4)][: 1 + i % 2] for i in range(n)],
            "id": [f"r{i}" for i in range(n)],
        }
    )


def bench_token_overlap(n: int = 1000, runs: int = 7) -> None:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.providers.scorewell import Scorewell

    config = GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        record_id_field="id",
    )
    data = varied_records(n)
    for metric, method in (
        ("faithfulness", "token_k_precision"),
        ("answer_relevance", "token_recall"),
    ):
        provider = Scorewell(config, metric, metric, method, "metrics.zentrix.rag")
        provider.evaluate(data)  # warm: catalog, metric objects
        seconds = statistics.median(
            timeit.timeit(lambda p=provider: p.evaluate(data), number=1) for _ in range(runs)
        )
        emit(
            "token_overlap",
            metric=metric,
            method=method,
            records=n,
            us_per_record=round(seconds / n * 1e6, 1),
            target_us=300,
        )


CASES = {
    "import": bench_import,
    "engine_cache": bench_engine_cache,
    "overhead": bench_overhead,
    "token_overlap": bench_token_overlap,
}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        started = time.perf_counter()
        CASES[name]()
