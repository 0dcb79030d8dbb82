"""What a run's judge requests used and cost, in the run store.

- ``record_usage``: per record of a metric, the tokens its requests used (summed over
  every request of the record), how many were counted here rather than by the server,
  and their cost; committed with the record's result;
- ``unit_usage``: per unit, the same in all (requests no record can be told apart for
  included) and how the judge's rate held up (429/503 answers, the lowest concurrency);
- ``run_prices``: the price of each judge model the run used, and where it came from (or
  why it has none);
- ``spend_sessions``: per start or resume, its budget and what it spent in all, units it
  abandoned included, and whether the budget stopped it.
"""

from __future__ import annotations

import sqlite3
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import RunError

if TYPE_CHECKING:
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.spend.budget import Spend
    from zentrix_gov.spend.usage import Tokens, UnitSpend

_TOKENS = "requests INTEGER NOT NULL, input_tokens INTEGER NOT NULL, "
_TOKENS += "output_tokens INTEGER NOT NULL, counted INTEGER NOT NULL, cost REAL"


def store_spend(db: sqlite3.Connection) -> None:
    """The tables of judge usage, prices and spend (see the module)."""
    db.execute(
        f"""CREATE TABLE record_usage (run_id TEXT NOT NULL, metric TEXT NOT NULL,
        position INTEGER NOT NULL, {_TOKENS}, PRIMARY KEY (run_id, metric, position))
        WITHOUT ROWID"""
    )
    db.execute(
        f"""CREATE TABLE unit_usage (run_id TEXT NOT NULL, metric TEXT NOT NULL,
        chunk INTEGER NOT NULL, {_TOKENS}, rate_limited INTEGER NOT NULL,
        lowest_limit INTEGER, lowered_at TEXT, PRIMARY KEY (run_id, metric, chunk))
        WITHOUT ROWID"""
    )
    db.execute(
        """CREATE TABLE run_prices (run_id TEXT NOT NULL, model TEXT NOT NULL,
        input_per_mtok REAL, output_per_mtok REAL, source TEXT, reason TEXT,
        PRIMARY KEY (run_id, model))"""
    )
    db.execute(
        """CREATE TABLE spend_sessions (run_id TEXT NOT NULL, started TEXT NOT NULL,
        ended TEXT, budget_usd REAL, budget_tokens INTEGER, requests INTEGER NOT NULL,
        input_tokens INTEGER NOT NULL, output_tokens INTEGER NOT NULL, cost REAL,
        stopped INTEGER NOT NULL, in_flight_at_stop INTEGER, PRIMARY KEY (run_id, started))"""
    )


_SUMMED = ("requests", "input_tokens", "output_tokens", "counted")


def _tokens_row(tokens: Tokens) -> tuple[Any, ...]:
    return (tokens.requests, tokens.input, tokens.output, tokens.counted, tokens.cost)


def write_unit_usage(
    db: sqlite3.Connection, run_id: str, metric: str, chunk: int, spend: UnitSpend
) -> None:
    """Add a unit's usage, in the transaction that commits the unit (or one variant of it:
    a judge asked several ways stores each variant's requests as the variant is stored, so
    a resume that asks the rest adds to what the earlier ones spent)."""
    if not spend.total.requests and not spend.rate_limited:
        return
    added = ", ".join(f"{name} = {name} + excluded.{name}" for name in _SUMMED)
    cost = "cost = CASE WHEN cost IS NULL OR excluded.cost IS NULL THEN NULL "
    cost += "ELSE cost + excluded.cost END"
    db.execute(
        "INSERT INTO unit_usage VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
        f"ON CONFLICT DO UPDATE SET {added}, {cost}, "
        "rate_limited = rate_limited + excluded.rate_limited, "
        "lowest_limit = min(coalesce(lowest_limit, excluded.lowest_limit), "
        "coalesce(excluded.lowest_limit, lowest_limit)), "
        "lowered_at = min(coalesce(lowered_at, excluded.lowered_at), "
        "coalesce(excluded.lowered_at, lowered_at))",
        (
            run_id,
            metric,
            chunk,
            *_tokens_row(spend.total),
            spend.rate_limited,
            spend.lowest_limit,
            spend.lowered_at,
        ),
    )
    db.executemany(
        f"INSERT INTO record_usage VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
        f"ON CONFLICT DO UPDATE SET {added}, {cost}",
        (
            (run_id, metric, position, *_tokens_row(tokens))
            for position, tokens in sorted(spend.records.items())
        ),
    )


