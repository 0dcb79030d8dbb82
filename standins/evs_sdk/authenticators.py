"""Token sources for the evaluation-service client."""

from __future__ import annotations


class BearerTokenAuthenticator:
    """Hands out a fixed bearer token.

    No token exchange happens here: an API key is used as the bearer token as is.
    """

    def __init__(self, bearer_token: str) -> None:
        if not bearer_token:
            raise ValueError("A bearer token is required.")
        self.bearer_token = bearer_token

    def get_token(self) -> str:
        return self.bearer_token

    def set_bearer_token(self, bearer_token: str) -> None:
        if not bearer_token:
            raise ValueError("A bearer token is required.")
        self.bearer_token = bearer_token

    def __repr__(self) -> str:
        # Never print the token itself.
        return "BearerTokenAuthenticator(bearer_token=***)"
