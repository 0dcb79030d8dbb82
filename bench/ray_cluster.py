"""Runs on a local Ray cluster (2 CPUs, 127.0.0.1) against the local detection service in a
process of its own. Prints one JSON line per case, with the machine's load.

- throughput: 20,000 records through hap, the local executor (--concurrent, 10 units at
  once) against the Ray executor (2 workers, 10 units at once over both); the ratio, and
  where the CPU went (driver, workers, service) per record.
- killed: the same Ray run with one worker process killed (SIGKILL) a third of the way;
  every record once in the store, and the export against the undisturbed Ray run's.
- startup: seconds to start the cluster (ray.init) and the run's workers.
- overhead: 2,000 records in 100 units of 20, one unit at a time: what a unit costs on
  Ray beyond the local executor, in ms.
- model: the capacity model of docs/ray.md with these figures, checked against the
  2-worker throughput, and worked out for 100 nodes x 8 workers with a judge limited to
  3,000 requests a minute.

Usage: python bench/ray_cluster.py   (needs the 'ray' extra)
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import signal
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _support import emit
from runs import api_client, service, write_records  # bench/runs.py

RECORDS = 20_000
CONCURRENCY = 10
figures: dict[str, float] = {}


def cpu_seconds(pid: int) -> float:
    """User + system CPU seconds of process ``pid`` so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def configuration():
    from zentrix_gov.config import GenAIConfiguration

    return GenAIConfiguration(input_fields=["question"])


def comparable(run, folder: Path) -> tuple[dict, str]:
    run.export(folder / "out.json")
    document = json.loads((folder / "out.json").read_text())
    for metric in document["metrics"]:
        for record in metric.get("record_level_metrics", []):
            record.pop("record_timestamp", None)
    return document, (folder / "out.csv").read_text()


def executor_class():
    from zentrix_gov.runs.ray_executor import RayExecutor

    class Measured(RayExecutor):
        """Notes the workers' CPU time as units come back; kills a worker after
        ``kill_after`` units when asked."""

        kill_after: int | None = None
        killed: int | None = None
        units = 0

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.worker_cpu: dict[int, float] = {}

        async def evaluate_unit(self, job, work):
            outcome = await super().evaluate_unit(job, work)
            self.units += 1
            for pid in self.worker_pids:
                with contextlib.suppress(OSError, IndexError):
                    self.worker_cpu[pid] = cpu_seconds(pid)
            if self.kill_after is not None and self.units == self.kill_after:
                self.killed = self.worker_pids[0]
                os.kill(self.killed, signal.SIGKILL)
            return outcome

    return Measured


def timed(data: Path, url: str, store: Path, executor, chunk_size: int | None = None):
    from zentrix_gov import runs

    cpu, wall = time.process_time(), time.perf_counter()
    run = runs.evaluate(data, ["hap"], configuration(), store=store, api_client=api_client(url),
                        executor=executor, chunk_size=chunk_size)  # fmt: skip
    return run, time.perf_counter() - wall, time.process_time() - cpu


def bench_throughput_and_kill(folder: Path) -> None:
    from zentrix_gov.runs.executor import LocalExecutor

    data = write_records(folder / "records.jsonl", RECORDS)
    store = folder / "runs.sqlite"
    with service() as url:
        service_pid = _pid_listening(url)
        timed(data, url, store, LocalExecutor(CONCURRENCY))  # warm up both sides
        local, local_s, local_cpu = timed(data, url, store, LocalExecutor(CONCURRENCY))
        executor = executor_class()(CONCURRENCY)
        service_before = cpu_seconds(service_pid)
        ray_run, ray_s, driver_cpu = timed(data, url, store, executor)
        service_cpu = cpu_seconds(service_pid) - service_before
        worker_cpu = sum(executor.worker_cpu.values())
        emit(bench="throughput", records=RECORDS, units=RECORDS // 1000,
             local_records_per_s=round(RECORDS / local_s), ray_records_per_s=round(RECORDS / ray_s),
             ratio=round(local_s / ray_s, 3), target=0.8, workers=len(executor.worker_pids),
             driver_cpu_us_per_record=round(driver_cpu / RECORDS * 1e6, 1),
             worker_cpu_us_per_record=round(worker_cpu / RECORDS * 1e6, 1),
             service_cpu_us_per_record=round(service_cpu / RECORDS * 1e6, 1),
             local_client_cpu_us_per_record=round(local_cpu / RECORDS * 1e6, 1),
             same_export=comparable(ray_run, folder) == comparable(local, folder))  # fmt: skip
        figures.update(
            workers_s=executor.startup_seconds,
            ray_records_per_s=RECORDS / ray_s,
            driver_s=driver_cpu / RECORDS,
            worker_s=worker_cpu / RECORDS,
            service_s=service_cpu / RECORDS,
        )
        killing = executor_class()(CONCURRENCY)
        killing.kill_after = RECORDS // 1000 // 3
        killed, killed_s, _ = timed(data, url, store, killing)
        import sqlite3

        with sqlite3.connect(store) as db:
            stored, distinct = db.execute(
                "SELECT count(*), count(DISTINCT record_id) FROM results WHERE run_id = ?",
                (killed.id,),
            ).fetchone()
            attempts = db.execute(
                "SELECT sum(attempts > 1) FROM units WHERE run_id = ?", (killed.id,)
            ).fetchone()[0]
        emit(bench="killed", records=RECORDS, killed_pid=killing.killed,
             killed_after_units=killing.kill_after, status=killed.status,
             seconds=round(killed_s, 1), records_stored=stored, distinct_records=distinct,
             every_record_once=stored == distinct == RECORDS, units_sent_again=attempts,
             export_equals_undisturbed=comparable(killed, folder) == comparable(ray_run, folder),
        )  # fmt: skip