def write_session(store: RunStore, run_id: str, started: str, ended: str, spend: Spend) -> None:
    """Store what this start (or resume) of the run spent, and the prices it used."""
    from zentrix_gov.spend.prices import Price

    total = spend.total
    with store.owned_transaction(run_id) as db:
        db.execute(
            "INSERT OR REPLACE INTO spend_sessions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                run_id,
                started,
                ended,
                spend.budget_usd,
                spend.budget_tokens,
                total.requests,
                total.input,
                total.output,
                total.cost,
                int(spend.stopped),
                spend.in_flight_at_stop if spend.stopped else None,
            ),
        )
        for model, price in spend.prices.used().items():
            known = isinstance(price, Price)
            db.execute(
                "INSERT OR REPLACE INTO run_prices VALUES (?, ?, ?, ?, ?, ?)",
                (
                    run_id,
                    model,
                    price.input_per_mtok if known else None,
                    price.output_per_mtok if known else None,
                    price.source if known else None,
                    None if known else price.reason,
                ),
            )


@dataclass
class MetricSpend:
    """A metric's judge requests over the run's committed units."""

    requests: int = 0
    input: int = 0
    output: int = 0
    counted: int = 0
    cost: float | None = None  # None: some request's model had no price
    rate_limited: int = 0
    lowest_limit: int | None = None
    lowered_at: str | None = None

    @property
    def total(self) -> int:
        return self.input + self.output


@dataclass
class RunSpend:
    """A run's judge requests: per metric, in all, the prices, and every session."""

    metrics: dict[str, MetricSpend] = field(default_factory=dict)
    prices: dict[str, dict[str, Any]] = field(default_factory=dict)
    sessions: list[dict[str, Any]] = field(default_factory=list)

    @property
    def total(self) -> MetricSpend:
        total = MetricSpend(cost=0.0)
        for entry in self.metrics.values():
            total.requests += entry.requests
            total.input += entry.input
            total.output += entry.output
            total.counted += entry.counted
            total.rate_limited += entry.rate_limited
            if total.cost is not None:
                total.cost = None if entry.cost is None else total.cost + entry.cost
        return total


def run_spend(store: RunStore, run_id: str) -> RunSpend:
    """What the store holds about the run's judge requests."""
    spend = RunSpend()
    rows = store.read(
        "SELECT metric, sum(requests), sum(input_tokens), sum(output_tokens), sum(counted), "
        "sum(cost), sum(cost IS NULL AND requests > 0), sum(rate_limited), min(lowest_limit), "
        "min(lowered_at) FROM unit_usage WHERE run_id = ? GROUP BY metric",
        (run_id,),
    )
    for metric, requests, used_in, used_out, counted, cost, unpriced, limited, low, at in rows:
        priced = None if unpriced else cost or 0.0
        spend.metrics[metric] = MetricSpend(
            requests, used_in, used_out, counted, priced, limited, low, at
        )
    for model, price_in, price_out, source, reason in store.read(
        "SELECT model, input_per_mtok, output_per_mtok, source, reason FROM run_prices "
        "WHERE run_id = ? ORDER BY model",
        (run_id,),
    ):
        spend.prices[model] = {
            "input_per_mtok": price_in,
            "output_per_mtok": price_out,
            "source": source,
            "reason": reason,
        }
    names = ("started", "ended", "budget_usd", "budget_tokens", "requests", "input_tokens",
             "output_tokens", "cost", "stopped", "in_flight_at_stop")  # fmt: skip
    for row in store.read(
        f"SELECT {', '.join(names)} FROM spend_sessions WHERE run_id = ? ORDER BY started",
        (run_id,),
    ):
        spend.sessions.append(dict(zip(names, row, strict=True)))
    return spend


