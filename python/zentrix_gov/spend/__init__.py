"""Spend of judge requests: tokens as the server counted them, prices, and budgets.

- :mod:`.prices`: what a model's tokens cost (litellm's bundled price map, overrides, local
  models at 0);
- :mod:`.usage`: the tokens each record's requests used, collected per unit;
- :mod:`.budget`: what a run spends, and the budget that stops it.
"""

from zentrix_gov.spend.budget import BudgetReached, Spend, current_spend, spending
from zentrix_gov.spend.prices import NoPrice, Price, PriceBook, parse_price, read_prices_file
from zentrix_gov.spend.usage import Tokens, UnitSpend, count_tokens, current_unit, unit_usage

__all__ = [
    "BudgetReached",
    "NoPrice",
    "Price",
    "PriceBook",
    "Spend",
    "Tokens",
    "UnitSpend",
    "count_tokens",
    "current_spend",
    "current_unit",
    "parse_price",
    "read_prices_file",
    "spending",
    "unit_usage",
]
