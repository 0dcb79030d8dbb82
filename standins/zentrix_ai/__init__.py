"""Minimal client of the AI platform.

Only what the governance SDK's model risk evaluation needs: credentials, an API client that
talks to the platform over HTTP with a bearer key, the foundation-model catalogue and text
generation.

- ``credentials.Credentials``: where the platform is and how to authenticate;
- ``client.APIClient(credentials)``: the HTTP client;
- ``foundation_models_manager.FoundationModelsManager(client)``: the model catalogue;
- ``model_inference.ModelInference(model_id=..., api_client=...)``: text generation.
"""

from __future__ import annotations

from zentrix_ai.client import APIClient
from zentrix_ai.credentials import ON_PREMISES_INSTANCE_ID, Credentials
from zentrix_ai.errors import ApiRequestFailure
from zentrix_ai.foundation_models_manager import FoundationModelsManager
from zentrix_ai.model_inference import ModelInference

__all__ = [
    "ON_PREMISES_INSTANCE_ID",
    "APIClient",
    "ApiRequestFailure",
    "Credentials",
    "FoundationModelsManager",
    "ModelInference",
]
