"""Registry linking metric groups to the metrics that belong to them.

Metric classes register themselves here as they are defined. The first lookup loads the
public metric classes (``zentrix_gov.metrics``), so that ``MetricGroup.get_metrics()`` is
complete without the caller importing them; ``enums`` itself imports nothing of the package.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from zentrix_gov.entities.metric import GenAIMetric

MetricFactory = Callable[[], "GenAIMetric"]

_lock = threading.Lock()
_factories: dict[str, list[MetricFactory]] = {}
_loaded = False


def _group_key(group: Any) -> str:
    # Members of a str Enum and their plain values register under the same key.
    return str(getattr(group, "value", group))


def register_group_metric(group: Any, factory: MetricFactory) -> None:
    """Add ``factory`` (a callable returning a new metric) to ``group``.

    Registering the same factory twice for one group has no further effect.
    """
    if not callable(factory):
        raise TypeError(f"The metric factory for group {group!r} must be callable.")
    key = _group_key(group)
    with _lock:
        factories = _factories.setdefault(key, [])
        if factory not in factories:
            factories.append(factory)


def unregister_group_metric(group: Any, factory: MetricFactory) -> None:
    """Remove ``factory`` from ``group``; unknown factories are ignored."""
    key = _group_key(group)
    with _lock:
        factories = _factories.get(key, [])
        if factory in factories:
            factories.remove(factory)


def group_metrics(group: Any) -> list[GenAIMetric]:
    """New metric instances for every factory registered under ``group``, in order."""
    _load_metric_classes()
    with _lock:
        factories = list(_factories.get(_group_key(group), ()))
    return [factory() for factory in factories]


def _load_metric_classes() -> None:
    global _loaded
    if not _loaded:
        # Defining the classes registers them (see DetectorMetric).
        import zentrix_gov.metrics  # noqa: F401

        _loaded = True
