"""The detection service a run talks to: the configured one, or a local one for the run."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from zentrix_gov.cli.errors import UsageError, one_line


@dataclass
class Service:
    api_client: Any
    url: str | None
    local: bool

    def described(self) -> dict[str, Any] | None:
        """The service as a run stores it (no credentials): its URL and whether it was the
        local one; None when the run used none."""
        return {"url": self.url, "local": self.local} if self.url else None


def detection_service_url(api_client: Any) -> str:
    """The service URL the detection provider will send requests to for ``api_client``."""
    from zentrix_gov.providers.detectwire import Detectwire

    # The provider's own lookup, on an instance that is never set up: it only records the
    # client and the TLS setting on it before answering.
    probe = Detectwire.__new__(Detectwire)
    try:
        return str(probe.get_detector_url(api_client))
    except AttributeError:
        raise UsageError(
            f"ZNG_URL {api_client.credentials.url!r} is not a known governance service URL; "
            "for a self-hosted service set ZNG_VERSION as well"
        ) from None


@contextmanager
def open_service(quiet: bool = False) -> Iterator[Service]:
    """The configured governance service, or a local detection service for this run."""
    from zentrix_gov.clients.api_client import APIClient

    if APIClient.is_configured_from_env():
        try:
            api_client = APIClient()
        except (ValueError, TypeError) as exc:
            raise UsageError(f"the ZNG_* environment is not usable: {one_line(exc)}") from None
        yield Service(api_client, detection_service_url(api_client), local=False)
        return

    from evs_sdk.authenticators import BearerTokenAuthenticator
    from zentrix_gov.cli.local_services import detection_service
    from zentrix_gov.entities.credentials import Credentials

    with detection_service() as server:
        api_client = APIClient(
            # A version marks the service as self-hosted: its URL is used as is.
            credentials=Credentials(
                url=server.url, version="local", api_key=server.token, disable_ssl=False
            ),
            service_instance_id=server.instance_id,
            authenticator=BearerTokenAuthenticator(server.token),
        )
        if not quiet:
            print(
                "note: ZNG_API_KEY / ZNG_SERVICE_INSTANCE_ID not set; using the built-in local "
                f"detection service at {server.url}",
                file=sys.stderr,
                flush=True,
            )
        yield Service(api_client, server.url, local=True)
