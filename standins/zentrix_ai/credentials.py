"""Credentials of the AI platform."""

from __future__ import annotations

# The instance id by which credentials mark a self-hosted (on-premises) installation.
ON_PREMISES_INSTANCE_ID = "kelvara"

_SECRETS = ("api_key", "password", "token")


class Credentials:
    """Where the platform is and how to authenticate against it.

    On the managed cloud ``url`` is the machine-learning service of the region and ``api_key``
    the user's key. A self-hosted installation is marked by ``instance_id`` "kelvara" (or by a
    ``version``); there ``username`` with ``api_key`` or ``password`` authenticate.
    ``verify`` False skips TLS certificate checks.
    """

    def __init__(
        self,
        url: str | None = None,
        api_key: str | None = None,
        token: str | None = None,
        username: str | None = None,
        password: str | None = None,
        instance_id: str | None = None,
        version: str | None = None,
        verify: bool = True,
    ) -> None:
        self.url = url
        self.api_key = api_key
        self.token = token
        self.username = username
        self.password = password
        self.instance_id = instance_id
        self.version = version
        self.verify = verify

    @property
    def on_premises(self) -> bool:
        return self.instance_id == ON_PREMISES_INSTANCE_ID or bool(self.version)

    def bearer(self) -> str | None:
        """The bearer key sent with every request.

        A token or API key when there is one; on premises, the password otherwise.
        """
        if self.token:
            return self.token
        if self.api_key:
            return self.api_key
        if self.on_premises and self.password:
            return self.password
        return None

    def to_dict(self) -> dict[str, object]:
        return {
            "url": self.url,
            "api_key": self.api_key,
            "token": self.token,
            "username": self.username,
            "password": self.password,
            "instance_id": self.instance_id,
            "version": self.version,
            "verify": self.verify,
        }

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Credentials) and self.to_dict() == other.to_dict()

    __hash__ = None  # mutable record

    def __repr__(self) -> str:
        # Keys and passwords never appear in a repr.
        fields = ", ".join(
            f"{name}={'***' if name in _SECRETS and value else repr(value)}"
            for name, value in self.to_dict().items()
        )
        return f"Credentials({fields})"
