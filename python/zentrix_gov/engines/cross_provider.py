"""The AI platform as a provider of unitxt's ``CrossProviderInferenceEngine``.

unitxt's engine knows its providers from three class-level tables: the engine class of
each provider, the model names each one maps, and the parameters each one renames.
:func:`register_platform_provider` adds "zentrix-sdk" to all three, so that

    CrossProviderInferenceEngine(
        provider="zentrix-sdk",
        model="local/judge-rater-small",
        credentials={"url": ..., "api_key": ..., "project_id": ...},
        provider_specific_args={"zentrix-sdk": {"concurrency_limit": 10}},
    )

builds the SDK's :class:`~zentrix_gov.engines.platform.MLPInferenceEngineGeneration`
with ``model_name`` set to the model. Parameters left at None are not passed on.
"""

from __future__ import annotations

from typing import Any

PLATFORM_PROVIDER = "zentrix-sdk"


class _OwnNames(dict):
    """A model map in which every model id stands for itself.

    The platform's model ids are the names its users know; an empty map would make
    unitxt warn, on every engine built, that the model "is not configured".
    """

    def __contains__(self, model: object) -> bool:
        return isinstance(model, str) or super().__contains__(model)

    def __missing__(self, model: str) -> str:
        return model

    def get(self, model: str, default: Any = None) -> Any:
        return model if isinstance(model, str) else super().get(model, default)


def register_platform_provider() -> None:
    """Make "zentrix-sdk" a provider of ``CrossProviderInferenceEngine``; idempotent."""
    from unitxt.inference import CrossProviderInferenceEngine as engine

    from .platform import MLPInferenceEngineGeneration

    engine._provider_to_base_class[PLATFORM_PROVIDER] = MLPInferenceEngineGeneration
    engine._provider_param_renaming[PLATFORM_PROVIDER] = {"model": "model_name"}
    if not isinstance(engine.provider_model_map.get(PLATFORM_PROVIDER), _OwnNames):
        engine.provider_model_map[PLATFORM_PROVIDER] = _OwnNames()
