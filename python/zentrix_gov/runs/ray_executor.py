"""The Ray executor: a run's units evaluated by workers of a Ray cluster.

The driver (this process) does what the local executor does: it reads the records a chunk
at a time, plans each chunk's units, keeps the dependency order within a chunk, and is the
only writer of the run store. The evaluation of each unit goes to a worker: a Ray actor
(:class:`~zentrix_gov.runs.ray_worker.UnitWorker`) that lives for the whole run and
hands the unit's result rows back. A chunk's records are put into Ray's object store once
and read by every unit of that chunk.

Concurrency: at most ``max_concurrency`` units are in flight across the whole cluster,
whatever the number of workers; the driver holds the count. Judge requests too: each
worker has a share of ``max_concurrency`` (:func:`judge_shares`), within which its judge's
concurrency adapts, and the shares sum to at most ``max_concurrency``. Workers are grouped in pools,
one per set of Ray resources a metric asks for (``resources``); a pool of W workers gives
each worker at most ceil(max_concurrency / W) units at once, and a unit goes to the
least busy worker of its pool. Unlike the local executor, several chunks of one metric may
be in flight at once, so an interruption costs at most ``max_concurrency`` units.

Faults: Ray restarts a worker whose process died (``max_restarts``), building its state
anew; the units it had in flight come back to the driver as lost and are sent again (to
any worker of the pool) until ``attempts`` workers were lost under them. A worker Ray is
still restarting is waited for, up to ``restart_wait`` seconds, before it counts as lost.
A unit is committed once, from the one reply the driver received for it; the store records
how many times it was sent.
"""

from __future__ import annotations

import asyncio
import importlib.util
import logging
import math
import os
from collections import OrderedDict
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import UnitFailed
from zentrix_gov.runs.executor import LocalExecutor
from zentrix_gov.runs.ray_resources import (
    DEFAULT_RESOURCES,
    RayUnavailable,
    check_resources,
    pool_sizes,
)
from zentrix_gov.runs.types import RunJob, UnitWork
from zentrix_gov.spend.budget import current_spend
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

if TYPE_CHECKING:
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.runs.types import PlannedMetric, RunListener
    from zentrix_gov.runs.units import UnitOutcome

# How many of its workers a unit may lose (they died under it) before the run gives up.
DEFAULT_ATTEMPTS = 3
# How long, in seconds, a unit waits in all for workers Ray is restarting before each such
# worker counts as lost.
DEFAULT_RESTART_WAIT = 60.0


