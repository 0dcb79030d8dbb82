"""Stored runs: what surviving interruptions and storing every unit costs. Prints one JSON
line per case, with the machine's load.

- kill9: a 2,000-record x 3-metric run (hap and pii against the local detection service,
  rag_answer_relevance by token overlap) killed with SIGKILL at 20 random moments, resumed
  after each; the final export against an uninterrupted run's, and the requests sent more
  than once against the bound of one in-flight unit per detector metric per kill.
- memory: peak RSS of the command line over 100,000 and 1,000,000 generated JSONL records
  through two detector metrics (BENCH_RUNS_MILLION=0 skips the million), and whether the
  store holds every record.
- overhead: client CPU per record for 10,000 records through one detector metric, with
  the SQLite store against a store that keeps nothing (same executor, same units).
- latency: 10,000 records through one detector metric at 50 ms service latency, against
  the bound ceil(N / 100) x 50 ms that 100 connections set.

Usage: python bench/runs.py [case ...]
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _support import emit

ROOT = Path(__file__).resolve().parents[1]
TOKEN = "bench-token"
INSTANCE = "bench-instance"
KILL_METRICS = "hap,pii,rag_answer_relevance"
CHUNK = 1000


def write_records(path: Path, count: int) -> Path:
    with path.open("w") as handle:
        for index in range(count):
            rude = " you idiot" if index % 9 == 0 else ""
            handle.write(
                json.dumps(
                    {
                        "question": f"What does clause {index} say about fees?{rude}",
                        "answer": f"Clause {index}: a fee of {index % 97} euros, call 555-0100.",
                        "context": f"Clause {index}: fees of {index % 97} EUR per month.",
                    }
                )
                + "\n"
            )
    return path


def write_config(folder: Path) -> Path:
    config = folder / "columns.json"
    config.write_text(
        json.dumps(
            {
                "input_fields": ["question"],
                "output_fields": ["answer"],
                "context_fields": ["context"],
            }
        )
    )
    return config


def cli_env(url: str, store: Path) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith("ZNG_")}
    env.update(
        ZNG_API_KEY=TOKEN,
        ZNG_SERVICE_INSTANCE_ID=INSTANCE,
        ZNG_URL=url,
        ZNG_VERSION="local",
        ZENTRIX_STORE=str(store),
        HF_HUB_OFFLINE="1",
        UNITXT_USE_ONLY_LOCAL_CATALOGS="True",
    )
    return env


def comparable(path: Path) -> tuple[dict, str]:
    document = json.loads(path.read_text())
    document.pop("detection_service", None)
    return document, path.with_suffix(".csv").read_text()


def bench_kill9(kills: int = 20, records: int = 2000, seed: int = 7) -> None:
    from zentrix_gov.local.server import DetectionServer

    rng = random.Random(seed)
    folder = Path(tempfile.mkdtemp(prefix="bench-kill9-"))
    data = write_records(folder / "records.jsonl", records)
    config = write_config(folder)
    base = [sys.executable, "-m", "zentrix_gov", "evaluate"]
    args = [str(data), "-c", str(config), "-m", KILL_METRICS, "--rag-method", "token_recall"]
    with DetectionServer(token=TOKEN, instance_id=INSTANCE, latency=0.05,
                         request_log_size=10**7) as server:  # fmt: skip
        env = cli_env(server.url, folder / "runs.sqlite")
        started = time.perf_counter()
        whole = subprocess.run([*base, *args, "-q", "-o", str(folder / "whole.json")], env=env)
        uninterrupted_seconds = time.perf_counter() - started
        assert whole.returncode == 0
        sent_whole = len(server.requests)
        server.requests.clear()
        command = [*base, *args, "-q"]
        killed_at = []
        for _ in range(kills):
            process = subprocess.Popen(command, env=env, stderr=subprocess.DEVNULL)
            moment = rng.uniform(0.3, max(0.5, uninterrupted_seconds * 0.6))
            time.sleep(moment)
            if process.poll() is None:
                process.send_signal(signal.SIGKILL)
                killed_at.append(round(moment, 2))
            process.wait()
            command = [*base, "--resume", "last", "-q"]
        final = subprocess.run(
            [*base, "--resume", "last", "-q", "-o", str(folder / "resumed.json")], env=env
        )
        sent_all = len(server.requests)
    detector_metrics = 2
    emit(
        bench="kill9",
        records=records,
        metrics=KILL_METRICS,
        chunk_size=CHUNK,
        kills=len(killed_at),
        killed_after_seconds=killed_at,
        uninterrupted_seconds=round(uninterrupted_seconds, 1),
        final_exit=final.returncode,
        export_identical=comparable(folder / "resumed.json") == comparable(folder / "whole.json"),
        requests_uninterrupted=sent_whole,
        requests_with_kills=sent_all,
        requests_repeated=sent_all - sent_whole,
        repeated_bound=len(killed_at) * detector_metrics * CHUNK,
    )


def peak_rss_kib(command: list[str], env: dict[str, str]) -> tuple[int, float]:
    """Peak RSS of ``command`` in KiB (measured by a wrapper process of its own)."""
    wrapper = (
        "import resource, subprocess, sys;"
        "code = subprocess.call(sys.argv[1:]);"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss);"
        "sys.exit(code)"
    )
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", wrapper, *command], env=env, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return int(done.stdout.split()[-1]), time.perf_counter() - started


def bench_memory() -> None:
    sizes = [100_000]
    if os.environ.get("BENCH_RUNS_MILLION", "1") != "0":
        sizes.append(1_000_000)
    folder = Path(tempfile.mkdtemp(prefix="bench-memory-"))
    config = write_config(folder)
    with service() as url:
        peaks = {}
        for size in sizes:
            data = write_records(folder / f"records-{size}.jsonl", size)
            store = folder / f"runs-{size}.sqlite"
            command = [sys.executable, "-m", "zentrix_gov", "evaluate", str(data), "-c",
                       str(config), "-m", "hap,pii", "-q"]  # fmt: skip
            peak, seconds = peak_rss_kib(command, cli_env(url, store))
            with sqlite3.connect(store) as db:
                stored = db.execute("SELECT count(*) FROM results").fetchone()[0]
            peaks[size] = peak
            emit(bench="memory", records=size, peak_rss_mib=round(peak / 1024, 1),
                 seconds=round(seconds, 1), results_stored=stored,
                 every_record_stored=stored == 2 * size)  # fmt: skip
            data.unlink()
    if len(peaks) == 2:
        emit(bench="memory", ratio_1m_to_100k=round(peaks[1_000_000] / peaks[100_000], 3),
             target=1.2)  # fmt: skip


def service(latency: float = 0.0):
    """The local detection service in its own process."""
    import contextlib

    @contextlib.contextmanager
    def started():
        command = [sys.executable, "-m", "zentrix_gov.local.detection", "--port", "0",
                   "--token", TOKEN, "--instance-id", INSTANCE,
                   "--latency", str(latency)]  # fmt: skip
        process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        try:
            line = process.stdout.readline()
            yield re.search(r"http://[\d.]+:\d+", line).group(0)
        finally:
            process.terminate()
            process.wait(timeout=10)

    return started()


def api_client(url: str):
    from evs_sdk.authenticators import BearerTokenAuthenticator
    from zentrix_gov.clients.api_client import APIClient
    from zentrix_gov.entities.credentials import Credentials

    return APIClient(
        credentials=Credentials(url=url, version="local", api_key=TOKEN, disable_ssl=False),
        service_instance_id=INSTANCE,
        authenticator=BearerTokenAuthenticator(TOKEN),
    )


def timed_run(data: Path, url: str, store_class, folder: Path) -> tuple[float, float]:
    """Client CPU seconds and wall seconds of one stored run of hap over ``data``."""
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.runs import api

    configuration = GenAIConfiguration(input_fields=["question"])
    original = api.RunStore
    api.RunStore = store_class
    try:
        cpu, wall = time.process_time(), time.perf_counter()
        store = folder / f"{random.random()}.sqlite"
        asyncio.run(api.evaluate_async(data, ["hap"], configuration, store=store,
                                       api_client=api_client(url)))  # fmt: skip
        return time.process_time() - cpu, time.perf_counter() - wall
    finally:
        api.RunStore = original


def bench_overhead(records: int = 10_000, repeats: int = 5) -> None:
    from zentrix_gov.runs.store import RunStore

    class NoStore(RunStore):
        """Keeps the run row (the run needs one) but none of the units' results."""

        def commit_unit(self, run_id, unit, rows, committed):
            for _ in rows:
                pass

    folder = Path(tempfile.mkdtemp(prefix="bench-overhead-"))
    data = write_records(folder / "records.jsonl", records)
    samples = {"sqlite": [], "none": []}
    with service() as url:
        timed_run(data, url, RunStore, folder)  # warm up
        for _ in range(repeats):
            for name, store_class in (("sqlite", RunStore), ("none", NoStore)):
                samples[name].append(timed_run(data, url, store_class, folder)[0])
    sqlite_us = sorted(samples["sqlite"])[repeats // 2] / records * 1e6
    none_us = sorted(samples["none"])[repeats // 2] / records * 1e6
    emit(bench="overhead", records=records, client_cpu_us_per_record_store=round(sqlite_us, 1),
         client_cpu_us_per_record_no_store=round(none_us, 1),
         overhead=round(sqlite_us / none_us - 1, 3), target=0.05)  # fmt: skip


def bench_latency(records: int = 10_000, latency: float = 0.05) -> None:
    from zentrix_gov.runs.store import RunStore

    folder = Path(tempfile.mkdtemp(prefix="bench-latency-"))
    data = write_records(folder / "records.jsonl", records)
    bound = math.ceil(records / 100) * latency
    with service(latency) as url:
        walls = sorted(timed_run(data, url, RunStore, folder)[1] for _ in range(3))
    emit(bench="latency", records=records, latency_s=latency, wall_s=round(walls[1], 2),
         bound_s=bound, ratio=round(walls[1] / bound, 3), target=1.25)  # fmt: skip


CASES = {
    "overhead": bench_overhead,
    "latency": bench_latency,
    "kill9": bench_kill9,
    "memory": bench_memory,
}

if __name__ == "__main__":
    for case in sys.argv[1:] or list(CASES):
        CASES[case]()
