"""What a judge model's tokens cost, per million tokens in and out.

Where a price comes from, first match wins:

1. ``--judge-price IN,OUT`` (:func:`parse_price`): every judge model of the run;
2. a prices file (:func:`read_prices_file`): JSON mapping model names to ``"IN,OUT"``,
   ``[IN, OUT]`` or ``{"input_per_mtok": IN, "output_per_mtok": OUT}``;
3. a local model (the local judge service, the packaged local model): 0;
4. litellm's price map, the copy the installed litellm ships
   (``model_prices_and_context_window_backup.json``), read from disk: litellm is not
   imported and the network never asked. A model is found under its own name, or under
   ``provider/name`` when the map files ``name`` under that provider;
5. otherwise no price, with the reason: a cost is never guessed.
"""

from __future__ import annotations

import importlib.util
import json
import math
import threading
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from functools import cache
from importlib import metadata
from pathlib import Path
from typing import Any

PRICE_MAP_FILE = "model_prices_and_context_window_backup.json"
MILLION = 1_000_000


@dataclass(frozen=True)
class Price:
    """US dollars per million tokens sent (``input``) and received (``output``)."""

    input_per_mtok: float
    output_per_mtok: float
    source: str

    def cost(self, input_tokens: int, output_tokens: int) -> float:
        return (input_tokens * self.input_per_mtok + output_tokens * self.output_per_mtok) / MILLION


@dataclass(frozen=True)
class NoPrice:
    """A model without a price, and why."""

    reason: str


class PriceError(ValueError):
    """A price or a prices file that cannot be read."""


def parse_price(text: str, source: str = "--judge-price") -> Price:
    """``"IN,OUT"``: dollars per million input and output tokens (each a number >= 0)."""
    parts = [part.strip() for part in str(text).split(",")]
    if len(parts) != 2:
        raise PriceError(f"expected IN_PER_MTOK,OUT_PER_MTOK (two numbers), got {text!r}")
    return _price(parts, source, text)


def _price(values: Iterable[Any], source: str, shown: Any) -> Price:
    numbers = []
    for value in values:
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise PriceError(f"not a price: {shown!r} ({source})") from None
        if not math.isfinite(number) or number < 0:
            raise PriceError(f"a price is a number >= 0, not {value!r} ({source})")
        numbers.append(number)
    return Price(numbers[0], numbers[1], source)


def read_prices_file(path: str | Path) -> dict[str, Price]:
    """The prices of a JSON file mapping model names to prices (see the module)."""
    source = f"prices file {path}"
    try:
        document = json.loads(Path(path).read_text(encoding="utf-8"))
    except OSError as exc:
        raise PriceError(f"cannot read the prices file {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise PriceError(f"the prices file {path} is not JSON: {exc}") from None
    if not isinstance(document, dict):
        raise PriceError(f"the prices file {path} must map model names to prices")
    prices = {}
    for model, value in document.items():
        if isinstance(value, str):
            prices[model] = parse_price(value, source)
        elif isinstance(value, list | tuple) and len(value) == 2:
            prices[model] = _price(value, source, value)
        elif isinstance(value, dict) and {"input_per_mtok", "output_per_mtok"} <= set(value):
            prices[model] = _price(
                (value["input_per_mtok"], value["output_per_mtok"]), source, value
            )
        else:
            raise PriceError(
                f'{source}: the price of {model!r} must be "IN,OUT", [IN, OUT] or '
                '{"input_per_mtok": IN, "output_per_mtok": OUT}'
            )
    return prices


@cache
def _price_map() -> tuple[dict[str, Any], str]:
    """litellm's bundled price map and the version of litellm it came with."""
    found = importlib.util.find_spec("litellm")
    if found is None or found.origin is None:
        return {}, ""
    path = Path(found.origin).parent / PRICE_MAP_FILE
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}, ""
    try:
        version = metadata.version("litellm")
    except metadata.PackageNotFoundError:
        version = "?"
    return (document if isinstance(document, dict) else {}), version


def litellm_price(model: str) -> Price | NoPrice:
    """The price litellm's bundled map gives ``model``."""
    table, version = _price_map()
    if not table:
        return NoPrice("litellm's price map is not installed")
    entry = table.get(model)
    if entry is None and "/" in model:
        provider, _, name = model.partition("/")
        candidate = table.get(name)
        if isinstance(candidate, dict) and candidate.get("litellm_provider") == provider:
            entry = candidate
    if not isinstance(entry, dict) or model == "sample_spec":
        return NoPrice(f"litellm's price map has no model {model!r}")
    try:
        per_token = (float(entry["input_cost_per_token"]), float(entry["output_cost_per_token"]))
    except (KeyError, TypeError, ValueError):
        return NoPrice(f"litellm's price map gives {model!r} no price per token")
    return Price(per_token[0] * MILLION, per_token[1] * MILLION, f"litellm {version} price map")


LOCAL_PRICE = Price(0.0, 0.0, "local model")


class PriceBook:
    """The prices of a run's judge models (see the module for the order), each looked up
    once; :meth:`used` lists those asked for."""

    def __init__(
        self,
        every_model: Price | None = None,
        by_model: Mapping[str, Price] | None = None,
        local_models: Iterable[str] = (),
    ):
        self.every_model = every_model
        self.by_model = dict(by_model or {})
        self.local_models = set(local_models)
        self._found: dict[str, Price | NoPrice] = {}
        self._lock = threading.Lock()

    def price(self, model: str) -> Price | NoPrice:
        with self._lock:
            found = self._found.get(model)
        if found is not None:
            return found
        if self.every_model is not None:
            found = self.every_model
        elif model in self.by_model:
            found = self.by_model[model]
        elif model in self.local_models:
            found = LOCAL_PRICE
        else:
            found = litellm_price(model)
            if isinstance(found, NoPrice):
                found = NoPrice(f"{found.reason}: give --judge-price IN,OUT or a prices file")
        with self._lock:
            return self._found.setdefault(model, found)

    def cost(self, model: str, input_tokens: int, output_tokens: int) -> float | None:
        """The cost of tokens of ``model`` (None: it has no price)."""
        price = self.price(model)
        return price.cost(input_tokens, output_tokens) if isinstance(price, Price) else None

    def used(self) -> dict[str, Price | NoPrice]:
        with self._lock:
            return dict(self._found)

    def learn(self, found: Mapping[str, Price | NoPrice]) -> None:
        """Take the prices another process of the run looked up (a Ray worker's)."""
        with self._lock:
            for model, price in found.items():
                self._found.setdefault(model, price)

    def __reduce__(self) -> tuple[Any, ...]:
        # A Ray worker gets the book without its lock (and looks prices up again).
        return (PriceBook, (self.every_model, self.by_model, self.local_models))
