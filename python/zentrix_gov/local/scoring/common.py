"""What every detector family shares: the error type, text helpers and input checks.

Detectors are pure functions over plain JSON values: each takes its parameters and texts
and returns a list of detection objects ready to be sent back. Problems with the caller's
input raise :class:`DetectorError`, which the app turns into an error reply (400 unless the
error says otherwise).

Word lists and patterns are compiled once at import time so that a request costs only the
matching itself.
"""

from __future__ import annotations

import math
import re
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any

from ..stopwords import STOP_WORDS

Detection = dict[str, Any]


class DetectorError(ValueError):
    """The request cannot be scored as sent; ``status``/``code`` shape the error reply."""

    def __init__(self, message: str, *, status: int = 400, code: str = "invalid_request"):
        super().__init__(message)
        self.message = message
        self.status = status
        self.code = code


# --------------------------------------------------------------------------- text helpers

_WORD_RE = re.compile(r"[a-z0-9]+(?:'[a-z]+)?")
ANY_WORD_RE = re.compile(r"\w+")
# A sentence starts at a visible character and runs to its terminators or a line end.
_SENTENCE_RE = re.compile(r"[^\s.!?][^.!?\n]*[.!?]*")


def _stem(word: str) -> str:
    # Plural folding only: enough to match "passwords" with "password" without a stemmer.
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 3 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


def content_words(text: str) -> list[str]:
    """Lower-cased, plural-folded words of ``text`` without stop words, in order."""
    return [_stem(w) for w in _WORD_RE.findall(text.lower()) if w not in STOP_WORDS]


def _cosine(a: Counter[str], b: Counter[str]) -> float:
    dot = sum(count * b[word] for word, count in a.items())
    norm = math.sqrt(sum(c * c for c in a.values())) * math.sqrt(sum(c * c for c in b.values()))
    return dot / norm if norm else 0.0


def similarity(first: str, second: str) -> float:
    """Deterministic text similarity in [0, 1].

    The mean of the cosine over content-word counts and the overlap coefficient of the
    content-word sets. The cosine punishes texts of very different length; the overlap
    coefficient does not, so a short question fully covered by a long prompt still scores
    well.
    """
    a, b = Counter(content_words(first)), Counter(content_words(second))
    if not a or not b:
        return 0.0
    overlap = len(a.keys() & b.keys()) / min(len(a), len(b))
    return clamp_score((_cosine(a, b) + overlap) / 2)


def sentences(text: str) -> Iterator[tuple[int, int, str]]:
    """(start, end, sentence) for every sentence of ``text``; offsets are character indices."""
    for match in _SENTENCE_RE.finditer(text):
        sentence = match.group().rstrip()
        yield match.start(), match.start() + len(sentence), sentence


def clamp_score(value: float) -> float:
    return round(min(1.0, max(0.0, value)), 6)


def span(kind: str, label: str, score: float, text: str, start: int, end: int) -> Detection:
    return {
        "detection_type": kind,
        "detection": label,
        "score": clamp_score(score),
        "text": text[start:end],
        "start": start,
        "end": end,
    }


def term_pattern(terms: Iterable[str], inflect: bool = False) -> re.Pattern[str]:
    """One case-insensitive whole-word alternation over ``terms`` (phrases allowed)."""
    parts = []
    for term in sorted(set(terms), key=len, reverse=True):
        words = [re.escape(w) for w in term.split()]
        body = r"\s+".join(words)
        if inflect and len(words) == 1:
            body += r"(?:s|es|ed|ing)?"
        parts.append(body)
    return re.compile(r"(?<!\w)(?:" + "|".join(parts) + r")(?!\w)", re.IGNORECASE)


def require_str(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise DetectorError(f"'{what}' must be a string, got {type(value).__name__}.")
    return value


def optional_unit_float(params: dict[str, Any], name: str) -> float | None:
    value = params.get(name)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int | float) or not 0 <= value <= 1:
        raise DetectorError(f"Parameter '{name}' must be a number between 0 and 1.")
    return float(value)


def string_list(value: Any, what: str) -> list[str]:
    """A list of texts from a request member; null entries count as empty texts."""
    if not isinstance(value, list):
        raise DetectorError(f"'{what}' must be a list of strings.")
    texts = []
    for item in value:
        if item is None:
            item = ""
        texts.append(require_str(item, f"{what}[]"))
    return texts
