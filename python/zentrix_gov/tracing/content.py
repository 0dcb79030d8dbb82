"""What may go into a span: URLs without credentials, texts cut at the run's limit."""

from __future__ import annotations

from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

# Query parameters whose values are credentials more often than not.
_SECRET_PARAMETERS = ("key", "token", "secret", "password", "signature", "sig", "auth")
REDACTED = "REDACTED"


def clean_url(url: str) -> str:
    """``url`` without user name and password, and with the values of credential-like query
    parameters replaced by ``REDACTED`` (as the HTTP conventions ask of ``url.full``)."""
    parts = urlsplit(str(url))
    netloc = parts.netloc.rpartition("@")[2]
    query = parts.query
    if query:
        pairs = parse_qsl(query, keep_blank_values=True)
        query = urlencode(
            [
                (name, REDACTED if any(word in name.lower() for word in _SECRET_PARAMETERS) else v)
                for name, v in pairs
            ],
            safe="/",
        )
    return urlunsplit(parts._replace(netloc=netloc, query=query))


def server_of(url: str) -> tuple[str | None, int | None]:
    """The host and port ``url`` names (the default port of its scheme when it names none)."""
    parts = urlsplit(str(url))
    try:
        port = parts.port
    except ValueError:
        port = None
    if port is None:
        port = {"http": 80, "https": 443}.get(parts.scheme)
    return parts.hostname, port


def cut(text: str, limit: int) -> str:
    """``text`` cut to at most ``limit`` characters, an ellipsis marking a cut."""
    return text if len(text) <= limit else text[: max(limit - 1, 0)] + "…"
