"""Evaluating a model's risks through the risk plug-in, and what the plug-in reports beyond
its result.

The native ``riskgauge._evaluate_model_risk`` builds the plug-in from the module attribute
``riskgauge.EvaluateFMRisk``, read when called. For the duration of a call that attribute
is a callable that builds the plug-in as before and keeps the instance for its caller, so
what the plug-in offers beyond its fixed calls (its failing answers, how many prompts it
asked) can be read afterwards when present. Calls may run at once from several threads:
each keeps only the instances built in its own context.
"""

from __future__ import annotations

import contextlib
import contextvars
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from zentrix_gov.entities.errors import ModelRiskArgumentsError

ANSWER_TEXT_LIMIT = 2_000

_built: contextvars.ContextVar[list[Any] | None] = contextvars.ContextVar(
    "risk_plugins_built", default=None
)
_lock = threading.Lock()
_substitution: dict[str, Any] = {"original": None, "installed": None, "calls": 0}


@dataclass(frozen=True)
class FailingAnswer:
    """One answer the plug-in judged as failing."""

    risk: str
    benchmark: str
    prompt: str
    answer: str
    reason: str


@dataclass(frozen=True)
class ModelRiskEvaluation:
    """The result of :func:`evaluate_model_risk`.

    ``failing_answers`` and ``prompt_count`` are None when the plug-in does not report them.
    """

    result: Any  # ModelRiskResult
    failing_answers: tuple[FailingAnswer, ...] | None
    prompt_count: int | None


def evaluate_model_risk(configuration: Any, api_client: Any = None) -> ModelRiskEvaluation:
    """Runs the risk plug-in on the configured model (writing the PDF report when the
    configuration names a path) and returns its result with what the plug-in reports.

    Raises ``ModelRiskArgumentsError`` (a ValueError) when the plug-in refuses the
    arguments it is built with, such as a risk it does not know; otherwise what
    ``riskgauge._evaluate_model_risk`` raises.
    """
    from zentrix_gov.evaluators.impl import riskgauge

    built: list[Any] = []
    token = _built.set(built)
    try:
        with _recording(riskgauge):
            result = riskgauge._evaluate_model_risk(configuration, api_client)
    finally:
        _built.reset(token)
    plugin = built[-1] if built else None
    return ModelRiskEvaluation(result, failing_answers(plugin), _prompt_count(plugin))


@contextlib.contextmanager
def _recording(riskgauge: Any) -> Iterator[None]:
    with _lock:
        current = riskgauge.EvaluateFMRisk
        if current is not _substitution["installed"]:
            # First call, or the attribute was rebound since: wrap what is there now.
            _substitution.update(original=current, installed=_recorder(current))
            riskgauge.EvaluateFMRisk = _substitution["installed"]
        _substitution["calls"] += 1
    try:
        yield
    finally:
        with _lock:
            _substitution["calls"] -= 1
            if _substitution["calls"] <= 0:
                if riskgauge.EvaluateFMRisk is _substitution["installed"]:
                    riskgauge.EvaluateFMRisk = _substitution["original"]
                _substitution.update(original=None, installed=None, calls=0)


def _recorder(plugin_class: Any) -> Any:
    def build(*args: Any, **kwargs: Any) -> Any:
        try:
            plugin = plugin_class(*args, **kwargs)
        except ValueError as exc:
            raise ModelRiskArgumentsError(str(exc), cause=exc) from exc
        built = _built.get()
        if built is not None:
            built.append(plugin)
        return plugin

    build.__wrapped__ = plugin_class  # type: ignore[attr-defined]
    return build


def failing_answers(plugin: Any) -> tuple[FailingAnswer, ...] | None:
    """The failing answers of the plug-in's last run, when it keeps them as ``failures``
    (items with ``risk``, ``benchmark``, ``prompt``, ``answer`` and ``reason``)."""
    failures = getattr(plugin, "failures", None)
    if not isinstance(failures, list | tuple):
        return None
    return tuple(
        FailingAnswer(
            *(_text(getattr(item, name, "")) for name in ("risk", "benchmark", "prompt")),
            # A missing answer (None) is shown as such, not as an empty one.
            _text(getattr(item, "answer", None)),
            _text(getattr(item, "reason", "")),
        )
        for item in failures
    )


def _prompt_count(plugin: Any) -> int | None:
    count = getattr(plugin, "prompt_count", None)
    return count if isinstance(count, int) and not isinstance(count, bool) else None


def _text(value: Any) -> str:
    text = value if isinstance(value, str) else repr(value)
    return text if len(text) <= ANSWER_TEXT_LIMIT else text[: ANSWER_TEXT_LIMIT - 3] + "..."
