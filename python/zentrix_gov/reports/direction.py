"""Which way is worse for a metric: a higher value (detections: HAP, PII, ...) or a lower
one (qualities, and criteria whose best option has the highest value)."""

from __future__ import annotations

from typing import Any


def higher_is_worse(name: str, identity: dict[str, Any] | None) -> bool:
    """What the detector catalogue says of the metric; for other metrics, whether its
    thresholds are upper limits only. Without either, a higher value is better."""
    from zentrix_gov.entities.detector_catalog import DETECTOR_METRICS

    identity = identity or {}
    info = DETECTOR_METRICS.get(identity.get("name") or name)
    if info is not None:
        return info.higher_is_worse
    kinds = {
        threshold.get("type")
        for threshold in identity.get("thresholds") or []
        if isinstance(threshold, dict)
    }
    return kinds == {"upper_limit"}


def threshold_text(thresholds: list[dict[str, Any]] | None) -> str:
    """Thresholds as ``≤ 0.5`` (an upper limit) or ``≥ 0.7`` (a lower limit)."""
    parts = []
    for threshold in thresholds or []:
        value = threshold.get("value")
        sign = {"upper_limit": "≤", "lower_limit": "≥"}.get(threshold.get("type"), "?")
        parts.append(f"{sign} {value:g}" if isinstance(value, int | float) else f"{sign} {value}")
    return ", ".join(parts)


def within_thresholds(value: Any, thresholds: list[dict[str, Any]] | None) -> bool | None:
    """Whether ``value`` keeps every threshold (None when there is nothing to check)."""
    if not thresholds or isinstance(value, bool) or not isinstance(value, int | float):
        return None
    for threshold in thresholds:
        limit = threshold.get("value")
        if not isinstance(limit, int | float):
            continue
        if threshold.get("type") == "upper_limit" and value > limit:
            return False
        if threshold.get("type") == "lower_limit" and value < limit:
            return False
    return True
