"""Detection provider benchmarks. Prints one JSON line per case.

- payloads: request bodies for 100,000 rows written natively vs. the same
  dicts built in Python and passed to json.dumps ("hap" and "faithfulness").
- evaluate_cpu: `evaluate` of "hap" over 10,000 records against the local
  service (in its own process, no latency): client CPU per record.
- evaluate_memory: peak memory per record over 100,000 records.
- evaluate_latency: 10,000 records with 50 ms of service latency, against
  the bound aiohttp's 100-connection limit sets, ceil(N / 100) x 50 ms.
- pool_targets: the three figures above for the provider's request pool,
  as ratios to the same provider sending one task per record ("gather_all",
  the previous strategy), with their targets.

Each evaluate case also runs a minimal aiohttp client ("raw_aiohttp") that
gathers all requests at once, as the floor for any client.

Usage: python bench/detection.py [case ...]
"""

import asyncio
import contextlib
import json
import math
import os
import re
import resource
import statistics
import subprocess
import sys
import time
from types import SimpleNamespace

import pandas as pd

from _support import emit, median_seconds
from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.providers.detectwire import Detectwire
from zentrix_gov.utils.python_utils import transform_str_to_list

TOKEN = "bench-token"
INSTANCE = "bench-instance"
RUNS = 5  # timings a median is taken of
CONFIG = GenAIConfiguration(
    input_fields=["question"], output_fields=["answer"], context_fields=["context"]
)


def records(count):
    return pd.DataFrame(
        {
            "question": [
                f"What does clause {i} of the contract say about fees?" for i in range(count)
            ],
            "answer": [
                f"Clause {i} says the fee is {i % 97} euros — payable monthly."
                for i in range(count)
            ],
            "context": [
                json.dumps(
                    [f"Clause {i}: fees of {i % 97} EUR per month.", "Fees are due monthly."]
                )
                for i in range(count)
            ],
            "record_id": [f"id-{i}" for i in range(count)],
        }
    )


def api_client(url="http://127.0.0.1:9"):
    evs = EVSClient(service_instance_id=INSTANCE, authenticator=BearerTokenAuthenticator(TOKEN))
    return SimpleNamespace(
        evs_client=evs, credentials=SimpleNamespace(url=url, version="local", disable_ssl=False)
    )


def columns(metric, frame):
    """The per-record lists the bodies are written from (contexts parsed)."""
    if metric == "hap":
        return frame["question"].to_list(), None, None
    contexts = [transform_str_to_list(cell) for cell in frame["context"].to_list()]
    return frame["question"].to_list(), frame["answer"].to_list(), contexts


def python_bodies(metric, inputs, outputs, contexts):
    """The same bodies as dicts built in Python and passed to json.dumps."""
    if metric == "hap":
        return [json.dumps({"detectors": {"hap": {}}, "input": text}) for text in inputs]
    return [
        json.dumps(
            {
                "detectors": {"faithfulness": {}},
                "input": answer,
                "context_type": "docs",
                "context": context,
            }
        )
        for answer, context in zip(outputs, contexts, strict=False)
    ]


def bench_payloads():
    rows = 100_000
    frame = records(rows)
    for metric in ("hap", "faithfulness"):
        provider = Detectwire(CONFIG, metric, metric, api_client=api_client())
        lists = columns(metric, frame)
        write = provider._Detectwire__get_json_payloads
        native_bodies = write(*lists, None, None)
        assert native_bodies == python_bodies(metric, *lists), (
            "native bodies differ from json.dumps"
        )
        assert provider._Detectwire__pre_process_data(frame)[0] == native_bodies
        native = median_seconds(lambda w=write, a=lists: w(*a, None, None), RUNS)
        python = median_seconds(lambda m=metric, a=lists: python_bodies(m, *a), RUNS)
        native_all = median_seconds(lambda p=provider: p._Detectwire__pre_process_data(frame), RUNS)
        python_all = median_seconds(lambda m=metric: python_bodies(m, *columns(m, frame)), RUNS)
        emit(
            bench="payloads",
            metric=metric,
            rows=rows,
            native_ms=round(native * 1e3, 1),
            python_json_dumps_ms=round(python * 1e3, 1),
            speedup=round(python / native, 2),
            target_speedup=5,
            with_column_reading_native_ms=round(native_all * 1e3, 1),
            with_column_reading_python_ms=round(python_all * 1e3, 1),
            with_column_reading_speedup=round(python_all / native_all, 2),
        )


