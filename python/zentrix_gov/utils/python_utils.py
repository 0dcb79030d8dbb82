"""Small helpers: list cells, authenticator tokens and timing."""

from __future__ import annotations

import ast
import json
import logging
import threading
import time
from collections import deque
from collections.abc import Iterable
from types import TracebackType
from typing import Any

logger = logging.getLogger(__name__)

# Texts that look like a list and are parsed as one.
_LIST_OPENERS = ("[", "(")
_LITERAL_ERRORS = (ValueError, SyntaxError, TypeError, MemoryError, RecursionError)


def is_missing(value: Any, *, blank_text: bool = False) -> bool:
    """Whether a table cell holds no value: None, NaN, pandas NA or NaT.

    With ``blank_text`` empty or blank text counts as missing too. Empty lists are values:
    a record whose model made no tool calls says so explicitly.
    """
    if value is None:
        return True
    if isinstance(value, str):
        return blank_text and not value.strip()
    if isinstance(value, float):
        return value != value
    return type(value).__name__ in {"NAType", "NaTType"}


def records_frame(data: Any) -> Any:
    """The records as a pandas DataFrame: a DataFrame as is (not copied), a dict as one
    record, a list of dicts as one record per element."""
    import pandas as pd

    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, dict):
        return pd.DataFrame([data])
    if isinstance(data, list):
        for position, record in enumerate(data):
            if not isinstance(record, dict):
                raise TypeError(
                    f"Records must be dicts; record {position} is a {type(record).__name__}."
                )
        return pd.DataFrame(data)
    raise TypeError(
        f"Records must be a pandas DataFrame, a dict or a list of dicts, not {type(data).__name__}."
    )


def _parse_list_text(text: str) -> list[Any] | None:
    """The list held in ``text`` (JSON or a Python literal), or None when it holds none."""
    try:
        parsed = json.loads(text)
    except ValueError:
        try:
            # literal_eval only builds literals; it never runs code.
            parsed = ast.literal_eval(text)
        except _LITERAL_ERRORS:
            return None
    if isinstance(parsed, (list, tuple)):
        return list(parsed)
    return None


def transform_str_to_list(value: Any) -> list[str]:
    """Turn one table cell holding a list (or the text form of one) into a list of texts.

    Accepts lists, tuples, numpy and pandas arrays, JSON or Python text of a list, a plain
    string (one element) and empty cells (no elements).
    """
    if isinstance(value, str):
        text = value.strip()
        if not text:
            return []
        if text.startswith(_LIST_OPENERS):
            parsed = _parse_list_text(text)
            if parsed is not None:
                return [str(item) for item in parsed]
        return [value]
    if isinstance(value, (list, tuple)):
        return [str(item) for item in value]
    if is_missing(value):
        return []
    tolist = getattr(value, "tolist", None)
    if callable(tolist):
        # numpy arrays, pandas arrays and series; a numpy scalar gives a plain value.
        items = tolist()
        if isinstance(items, list):
            return [str(item) for item in items]
        return [] if is_missing(items) else [str(items)]
    if isinstance(value, (set, frozenset)):
        return sorted(str(item) for item in value)
    if isinstance(value, Iterable) and not isinstance(value, (bytes, dict)):
        return [str(item) for item in value]
    return [str(value)]


def get_authenticator_token(authenticator: Any) -> str:
    """The current bearer token of ``authenticator``.

    Accepts objects with ``get_token()`` and objects whose ``token_manager`` has one.
    """
    get_token = getattr(authenticator, "get_token", None)
    if not callable(get_token):
        token_manager = getattr(authenticator, "token_manager", None)
        get_token = getattr(token_manager, "get_token", None)
    if not callable(get_token):
        raise TypeError(
            f"Cannot obtain a bearer token from {type(authenticator).__name__}: it has neither "
            "get_token() nor token_manager.get_token()."
        )
    token = get_token()
    if not isinstance(token, str) or not token:
        raise ValueError(
            f"The authenticator {type(authenticator).__name__} returned no bearer token."
        )
    return token


_DURATIONS_KEPT = 1000
_durations_lock = threading.Lock()
_durations: deque[tuple[str, float]] = deque(maxlen=_DURATIONS_KEPT)


def recent_durations() -> list[tuple[str, float]]:
    """The most recent ``(label, seconds)`` measurements, oldest first."""
    with _durations_lock:
        return list(_durations)


def clear_durations() -> None:
    with _durations_lock:
        _durations.clear()


class track_duration:  # lower-case: used like a function, ``with track_duration(label):``
    """Measure the enclosed block and record ``(label, seconds)``.

    The measurement is recorded whether the block succeeds or raises; exceptions are
    never swallowed.
    """

    def __init__(self, label: str) -> None:
        self.label = str(label)
        self.seconds: float | None = None
        self._started: float | None = None

    def __enter__(self) -> track_duration:
        self._started = time.perf_counter()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool:
        if self._started is not None:
            self.seconds = time.perf_counter() - self._started
            with _durations_lock:
                _durations.append((self.label, self.seconds))
            logger.debug("%s took %.3f s", self.label, self.seconds)
        return False
