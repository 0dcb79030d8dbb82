"""Minimal client of the evaluation service.

Only what the governance SDK needs: an object naming a service instance and carrying an
authenticator that yields the bearer token for requests.
"""

from __future__ import annotations

from evs_sdk.authenticators import BearerTokenAuthenticator

__all__ = ["APIClient", "BearerTokenAuthenticator"]


class APIClient:
    """Identifies one evaluation-service instance and how to authenticate against it."""

    def __init__(
        self,
        service_instance_id: str,
        authenticator: object,
        service_url: str | None = None,
    ) -> None:
        if not service_instance_id:
            raise ValueError("A service instance id is required to build the evaluation client.")
        self.service_instance_id = service_instance_id
        self.authenticator = authenticator
        self.service_url = service_url

    def __repr__(self) -> str:
        return (
            f"APIClient(service_instance_id={self.service_instance_id!r}, "
            f"service_url={self.service_url!r})"
        )
