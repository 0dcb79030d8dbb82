"""Evaluating a foundation model's risks with the risk plug-in, judged by the SDK's rules.

    from zentrix_gov.model_risk import evaluate_model_risk, outcomes

    evaluation = evaluate_model_risk(configuration)  # a ModelRiskConfiguration
    for outcome in outcomes(evaluation.result, configuration.thresholds):
        print(outcome.risk, outcome.benchmark, outcome.value, outcome.passed)

``evaluation`` (the plug-in run, and its failing answers when the plug-in reports them)
and ``rules`` (risk names, failure rates, thresholds, pass or fail).
"""

from __future__ import annotations

from zentrix_gov.model_risk.evaluation import (
    FailingAnswer,
    ModelRiskEvaluation,
    evaluate_model_risk,
)
from zentrix_gov.model_risk.rules import (
    DEFAULT_THRESHOLD,
    RISK_NAMES,
    BenchmarkOutcome,
    check_thresholds,
    failed_risks,
    outcomes,
)

__all__ = [
    "DEFAULT_THRESHOLD",
    "RISK_NAMES",
    "BenchmarkOutcome",
    "FailingAnswer",
    "ModelRiskEvaluation",
    "check_thresholds",
    "evaluate_model_risk",
    "failed_risks",
    "outcomes",
]
