"""Choosing one of a judge prompt's named options from a rating between 0 and 1.

The options are first ranked, best first:

- when every name starts with a number ("1", "4.5", "5 - Excellent"), the highest number
  is the best;
- otherwise names that read positive (yes, true, pass, good, correct, grounded, ...) come
  first and names that read negative (no, not, false, fail, bad, incorrect, ...) last,
  the others in between; within each group the prompt's order is kept. Names that read
  neither way therefore keep the prompt's order: the first option is the best.

The rating then picks by rank: with ``k`` options, rating ``r`` selects rank
``(k - 1) - min(k - 1, floor(r * k))``. With two options a rating of at least 0.5 selects
the better one; with four, ratings from 0.75 select the best, below 0.25 the worst.
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence

_WORD_RE = re.compile(r"[a-z]+")
_LEADING_NUMBER_RE = re.compile(r"^\s*([-+]?\d+(?:\.\d+)?)(?![\w.])")
# Words of option names that read positive, and negative.
_POSITIVE_TEXT = """yes true pass passed passes good great excellent correct accurate
relevant faithful grounded supported consistent complete valid acceptable appropriate ok
okay safe helpful clear compliant accept accepted positive"""
_NEGATIVE_TEXT = """no not none never false fail failed fails failing bad poor wrong
incorrect inaccurate irrelevant unfaithful ungrounded unsupported inconsistent incomplete
invalid unacceptable inappropriate unsafe unhelpful unclear harmful toxic reject rejected
negative"""
_POSITIVE = frozenset(_POSITIVE_TEXT.split())
_NEGATIVE = frozenset(_NEGATIVE_TEXT.split())


def polarity(name: str) -> int:
    """1 for a name that reads positive, -1 for one that reads negative, 0 otherwise.

    A negative word wins: "Not grounded" is negative.
    """
    words = set(_WORD_RE.findall(name.lower()))
    if words & _NEGATIVE:
        return -1
    if words & _POSITIVE:
        return 1
    return 0


def _leading_number(name: str) -> float | None:
    match = _LEADING_NUMBER_RE.match(name)
    return float(match.group(1)) if match else None


def ranked(options: Sequence[str]) -> list[str]:
    """``options`` best first (see the module's rules)."""
    numbers = [_leading_number(option) for option in options]
    if options and all(number is not None for number in numbers):
        order = sorted(range(len(options)), key=lambda index: -numbers[index])  # type: ignore[operator]
    else:
        order = sorted(range(len(options)), key=lambda index: -polarity(options[index]))
    return [options[index] for index in order]


def rank_for(rating: float, count: int) -> int:
    """The rank (0 = best) that ``rating`` (clamped to 0..1) selects among ``count`` options."""
    if count < 1:
        raise ValueError("There must be at least one option to choose from.")
    rating = max(0.0, min(1.0, rating))
    return (count - 1) - min(count - 1, math.floor(rating * count))


def choose(rating: float, options: Sequence[str]) -> tuple[str, int]:
    """The option ``rating`` selects, and its rank among ``options`` (0 = best)."""
    best_first = ranked(options)
    rank = rank_for(rating, len(best_first))
    return best_first[rank], rank


def score_in(rating: float, low: int, high: int) -> int:
    """``rating`` (0..1) as a whole score from ``low`` to ``high``."""
    rating = max(0.0, min(1.0, rating))
    return low + round(rating * (high - low))
