"""Model risk evaluation of platform models against the local platform stand-in."""

from __future__ import annotations

import contextlib
import io

import pytest

from zentrix_ai.client import APIClient as ZaiAPIClient
from zentrix_ai.credentials import Credentials as ZaiCredentials
from zentrix_ai.errors import ApiRequestFailure
from zentrix_ai.foundation_models_manager import FoundationModelsManager
from zentrix_gov.cli import main
from zentrix_gov.clients.api_client import APIClient
from zentrix_gov.config.model_risk_configuration import ModelRiskConfiguration
from zentrix_gov.entities.credentials import Credentials
from zentrix_gov.entities.foundation_model import ZnAIFoundationModel
from zentrix_gov.evaluators.impl import riskgauge

ASSISTANT = "local/assistant-chat"


def self_hosted_client(service, **fields):
    fields.setdefault("api_key", service.token)
    credentials = Credentials(url=service.url, version="local", **fields)
    return APIClient(credentials=credentials, service_instance_id=None)


def run(configuration, client):
    with contextlib.redirect_stdout(io.StringIO()):
        return riskgauge._evaluate_model_risk(configuration, client)


def test_platform_model_is_checked_then_asked_through_generation(judge_service, tmp_path):
    configuration = ModelRiskConfiguration(
        model_details=ZnAIFoundationModel(model_id=ASSISTANT, project_id="proj"),
        risk_dimensions=["harmful", "bias"],
        max_sample_size=4,
        pdf_report_output_path=str(tmp_path / "r.pdf"),
    )
    result = run(configuration, self_hosted_client(judge_service))
    assert [risk.name for risk in result.risks] == ["harmful", "bias"]
    assert result.output_file_path == str(tmp_path / "r.pdf")

    requests = judge_service.requests.snapshot()
    assert (
        requests[0].path == f"/v1/foundation_model_specs?model_id={ASSISTANT.replace('/', '%2F')}"
    )
    generations = [request for request in requests if request.path == "/v1/text/generation"]
    assert len(generations) == 12  # two harmful benchmarks and one bias benchmark, 4 each
    assert {request.json()["model_id"] for request in generations} == {ASSISTANT}
    assert {request.json()["project_id"] for request in generations} == {"proj"}
    assert {request.headers["Authorization"] for request in requests} == {
        f"Bearer {judge_service.token}"
    }


def test_unoffered_model_lists_the_catalogue(judge_service):
    configuration = ModelRiskConfiguration(model_details=ZnAIFoundationModel(model_id="nope"))
    with pytest.raises(ValueError) as caught:
        run(configuration, self_hosted_client(judge_service))
    listed = FoundationModelsManager(
        ZaiAPIClient(ZaiCredentials(url=judge_service.url, api_key=judge_service.token))
    ).get_model_ids()
    assert ASSISTANT in listed
    assert str(caught.value).endswith(f"available models: {listed}")


def test_self_hosted_password_is_the_bearer_without_a_key(judge_service):
    client = riskgauge.get_zai_credentials(
        Credentials(url=judge_service.url, version="local", password=judge_service.token)
    )
    assert FoundationModelsManager(client).get_model_specs(model_id=ASSISTANT)["model_id"] == (
        ASSISTANT
    )


def test_wrong_key_is_refused_by_the_service(judge_service):
    configuration = ModelRiskConfiguration(model_details=ZnAIFoundationModel(model_id=ASSISTANT))
    with pytest.raises(ApiRequestFailure) as caught:
        run(configuration, self_hosted_client(judge_service, api_key="not-the-key"))
    assert caught.value.status == 401
    assert "not-the-key" not in str(caught.value)


def test_command_evaluates_a_platform_model_on_the_local_stand_in(monkeypatch, capsys, tmp_path):
    monkeypatch.delenv("ZNG_API_KEY", raising=False)
    report = tmp_path / "platform.pdf"
    code = main(
        [
            "risk",
            "--platform-model",
            ASSISTANT,
            "--risks",
            "jailbreak",
            "--samples",
            "3",
            "--report",
            str(report),
        ]
    )
    captured = capsys.readouterr()
    assert code == 0, captured.err
    assert "local platform stand-in at http://127.0.0.1:" in captured.err
    assert "roleplay_jailbreaks" in captured.out
    assert report.stat().st_size > 0


def test_command_refuses_a_model_the_platform_does_not_offer(monkeypatch, capsys):
    monkeypatch.delenv("ZNG_API_KEY", raising=False)
    assert main(["risk", "--platform-model", "nope", "-q"]) == 2
    assert "Here is a list of the available models" in capsys.readouterr().err
