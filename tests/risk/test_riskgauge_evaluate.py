"""Running the risk plug-in and turning its result into result records."""

from __future__ import annotations

from pathlib import Path
from types import SimpleNamespace

import pytest

from zentrix_gov.config.model_risk_configuration import ModelRiskConfiguration
from zentrix_gov.entities.errors import (
    ModelRiskError,
    ModelRiskEvaluationError,
    ModelRiskResultError,
)
from zentrix_gov.entities.foundation_model import CustomFoundationModel
from zentrix_gov.entities.model_risk_result import ModelRiskResult
from zentrix_gov.evaluators.impl import riskgauge

TWO_RISKS = {
    "harmful": {
        "b1": {"m1": 0.1, "m2": 0.2, "m3": 3},
        "b2": {"m1": 0.4, "m2": 0.5, "m3": 6},
    },
    "bias": {"b3": {"m4": None}},
}


class FakePlugin:
    """Records its construction and calls; returns ``result`` or raises ``error``."""

    instances: list = []
    result = TWO_RISKS
    error = None
    report_error = None
    report_path: object = "written.pdf"

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.report_calls = []
        type(self).instances.append(self)

    def evaluate_fm_risks(self, *args):
        assert args == ()
        if self.error:
            raise self.error
        return self.result

    def get_pdf_report(self, *args, **kwargs):
        self.report_calls.append((args, kwargs))
        if self.report_error:
            raise self.report_error
        return self.report_path


@pytest.fixture
def plugin(monkeypatch):
    class Plugin(FakePlugin):
        instances: list = []

    monkeypatch.setattr(riskgauge, "EvaluateFMRisk", Plugin)
    return Plugin


def scorer(prompts):
    return ["ok"] * len(prompts)


def configuration(**fields):
    fields.setdefault("model_details", CustomFoundationModel(scoring_fn=scorer, model_name="m"))
    return ModelRiskConfiguration(**fields)


CLIENT = SimpleNamespace(credentials=SimpleNamespace(url="u", version=None))


def test_plugin_gets_exactly_its_arguments(plugin):
    config = configuration(risk_dimensions=["harmful"], max_sample_size=5)
    riskgauge._evaluate_model_risk(config, CLIENT)
    (instance,) = plugin.instances
    assert instance.kwargs == {
        "system_credentials": {},
        "foundation_model_name": "m",
        "risk_dimensions": ["harmful"],
        "scoring_function": scorer,
        "max_sample_size": 5,
    }
    assert instance.report_calls == []


def test_credentials_come_from_the_client_and_feed_the_plugin(plugin, monkeypatch):
    seen = []

    def build(config, credentials):
        seen.append((config, credentials))
        return {"k": "v"}, "fn"

    monkeypatch.setattr(riskgauge, "build_system_credentials", build)
    config = configuration()
    riskgauge._evaluate_model_risk(config, CLIENT)
    assert seen == [(config, CLIENT.credentials)]
    assert plugin.instances[0].kwargs["system_credentials"] == {"k": "v"}
    assert plugin.instances[0].kwargs["scoring_function"] == "fn"


def test_without_a_client_a_new_one_is_made_each_call(plugin, monkeypatch):
    made = []
    monkeypatch.setattr(riskgauge, "APIClient", lambda: made.append(1) or CLIENT)
    riskgauge._evaluate_model_risk(configuration())
    riskgauge._evaluate_model_risk(configuration(), None)
    assert len(made) == 2


def test_result_records_follow_every_level_in_order(plugin, capsys):
    result = riskgauge._evaluate_model_risk(configuration(), CLIENT)
    assert isinstance(result, ModelRiskResult)
    assert [risk.name for risk in result.risks] == ["harmful", "bias"]
    harmful = result.risks[0]
    assert [benchmark.name for benchmark in harmful.benchmarks] == ["b1", "b2"]
    assert [(m.name, m.value) for m in harmful.benchmarks[1].metrics] == [
        ("m1", 0.4),
        ("m2", 0.5),
        ("m3", 6),
    ]
    assert result.risks[1].benchmarks[0].metrics[0].value is None
    assert result.output_file_path is None
    assert capsys.readouterr().out == f"{TWO_RISKS}\n"


def test_empty_result_gives_no_risks(plugin):
    plugin.result = {}
    assert riskgauge._evaluate_model_risk(configuration(), CLIENT).risks == []


@pytest.mark.parametrize("returned", ["written.pdf", Path("out") / "r.pdf"])
def test_report_is_requested_and_its_path_kept_as_text(plugin, returned):
    plugin.report_path = returned
    config = configuration(pdf_report_output_path="want.pdf", thresholds={"harmful": 0.1})
    result = riskgauge._evaluate_model_risk(config, CLIENT)
    assert plugin.instances[0].report_calls == [((TWO_RISKS, "want.pdf", {"harmful": 0.1}), {})]
    assert result.output_file_path == str(returned)


def test_empty_report_path_requests_no_report(plugin):
    riskgauge._evaluate_model_risk(configuration(pdf_report_output_path=""), CLIENT)
    assert plugin.instances[0].report_calls == []


@pytest.mark.parametrize("stage", ["evaluate", "report"])
def test_plugin_failures_are_wrapped(plugin, stage):
    cause = RuntimeError("model went away")
    if stage == "evaluate":
        plugin.error = cause
    else:
        plugin.report_error = cause
    config = configuration(pdf_report_output_path="r.pdf")
    with pytest.raises(ModelRiskEvaluationError) as caught:
        riskgauge._evaluate_model_risk(config, CLIENT)
    # Not a ValueError: a failed evaluation is no mistake in the caller's input.
    assert not isinstance(caught.value, ValueError)
    assert str(caught.value) == "Error while evaluating FM risks. Reason: model went away"
    assert (caught.value.stage, caught.value.cause) == (stage, cause)
    assert caught.value.__cause__ is cause


def test_interrupts_are_not_wrapped(plugin):
    plugin.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        riskgauge._evaluate_model_risk(configuration(), CLIENT)


@pytest.mark.parametrize(
    ("returned", "tail"),
    [
        (None, "'NoneType' object has no attribute 'items'"),
        ({"harmful": [1, 2]}, "'list' object has no attribute 'items'"),
        ({"harmful": {None: {"m": 1}}}, "validation error"),
    ],
)
def test_malformed_results_fail_to_parse(plugin, returned, tail):
    plugin.result = returned
    with pytest.raises(ValueError) as caught:
        riskgauge._evaluate_model_risk(configuration(), CLIENT)
    assert str(caught.value).startswith("Failed to parse model risk result. ")
    assert tail in str(caught.value)
    assert caught.value.__cause__ is not None
    # Still a ValueError, and also the typed failure of the "parse" stage.
    assert isinstance(caught.value, ModelRiskResultError)
    assert isinstance(caught.value, ModelRiskError)
    assert caught.value.stage == "parse" and caught.value.cause is caught.value.__cause__


def test_construction_errors_reach_the_caller_unchanged(monkeypatch):
    error = TypeError("bad plug-in arguments")

    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(riskgauge, "EvaluateFMRisk", refuse)
    with pytest.raises(TypeError) as caught:
        riskgauge._evaluate_model_risk(configuration(), CLIENT)
    assert caught.value is error


def test_credential_map_pair_is_unpacked_like_python(plugin, monkeypatch):
    monkeypatch.setattr(riskgauge, "build_system_credentials", lambda c, k: ({},))
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        riskgauge._evaluate_model_risk(configuration(), CLIENT)
