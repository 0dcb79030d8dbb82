"""The HTTP client of the AI platform."""

from __future__ import annotations

import json
import ssl
import urllib.error
import urllib.parse
import urllib.request
from typing import Any

from zentrix_ai.credentials import Credentials
from zentrix_ai.errors import ApiRequestFailure

DEFAULT_TIMEOUT = 60.0
_ERROR_TEXT_LIMIT = 300


class APIClient:
    """Sends JSON requests to the platform at ``credentials.url`` with the bearer key.

    The client is synchronous and keeps no connection open between requests, so one client
    may be shared by several threads.
    """

    def __init__(self, credentials: Credentials, timeout: float = DEFAULT_TIMEOUT) -> None:
        if not isinstance(credentials, Credentials):
            raise TypeError(
                f"credentials must be a Credentials record, got {type(credentials).__name__}."
            )
        if not credentials.url:
            raise ValueError("The platform credentials need a url.")
        if not credentials.bearer():
            raise ValueError(
                "The platform credentials need an api_key (or, on premises, a password)."
            )
        self.credentials = credentials
        self.timeout = timeout
        self.base_url = credentials.url.rstrip("/")
        self._ssl = None if credentials.verify else _unverified_context()

    def request(
        self,
        method: str,
        path: str,
        params: dict[str, Any] | None = None,
        body: Any = None,
    ) -> Any:
        """One request; returns the decoded JSON reply or raises :class:`ApiRequestFailure`."""
        url = self.base_url + path
        query = {key: value for key, value in (params or {}).items() if value is not None}
        if query:
            url += "?" + urllib.parse.urlencode(query)
        data = None if body is None else json.dumps(body).encode("utf-8")
        request = urllib.request.Request(url, data=data, method=method)
        request.add_header("Authorization", f"Bearer {self.credentials.bearer()}")
        request.add_header("Accept", "application/json")
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=self.timeout, context=self._ssl) as reply:
                raw = reply.read()
                status = reply.status
        except urllib.error.HTTPError as exc:
            with exc:
                detail = _error_detail(exc.read())
            raise ApiRequestFailure(
                f"{method} {path} failed with status {exc.code}: {detail}", status=exc.code
            ) from None
        except (urllib.error.URLError, OSError) as exc:
            reason = getattr(exc, "reason", exc)
            raise ApiRequestFailure(
                f"{method} {path} failed: no reply from {self.base_url} ({reason})"
            ) from exc
        try:
            return json.loads(raw)
        except ValueError:
            raise ApiRequestFailure(
                f"{method} {path} answered with status {status} and a body that is not JSON",
                status=status,
            ) from None

    def get(self, path: str, params: dict[str, Any] | None = None) -> Any:
        return self.request("GET", path, params=params)

    def post(self, path: str, body: Any) -> Any:
        return self.request("POST", path, body=body)

    def __repr__(self) -> str:
        return f"APIClient(url={self.base_url!r})"


def _unverified_context() -> ssl.SSLContext:
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def _error_detail(raw: bytes) -> str:
    """The message of an error reply, whatever its shape, on one short line."""
    text = raw.decode("utf-8", "replace")
    try:
        body = json.loads(text)
    except ValueError:
        body = None
    message: Any = None
    if isinstance(body, dict):
        errors = body.get("errors")
        error = body.get("error")
        if isinstance(errors, list) and errors and isinstance(errors[0], dict):
            message = errors[0].get("message")
        elif isinstance(error, dict):
            message = error.get("message")
        elif isinstance(error, str):
            message = error
        message = message or body.get("message")
    detail = " ".join(str(message if message else text).split())
    if len(detail) > _ERROR_TEXT_LIMIT:
        detail = detail[: _ERROR_TEXT_LIMIT - 3] + "..."
    return detail or "(no message)"
