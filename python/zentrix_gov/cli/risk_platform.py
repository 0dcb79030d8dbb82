"""A local platform stand-in for ``risk --platform-model`` when no platform is configured."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def local_platform(quiet: bool) -> Iterator[Any]:
    """An SDK client for a platform stand-in started on 127.0.0.1 for the ``with`` block.

    Its credentials carry a version, so they are taken for a self-hosted platform whose URL
    is the stand-in's own.
    """
    from zentrix_gov.cli.local_services import judge_service
    from zentrix_gov.clients.api_client import APIClient
    from zentrix_gov.entities.credentials import Credentials

    with judge_service() as service:
        if not quiet:
            print(f"local platform stand-in at {service.url}", file=sys.stderr, flush=True)
        credentials = Credentials(url=service.url, version="local", api_key=service.token)
        yield APIClient(credentials=credentials, service_instance_id=None)