class RayExecutor(LocalExecutor):
    """Runs units on a Ray cluster: the one at ``address`` (default ``$RAY_ADDRESS``), or
    a local one started for the run (on 127.0.0.1) when neither is set. When Ray is
    already initialised in this process, its cluster is used and left running.

    ``resources`` gives metrics (by their names in the results) the Ray actor options their
    workers need, e.g. ``{"rag_faithfulness": {"num_gpus": 1}}``; other metrics' workers
    take one CPU each. ``setup`` runs in every worker as it starts; ``note`` is called
    with a line saying where the units run.
    """

    lanes = False  # several chunks of one metric may be in flight at once
    # A budget needs every request to ask one count before it is sent: not across workers.
    keeps_budget = False

    def __init__(
        self,
        max_concurrency: int = DEFAULT_MAX_CONCURRENCY,
        *,
        address: str | None = None,
        resources: Mapping[str, Mapping[str, Any]] | None = None,
        attempts: int = DEFAULT_ATTEMPTS,
        restart_wait: float = DEFAULT_RESTART_WAIT,
        setup: Callable[[], Any] | None = None,
        note: Callable[[str], None] | None = None,
    ):
        super().__init__(max_concurrency)
        if importlib.util.find_spec("ray") is None:
            raise RayUnavailable(
                "the Ray executor needs Ray: install the 'ray' extra "
                "(pip install 'zentrix-gov[ray]')"
            )
        if attempts < 1:
            raise ValueError(f"attempts must be at least 1, got {attempts}")
        self.address = address or os.environ.get("RAY_ADDRESS") or None
        self.resources = {name: dict(options) for name, options in (resources or {}).items()}
        check_resources(self.resources)
        self.attempts = attempts
        self.restart_wait = restart_wait
        self.setup = setup
        self.note = note
        self.startup_seconds: float | None = None  # connecting and starting the workers
        self._started_ray = False
        self._where = ""
        self._pools: dict[str, _Pool] = {}  # by metric name
        self._workers: list[_Pool] = []  # the pools of the latest run
        self._chunks: OrderedDict[int, Any] = OrderedDict()

    async def run(self, job: RunJob, store: RunStore, listener: RunListener) -> None:
        import time

        check_resources(self.resources, [planned.name for planned in job.metrics])
        started = time.perf_counter()
        ray = self._connect()
        try:
            await self._start_workers(ray, job)
            self.startup_seconds = time.perf_counter() - started
            await super().run(job, store, listener)
        finally:
            for pool in self._pools.values():
                for actor in pool.actors:
                    ray.kill(actor)
            self._pools.clear()
            self._chunks.clear()

    def close(self) -> None:
        """Disconnect from Ray; a cluster started for the run stops."""
        if importlib.util.find_spec("ray") is None:
            return
        import ray

        if ray.is_initialized() and self._started_ray:
            ray.shutdown()
        self._started_ray = False

    # ------------------------------------------------------------------ cluster

    def _connect(self) -> Any:
        import ray

        if ray.is_initialized():
            self._where = f"the Ray cluster at {_gcs_address(ray)}"
            return ray
        if self.address is None:
            start_local_cluster()
            where = "a local Ray cluster started for this run"
        else:
            _check_reachable(self.address)
            try:
                ray.init(address=self.address, log_to_driver=False, logging_level=logging.ERROR)
            except (ConnectionError, RuntimeError, ValueError) as exc:
                raise RayUnavailable(
                    f"cannot connect to the Ray cluster at {self.address}: {exc}"
                ) from exc
            where = f"the Ray cluster at {self.address}"
        self._started_ray = True
        self._where = where
        return ray

    async def _start_workers(self, ray: Any, job: RunJob) -> None:
        from zentrix_gov.runs.ray_worker import UnitWorker

        by_options: dict[str, tuple[dict[str, Any], list[PlannedMetric]]] = {}
        for planned in job.metrics:
            options = {**DEFAULT_RESOURCES, **self.resources.get(planned.name, {})}
            key = repr(sorted(options.items()))
            by_options.setdefault(key, (options, []))[1].append(planned)
        groups = list(by_options.values())
        sizes = pool_sizes([options for options, _ in groups], ray.cluster_resources())
        sizes = [min(size, self.max_concurrency) for size in sizes]
        # No more workers than units at once (each pool keeps one): their judge shares fit.
        while sum(sizes) > max(self.max_concurrency, len(sizes)):
            sizes[sizes.index(max(sizes))] -= 1
        worker = ray.remote(UnitWorker)
        shares = iter(judge_shares(self.max_concurrency, sum(sizes)))
        spend = current_spend()
        prices = spend.prices if spend is not None else None
        for (options, metrics), size in zip(groups, sizes, strict=True):
            per_worker = math.ceil(self.max_concurrency / size)
            actor_options = {
                **options,
                "max_concurrency": per_worker,
                "max_restarts": -1,
                "max_task_retries": 0,
            }
            mine = {planned.name: planned for planned in metrics}
            actors = [
                worker.options(**actor_options).remote(
                    job.evaluate, mine, self.setup, next(shares), prices
                )
                for _ in range(size)
            ]
            pool = _Pool(actors, per_worker)
            for planned in metrics:
                self._pools[planned.name] = pool
        self._workers = list({id(pool): pool for pool in self._pools.values()}.values())
        actors = [actor for pool in self._workers for actor in pool.actors]
        await asyncio.gather(*(pool.start() for pool in self._workers))
        if self.note is not None:
            cpus = ray.cluster_resources().get("CPU", 0)
            self.note(
                f"units run on {self._where} ({cpus:g} CPUs): {len(actors)} workers, at most "
                f"{self.max_concurrency} units at once"
            )

    # ------------------------------------------------------------------ units

    async def evaluate_unit(self, job: RunJob, work: UnitWork) -> tuple[UnitOutcome, int]:
        from ray.exceptions import ActorUnavailableError, RayActorError

        name = work.metric.name
        pool = self._pools[name]
        records = self._records(work)
        trace = job.tracing.carrier() if job.tracing else None
        lost: Exception | None = None
        sent = deaths = 0
        waited, pause = 0.0, 0.125
        while deaths < self.attempts:
            index = await pool.take()
            sent += 1
            restarting = False
            try:
                reply = await pool.actors[index].run_unit.remote(
                    name,
                    work.chunk,
                    work.first_position,
                    records,
                    work.rows,
                    work.skipped,
                    work.skip_reason,
                    # A judge asked another way (judging) travels with its unit.
                    work.metric if work.variant is not None else None,
                    trace,
                )
            except ActorUnavailableError as exc:
                # The worker is being restarted (one that loads a model takes a while): wait
                # for it, up to restart_wait, rather than spend the unit's attempts on it.
                lost = exc
                restarting = waited < self.restart_wait
                deaths += not restarting
                continue
            except RayActorError as exc:  # the worker died, or could not be reached
                lost = exc
                deaths += 1
                continue
            finally:
                pool.give_back(index)
                if restarting:
                    pause = min(pause * 2, 2.0, self.restart_wait - waited)
                    waited += pause
                    await asyncio.sleep(pause)
            pool.pids[index] = reply.pid  # a restarted worker has a new one
            if job.tracing and reply.spans:
                job.tracing.relay(reply.spans)
            _spent(reply)
            reply.raise_failure(name, work.chunk)
            return reply.outcome, sent
        raise UnitFailed(
            name,
            work.chunk,
            f"metric {name!r}: the Ray workers evaluating records {work.first_position + 1}"
            f"-{work.first_position + len(work.ids)} were lost {self.attempts} times "
            f"({type(lost).__name__})",
        )

    @property
    def worker_pids(self) -> list[int]:
        """The process ids of the latest run's workers, as last seen."""
        return [pool.pids[index] for pool in self._workers for index in sorted(pool.pids)]

    def _records(self, work: UnitWork) -> Any:
        """The chunk's records in Ray's object store, put there by its first unit."""
        import ray

        records = self._chunks.get(work.chunk)
        if records is None:
            records = self._chunks[work.chunk] = ray.put((work.frame, work.ids))
            # Units hold their own reference: this only saves putting a chunk twice.
            while len(self._chunks) > self.max_concurrency + 2:
                self._chunks.popitem(last=False)
        return records


