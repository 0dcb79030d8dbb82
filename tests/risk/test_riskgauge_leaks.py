"""Repeated calls of the native risk functions must not leave Python objects behind."""

from __future__ import annotations

import contextlib
import io
from types import SimpleNamespace

import pytest

from tests.test_no_leaks import growth_after_repeats
from zentrix_gov.config.model_risk_configuration import (
    ModelRiskConfiguration,
    ZnGCConfiguration,
    ZnGCCredentials,
)
from zentrix_gov.entities.credentials import Credentials
from zentrix_gov.entities.foundation_model import CustomFoundationModel, ZnAIFoundationModel
from zentrix_gov.evaluators.impl import riskgauge

CALLS = 300
RESULTS = {
    f"risk{r}": {f"b{b}": {f"m{m}": 0.5 for m in range(3)} for b in range(3)} for r in range(3)
}


def growth(work):
    return growth_after_repeats(work, repeats=CALLS, warm_up=20)


class Plugin:
    fail = False

    def __init__(self, **kwargs):
        pass

    def evaluate_fm_risks(self):
        if self.fail:
            raise RuntimeError("no")
        return RESULTS

    def get_pdf_report(self, results, path, thresholds):
        return path


class Manager:
    def __init__(self, client):
        pass

    def get_model_specs(self, **kwargs):
        return None if "model_id" in kwargs else {"resources": [{"model_id": "a"}]}


@pytest.fixture
def patched(monkeypatch):
    monkeypatch.setattr(riskgauge, "EvaluateFMRisk", Plugin)
    monkeypatch.setattr(riskgauge, "FoundationModelsManager", Manager)


def test_evaluation_and_conversion_leak_nothing_per_call(patched):
    config = ModelRiskConfiguration(
        model_details=CustomFoundationModel(scoring_fn=len),
        pdf_report_output_path="r.pdf",
        zn_gc_configuration=ZnGCConfiguration(
            credentials=ZnGCCredentials(url="https://opk.example:1/x", api_key="k"), model_id="m"
        ),
    )
    client = SimpleNamespace(credentials=None)

    def work():
        with contextlib.redirect_stdout(io.StringIO()):
            riskgauge._evaluate_model_risk(config, client)

    # 40 records per call: one kept per record would leave about 12,000 blocks.
    assert growth(work) < CALLS


def test_error_paths_leak_nothing_per_call(patched, monkeypatch):
    platform = ModelRiskConfiguration(model_details=ZnAIFoundationModel(model_id="zz"))
    cloud = Credentials(url="https://zng.us-south.cloud.example", api_key="k")
    custom = ModelRiskConfiguration(model_details=CustomFoundationModel(scoring_fn=len))
    client = SimpleNamespace(credentials=None)

    def work():
        with contextlib.suppress(ValueError):
            riskgauge.build_system_credentials(platform, cloud)
        Plugin.fail = True
        try:
            with contextlib.suppress(Exception), contextlib.redirect_stdout(io.StringIO()):
                riskgauge._evaluate_model_risk(custom, client)
        finally:
            Plugin.fail = False

    assert growth(work) < CALLS
