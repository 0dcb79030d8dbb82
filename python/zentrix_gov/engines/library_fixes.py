"""Three faults of the judge libraries, fixed where the SDK sets them up.

- :func:`tolerate_unreadable_verdicts`: evalassist's parser raised on an answer it could
  not clean up as JSON (an empty answer: "Empty string is not valid JSON"), which ended
  the whole criteria metric. Such an answer now stays as it is: it fails validation like
  any unreadable answer, the library asks the model to repair it, and a verdict that is
  still unreadable is that record's error.
- :func:`inner_engines_follow_cache_switch`: unitxt's ``CrossProviderInferenceEngine``
  built its provider's engine with the cache on whatever it was told, so a cache database
  was written under the cache folder even with caching off. The inner engine now gets the
  outer one's ``use_cache``.
- :func:`warn_once_about_unlisted_models`: unitxt warns on every engine built for a model
  name it has no entry for ("... is not configured for provider ..."); each such warning
  is now logged once per process.
"""

from __future__ import annotations

import logging
import threading
from typing import Any

_lock = threading.Lock()
_done: set[str] = set()


def _once(name: str) -> bool:
    with _lock:
        if name in _done:
            return False
        _done.add(name)
        return True


def tolerate_unreadable_verdicts() -> None:
    """Answers that cannot be cleaned up as JSON are kept as they are; idempotent."""
    if not _once("verdicts"):
        return
    from evalassist.judges import batch_repair_parser

    clean = batch_repair_parser.sanitize_and_parse_json

    def sanitize_or_keep(raw: Any) -> str:
        if not isinstance(raw, str):
            return "" if raw is None else str(raw)
        try:
            return clean(raw)
        except ValueError:  # json.JSONDecodeError
            return raw

    batch_repair_parser.sanitize_and_parse_json = sanitize_or_keep


def inner_engines_follow_cache_switch() -> None:
    """The provider engine of a ``CrossProviderInferenceEngine`` caches only when the outer
    engine does; idempotent."""
    if not _once("cache"):
        return
    from unitxt.inference import CrossProviderInferenceEngine

    original = CrossProviderInferenceEngine.prepare_engine

    def prepare_engine(self: Any) -> None:
        given = self.provider_specific_args
        provider = self.get_provider_name()
        arguments = dict(given or {})
        arguments[provider] = {"use_cache": bool(self.use_cache), **(arguments.get(provider) or {})}
        self.provider_specific_args = arguments
        try:
            original(self)
        finally:
            # The engine's fields (and so its cache keys) stay as they were given.
            self.provider_specific_args = given

    CrossProviderInferenceEngine.prepare_engine = prepare_engine


class _FirstOnly(logging.Filter):
    """Lets each "not configured for provider" warning through once."""

    def __init__(self) -> None:
        super().__init__()
        self._seen: set[str] = set()
        self._lock = threading.Lock()

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        if "is not configured for provider" not in message:
            return True
        key = message.split(". Supported models", 1)[0]
        with self._lock:
            if key in self._seen:
                return False
            self._seen.add(key)
        return True


def warn_once_about_unlisted_models() -> None:
    """unitxt's warning about a model name it has no entry for, once per model; idempotent."""
    if not _once("warning"):
        return
    logging.getLogger("unitxt").addFilter(_FirstOnly())