def bench_overhead(folder: Path, records: int = 2000, chunk: int = 20) -> None:
    from zentrix_gov.runs.executor import LocalExecutor
    from zentrix_gov.runs.ray_executor import RayExecutor

    data = write_records(folder / "small.jsonl", records)
    store = folder / "overhead.sqlite"
    units = records // chunk
    with service() as url:
        timed(data, url, store, LocalExecutor(1), chunk)
        local_s = min(timed(data, url, store, LocalExecutor(1), chunk)[1] for _ in range(3))
        ray_s = min(timed(data, url, store, RayExecutor(1), chunk)[1] for _ in range(3))
    figures["unit_overhead_s"] = max(0.0, (ray_s - local_s) / units)
    emit(bench="overhead", records=records, units=units, local_s=round(local_s, 2),
         ray_s=round(ray_s, 2), ms_per_unit=round((ray_s - local_s) / units * 1000, 2))  # fmt: skip


def bench_startup() -> None:
    from zentrix_gov.runs.ray_executor import start_local_cluster

    started = time.perf_counter()
    start_local_cluster(num_cpus=2)
    figures["init_s"] = time.perf_counter() - started


def bench_model() -> None:
    """The capacity model of docs/ray.md, checked on this machine and worked out for 100
    nodes x 8 workers against a judge limited to 3,000 requests a minute."""
    driver, worker, serve = figures["driver_s"], figures["worker_s"], figures["service_s"]
    cores, workers = 2, 2
    # Here every process shares the 2 cores: the CPU per record bounds the rate.
    predicted = min(cores / (driver + worker + serve), 1 / driver, workers / worker)
    measured = figures["ray_records_per_s"]
    # The cores the run had (CPU seconds per wall second): other work shares the machine.
    obtained = measured * (driver + worker + serve)
    emit(bench="model-check", workers=workers, cores=cores,
         predicted_records_per_s=round(predicted), measured_records_per_s=round(measured),
         measured_over_predicted=round(measured / predicted, 3),
         cores_obtained=round(obtained, 2))  # fmt: skip
    nodes, per_node, per_minute = 100, 8, 3000
    latency, per_unit_requests, unit_setup = 2.0, 10, 1.0  # assumed: judge and provider
    workers = nodes * per_node
    judge = per_minute / 60  # requests (= records, one criterion) a second
    driver_limit = 1 / driver
    rate = min(judge, driver_limit)
    units = 2 * workers  # one running and one waiting on every worker
    fixed = unit_setup + figures["unit_overhead_s"]
    # Little's law: a unit of c records lasts units * c / rate seconds; its fixed cost stays
    # within 5 % of that when c >= 20 * fixed * rate / units.
    chunk = max(1, math.ceil(20 * fixed * rate / units))
    emit(bench="model-judge", workers=workers, judge_requests_per_min=per_minute,
         records_per_hour=round(rate * 3600),
         driver_limit_records_per_hour=round(driver_limit * 3600),
         max_concurrency=units, chunk_size=chunk,
         unit_seconds=round(units * chunk / rate), records_in_flight=units * chunk,
         workers_that_saturate_the_judge=math.ceil(
             judge * latency / min(chunk, per_unit_requests)))  # fmt: skip


def _pid_listening(url: str) -> int:
    """The process of the local service at ``url`` (a child of this one)."""
    port = int(url.rsplit(":", 1)[1])
    inodes = set()
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        parts = line.split()
        if int(parts[1].split(":")[1], 16) == port and parts[3] == "0A":
            inodes.add(parts[9])
    for child in Path(f"/proc/{os.getpid()}/task").glob("*/children"):
        for pid in child.read_text().split():
            for fd in Path(f"/proc/{pid}/fd").iterdir():
                try:
                    if os.readlink(fd).strip("socket:[]") in inodes:
                        return int(pid)
                except OSError:
                    continue
    raise RuntimeError(f"no child process listens at {url}")


if __name__ == "__main__":
    import ray

    folder = Path(tempfile.mkdtemp(prefix="bench-ray-"))
    bench_startup()
    try:
        bench_throughput_and_kill(folder)
        bench_overhead(folder)
        emit(bench="startup", ray_init_s=round(figures["init_s"], 2),
             workers_ready_s=round(figures["workers_s"], 2))  # fmt: skip
        bench_model()
    finally:
        ray.shutdown()