def _spent(reply: Any) -> None:
    """The run (this process) counts what a worker's unit spent, and the prices it used."""
    spend = current_spend()
    if spend is None:
        return
    spend.prices.learn(reply.prices)
    if reply.outcome is not None and reply.outcome.usage is not None:
        spend.record(reply.outcome.usage.total)


def judge_shares(max_concurrency: int, workers: int) -> list[int]:
    """Each worker's share of the judge requests at once: ``max_concurrency`` split as
    evenly as it goes, so that the shares never sum above it (each at least 1: with more
    workers than that, the sum is the number of workers)."""
    base, extra = divmod(max_concurrency, workers)
    return [max(1, base + (index < extra)) for index in range(workers)]


def start_local_cluster(**options: Any) -> Any:
    """``ray.init(**options)`` for a cluster of this machine alone, whose processes listen
    on 127.0.0.1 only (Ray would take the machine's network address)."""
    _loopback_only()
    import ray

    settings = {"include_dashboard": False, "log_to_driver": False, "logging_level": logging.ERROR}
    return ray.init(**{**settings, **options})


def _loopback_only() -> None:
    """Keep Ray on 127.0.0.1: it would otherwise put the machine's network address in place
    of a loopback one, for the cluster it starts and for the one it connects to."""
    # Read by Ray in this process, and by every process it starts.
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
    from ray._private import ray_constants

    ray_constants.ENABLE_RAY_CLUSTER = False  # when Ray was imported before


def _check_reachable(address: str) -> None:
    """Fail at once, naming ``address``, when nothing listens there (Ray would keep
    trying). Addresses that are not ``host:port`` (``auto``, ``ray://...``) go to Ray."""
    import ipaddress
    import socket

    host, sep, port = address.rpartition(":")
    if not sep or not port.isdigit() or "/" in host or not host:
        return
    host = host.strip("[]")
    try:
        loopback = host == "localhost" or ipaddress.ip_address(host).is_loopback
    except ValueError:
        loopback = False
    if loopback:
        _loopback_only()
    try:
        socket.create_connection((host, int(port)), timeout=10).close()
    except OSError as exc:
        raise RayUnavailable(
            f"cannot connect to the Ray cluster at {address}: {exc.strerror or exc}"
        ) from None


class _Pool:
    """The workers that evaluate some metrics, each taking at most ``per_worker`` units."""

    def __init__(self, actors: list[Any], per_worker: int):
        self.actors = actors
        self.busy = [0] * len(actors)
        self.pids: dict[int, int] = {}
        self._free = asyncio.Semaphore(len(actors) * per_worker)

    async def start(self) -> None:
        """Wait until every worker is up."""
        pids = await asyncio.gather(*(actor.ready.remote() for actor in self.actors))
        self.pids = dict(enumerate(pids))

    async def take(self) -> int:
        await self._free.acquire()
        index = min(range(len(self.busy)), key=self.busy.__getitem__)
        self.busy[index] += 1
        return index

    def give_back(self, index: int) -> None:
        self.busy[index] -= 1
        self._free.release()


def _gcs_address(ray: Any) -> str:
    try:
        return str(ray.get_runtime_context().gcs_address)
    except Exception:
        return "?"
