"""Errors of the AI platform client."""

from __future__ import annotations


class ApiRequestFailure(Exception):
    """A request to the platform failed: an error status, a reply that is not JSON, or no
    connection. ``status`` is the HTTP status, or None when no reply came."""

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        self.status = status
