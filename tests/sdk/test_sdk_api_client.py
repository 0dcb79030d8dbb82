import pytest

from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.clients.api_client import APIClient
from zentrix_gov.entities.credentials import Credentials

ENV_NAMES = [
    "ZNG_URL",
    "ZNG_API_KEY",
    "ZNG_USERNAME",
    "ZNG_PASSWORD",
    "ZNG_VERSION",
    "ZNG_DISABLE_SSL",
    "ZNG_SERVICE_INSTANCE_ID",
    "ZNG_INSTANCE_ID",
]


@pytest.fixture
def clean_env(monkeypatch):
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def test_defaults_without_service_instance(clean_env):
    client = APIClient()
    assert client.credentials.url == "https://zng.us-south.cloud.example"
    assert client.credentials.api_key is None and client.credentials.version is None
    assert client.credentials.disable_ssl is False
    assert client.evs_client is None
    assert APIClient.is_configured_from_env() is False


def test_reads_environment_with_service_instance(clean_env):
    clean_env.setenv("ZNG_URL", "https://zng.eu-de.cloud.example")
    clean_env.setenv("ZNG_API_KEY", "key-123")
    clean_env.setenv("ZNG_SERVICE_INSTANCE_ID", "instance-9")
    clean_env.setenv("ZNG_DISABLE_SSL", "yes")
    clean_env.setenv("ZNG_VERSION", "5.1")
    clean_env.setenv("ZNG_USERNAME", "admin")
    client = APIClient()
    assert client.credentials == Credentials(
        url="https://zng.eu-de.cloud.example",
        api_key="key-123",
        version="5.1",
        username="admin",
        disable_ssl=True,
    )
    assert isinstance(client.evs_client, EVSClient)
    assert client.evs_client.service_instance_id == "instance-9"
    assert client.evs_client.authenticator.get_token() == "key-123"
    assert APIClient.is_configured_from_env() is True


@pytest.mark.parametrize(("raw", "expected"), [("1", True), ("TRUE", True), ("0", False)])
def test_disable_ssl_spellings(clean_env, raw, expected):
    clean_env.setenv("ZNG_DISABLE_SSL", raw)
    assert APIClient().credentials.disable_ssl is expected


def test_explicit_arguments_win(clean_env):
    clean_env.setenv("ZNG_SERVICE_INSTANCE_ID", "from-env")
    authenticator = BearerTokenAuthenticator("explicit-token")
    client = APIClient(
        credentials=Credentials(url="https://zng.jp-tok.cloud.example"),
        service_instance_id="explicit",
        authenticator=authenticator,
    )
    assert client.evs_client.service_instance_id == "explicit"
    assert client.evs_client.authenticator is authenticator
    assert client.credentials.url == "https://zng.jp-tok.cloud.example"


def test_service_instance_without_api_key(clean_env):
    clean_env.setenv("ZNG_SERVICE_INSTANCE_ID", "instance-9")
    with pytest.raises(ValueError, match="ZNG_API_KEY"):
        APIClient()
    assert APIClient.is_configured_from_env() is False


def test_repr_hides_secrets():
    assert "secret-key" not in repr(Credentials(api_key="secret-key"))
    assert "secret-key" not in repr(BearerTokenAuthenticator("secret-key"))
