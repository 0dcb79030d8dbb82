import re
import subprocess
import sys

import pytest

from zentrix_gov.providers import detectwire
from zentrix_gov.providers.detectwire import Detectwire

from .conftest import US_SOUTH_ML, make_client

ENDPOINTS = {
    "answer_relevance": "/ml/v1/text/detection/generated?version=2023-10-25",
    "context_relevance": "/ml/v1/text/detection/context?version=2023-10-25",
    "faithfulness": "/ml/v1/text/detection/context?version=2023-10-25",
    "tool_call_accuracy": "/ml/v1/text/detection/chat?version=2023-10-25",
    "hap": "/ml/v1/text/detection?version=2023-10-25",
    "topic_relevance": "/ml/v1/text/detection?version=2023-10-25",
}


@pytest.mark.parametrize(("metric", "path"), ENDPOINTS.items())
def test_endpoint_per_metric_on_the_region_ml_service(provider_for, metric, path):
    assert provider_for(metric).base_url == US_SOUTH_ML + path


def test_self_hosted_version_uses_the_credentials_url(provider_for):
    client = make_client(url="https://cpd.internal.example:8443", version="5.1")
    provider = provider_for("hap", api_client=client)
    assert provider.base_url == "https://cpd.internal.example:8443" + ENDPOINTS["hap"]


def test_attributes_after_construction(provider_for, config, api_client):
    provider = provider_for("hap", method="granite", metric_group="group")
    assert provider.configuration is config
    assert (provider.metric_name, provider.metric_display_name) == ("hap", "Hap")
    assert (provider.metric_method, provider.metric_group) == ("granite", "group")
    assert provider.service_instance_id == "instance-1"
    assert provider.evs_client is api_client.evs_client
    assert provider.verify is True
    assert provider.thresholds == [] and provider.detector_params is None


def test_omitted_thresholds_are_not_shared_between_providers(provider_for):
    first, second = provider_for("hap"), provider_for("pii")
    first.thresholds.append("changed")
    assert second.thresholds == []


def test_disable_ssl_turns_verification_off(provider_for):
    assert provider_for("hap", api_client=make_client(disable_ssl=True)).verify is False


@pytest.mark.parametrize("client", [None, 0, ""])
def test_missing_client_is_refused(config, client):
    message = (
        "NORVALE ZentriX Governance SDK must be initialized to compute hap using None. "
        "Please initialize the client to proceed, or remove this metric from the evaluation."
    )
    with pytest.raises(ValueError, match=re.escape(message)):
        Detectwire(config, "hap", "HAP", api_client=client)
    with pytest.raises(ValueError, match=re.escape(message)):
        Detectwire(config, "hap", "HAP")


def test_client_without_service_instance_is_refused(config):
    client = make_client()
    client.evs_client = None
    message = (
        "zentrix.governance service instance id is required to compute pii using granite. "
        "You can set the service instance ID using the `ZNG_SERVICE_INSTANCE_ID` environment "
        "variable in the notebook and retry."
    )
    with pytest.raises(ValueError, match=re.escape(message)):
        Detectwire(config, "pii", "PII", metric_method="granite", api_client=client)


def test_unknown_governance_url_names_the_url(provider_for):
    with pytest.raises(AttributeError, match=re.escape("https://zng.us-south.cloud.example/")):
        provider_for("hap", api_client=make_client(url="https://zng.us-south.cloud.example/"))


@pytest.mark.parametrize(
    ("metric", "method", "argument", "expected"),
    [
        ("prompt_safety_risk", "basalt_guardian", "prompt_safety_risk", "basalt_guardian"),
        ("prompt_safety_risk", "other", "prompt_safety_risk", "prompt_safety_risk"),
        ("hap", None, "harm", "basalt_guardian"),
        ("hap", None, "social_bias", "basalt_guardian"),
        ("hap", None, "hap", "hap"),
        ("faithfulness", None, "faithfulness", "faithfulness"),
    ],
)
def test_detector_names(provider_for, metric, method, argument, expected):
    assert provider_for(metric, method=method).set_metric_name(argument) == expected


def test_retry_policy_constants():
    assert Detectwire.RETRY_AFTER_STATUS_CODES == [502, 503, 504]
    assert Detectwire.RETRY_COUNT == 3
    assert Detectwire.BACK_OFF_FACTOR == 1
    assert detectwire.ACCURACY_METRICS == ["topic_relevance", "tool_call_accuracy"]
    assert detectwire.RAG_EVIDENCE_METRICS == ["faithfulness", "context_relevance"]
    assert detectwire.RAG_SMALL_MODELS == ["faithfulness_model", "context_relevance_model"]
    assert detectwire.EVIDENCES == ["hap", "pii", "keyword", "regex"]


def test_subclass_overrides_are_used_by_the_constructor(config, api_client):
    class OnPremises(Detectwire):
        def get_detector_url(self, api_client):
            self.evs_client = api_client.evs_client
            self.verify = False
            return "http://127.0.0.1:9"

    provider = OnPremises(config, "pii", "PII", api_client=api_client)
    assert provider.base_url == "http://127.0.0.1:9" + ENDPOINTS["hap"]
    assert isinstance(provider, Detectwire) and provider.verify is False


def test_private_methods_use_mangled_names():
    for name in [
        "__get_base_url",
        "__pre_process_data",
        "__get_json_payloads",
        "__get_headers",
        "__compute_metric",
        "__post_process",
        "__get_additional_info",
    ]:
        assert callable(getattr(Detectwire, "_Detectwire" + name))


def test_loading_imports_neither_region_table_nor_heavy_libraries():
    code = (
        "import sys, zentrix_gov.providers.detectwire, zentrix_gov.evaluators.impl.metricrun\n"
        "loaded = [m for m in ('zentrix_gov.utils.regionmap', 'unitxt', 'evalassist', 'torch')"
        " if m in sys.modules]\n"
        "print(loaded)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