@contextlib.contextmanager
def service(latency=0.0):
    """The local detection service in its own process."""
    command = [
        sys.executable,
        "-m",
        "zentrix_gov.local.detection",
        "--port",
        "0",
        "--token",
        TOKEN,
        "--instance-id",
        INSTANCE,
        "--latency",
        str(latency),
    ]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        url = re.search(r"http://[\d.]+:\d+", line).group(0)
        yield url
    finally:
        process.terminate()
        process.wait(timeout=10)


def raw_aiohttp(url, frame):
    """The same requests from a minimal aiohttp client: the floor for any client."""
    import aiohttp

    endpoint = url + "/ml/v1/text/detection?version=2023-10-25"
    headers = {
        "Content-Type": "application/json",
        "Authorization": f"Bearer {TOKEN}",
        "x-governance-instance-id": INSTANCE,
        "origin": "sdk",
    }
    bodies = [json.dumps({"detectors": {"hap": {}}, "input": q}) for q in frame["question"]]

    async def post(session, body):
        async with session.post(url=endpoint, headers=headers, data=body, ssl=True) as response:
            return json.loads(await response.text())

    async def main():
        # No overall time limit: 100,000 requests on a loaded machine outlast the default.
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=None)) as session:
            return await asyncio.gather(*(post(session, body) for body in bodies))

    return asyncio.run(main())


class GatherAll(Detectwire):
    """The previous sending strategy: one coroutine and one task per record,
    all gathered at once around the same send_with_retries."""

    async def _Detectwire__compute_metric(self, api_payloads):
        import aiohttp

        async with aiohttp.ClientSession() as session:
            requests = [self.send_with_retries(payload, session) for payload in api_payloads]
            return list(await asyncio.gather(*requests, return_exceptions=True))


PROVIDERS = {"provider": Detectwire, "gather_all": GatherAll}


def timed_runs(fn, repeats=3):
    """Median (cpu, wall) seconds of `fn()`."""
    cpu, wall = [], []
    for _ in range(repeats):
        cpu_start, wall_start = time.process_time(), time.perf_counter()
        fn()
        cpu.append(time.process_time() - cpu_start)
        wall.append(time.perf_counter() - wall_start)
    return statistics.median(cpu), statistics.median(wall)


def evaluate(url, frame, client="provider"):
    provider = PROVIDERS[client](CONFIG, "hap", "HAP", api_client=api_client(url))
    result = provider.evaluate(frame)
    assert result.value != "Error" and not result.errors, result.errors
    return result


FIGURES = {}  # what pool_targets compares, filled by the evaluate cases


def bench_evaluate_cpu():
    rows = 10_000
    frame = records(rows)
    with service() as url:
        evaluate(url, frame.head(500))  # warm up connections and imports
        cpu, wall = timed_runs(lambda: evaluate(url, frame))
        old_cpu, old_wall = timed_runs(lambda: evaluate(url, frame, "gather_all"))
        raw_cpu, raw_wall = timed_runs(lambda: raw_aiohttp(url, frame))
    FIGURES["cpu"] = (cpu, old_cpu)
    emit(
        bench="evaluate_cpu",
        metric="hap",
        rows=rows,
        client_cpu_us_per_record=round(cpu / rows * 1e6, 1),
        wall_s=round(wall, 2),
        gather_all_cpu_us_per_record=round(old_cpu / rows * 1e6, 1),
        gather_all_wall_s=round(old_wall, 2),
        raw_aiohttp_cpu_us_per_record=round(raw_cpu / rows * 1e6, 1),
        raw_aiohttp_wall_s=round(raw_wall, 2),
    )


