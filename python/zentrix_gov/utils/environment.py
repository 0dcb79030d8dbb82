"""Environment switches read by the SDK."""

from __future__ import annotations

import os

_TRUE_TEXTS = frozenset({"1", "true", "yes", "on"})
_FALSE_TEXTS = frozenset({"0", "false", "no", "off", ""})

# How many metrics (or model requests) run at once unless the caller says otherwise. The
# native driver keeps its own copy; a test checks that the two agree.
DEFAULT_MAX_CONCURRENCY = 10
DEFAULT_CONCURRENCY_LIMIT = DEFAULT_MAX_CONCURRENCY


def _flag(name: str, default: bool) -> bool:
    raw = os.environ.get(name)
    if raw is None:
        return default
    text = raw.strip().lower()
    if text in _TRUE_TEXTS:
        return True
    if text in _FALSE_TEXTS:
        return False
    # The template library may read the same variable; do not fail on its spellings.
    return default


def get_unitxt_enable_inference_cache() -> bool:
    """Whether judge inference engines cache model answers (``UNITXT_ENABLE_INFERENCE_CACHE``)."""
    return _flag("UNITXT_ENABLE_INFERENCE_CACHE", default=False)


# The earlier, misspelt name: part of the public API, kept for callers that use it.
get_untixt_enable_inference_cache = get_unitxt_enable_inference_cache


def get_zentrix_concurrency_limit() -> int:
    """How many model requests may run at once (``ZENTRIX_CONCURRENCY_LIMIT``, default 10)."""
    raw = os.environ.get("ZENTRIX_CONCURRENCY_LIMIT")
    if raw is None or not raw.strip():
        return DEFAULT_CONCURRENCY_LIMIT
    try:
        limit = int(raw.strip())
    except ValueError:
        limit = 0
    if limit < 1:
        raise ValueError(
            f"Environment variable ZENTRIX_CONCURRENCY_LIMIT must be a positive integer, "
            f"got {raw!r}."
        )
    return limit


def get_zentrix_server() -> str | None:
    """The hosting product the SDK runs in (``ZENTRIX_SERVER``), or None."""
    value = os.environ.get("ZENTRIX_SERVER")
    return value if value else None
