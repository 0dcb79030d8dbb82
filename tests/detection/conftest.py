"""Offline fixtures for the detection provider; the live server comes from the plugin.

``api_client`` here is a client for a remote region that is never contacted; it replaces
the plugin's client for ``server`` in this folder.
"""

from types import SimpleNamespace

import pytest

from evs_sdk import APIClient as EVSClient
from evs_sdk.authenticators import BearerTokenAuthenticator
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.providers.detectwire import Detectwire

US_SOUTH_ZNG = "https://zng.us-south.cloud.example"
US_SOUTH_ML = "https://us-south.ml.cloud.example"


def make_client(url=US_SOUTH_ZNG, version=None, disable_ssl=False, token="secret-token"):
    evs = EVSClient(service_instance_id="instance-1", authenticator=BearerTokenAuthenticator(token))
    credentials = SimpleNamespace(url=url, version=version, disable_ssl=disable_ssl)
    return SimpleNamespace(evs_client=evs, credentials=credentials)


@pytest.fixture
def api_client():
    return make_client()


@pytest.fixture
def config():
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["context"],
        tool_calls_field=None,
    )


@pytest.fixture
def provider_for(config, api_client):
    def build(metric_name, method=None, configuration=None, **kwargs):
        kwargs.setdefault("api_client", api_client)
        return Detectwire(
            configuration or config,
            metric_name,
            metric_name.replace("_", " ").title(),
            metric_method=method,
            **kwargs,
        )

    return build
