"""Tokens the judge's requests used, as the server counted them, per record of a unit.

The SDK's judge engine reports every batch the judge library asks of it to the unit it
runs for (:func:`current_unit`, set by the executor around a unit's evaluation): the
prompts, the answers and what each request used (``usage`` of the reply; counted here
with the criteria judge's tokenizer when the reply has none, and marked so). The unit
then gives each record what its requests used, summed:

- a batch of one prompt per record the unit evaluates is the records' in order (a
  judge's verdicts, a repeat of them, another juror's);
- any other batch (the judge library asking again for an answer it could not read) is
  given to the record whose earlier answer its prompt quotes; a request that quotes
  none counts in the unit's totals only.
"""

from __future__ import annotations

import contextvars
import re
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

# Shortest answer text a repair prompt is matched on (a bare "Yes" would match anything).
_QUOTED_AT_LEAST = 16
_ESCAPES = re.compile(r"\\[nrt]")
_NOT_WORD = re.compile(r"[^0-9a-z]+")


@dataclass
class Tokens:
    """What some judge requests used. ``counted``: requests whose tokens were counted
    here because the server's reply said nothing; ``cost`` None: some model had no
    price."""

    requests: int = 0
    input: int = 0
    output: int = 0
    counted: int = 0
    cost: float | None = 0.0

    @property
    def total(self) -> int:
        return self.input + self.output

    def add(self, other: Tokens) -> Tokens:
        self.requests += other.requests
        self.input += other.input
        self.output += other.output
        self.counted += other.counted
        self.cost = None if self.cost is None or other.cost is None else self.cost + other.cost
        return self


def request_tokens(
    input_tokens: int, output_tokens: int, counted: bool, cost: float | None
) -> Tokens:
    """The :class:`Tokens` of one request."""
    return Tokens(1, input_tokens, output_tokens, int(counted), cost)


def count_tokens(text: str) -> int:
    """Tokens of ``text`` with the criteria judge's tokenizer (tiktoken's cl100k_base, from
    the copy litellm ships); special-token text counts as ordinary text."""
    return len(_encoding().encode_ordinary(text))


_encoding_lock = threading.Lock()
_ENCODING: Any = None


def _encoding() -> Any:
    global _ENCODING
    with _encoding_lock:
        if _ENCODING is None:
            from zentrix_gov.utils.tokens import ENCODING_NAME, offline_tiktoken

            _ENCODING = offline_tiktoken().get_encoding(ENCODING_NAME)
        return _ENCODING


@dataclass
class UnitSpend:
    """A unit's judge requests, stored with it: per record (by position), in all, and how
    the judge's rate held up."""

    records: dict[int, Tokens] = field(default_factory=dict)
    total: Tokens = field(default_factory=Tokens)
    rate_limited: int = 0  # answers of 429 or 503
    lowest_limit: int | None = None  # the judge's concurrency, when lowered during the unit
    lowered_at: str | None = None  # when first lowered, ISO-8601
    refused: bool = False  # a request was not sent: the budget would have been passed


class UnitUsage:
    """The judge requests of one unit, reported by the engines as they answer."""

    def __init__(self, records: int):
        self.records = records
        self._lock = threading.Lock()
        self._by_record: dict[int, Tokens] = {}
        self._total = Tokens()
        self._owners: list[tuple[str, int]] = []  # (answer's words, record) of answers seen
        self.rate_limited = 0
        self.lowest_limit: int | None = None
        self.lowered_at: float | None = None
        self.refused = False

    def add_batch(
        self, prompts: Sequence[str], answers: Sequence[str | None], used: Sequence[Tokens | None]
    ) -> None:
        """One batch of the judge library: each prompt, its answer and what its request
        used (None: no request, e.g. an answer from the cache)."""
        with self._lock:
            in_order = len(prompts) == self.records
            owners = []
            entries = zip(prompts, answers, used, strict=True)
            for index, (prompt, answer, tokens) in enumerate(entries):
                owner = index if in_order else self._quoted(prompt)
                if owner is not None and answer:
                    owners.append((_words(answer), owner))
                if tokens is None:
                    continue
                self._total.add(tokens)
                if owner is not None:
                    self._by_record.setdefault(owner, Tokens()).add(tokens)
            self._owners += [entry for entry in owners if len(entry[0]) >= _QUOTED_AT_LEAST]

    def _quoted(self, prompt: str) -> int | None:
        words = _words(prompt)
        for answer, owner in reversed(self._owners):
            if answer in words:
                return owner
        return None

    def limited(self, limit: int, lowered: bool) -> None:
        """The judge answered 429 or 503; ``lowered``: its concurrency went down to ``limit``."""
        with self._lock:
            self.rate_limited += 1
            if lowered and (self.lowest_limit is None or limit < self.lowest_limit):
                self.lowest_limit = limit
                self.lowered_at = self.lowered_at or time.time()

    def spend(self, positions: Sequence[int]) -> UnitSpend:
        """What the unit stores: ``positions`` are the run positions of the records it
        evaluated, in order."""
        from datetime import datetime

        with self._lock:
            records = {positions[index]: tokens for index, tokens in self._by_record.items()}
            lowered = (
                datetime.fromtimestamp(self.lowered_at).astimezone().isoformat(timespec="seconds")
                if self.lowered_at is not None
                else None
            )
            return UnitSpend(
                records,
                self._total,
                self.rate_limited,
                self.lowest_limit,
                lowered,
                self.refused,
            )


def _words(text: str) -> str:
    return _NOT_WORD.sub("", _ESCAPES.sub(" ", text.lower()))


_UNIT: contextvars.ContextVar[UnitUsage | None] = contextvars.ContextVar(
    "zentrix_unit_usage", default=None
)


def current_unit() -> UnitUsage | None:
    """The unit whose evaluation is running in this context, if any."""
    return _UNIT.get()


@contextmanager
def unit_usage(records: int) -> Iterator[UnitUsage]:
    """Collect the judge requests of a unit that evaluates ``records`` records."""
    usage = UnitUsage(records)
    token = _UNIT.set(usage)
    try:
        yield usage
    finally:
        _UNIT.reset(token)
