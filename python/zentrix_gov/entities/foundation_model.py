"""Foundation-model records: the models judged or used as judges, told apart by type."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, PrivateAttr, model_validator

from zentrix_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
    ZnAICredentials,
    ZnoAIGatewayCredentials,
)
from zentrix_gov.entities.enums import ModelProviderType


class ModelProvider(BaseModel):
    """Where a model is served and with which credentials."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    type: ModelProviderType
    credentials: Any = None


def _provider_factory(kind: ModelProviderType, credentials_class: Any) -> Callable[[], Any]:
    # Default providers pick their credentials up from the environment, if any are set there.
    def build() -> ModelProvider:
        return ModelProvider(type=kind, credentials=credentials_class.from_env_or_none())

    return build


class FoundationModel(BaseModel):
    """Fields common to every kind of foundation model."""

    model_config = ConfigDict(arbitrary_types_allowed=True, protected_namespaces=())

    model_id: str | None = None
    # The name under which the model is reported; defaults to the model id.
    model_name: str | None = None
    provider: ModelProvider
    parameters: dict[str, Any] | None = None

    @model_validator(mode="after")
    def _default_model_name(self) -> FoundationModel:
        if self.model_name is None:
            self.model_name = self.model_id
        return self


class ZnAIFoundationModel(FoundationModel):
    """A model served by the AI platform, used within a project or a space."""

    model_id: str
    project_id: str | None = None
    space_id: str | None = None
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.ZNAI, ZnAICredentials)
    )


class OpenAIFoundationModel(FoundationModel):
    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.OPENAI, OpenAICredentials)
    )


class AzureOpenAIFoundationModel(FoundationModel):
    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.AZURE_OPENAI, AzureOpenAICredentials)
    )


class AWSBedrockFoundationModel(FoundationModel):
    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.AWS_BEDROCK, AWSBedrockCredentials)
    )


class GoogleAIStudioFoundationModel(FoundationModel):
    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(
            ModelProviderType.GOOGLE_AI_STUDIO, GoogleAIStudioCredentials
        )
    )


class VertexAIFoundationModel(FoundationModel):
    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.VERTEX_AI, VertexAICredentials)
    )


class PortKeyGateway(FoundationModel):
    """A model reached through a PortKey gateway."""

    model_id: str
    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.PORTKEY, PortKeyCredentials)
    )


class ZnoAIGateway(FoundationModel):
    """The AI gateway of the hosting product; it chooses the model itself."""

    provider: ModelProvider = Field(
        default_factory=_provider_factory(ModelProviderType.ZNO_AI_GATEWAY, ZnoAIGatewayCredentials)
    )


class CustomFoundationModel(FoundationModel):
    """A model the user scores through a function of their own.

    ``scoring_fn`` receives the prompts and returns the model's answers; it is also
    available as ``_scoring_fn`` and is left out of ``model_dump()``.
    """

    model_id: str | None = "custom_fn"
    scoring_fn: Callable[..., Any] = Field(exclude=True)
    context: Any = None
    num_parallel_requests: int = Field(default=20, gt=0)
    provider: ModelProvider = Field(
        default_factory=lambda: ModelProvider(type=ModelProviderType.CUSTOM)
    )

    _scoring_fn: Callable[..., Any] = PrivateAttr()

    def model_post_init(self, context: Any, /) -> None:
        self._scoring_fn = self.scoring_fn
