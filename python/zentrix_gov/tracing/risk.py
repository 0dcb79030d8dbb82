"""The spans of ``risk --otel``: a span ``risk evaluation`` for the plug-in's run (the
model's name, the risks asked for), a child ``model call`` per call of the model under
test (its prompts count, ``error.type`` when it failed; the prompts and answers only with
content capture on), and one ``gen_ai.evaluation.result`` event per benchmark judged
(``gen_ai.evaluation.name`` = ``RISK/BENCHMARK``, the failure rate as its score,
``pass`` or ``fail`` as its label)."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from opentelemetry import trace

from zentrix_gov.tracing.content import cut
from zentrix_gov.tracing.spans import EVENT, RunTracing, _current, _failed


@contextmanager
def risk_evaluation(tracing: RunTracing, name: str, risks: Sequence[str] | None) -> Iterator[Any]:
    attributes: dict[str, Any] = {"zentrix.risk.model": name}
    if risks:
        attributes["zentrix.risk.risks"] = list(risks)
    span = tracing.tracer.start_span("risk evaluation", attributes=attributes)
    try:
        with _current(span):
            yield span
    except BaseException as exc:
        _failed(span, exc)
        raise
    finally:
        span.end()


def traced_model(tracing: RunTracing, span: Any, model: Callable[[list[str]], list[Any]]) -> Any:
    """``model``, each call a child span of ``span`` (the plug-in may call from threads of
    its own: the parent is given, not taken from the context)."""
    parent = trace.set_span_in_context(span)

    def answer(prompts: list[str]) -> list[Any]:
        call = tracing.tracer.start_span(
            "model call", context=parent, attributes={"zentrix.risk.prompts": len(prompts)}
        )
        try:
            answers = model(prompts)
        except BaseException as exc:
            _failed(call, exc)
            raise
        finally:
            if tracing.content:
                call.set_attribute("zentrix.risk.prompts_text", _texts(prompts, tracing))
        if tracing.content:
            call.set_attribute("zentrix.risk.answers_text", _texts(answers, tracing))
        call.end()
        return answers

    return answer


def risk_events(span: Any, outcomes: Sequence[Any]) -> None:
    for outcome in outcomes:
        attributes: dict[str, Any] = {
            "gen_ai.evaluation.name": f"{outcome.risk}/{outcome.benchmark or '-'}",
        }
        if outcome.value is None:
            attributes["error.type"] = "NO_FAILURE_RATE"
        else:
            attributes["gen_ai.evaluation.score.value"] = float(outcome.value)
            attributes["gen_ai.evaluation.score.label"] = "pass" if outcome.passed else "fail"
        span.add_event(EVENT, attributes)


def _texts(values: Sequence[Any], tracing: RunTracing) -> str:
    return json.dumps([cut(str(value), tracing.text_limit) for value in values])
