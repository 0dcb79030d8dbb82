"""What the judge engine tells the run about its requests: the tokens each one used (the
reply's ``usage``, or counted here when the server gives none), the batches it answered
for the unit in progress, the budget it asks before sending, and the prompts it would have
sent when a run is only estimated (:func:`capturing_prompts`).
"""

from __future__ import annotations

import contextvars
from collections import defaultdict, deque
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

from zentrix_gov.spend.budget import Reservation, Spend, current_spend
from zentrix_gov.spend.usage import Tokens, UnitUsage, count_tokens, current_unit

_CAPTURED: contextvars.ContextVar[list[tuple[str, str]] | None] = contextvars.ContextVar(
    "zentrix_captured_prompts", default=None
)


@contextmanager
def capturing_prompts() -> Iterator[list[tuple[str, str]]]:
    """Within the block, the SDK's judge engines send nothing: they note each prompt (with
    the model it was for) and answer every one with a failure text."""
    captured: list[tuple[str, str]] = []
    token = _CAPTURED.set(captured)
    try:
        yield captured
    finally:
        _CAPTURED.reset(token)


def captured_prompts() -> list[tuple[str, str]] | None:
    return _CAPTURED.get()


@dataclass
class JudgeCall:
    """One ``infer`` of the engine: the run's spend and unit, and what each prompt's
    request used, in the order they were answered."""

    spend: Spend | None = None
    unit: UnitUsage | None = None
    used: dict[str, deque[Tokens]] = field(default_factory=lambda: defaultdict(deque))

    @classmethod
    def current(cls) -> JudgeCall:
        return cls(current_spend(), current_unit())

    def reserve(self, model: str, prompt: str, max_tokens: int | None) -> Reservation | None:
        """The budget's leave to send the request (raises BudgetReached), when the run has
        a budget."""
        if self.spend is None or not self.spend.budgeted:
            return None
        try:
            return self.spend.reserve(model, count_tokens(prompt), max_tokens)
        except Exception:
            if self.unit is not None:
                self.unit.refused = True
            raise

    def answered(
        self,
        model: str,
        prompt: str,
        answer: str,
        usage: dict[str, Any],
        reservation: Reservation | None,
    ) -> Tokens:
        """Record what the request of ``prompt`` used: the reply's ``usage``, or tokens
        counted here."""
        given = usage.get("prompt_tokens"), usage.get("completion_tokens")
        counted = not all(isinstance(value, int) and value >= 0 for value in given)
        if counted:
            given = count_tokens(prompt), count_tokens(answer)
        cost = self.spend.cost(model, given[0], given[1]) if self.spend is not None else None
        tokens = Tokens(1, int(given[0]), int(given[1]), int(counted), cost)
        if reservation is not None:
            reservation.settle(tokens)
        elif self.spend is not None:
            self.spend.record(tokens)
        self.used[prompt].append(tokens)
        return tokens

    def report(self, prompts: Sequence[str], answers: Sequence[Any]) -> None:
        """Give the unit the batch: each prompt's answer and what its request used (None
        when no request was sent for it)."""
        if self.unit is None:
            return
        texts = [answer if isinstance(answer, str) else getattr(answer, "prediction", None)
                 for answer in answers]  # fmt: skip
        used = [self.used[prompt].popleft() if self.used.get(prompt) else None
                for prompt in prompts]  # fmt: skip
        self.unit.add_batch(prompts, texts, used)
