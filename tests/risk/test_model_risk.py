"""``zentrix_gov.model_risk``: the plug-in run with what the plug-in reports beyond its
result, and the SDK's own pass or fail of every benchmark."""

from __future__ import annotations

import threading
from types import SimpleNamespace

import pytest

from zentrix_gov.config.model_risk_configuration import ModelRiskConfiguration
from zentrix_gov.entities.errors import ModelRiskArgumentsError, ModelRiskEvaluationError
from zentrix_gov.entities.foundation_model import CustomFoundationModel
from zentrix_gov.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric
from zentrix_gov.evaluators.impl import riskgauge
from zentrix_gov.model_risk import FailingAnswer, evaluate_model_risk, outcomes

CLIENT = SimpleNamespace(credentials=SimpleNamespace(url="u", version=None))
FAILURE = {"benchmark": "b", "answer": None, "reason": "leaked"}


class Plugin:
    """Evaluates the one risk it is asked for; keeps a failing answer whose prompt is the
    risk's name, except for the risk "bare" (a plug-in with only the fixed calls)."""

    # Per risk: set when its run is under way, and the event its run then waits for.
    gates: dict[str, tuple[threading.Event, threading.Event]] = {}

    def __init__(self, risk_dimensions=None, **kwargs):
        if risk_dimensions == ["unknown"]:
            raise ValueError("no risk 'unknown'")
        self.risk = risk_dimensions[0]
        if self.risk != "bare":
            self.failures = [SimpleNamespace(risk=self.risk, prompt=self.risk, **FAILURE)]
            self.prompt_count = 4

    def evaluate_fm_risks(self):
        if self.risk == "broken":
            raise RuntimeError("plug-in broke")
        if self.risk in self.gates:
            under_way, go_on = self.gates[self.risk]
            under_way.set()
            go_on.wait(timeout=30)
        return {self.risk: {"b": {"pii_leak_rate": 0.25}}}


@pytest.fixture(autouse=True)
def plugin(monkeypatch):
    monkeypatch.setattr(riskgauge, "EvaluateFMRisk", Plugin)


def evaluate(risk: str):
    model = CustomFoundationModel(scoring_fn=lambda prompts: prompts, model_name="m")
    configuration = ModelRiskConfiguration(model_details=model, risk_dimensions=[risk])
    return evaluate_model_risk(configuration, CLIENT)


@pytest.mark.parametrize(
    ("risk", "failing", "count"),
    [("pii", (FailingAnswer("pii", "b", "pii", "None", "leaked"),), 4), ("bare", None, None)],
)
def test_what_the_plugin_reports_is_read_when_offered(risk, failing, count):
    evaluation = evaluate(risk)
    assert [risk.name for risk in evaluation.result.risks] == [risk]
    assert (evaluation.failing_answers, evaluation.prompt_count) == (failing, count)
    assert riskgauge.EvaluateFMRisk is Plugin


@pytest.mark.parametrize(
    ("risk", "error", "message"),
    [
        ("unknown", ModelRiskArgumentsError, "no risk 'unknown'"),
        ("broken", ModelRiskEvaluationError, "Reason: plug-in broke"),
    ],
)
def test_a_failed_run_leaves_the_plugin_class_as_it_was(risk, error, message):
    with pytest.raises(error, match=message):
        evaluate(risk)
    assert riskgauge.EvaluateFMRisk is Plugin


def test_overlapping_runs_each_read_their_own_plugin(monkeypatch):
    gates = {risk: (threading.Event(), threading.Event()) for risk in ("first", "second")}
    monkeypatch.setattr(Plugin, "gates", gates)
    found: dict[str, str] = {}

    def run(risk: str) -> None:
        found[risk] = evaluate(risk).failing_answers[0].prompt

    threads = {risk: threading.Thread(target=run, args=(risk,)) for risk in gates}
    for risk in gates:  # both under way, then the first to start ends first
        threads[risk].start()
        assert gates[risk][0].wait(timeout=30)
    for risk in gates:
        gates[risk][1].set()
        threads[risk].join(timeout=30)
    assert found == {"first": "first", "second": "second"}
    assert riskgauge.EvaluateFMRisk is Plugin


@pytest.mark.parametrize(
    ("metrics", "failure_rate", "passed"),
    [
        ({"attack_success_rate": 0.3, "error_count": 1}, ("attack_success_rate", 0.3), True),
        ({"refusal_rate": 0.9, "hallucination_rate": 0.6}, ("hallucination_rate", 0.6), False),
        # No failure rate, or none usable: a gate never passes on missing data.
        ({"refusal_rate": 0.0}, (None, None), False),
        ({"pii_leak_rate": None}, ("pii_leak_rate", None), False),
        ({"pii_leak_rate": float("nan")}, ("pii_leak_rate", None), False),
        ({"pii_leak_rate": True}, ("pii_leak_rate", None), False),
        (None, (None, None), False),  # a risk without benchmarks
    ],
)
def test_a_benchmark_passes_only_on_a_failure_rate_within_the_threshold(
    metrics, failure_rate, passed
):
    cards = [] if metrics is None else [Benchmark(name="b", metrics=[
        RiskMetric(name=name, value=value) for name, value in metrics.items()])]  # fmt: skip
    result = ModelRiskResult(risks=[Risk(name="harmful", benchmarks=cards)])
    (outcome,) = outcomes(result, {"harmful": 0.5, "default": 0.1})
    assert ((outcome.metric, outcome.value), outcome.threshold) == (failure_rate, 0.5)
    assert outcome.passed is passed