MEMORY_ROWS = 100_000


def memory_child(client, url):
    """Sends MEMORY_ROWS records and prints the peak RSS growth it caused (KiB)."""
    frame = records(MEMORY_ROWS)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if client == "raw_aiohttp":
        raw_aiohttp(url, frame)
    else:
        evaluate(url, frame, client)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)


def bench_evaluate_memory():
    """Runs in a child process so that the peak belongs to this case alone."""
    per_record = {}
    with service() as url:
        for client in ("provider", "gather_all", "raw_aiohttp"):
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--memory-child", client, url],
                capture_output=True,
                text=True,
                check=True,
            )
            per_record[client] = int(out.stdout.split()[-1]) * 1024 / MEMORY_ROWS
    FIGURES["memory"] = (per_record["provider"], per_record["gather_all"])
    emit(
        bench="evaluate_memory",
        metric="hap",
        rows=MEMORY_ROWS,
        peak_rss_growth_mib=round(per_record["provider"] * MEMORY_ROWS / 2**20, 1),
        bytes_per_record=round(per_record["provider"]),
        gather_all_bytes_per_record=round(per_record["gather_all"]),
        raw_aiohttp_bytes_per_record=round(per_record["raw_aiohttp"]),
    )


def bench_evaluate_latency():
    rows, latency = 10_000, 0.05
    frame = records(rows)
    bound = math.ceil(rows / 100) * latency
    with service(latency) as url:
        evaluate(url, frame.head(200))
        _, wall = timed_runs(lambda: evaluate(url, frame))
        _, old_wall = timed_runs(lambda: evaluate(url, frame, "gather_all"))
        _, raw_wall = timed_runs(lambda: raw_aiohttp(url, frame))
    FIGURES["latency"] = (wall / bound, old_wall / bound)
    emit(
        bench="evaluate_latency",
        metric="hap",
        rows=rows,
        latency_ms=latency * 1e3,
        wall_s=round(wall, 2),
        bound_s=bound,
        ratio_to_bound=round(wall / bound, 3),
        target_ratio=1.25,
        gather_all_ratio_to_bound=round(old_wall / bound, 3),
        raw_aiohttp_wall_s=round(raw_wall, 2),
        raw_aiohttp_ratio_to_bound=round(raw_wall / bound, 3),
    )


def bench_pool_targets():
    """The request pool's three figures against their targets, from this run."""
    for case, run in (("cpu", bench_evaluate_cpu), ("memory", bench_evaluate_memory)):
        if case not in FIGURES:
            run()
    if "latency" not in FIGURES:
        bench_evaluate_latency()
    cpu, old_cpu = FIGURES["cpu"]
    memory, _ = FIGURES["memory"]
    latency_ratio, _ = FIGURES["latency"]
    emit(
        bench="pool_targets",
        cpu_ratio_to_gather_all=round(cpu / old_cpu, 3),
        cpu_target=0.75,
        cpu_met=cpu / old_cpu <= 0.75,
        bytes_per_record=round(memory),
        memory_target_bytes=2500,
        memory_met=memory <= 2500,
        latency_ratio_to_bound=round(latency_ratio, 3),
        latency_target=1.25,
        latency_met=latency_ratio <= 1.25,
    )


CASES = {
    "payloads": bench_payloads,
    "evaluate_cpu": bench_evaluate_cpu,
    "evaluate_memory": bench_evaluate_memory,
    "evaluate_latency": bench_evaluate_latency,
    "pool_targets": bench_pool_targets,
}


def main(argv):
    if argv[:1] == ["--memory-child"]:
        memory_child(argv[1], argv[2])
        return 0
    for name in argv or list(CASES):
        CASES[name]()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
