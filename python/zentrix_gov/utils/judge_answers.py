"""Judge answers that are not verdicts: failed requests, empty, unreadable or out-of-scale
answers, each a record error with a code of its own, never a score.

The SDK's judge engine answers a request that failed (a time-out, a server that kept
failing) with a *failure text*: :func:`failure_text` writes it, :func:`read_failure` reads
it back. The judge providers turn it into the record's error, so the judge libraries in
between (which expect one answer text per prompt) see no exception and the other verdicts
of the run stand.

Codes of answers the judge gave but whose verdict could not be read (``UNREADABLE_CODES``):
``UNPARSEABLE_VERDICT`` (criteria), ``EMPTY_JUDGE_ANSWER``, ``UNREADABLE_JUDGE_ANSWER`` and
``OUT_OF_SCALE_JUDGE_ANSWER`` (template-library judges). Codes of answers that never came:
``JUDGE_TIMEOUT`` and ``JUDGE_REQUEST_FAILED``.
"""

from __future__ import annotations

import math
import re
from typing import Any

TIMEOUT = "JUDGE_TIMEOUT"
REQUEST_FAILED = "JUDGE_REQUEST_FAILED"
EMPTY = "EMPTY_JUDGE_ANSWER"
UNREADABLE = "UNREADABLE_JUDGE_ANSWER"
OUT_OF_SCALE = "OUT_OF_SCALE_JUDGE_ANSWER"
UNPARSEABLE_VERDICT = "UNPARSEABLE_VERDICT"
UNREADABLE_CODES = frozenset({UNPARSEABLE_VERDICT, EMPTY, UNREADABLE, OUT_OF_SCALE})

QUOTED_ANSWER = 200

# What the aggregate's error says after "N of M ", per code.
LOST = {
    TIMEOUT: "judge requests timed out",
    REQUEST_FAILED: "judge requests failed",
    EMPTY: "judge answers were empty",
    UNREADABLE: "judge answers could not be read as a rating",
    OUT_OF_SCALE: "judge answers gave a rating outside the template's scale",
}
_LOST_TAIL = "; those records have no value and are left out of the aggregate."

_FAILURE_PREFIX = "[zentrix judge failure]"
_FAILURE_RE = re.compile(re.escape(_FAILURE_PREFIX) + r" ([A-Z_]+): ([^\n`]*)")
# unitxt's take_first_word: a number, or else a word.
_FIRST_WORD = re.compile(r"([-]*[0-9]+(\.([0-9]+))*)|([\w]+)")
_VERBAL_CLASSES = ("not", "somewhat", "mostly", "completely")
_RATING_SCALE = (0.0, 10.0)


def failure_text(code: str, message: str) -> str:
    """The answer text that stands for a request that brought no answer."""
    return f"{_FAILURE_PREFIX} {code}: {' '.join(message.split())}"


def read_failure(text: Any) -> tuple[str, str] | None:
    """``(code, message)`` of a failure text anywhere in ``text``, else None."""
    if not isinstance(text, str) or _FAILURE_PREFIX not in text:
        return None
    match = _FAILURE_RE.search(text)
    return (match.group(1), match.group(2).strip()) if match else None


def quoted(answer: Any) -> str:
    """An answer as an error message repeats it: at most 200 characters."""
    text = answer if isinstance(answer, str) else repr(answer)
    return text if len(text) <= QUOTED_ANSWER else text[:QUOTED_ANSWER] + "..."


def _error(code: str, reason: str, answer: Any) -> tuple[str, str]:
    return code, f"{reason}; the record has no value. The answer was: {quoted(answer)}"


def failure_error(code: str, message: str) -> tuple[str, str]:
    """The record error of a request that brought no answer."""
    return code, f"{message.rstrip('.')}; the record has no value."


def check_template_answer(metric_name: str, answer: Any) -> tuple[str, str] | None:
    """None when a template-library judge's raw answer holds a verdict on its template's
    scale; otherwise the record error ``(code, message)``.

    ``faithfulness`` answers with a grade ("Completely grounded" ... "Not grounded"); the
    other judge metrics with a rating from 0 to 10. Both are read as the templates read
    them: the first number or word of the answer.
    """
    failed = read_failure(answer)
    if failed is not None:
        return failure_error(*failed)
    if answer is None or (isinstance(answer, str) and not answer.strip()):
        return _error(EMPTY, "The judge's answer was empty", answer if answer else "")
    if not isinstance(answer, str):
        return _error(UNREADABLE, "The judge's answer was not text", answer)
    match = _FIRST_WORD.search(answer)
    first = answer[match.start() : match.end()] if match else ""
    if metric_name == "faithfulness":
        if any(first.lower().startswith(grade) for grade in _VERBAL_CLASSES):
            return None
        return _error(
            UNREADABLE,
            "The judge's answer could not be read as one of the grades Completely, Mostly, "
            "Somewhat or Not grounded",
            answer,
        )
    try:
        rating = float(first)
    except ValueError:
        return _error(
            UNREADABLE, "The judge's answer could not be read as a rating from 0 to 10", answer
        )
    low, high = _RATING_SCALE
    if not (math.isfinite(rating) and low <= rating <= high):
        return _error(
            OUT_OF_SCALE,
            f"The judge's rating {first} is outside the template's scale from 0 to 10",
            answer,
        )
    return None


def lost_message(code: str, lost: int, total: int) -> str:
    """The aggregate's error for ``lost`` of ``total`` records lost to ``code``: "N of M ..."."""
    return f"{lost} of {total} {LOST.get(code, 'judge answers could not be used')}{_LOST_TAIL}"
