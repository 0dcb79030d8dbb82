"""The platform client stand-in against a fake platform over real HTTP."""

from __future__ import annotations

import pytest

from zentrix_ai.client import APIClient
from zentrix_ai.credentials import ON_PREMISES_INSTANCE_ID, Credentials
from zentrix_ai.errors import ApiRequestFailure
from zentrix_ai.foundation_models_manager import FoundationModelsManager
from zentrix_ai.model_inference import ModelInference


def client_for(platform, **fields):
    fields.setdefault("api_key", platform.token)
    return APIClient(Credentials(url=platform.url, **fields))


def test_catalogue_lists_every_model_and_finds_one(platform):
    manager = FoundationModelsManager(client_for(platform))
    listing = manager.get_model_specs(get_all=True)
    assert [entry["model_id"] for entry in listing["resources"]] == ["acme/refuser", "acme/echo"]
    assert manager.get_model_specs(model_id="acme/echo")["model_id"] == "acme/echo"
    assert manager.get_model_specs(model_id="acme/missing") is None
    assert platform.requests[-1]["query"] == {"model_id": "acme/missing"}
    assert manager.get_model_ids() == ["acme/refuser", "acme/echo"]


def test_generation_sends_model_prompt_and_project(platform):
    inference = ModelInference("acme/echo", client_for(platform), project_id="p-1")
    assert inference.generate_text("hello") == "You said: hello"
    assert platform.requests[-1]["body"] == {
        "model_id": "acme/echo",
        "input": "hello",
        "project_id": "p-1",
    }


def test_on_premises_credentials_without_key_send_the_password(platform):
    client = client_for(
        platform, api_key=None, password=platform.token, instance_id=ON_PREMISES_INSTANCE_ID
    )
    assert ModelInference("acme/refuser", client).generate_text("x").startswith("I'm sorry")


def test_cloud_credentials_never_send_the_password():
    with pytest.raises(ValueError, match="api_key"):
        APIClient(Credentials(url="http://127.0.0.1:9", password="secret"))


def test_wrong_key_fails_without_echoing_it(platform):
    client = client_for(platform, api_key="wrong-key-123")
    with pytest.raises(ApiRequestFailure) as caught:
        FoundationModelsManager(client).get_model_specs(get_all=True)
    assert caught.value.status == 401
    assert "unauthorised" in str(caught.value)
    assert "wrong-key-123" not in str(caught.value)


def test_unknown_model_generation_reports_the_service_message(platform):
    with pytest.raises(ApiRequestFailure, match="status 404: no such model"):
        ModelInference("acme/none", client_for(platform)).generate_text("x")


def test_unreachable_platform_is_a_request_failure(unused_port):
    client = APIClient(Credentials(url=f"http://127.0.0.1:{unused_port}", api_key="k"))
    with pytest.raises(ApiRequestFailure, match="no reply") as caught:
        FoundationModelsManager(client).get_model_specs(get_all=True)
    assert caught.value.status is None


def test_secrets_stay_out_of_reprs():
    credentials = Credentials(url="https://ml.example", api_key="key-1", password="pw-2")
    text = repr(credentials) + repr(APIClient(credentials))
    assert "key-1" not in text and "pw-2" not in text
    assert "https://ml.example" in text
