"""The SDK's client of the governance service."""

from __future__ import annotations

import os
from typing import Any

from zentrix_gov.entities.credentials import Credentials, env_flag

DEFAULT_GOVERNANCE_URL = "https://zng.us-south.cloud.example"


class APIClient:
    """Credentials of the governance service and the clients built on them.

    Built with no arguments, everything is read from the environment: ``ZNG_URL`` (default the
    US South governance URL), ``ZNG_API_KEY``, ``ZNG_USERNAME``, ``ZNG_PASSWORD``,
    ``ZNG_VERSION`` (set for a self-hosted installation), ``ZNG_DISABLE_SSL`` and
    ``ZNG_SERVICE_INSTANCE_ID``.

    ``evs_client`` is the evaluation-service client; it exists only when a service instance id
    is known, and is None otherwise.
    """

    def __init__(
        self,
        credentials: Credentials | None = None,
        service_instance_id: str | None = None,
        authenticator: Any = None,
    ) -> None:
        if credentials is None:
            credentials = self.credentials_from_env()
        elif not isinstance(credentials, Credentials):
            raise TypeError(
                f"credentials must be a Credentials record, got {type(credentials).__name__}."
            )
        self.credentials = credentials
        self.service_instance_id = (
            service_instance_id or os.environ.get("ZNG_SERVICE_INSTANCE_ID") or None
        )
        self.authenticator = authenticator
        self.evs_client = self._build_evs_client()

    @staticmethod
    def credentials_from_env() -> Credentials:
        return Credentials(
            url=os.environ.get("ZNG_URL") or DEFAULT_GOVERNANCE_URL,
            api_key=os.environ.get("ZNG_API_KEY") or None,
            username=os.environ.get("ZNG_USERNAME") or None,
            password=os.environ.get("ZNG_PASSWORD") or None,
            version=os.environ.get("ZNG_VERSION") or None,
            instance_id=os.environ.get("ZNG_INSTANCE_ID") or None,
            disable_ssl=env_flag("ZNG_DISABLE_SSL"),
        )

    @classmethod
    def is_configured_from_env(cls) -> bool:
        """Whether the environment names a governance service (API key and instance id)."""
        return bool(os.environ.get("ZNG_API_KEY")) and bool(
            os.environ.get("ZNG_SERVICE_INSTANCE_ID")
        )

    def _build_evs_client(self) -> Any:
        if not self.service_instance_id:
            return None
        from evs_sdk import APIClient as EVSClient
        from evs_sdk.authenticators import BearerTokenAuthenticator

        authenticator = self.authenticator
        if authenticator is None:
            if not self.credentials.api_key:
                raise ValueError(
                    "An API key is required to use the governance service instance "
                    f"{self.service_instance_id!r}. Set ZNG_API_KEY or pass credentials "
                    "with an api_key."
                )
            authenticator = BearerTokenAuthenticator(self.credentials.api_key)
            self.authenticator = authenticator
        return EVSClient(
            service_instance_id=self.service_instance_id,
            authenticator=authenticator,
            service_url=self.credentials.url,
        )

    def __repr__(self) -> str:
        return (
            f"APIClient(url={self.credentials.url!r}, "
            f"service_instance_id={self.service_instance_id!r})"
        )
