"""What the workers of a Ray run ask of the cluster: per-metric Ray actor options, checked
before a run starts, and how many workers of each kind the cluster holds at once."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from zentrix_gov.runs.errors import RunError

# What a worker asks of Ray unless its metric says otherwise.
DEFAULT_RESOURCES: dict[str, Any] = {"num_cpus": 1}
# The Ray actor options a metric's resources may set.
RESOURCE_OPTIONS = ("num_cpus", "num_gpus", "memory", "resources", "accelerator_type")


class RayUnavailable(RunError):
    """Ray is not installed, or the cluster cannot run the run's workers."""


def check_resources(resources: Mapping[str, Any], names: list[str] | None = None) -> None:
    """Raise ``ValueError`` naming what is wrong with per-metric ``resources`` (metric name
    -> Ray actor options, e.g. ``{"rag_faithfulness": {"num_gpus": 1}}``)."""
    for name, options in resources.items():
        if names is not None and name not in names:
            raise ValueError(
                f"Ray resources for {name!r}, which is not a metric of the run ({', '.join(names)})"
            )
        if not isinstance(options, Mapping):
            raise ValueError(f"Ray resources for {name!r} must be an object of actor options")
        for key, value in options.items():
            if key not in RESOURCE_OPTIONS:
                raise ValueError(
                    f"Ray resources for {name!r}: unknown option {key!r}; use "
                    f"{', '.join(RESOURCE_OPTIONS)}"
                )
            if key == "resources":
                amounts = value.values() if isinstance(value, Mapping) else [None]
                if not all(_amount(amount) for amount in amounts):
                    raise ValueError(
                        f"Ray resources for {name!r}: resources must map names to amounts >= 0"
                    )
            elif key == "accelerator_type":
                if not isinstance(value, str):
                    raise ValueError(f"Ray resources for {name!r}: accelerator_type is a name")
            elif not _amount(value):
                raise ValueError(f"Ray resources for {name!r}: {key} must be a number >= 0")


def _amount(value: Any) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool) and value >= 0


def pool_sizes(requests: list[Mapping[str, Any]], cluster: Mapping[str, float]) -> list[int]:
    """How many workers of each resource request the cluster holds at once, each pool keeping
    room for one worker of every pool after it. Raises ``RayUnavailable`` for a request that
    does not fit."""
    free = dict(cluster)
    sizes = []
    for index, request in enumerate(requests):
        needs = _needs(request)
        room = dict(free)
        for later in requests[index + 1 :]:
            for key, amount in _needs(later).items():
                room[key] = room.get(key, 0.0) - amount
        fits = [math.floor(room.get(key, 0.0) / amount + 1e-9) for key, amount in needs.items()]
        size = min(fits) if fits else 1
        if size < 1:
            raise RayUnavailable(
                f"the Ray cluster has no room for a worker with {dict(request)} (it has "
                f"{_shown(cluster)})"
            )
        for key, amount in needs.items():
            free[key] = free.get(key, 0.0) - size * amount
        sizes.append(size)
    return sizes


def _needs(request: Mapping[str, Any]) -> dict[str, float]:
    """The cluster resources one worker of ``request`` takes, by Ray's resource names."""
    names = {"num_cpus": "CPU", "num_gpus": "GPU", "memory": "memory"}
    needs = {names[key]: float(request[key]) for key in names if request.get(key)}
    for key, amount in (request.get("resources") or {}).items():
        if amount:
            needs[key] = float(amount)
    if request.get("accelerator_type"):
        needs[f"accelerator_type:{request['accelerator_type']}"] = 0.001
    return needs


def _shown(cluster: Mapping[str, float]) -> str:
    keep = {key: value for key, value in cluster.items() if not key.startswith("node:")}
    return ", ".join(f"{key} {value:g}" for key, value in sorted(keep.items())) or "nothing"
