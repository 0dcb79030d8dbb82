"""The ``evaluate`` options about spend: prices, budgets and ``--estimate``; and the lines
that say what a run spent.

Prices (``--judge-price``, ``--judge-prices``) are stored with the run, so a resume prices
its requests alike unless told otherwise. A budget (``--budget-usd``, ``--budget-tokens``)
bounds what one command spends: ``--resume RUN_ID --budget-usd Y`` continues with a new
one. ``--estimate`` plans the run, builds the prompts of a sample of its records, prints
what it would ask and cost, and ends: no request is sent and no run is stored.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import TYPE_CHECKING, Any, TextIO

from zentrix_gov.cli.argtypes import positive_int, positive_number
from zentrix_gov.cli.errors import UsageError

if TYPE_CHECKING:
    from zentrix_gov.runs.plans import RunPlan
    from zentrix_gov.runs.store import RunRecord, RunStore
    from zentrix_gov.spend import PriceBook, Spend

# Options stored with the run (how its requests are priced and paced).
STORED = ("judge_price", "judge_prices", "judge_fixed_concurrency")
# Placeholders of a judge an estimate never asks.
_NOWHERE = "http://judge.example/v1"


def add_spend_options(parser: argparse.ArgumentParser) -> None:
    """Add the spend options to the ``evaluate`` command."""
    group = parser.add_argument_group(
        "spend", "judge tokens and cost are stored with every run (see 'runs show')"
    )
    group.add_argument(
        "--estimate",
        action="store_true",
        help="print, per judged metric, the judge requests, prompt tokens (counted from the "
        "prompts of a sample of records), an answer allowance of --judge-max-tokens and the "
        "cost range, then stop: no request is sent and no run is stored",
    )
    group.add_argument(
        "--budget-usd",
        type=positive_number,
        metavar="X",
        help="stop sending judge requests once the next ones could take the spend past X "
        "dollars; the run stops as interrupted and --resume continues it (with a new budget). "
        "Local executor only: refused with --executor ray",
    )
    group.add_argument(
        "--budget-tokens",
        type=positive_int,
        metavar="N",
        help="the same for N judge tokens (prompts and answers); local executor only",
    )
    group.add_argument(
        "--judge-price",
        type=_price_text,
        metavar="IN,OUT",
        help="dollars per million tokens sent and received, for every judge model (default: "
        "litellm's price map; the local judges cost 0)",
    )
    group.add_argument(
        "--judge-prices",
        metavar="FILE",
        help='JSON file of prices by model: {"MODEL": "IN,OUT", ...}',
    )
    group.add_argument(
        "--judge-fixed-concurrency",
        action="store_true",
        help="keep --max-concurrency judge requests at once whatever the judge answers "
        "(default: halve on 429 or 503, grow back by one after a stretch of successes)",
    )


def _price_text(text: str) -> str:
    from zentrix_gov.spend import parse_price
    from zentrix_gov.spend.prices import PriceError

    try:
        parse_price(text)
    except PriceError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def price_book(args: argparse.Namespace, local_models: set[str]) -> PriceBook:
    """The run's prices, from the options (``local_models`` cost 0 unless overridden)."""
    from zentrix_gov.spend import PriceBook, parse_price, read_prices_file
    from zentrix_gov.spend.prices import PriceError

    try:
        every = parse_price(args.judge_price) if getattr(args, "judge_price", None) else None
        files = getattr(args, "judge_prices", None)
        by_model = read_prices_file(files) if files else {}
    except PriceError as exc:
        raise UsageError(str(exc)) from None
    return PriceBook(every, by_model, local_models)


def run_spend(args: argparse.Namespace, judge: Any) -> Spend:
    """The spend of this command's run: its prices and budget. A dollar budget needs the
    judge model's price, checked before any request."""
    from zentrix_gov.cli.judge import JUDGE_KINDS, judge_url
    from zentrix_gov.spend import NoPrice, Spend

    model = judge.model.model_id if judge is not None else None
    local = {model} if model and judge_url(args) in JUDGE_KINDS else set()
    prices = price_book(args, local)
    if args.budget_usd is not None and model is not None:
        price = prices.price(model)
        if isinstance(price, NoPrice):
            raise UsageError(f"--budget-usd needs the judge's price: {price.reason}")
    return Spend(prices, budget_usd=args.budget_usd, budget_tokens=args.budget_tokens)


def check_spend_options(args: argparse.Namespace) -> None:
    """Budgets are kept by this process: not with the Ray executor."""
    budget = args.budget_usd is not None or args.budget_tokens is not None
    if budget and args.executor == "ray":
        raise UsageError(
            "--budget-usd and --budget-tokens are kept by the local executor; leave out "
            "--executor ray, or the budget"
        )


