"""Caller-supplied terms: keyword lists and regex patterns.

Regex matching itself runs in a worker process (``regex_runner``); this module only checks
the patterns and turns the worker's matches into detections.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Iterable, Sequence
from typing import Any

from .common import Detection, DetectorError, span

# Limits that keep a single request cheap.
MAX_PATTERNS = 50
MAX_PATTERN_LENGTH = 2_000
MAX_KEYWORDS = 1_000

# --------------------------------------------------------------------------- keyword / regex


@functools.lru_cache(maxsize=512)
def _keyword_pattern(keywords: tuple[str, ...]) -> re.Pattern[str]:
    # Escaped literals only, so the alternation cannot backtrack badly.
    alternatives = "|".join(re.escape(k) for k in sorted(keywords, key=len, reverse=True))
    return re.compile(r"(?<!\w)(?:" + alternatives + r")(?!\w)", re.IGNORECASE)


def detect_keyword(params: dict[str, Any], text: str) -> list[Detection]:
    """Case-insensitive whole-word occurrences of the ``keywords`` parameter, score 1."""
    keywords = params.get("keywords")
    if (
        not isinstance(keywords, list)
        or not keywords
        or not all(isinstance(k, str) and k.strip() for k in keywords)
    ):
        raise DetectorError("Parameter 'keywords' must be a non-empty list of non-empty strings.")
    if len(keywords) > MAX_KEYWORDS:
        raise DetectorError(f"At most {MAX_KEYWORDS} keywords are accepted.")
    by_lower = {k.strip().lower(): k for k in keywords}
    pattern = _keyword_pattern(tuple(sorted(by_lower)))
    return [
        span("keyword", by_lower.get(m.group().lower(), m.group()), 1.0, text, *m.span())
        for m in pattern.finditer(text)
    ]


@functools.lru_cache(maxsize=512)
def _compile(pattern: str) -> re.Pattern[str]:
    return re.compile(pattern)


def regex_patterns(params: dict[str, Any]) -> list[str]:
    """Validate the ``regex`` parameter: a list of patterns that all compile."""
    patterns = params.get("regex")
    if not isinstance(patterns, list) or not patterns:
        raise DetectorError("Parameter 'regex' must be a non-empty list of patterns.")
    if len(patterns) > MAX_PATTERNS:
        raise DetectorError(f"At most {MAX_PATTERNS} regex patterns are accepted.")
    for pattern in patterns:
        if not isinstance(pattern, str) or not pattern:
            raise DetectorError(f"Regex pattern {pattern!r} must be a non-empty string.")
        if len(pattern) > MAX_PATTERN_LENGTH:
            raise DetectorError(
                f"Regex pattern {pattern[:40]!r}... is longer than {MAX_PATTERN_LENGTH} characters."
            )
        try:
            _compile(pattern)
        except re.error as exc:
            raise DetectorError(
                f"Regex pattern {pattern!r} does not compile: {exc}.", code="invalid_regex"
            ) from None
    return patterns


def regex_detections(
    patterns: Sequence[str], text: str, matches: Iterable[Sequence[int]]
) -> list[Detection]:
    """Detections for ``(pattern index, start, end)`` matches found by the regex worker."""
    found = [span("regex", patterns[i], 1.0, text, start, end) for i, start, end in matches]
    found.sort(key=lambda d: (d["start"], d["end"]))
    return found
