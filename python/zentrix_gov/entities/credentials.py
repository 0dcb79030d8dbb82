"""Credentials records of the governance service and of the model providers.

Every record has ``from_env()`` reading the usual environment variables, so that a model
record built without explicit credentials picks them up from the process environment.
"""

from __future__ import annotations

import os
from typing import Any, ClassVar, Self

from pydantic import AliasChoices, BaseModel, ConfigDict, Field

_TRUE_TEXTS = frozenset({"1", "true", "yes", "on"})


def env_flag(name: str, default: bool = False) -> bool:
    """A truth value read from the environment ("1", "true", "yes", "on" are true)."""
    raw = os.environ.get(name)
    if raw is None or not raw.strip():
        return default
    return raw.strip().lower() in _TRUE_TEXTS


class _EnvCredentials(BaseModel):
    """Credentials whose fields can be read from environment variables."""

    model_config = ConfigDict(populate_by_name=True)

    # field name -> environment variable
    ENV_VARS: ClassVar[dict[str, str]] = {}

    @classmethod
    def from_env(cls, **overrides: Any) -> Self:
        values: dict[str, Any] = {
            field: os.environ[variable]
            for field, variable in cls.ENV_VARS.items()
            if os.environ.get(variable)
        }
        values.update(
            {cls._field_name(key): value for key, value in overrides.items() if value is not None}
        )
        return cls(**values)

    @classmethod
    def _field_name(cls, key: str) -> str:
        """The field an argument name stands for (a field may accept several names)."""
        for name, field in cls.model_fields.items():
            alias = field.validation_alias
            choices = alias.choices if isinstance(alias, AliasChoices) else [alias]
            if key in choices:
                return name
        return key

    @classmethod
    def from_env_or_none(cls) -> Self | None:
        """Credentials from the environment, or None when none of the variables is set."""
        if not any(os.environ.get(variable) for variable in cls.ENV_VARS.values()):
            return None
        return cls.from_env()

    def __repr_args__(self):
        # Keep secrets out of reprs and logs.
        for key, value in super().__repr_args__():
            secret = key in {"api_key", "password", "provider_api_key"} or "secret" in (key or "")
            if value is not None and secret:
                yield key, "***"
            else:
                yield key, value


class ZnAICredentials(_EnvCredentials):
    """Credentials of the AI platform (cloud: url and api key; self-hosted: version and user)."""

    ENV_VARS: ClassVar[dict[str, str]] = {
        "url": "ZNAI_URL",
        "api_key": "ZNAI_APIKEY",
        "version": "ZNAI_VERSION",
        "username": "ZNAI_USERNAME",
        "instance_id": "ZNAI_INSTANCE_ID",
        "password": "ZNAI_PASSWORD",
    }

    url: str | None = None
    api_key: str | None = None
    version: str | None = None
    username: str | None = None
    instance_id: str | None = None
    password: str | None = None


class Credentials(ZnAICredentials):
    """Credentials of the governance service, held by the SDK's API client."""

    ENV_VARS: ClassVar[dict[str, str]] = {
        "url": "ZNG_URL",
        "api_key": "ZNG_API_KEY",
        "version": "ZNG_VERSION",
        "username": "ZNG_USERNAME",
        "instance_id": "ZNG_INSTANCE_ID",
        "password": "ZNG_PASSWORD",
    }

    disable_ssl: bool = False


class OpenAICredentials(_EnvCredentials):
    """OpenAI credentials; ``model_dump()`` gives the ``api_key``/``api_url`` keys unitxt's
    OpenAI engine reads. ``url=`` is accepted for ``api_url=``."""

    ENV_VARS: ClassVar[dict[str, str]] = {"api_key": "OPENAI_API_KEY", "api_url": "OPENAI_URL"}

    api_key: str | None = None
    api_url: str | None = Field(default=None, validation_alias=AliasChoices("api_url", "url"))


class AzureOpenAICredentials(_EnvCredentials):
    """Azure OpenAI credentials.

    ``model_dump(by_alias=True)`` gives the keys unitxt's Azure engine reads: ``api_key``,
    ``azure_openai_host`` (the resource's base URL, without ``/openai/...``) and
    ``api_version``. ``url=``, ``api_url=`` and ``azure_openai_host=`` all set the host.
    """

    ENV_VARS: ClassVar[dict[str, str]] = {
        "api_key": "AZURE_OPENAI_API_KEY",
        "url": "AZURE_OPENAI_HOST",
        "api_version": "AZURE_API_VERSION",
    }

    api_key: str | None = None
    url: str | None = Field(
        default=None,
        validation_alias=AliasChoices("url", "azure_openai_host", "api_url"),
        serialization_alias="azure_openai_host",
    )
    api_version: str | None = None


class AWSBedrockCredentials(_EnvCredentials):
    ENV_VARS: ClassVar[dict[str, str]] = {
        "aws_access_key_id": "AWS_ACCESS_KEY_ID",
        "aws_secret_access_key": "AWS_SECRET_ACCESS_KEY",
        "aws_region_name": "AWS_REGION_NAME",
        "aws_session_token": "AWS_SESSION_TOKEN",
    }

    aws_access_key_id: str | None = None
    aws_secret_access_key: str | None = None
    aws_region_name: str | None = None
    aws_session_token: str | None = None


class GoogleAIStudioCredentials(_EnvCredentials):
    ENV_VARS: ClassVar[dict[str, str]] = {"api_key": "GOOGLE_API_KEY"}

    api_key: str | None = None


class VertexAICredentials(_EnvCredentials):
    ENV_VARS: ClassVar[dict[str, str]] = {
        "credentials_path": "GOOGLE_APPLICATION_CREDENTIALS",
        "project_id": "GOOGLE_VERTEX_AI_PROJECT_ID",
        "location": "GOOGLE_VERTEX_AI_LOCATION",
    }

    credentials_path: str | None = None
    project_id: str | None = None
    location: str | None = None


class PortKeyCredentials(_EnvCredentials):
    ENV_VARS: ClassVar[dict[str, str]] = {
        "api_key": "PORTKEY_API_KEY",
        "url": "PORTKEY_URL",
        "provider_api_key": "PORTKEY_PROVIDER_API_KEY",
        "provider": "PORTKEY_PROVIDER_NAME",
    }

    api_key: str | None = None
    url: str | None = None
    provider_api_key: str | None = None
    provider: str | None = None


class ZnoAIGatewayCredentials(_EnvCredentials):
    ENV_VARS: ClassVar[dict[str, str]] = {
        "url": "ZNO_GATEWAY_URL",
        "api_key": "ZNO_GATEWAY_API_KEY",
    }

    url: str | None = None
    api_key: str | None = None