def print_estimate(plan: RunPlan, args: argparse.Namespace, out: TextIO) -> int:
    """Print the estimate of ``plan`` (see ``--estimate``); sends nothing, stores nothing."""
    from zentrix_gov.cli.judge import (
        DEFAULT_JUDGE_MAX_TOKENS,
        JUDGE_KINDS,
        LOCAL_MODEL,
        MODEL_VARIABLE,
        judge_for,
        judge_url,
        request_options,
    )
    from zentrix_gov.cli.tables import print_rows
    from zentrix_gov.runs.estimate import SAMPLE, estimate_run
    from zentrix_gov.runs.usage import format_cost

    if not plan.needs_judge():
        print("no metric of this run asks a judge: it sends no judge request", file=out)
        return 0
    import os

    url = judge_url(args)
    model = args.judge_model or os.environ.get(MODEL_VARIABLE)
    if url == "local-model":
        from zentrix_gov.local.model.server import MODEL_NAME

        model = MODEL_NAME
    model = model or (LOCAL_MODEL if url in JUDGE_KINDS else None)
    if model is None:
        raise UsageError(f"--estimate needs the judge's model: --judge-model or {MODEL_VARIABLE}")
    judge = judge_for(_NOWHERE, "estimate", model, request_options(args))
    plan.blueprint.configuration = plan.blueprint.configuration.model_copy(
        update={"llm_judge": judge}
    )
    max_tokens = args.judge_max_tokens or DEFAULT_JUDGE_MAX_TOKENS
    prices = price_book(args, {model} if url in JUDGE_KINDS else set())
    given = getattr(args, "jurors", None) or []
    jury = [juror_model or model for _, juror_model in given]
    if len(jury) > 1:
        local = {juror_model or model for where, juror_model in given if where in JUDGE_KINDS}
        prices = price_book(args, local)
    estimates = asyncio.run(estimate_run(plan, prices, max_tokens, jurors=jury))
    header = ("metric", "records", "requests", "prompt tokens", "answer allowance", "cost")
    rows = []
    for entry in estimates:
        cost = (
            f"{format_cost(entry.cost_low)} to {format_cost(entry.cost_high)}"
            if entry.cost_low is not None
            else "-"
        )
        counts = (entry.records, entry.requests, entry.prompt_tokens, entry.output_allowance)
        rows.append((entry.name, *(f"{count:,}" for count in counts), cost))
    print_rows(header, rows, out, right=range(1, len(header)))
    print(
        f"\nprompt tokens: counted with cl100k_base in the prompts the judge would get for up "
        f"to {SAMPLE} records of each metric; answer allowance: --judge-max-tokens "
        f"({max_tokens}) per request; cost: the prompts alone to the prompts and every "
        f"answer at the allowance, at {'; '.join(_priced(prices, m) for m in jury or [model])}"
        ". No request was sent and no run was stored.",
        file=out,
    )
    for entry in estimates:
        if entry.no_price:
            print(f"{entry.name}: no cost: {entry.no_price}", file=out)
    return 0


def _priced(prices: PriceBook, model: str) -> str:
    from zentrix_gov.spend import Price

    price = prices.price(model)
    if not isinstance(price, Price):
        return f"{model}: no price"
    return (
        f"{model}: ${price.input_per_mtok:g} in, ${price.output_per_mtok:g} out per million "
        f"tokens ({price.source})"
    )


def print_spend_notes(store: RunStore, run: RunRecord, out: TextIO | None = None) -> None:
    """Print what the run's judge requests spent, under its summary table."""
    from zentrix_gov.runs.usage import spend_lines

    lines = spend_lines(store, run.id)
    if lines:
        print("\n" + "\n".join(lines), file=out or sys.stdout, flush=True)


def listing_spend(store: RunStore, run: RunRecord) -> dict[str, Any]:
    """A run's tokens and cost, for ``runs --json``."""
    from zentrix_gov.runs.usage import run_spend

    spend = run_spend(store, run.id)
    total = spend.total
    unknown = [f"{model}: {price['reason']}" for model, price in spend.prices.items()
               if price["reason"]]  # fmt: skip
    return {
        "judge_requests": total.requests,
        "input_tokens": total.input,
        "output_tokens": total.output,
        "cost_usd": None if total.cost is None else round(total.cost, 6),
        # Why there is no cost: a model without a price (never a guess).
        "cost_unknown": "; ".join(unknown) if total.cost is None and unknown else None,
    }
