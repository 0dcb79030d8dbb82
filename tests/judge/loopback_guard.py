"""Refuse, and record, every network connection that does not stay on this machine.

``install()`` wraps name resolution and socket connects: destinations other than loopback
raise ``OSError`` before any packet leaves, and are appended to the returned list. Tests
use it in-process (the ``loopback_only`` fixture) and in fresh interpreters (for what a
library does when it is first imported).
"""

from __future__ import annotations

import ipaddress
import socket
from collections.abc import Callable
from typing import Any

_LOCAL_NAMES = frozenset({"localhost", "localhost.localdomain"})


def _is_loopback(host: Any) -> bool:
    if host is None:  # a passive lookup, for binding
        return True
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    if not isinstance(host, str):
        return False
    if host.lower() in _LOCAL_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.split("%", 1)[0]).is_loopback
    except ValueError:
        return False


def install() -> tuple[list[str], Callable[[], None]]:
    """Start guarding; returns the list of refused destinations and a function to stop."""
    refused: list[str] = []
    original_getaddrinfo = socket.getaddrinfo
    original_connect = socket.socket.connect
    original_connect_ex = socket.socket.connect_ex

    def check(host: Any, port: Any) -> None:
        if not _is_loopback(host):
            refused.append(f"{host}:{port}")
            raise OSError(f"network access to {host}:{port} is refused in tests")

    def getaddrinfo(host: Any, port: Any, *args: Any, **kwargs: Any) -> Any:
        check(host, port)
        return original_getaddrinfo(host, port, *args, **kwargs)

    def connect(self: socket.socket, address: Any) -> Any:
        if self.family in (socket.AF_INET, socket.AF_INET6):
            check(address[0], address[1])
        return original_connect(self, address)

    def connect_ex(self: socket.socket, address: Any) -> Any:
        if self.family in (socket.AF_INET, socket.AF_INET6):
            check(address[0], address[1])
        return original_connect_ex(self, address)

    socket.getaddrinfo = getaddrinfo
    socket.socket.connect = connect  # type: ignore[method-assign]
    socket.socket.connect_ex = connect_ex  # type: ignore[method-assign]

    def uninstall() -> None:
        socket.getaddrinfo = original_getaddrinfo
        socket.socket.connect = original_connect  # type: ignore[method-assign]
        socket.socket.connect_ex = original_connect_ex  # type: ignore[method-assign]

    return refused, uninstall