class BudgetStopped(RunError):
    """The run's budget stopped it: it is stored as ``interrupted`` with this reason, and
    resuming it (with a new budget) evaluates the rest."""

    def __init__(self, run_id: str, spend: Spend):
        self.run_id = run_id
        self.spend = spend
        usd, tokens = spend.overshoot
        beyond = []
        if usd:
            beyond.append(f"${usd:.4f}")
        if tokens:
            beyond.append(f"{tokens:,} tokens")
        past = (
            f"; the {spend.in_flight_at_stop} requests in flight at the stop spent "
            f"{' and '.join(beyond)} beyond it"
            if beyond
            else ""
        )
        super().__init__(f"budget reached: {spend.describe()}{past}")


def budget_stop(run_id: str, spend: Spend) -> BudgetStopped | None:
    """The budget stop a run's failure stands for once the budget refused a request (its
    units could not send what they needed), else None."""
    return BudgetStopped(run_id, spend) if spend.stopped else None


def format_cost(cost: float | None) -> str:
    """Dollars as the tables show them ("-": no price)."""
    if cost is None:
        return "-"
    if cost == 0:
        return "$0"
    return f"${cost:.4f}" if cost < 1 else f"${cost:,.2f}"


def spend_cells(spend: MetricSpend | None) -> tuple[str, str]:
    """The tokens and cost cells of a metric: tokens as the server counted them, with "*"
    when some were counted here; "-" for a metric that asked no judge."""
    if spend is None:
        return "-", "-"
    tokens = f"{spend.total:,}" + ("*" if spend.counted else "")
    return tokens, format_cost(spend.cost)


def _sessions_lines(spend: RunSpend) -> list[str]:
    """What every start and resume spent in all, when that is more than the stored units
    hold (requests of units a budget or an interruption left for the resume), and the
    budget stops."""
    sessions = spend.sessions
    requests = sum(session["requests"] for session in sessions)
    lines = []
    if requests != spend.total.requests:
        tokens = sum(session["input_tokens"] + session["output_tokens"] for session in sessions)
        costs = [session["cost"] for session in sessions if session["requests"]]
        cost = None if None in costs else sum(costs)
        lines.append(
            f"in all, over the start and {len(sessions) - 1} resume(s): {requests:,} requests, "
            f"{tokens:,} tokens, {format_cost(cost)} (units left for a resume included)"
        )
    for session in sessions:
        if session["stopped"]:
            budget = [f"${session['budget_usd']:g}"] if session["budget_usd"] is not None else []
            if session["budget_tokens"] is not None:
                budget.append(f"{session['budget_tokens']:,} tokens")
            lines.append(
                f"the budget of {' and '.join(budget)} stopped the start of "
                f"{session['started']} with {session['in_flight_at_stop']} requests in flight"
            )
    return lines


def spend_lines(store: RunStore, run_id: str) -> list[str]:
    """What the summary table's tokens and cost columns rest on, and how the judge's rate
    held up: lines to show with it (none for a run that asked no judge)."""
    spend = run_spend(store, run_id)
    if not spend.metrics and not any(session["requests"] for session in spend.sessions):
        return []
    total = spend.total
    lines = _sessions_lines(spend)
    lines[:0] = [
        f"judge: {total.requests:,} requests, {total.input:,} tokens in and {total.output:,} "
        f"out, {format_cost(total.cost)}; tokens as the judge's server counted them"
        + (
            f" ({total.counted:,} requests' counted here with cl100k_base, marked *: the "
            "server sent no usage)"
            if total.counted
            else ""
        )
    ]
    for model, price in spend.prices.items():
        if price["reason"]:
            lines.append(f"cost of {model}: unknown: {price['reason']}")
        else:
            lines.append(
                f"price of {model}: ${price['input_per_mtok']:g} in, "
                f"${price['output_per_mtok']:g} out per million tokens ({price['source']})"
            )
    for name, entry in spend.metrics.items():
        if entry.lowest_limit is not None:
            lines.append(
                f"{name}: the judge answered {entry.rate_limited:,} requests 429/503; its "
                f"concurrency was lowered first at {entry.lowered_at}, down to "
                f"{entry.lowest_limit} request{'s' * (entry.lowest_limit != 1)} at once at "
                "the lowest"
            )
        elif entry.rate_limited:
            lines.append(f"{name}: the judge answered {entry.rate_limited:,} requests 429/503")
    return lines
