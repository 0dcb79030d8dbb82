"""What one run (one command: a start or a resume) spends on judge requests, and its budget.

The run sets its :class:`Spend` for its units (:func:`spending`); the SDK's judge engine
asks it before each request (:meth:`Spend.reserve`) and tells it what the request used
(:meth:`Reservation.settle`). A request is sent only when what was spent, what the
requests in flight may still spend and what this one may spend (its prompt's tokens and
the answer cap) all fit in the budget; the first that does not stops the run's sending for
good (:class:`BudgetReached`), and the run stops once its requests in flight are done. What
they then spend beyond the budget, at most their own cost, is :attr:`Spend.overshoot`.
"""

from __future__ import annotations

import contextvars
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

from zentrix_gov.spend.prices import PriceBook
from zentrix_gov.spend.usage import Tokens

# Tokens a chat request takes beyond its messages' text (roles, separators), and the
# answer allowance of a request sent without a cap.
FRAMING_TOKENS = 16
UNCAPPED_ANSWER = 4096


class BudgetReached(Exception):
    """The next judge request could pass the run's budget: it was not sent."""


@dataclass
class Reservation:
    """What one request may spend, held until it is settled."""

    spend: Spend
    model: str
    usd: float
    tokens: int

    def settle(self, used: Tokens | None) -> None:
        """The request is over: ``used`` is what it used (None: nothing known)."""
        self.spend._settle(self, used)


class Spend:
    """The judge requests of one run: their totals, their prices and the budget (dollars,
    tokens, or neither)."""

    def __init__(
        self,
        prices: PriceBook | None = None,
        *,
        budget_usd: float | None = None,
        budget_tokens: int | None = None,
    ):
        self.prices = prices or PriceBook()
        self.budget_usd = budget_usd
        self.budget_tokens = budget_tokens
        self.total = Tokens()
        self._lock = threading.Lock()
        self._reserved_usd = 0.0
        self._reserved_tokens = 0
        self.in_flight = 0
        self.stopped = False
        self.in_flight_at_stop = 0
        self.refusals = 0

    @property
    def budgeted(self) -> bool:
        return self.budget_usd is not None or self.budget_tokens is not None

    def cost(self, model: str, input_tokens: int, output_tokens: int) -> float | None:
        return self.prices.cost(model, input_tokens, output_tokens)

    def reserve(self, model: str, prompt_tokens: int, max_tokens: int | None) -> Reservation:
        """Hold what a request of ``model`` may spend, or raise :class:`BudgetReached`."""
        tokens = prompt_tokens + FRAMING_TOKENS + (max_tokens or UNCAPPED_ANSWER)
        usd = self.cost(model, prompt_tokens + FRAMING_TOKENS, max_tokens or UNCAPPED_ANSWER)
        with self._lock:
            if self.budgeted and (self.stopped or not self._fits(usd, tokens)):
                if not self.stopped:
                    self.stopped = True
                    self.in_flight_at_stop = self.in_flight
                self.refusals += 1
                raise BudgetReached(self.describe())
            self._reserved_usd += usd or 0.0
            self._reserved_tokens += tokens
            self.in_flight += 1
        return Reservation(self, model, usd or 0.0, tokens)

    def _fits(self, usd: float | None, tokens: int) -> bool:
        held = self.total.total + self._reserved_tokens + tokens
        if self.budget_tokens is not None and held > self.budget_tokens:
            return False
        if self.budget_usd is not None and usd is not None:
            spent = self.total.cost or 0.0
            if spent + self._reserved_usd + usd > self.budget_usd:
                return False
        return True

    def _settle(self, reservation: Reservation, used: Tokens | None) -> None:
        with self._lock:
            self._reserved_usd -= reservation.usd
            self._reserved_tokens -= reservation.tokens
            self.in_flight -= 1
            if used is not None:
                self.total.add(used)

    def record(self, used: Tokens) -> None:
        """Requests that used ``used`` without a reservation (a budget is not asked)."""
        with self._lock:
            self.total.add(used)

    @property
    def overshoot(self) -> tuple[float, int]:
        """Dollars and tokens spent beyond the budget (0 within it)."""
        with self._lock:
            usd = tokens = 0
            if self.budget_usd is not None and self.total.cost is not None:
                usd = max(0.0, self.total.cost - self.budget_usd)
            if self.budget_tokens is not None:
                tokens = max(0, self.total.total - self.budget_tokens)
            return usd, tokens

    def describe(self) -> str:
        """What was spent, against the budget."""
        parts = []
        cost = self.total.cost
        if self.budget_usd is not None:
            shown = "an unknown amount" if cost is None else f"${cost:.4f}"
            parts.append(f"{shown} of the ${self.budget_usd:g} budget")
        elif cost is not None and self.total.requests:
            parts.append(f"${cost:.4f}")
        tokens = f"{self.total.total:,} tokens"
        if self.budget_tokens is not None:
            tokens += f" of the {self.budget_tokens:,}-token budget"
        parts.append(tokens)
        return f"spent {' and '.join(parts)} on {self.total.requests:,} judge requests"


_SPEND: contextvars.ContextVar[Spend | None] = contextvars.ContextVar(
    "zentrix_run_spend", default=None
)


def current_spend() -> Spend | None:
    """The spend of the run whose units run in this context, if any."""
    return _SPEND.get()


@contextmanager
def spending(spend: Spend | None) -> Iterator[Spend | None]:
    """Count (and bound) the judge requests made in this context by ``spend``."""
    token = _SPEND.set(spend)
    try:
        yield spend
    finally:
        _SPEND.reset(token)
