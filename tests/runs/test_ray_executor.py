"""Runs on a Ray cluster: the same exports as local runs for each kind of metric, a worker
killed mid-run, a driver interrupted and resumed, the run-wide concurrency limit counted
at the detection service, and per-metric resources reaching Ray.

One local cluster (2 CPUs, on 127.0.0.1) serves the whole module; it is slow to start.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from functools import partial
from pathlib import Path

import pytest

from tests.cli.conftest import COLUMNS, EXAMPLES, RECORDS, ROOT, clean_env
from tests.cli.test_cli_reliability import service_env
from tests.cli.test_cli_runs import comparable
from tests.plugin_services import client_for
from tests.runs.test_runs_api import CONFIG, exported, records, write
from tests.support.local_services import TEST_TOKEN
from tests.support.sanitizer import SANITIZED
from zentrix_gov import runs
from zentrix_gov.cli import main
from zentrix_gov.local.server import DetectionServer
from zentrix_gov.runs.errors import RunError
from zentrix_gov.runs.store import RunStore
from zentrix_gov.runs.usage import run_spend
from zentrix_gov.spend import Spend

if SANITIZED:
    # Ray's own processes, given the preloaded runtime, stop on findings in Ray's code (a
    # use-after-free in its process-title set-up) and the cluster may never start. The
    # units these tests send run the same code as the local executor's, tested there.
    pytest.skip("Ray's processes do not run under AddressSanitizer", allow_module_level=True)
ray = pytest.importorskip("ray")
from zentrix_gov.runs.ray_executor import (  # noqa: E402 - needs Ray
    RayExecutor,
    RayUnavailable,
    start_local_cluster,
)

pytestmark = pytest.mark.ray

KINDS = {
    "detector": ["-m", "hap,pii"],
    "criteria judge": ["--criteria", EXAMPLES / "criteria" / "answer_grounding.yaml",
                       "--judge", "local"],
    "embeddings": ["-m", "rag_faithfulness", "--rag-method", "sentence_bert_mini_lm"],
}  # fmt: skip


@pytest.fixture(scope="module")
def cluster():
    """A local cluster of 2 CPUs and one unit of a custom resource "accel"; its workers
    import this tree's tests (a worker's set-up may come from them)."""
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join([str(ROOT), str(ROOT / "python")])
    start_local_cluster(num_cpus=2, resources={"accel": 1})
    try:
        yield ray.get_runtime_context().gcs_address
    finally:
        ray.shutdown()
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def evaluate(*args) -> int:
    return main(["evaluate", *map(str, args)])


@pytest.mark.parametrize("kind", KINDS)
def test_a_run_on_ray_exports_what_a_local_run_exports(
    kind, cluster, tmp_path, monkeypatch, server
):
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    args = [RECORDS, "-c", COLUMNS, *KINDS[kind], "--chunk-size", "3", "-q"]
    assert evaluate(*args, "-o", tmp_path / "local.json") == 0
    assert evaluate(*args, "--executor", "ray", "-o", tmp_path / "ray.json") == 0
    assert comparable(tmp_path / "ray.json") == comparable(tmp_path / "local.json")
    with RunStore() as store:
        # The workers count and price the judge's requests as this process does.
        spent = [run_spend(store, run.id).total for run in store.list_runs()[-2:]]
    assert spent[0] == spent[1]
    if kind == "criteria judge":
        assert spent[0].requests and spent[0].cost == 0  # the local judge costs nothing


def test_a_budget_is_refused_on_ray_before_the_run_starts(tmp_path):
    store = tmp_path / "runs.sqlite"
    with pytest.raises(RunError, match="budget is kept by the local executor only"):
        runs.evaluate(records(6), ["hap"], CONFIG, store=store, executor=RayExecutor(),
                      spend=Spend(budget_usd=1.0))  # fmt: skip
    with RunStore(store) as opened:
        assert opened.list_runs() == []


def test_a_judge_asked_several_ways_is_asked_so_on_the_workers(
    cluster, tmp_path, monkeypatch, server
):
    # Options that read neither way: the local judge takes the first listed for the best,
    # so the swapped variant picks the other one, and every record flips.
    criterion = tmp_path / "colours.json"
    criterion.write_text(json.dumps({
        "name": "colour", "criteria": "Is the {answer} supported by the {contexts}?",
        "options": [{"name": "Blue", "value": 1}, {"name": "Red", "value": 0}]}))  # fmt: skip
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    args = [RECORDS, "-c", COLUMNS, "--criteria", criterion, "--judge", "local",
            "--judge-swap-options", "--judge-repeats", "2", "--chunk-size", "3", "-q"]  # fmt: skip
    assert evaluate(*args, "-o", tmp_path / "local.json") == 0
    assert evaluate(*args, "--executor", "ray", "-o", tmp_path / "ray.json") == 0
    assert comparable(tmp_path / "ray.json") == comparable(tmp_path / "local.json")
    with RunStore() as store:
        run = store.find_run("last")
        judged, flipped = store.read(
            "SELECT count(*), sum(flipped) FROM judgements WHERE run_id = ?", (run.id,)
        ).fetchone()
    assert judged and flipped == judged


class KillingExecutor(RayExecutor):
    """Kills a worker's process (SIGKILL) as the first unit comes back, while other units
    are in flight on both workers."""

    killed: int | None = None

    async def evaluate_unit(self, job, work):
        outcome = await super().evaluate_unit(job, work)
        if self.killed is None:
            self.killed = self.worker_pids[0]
            os.kill(self.killed, signal.SIGKILL)
        return outcome


def test_units_of_a_killed_worker_are_run_again_and_stored_once(cluster, tmp_path, server):
    path = write(tmp_path / "r.jsonl", records(60))
    store = tmp_path / "s.sqlite"
    client = client_for(server)
    options = {"store": store, "api_client": client, "chunk_size": 5}
    local = runs.evaluate(path, ["hap", "pii"], CONFIG, **options)
    server.faults.latency = 0.2
    executor = KillingExecutor(max_concurrency=4)
    run = runs.evaluate(path, ["hap", "pii"], CONFIG, executor=executor, **options)
    assert run.status == "complete"
    assert executor.killed not in executor.worker_pids
    assert exported(run, tmp_path) == exported(local, tmp_path)
    with RunStore(store) as reader:
        units = reader.units(run.id)
    # Every unit of every metric is there, and every record once per metric (a second
    # commit of a unit would have failed the run); the dead worker's units were sent again.
    assert [(unit.metric, unit.chunk) for unit in units] == [
        (metric, chunk) for metric in ("hap", "pii") for chunk in range(12)
    ]
    assert sum(unit.records for unit in units) == 2 * 60
    assert max(unit.attempts for unit in units) >= 2


def test_an_interrupted_driver_resumes_to_the_export_of_a_local_run(
    cluster, tmp_path, server, monkeypatch
):
    path = write(tmp_path / "r.jsonl", records(60))
    (tmp_path / "columns.json").write_text(json.dumps(CONFIG.model_dump(include={
        "input_fields", "output_fields", "context_fields"})))  # fmt: skip
    args = [path, "-c", tmp_path / "columns.json", "-m", "hap", "--chunk-size", "5", "-q"]
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    assert evaluate(*args, "-o", tmp_path / "local.json") == 0
    server.faults.latency = 0.5
    command = [sys.executable, "-m", "zentrix_gov", "evaluate", *map(str, args)]
    command += ["--executor", "ray", "--ray-address", cluster, "--max-concurrency", "2"]
    env = clean_env(**service_env(server), PYTHONPATH=os.environ["PYTHONPATH"])
    driver = subprocess.Popen(command, env=env, stderr=subprocess.PIPE, text=True)
    with RunStore(os.environ["ZENTRIX_STORE"]) as reader:
        local_run = reader.find_run("last").id
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and driver.poll() is None:
            time.sleep(0.05)
            latest = reader.find_run("last")
            if latest.id != local_run and len(reader.committed_units(latest.id)) >= 2:
                break
        driver.send_signal(signal.SIGINT)
        assert driver.wait(60) == 130, driver.stderr.read()
        stopped = reader.find_run("last")
        assert stopped.status == "interrupted"
        assert 2 <= len(reader.committed_units(stopped.id)) < 12
    assert "--resume" in driver.stderr.read()
    server.faults.latency = 0.0
    assert evaluate("--resume", "last", "-q", "-o", tmp_path / "resumed.json") == 0
    assert comparable(tmp_path / "resumed.json") == comparable(tmp_path / "local.json")


class CountingServer(DetectionServer):
    """The detection service, counting the requests it is serving at once."""

    def __init__(self, **options):
        super().__init__(**options)
        self.lock = threading.Lock()
        self.now = self.peak = 0

    def create_app(self):
        from aiohttp import web

        @web.middleware
        async def count(request, handler):
            with self.lock:
                self.now += 1
                self.peak = max(self.peak, self.now)
            try:
                return await handler(request)
            finally:
                with self.lock:
                    self.now -= 1

        app = super().create_app()
        app.middlewares.insert(0, count)  # outermost: around the service's latency too
        return app


@pytest.mark.parametrize("limit", [1, 3])
def test_max_concurrency_bounds_requests_in_flight_over_all_workers(cluster, tmp_path, limit):
    path = write(tmp_path / "r.jsonl", records(12))
    server = CountingServer(token=TEST_TOKEN, latency=0.3).start()
    try:
        run = runs.evaluate(
            path, ["hap"], CONFIG, store=tmp_path / "s.sqlite", api_client=client_for(server),
            chunk_size=1, executor="ray", max_concurrency=limit,
        )  # fmt: skip
    finally:
        server.stop()
    assert run.status == "complete"
    # One request per unit of one record: the units in flight, over both workers.
    assert server.peak == limit


def assigned_resources(folder: Path) -> None:
    """A worker's set-up: note the Ray resources the worker holds."""
    held = ray.get_runtime_context().get_assigned_resources()
    (folder / f"{os.getpid()}.json").write_text(json.dumps(sorted(held)))


def test_metric_resources_reach_the_workers_ray_starts(cluster, tmp_path, server):
    path = write(tmp_path / "r.jsonl", records(8))
    executor = RayExecutor(
        4,
        resources={"pii": {"resources": {"accel": 1}}},
        setup=partial(assigned_resources, tmp_path),
    )
    run = runs.evaluate(
        path, ["hap", "pii"], CONFIG, store=tmp_path / "s.sqlite",
        api_client=client_for(server), chunk_size=2, executor=executor,
    )  # fmt: skip
    assert run.status == "complete"
    held = sorted(json.loads(noted.read_text()) for noted in tmp_path.glob("*.json"))
    # The hap workers take the CPU left beside the one worker the single "accel" allows.
    assert held == [["CPU"], ["CPU", "accel"]]
    server.requests.clear()
    gpu = RayExecutor(4, resources={"pii": {"num_gpus": 1}})
    with pytest.raises(RayUnavailable, match=r"no room for a worker with .*'num_gpus': 1"):
        runs.evaluate(path, ["hap", "pii"], CONFIG, store=tmp_path / "s.sqlite",
                      api_client=client_for(server), executor=gpu)  # fmt: skip
    assert len(server.requests) == 0
