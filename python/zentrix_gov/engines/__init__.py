"""unitxt inference engines of the SDK, for judge metrics.

Each engine is a unitxt ``InferenceEngine``; importing one imports unitxt, so nothing in
``zentrix_gov`` imports this package eagerly. Names are resolved on first use:

- :class:`MLPInferenceEngineGeneration` (:mod:`.platform`): the AI platform's text
  generation;
- :class:`PortKeyInferenceEngine`, :class:`ZnoAIGatewayInferenceEngine`
  (:mod:`.gateways`): gateways speaking OpenAI's chat completions API;
- :class:`GoogleStudioInferenceEngine` (:mod:`.google_studio`): Google AI Studio through
  its OpenAI-compatible endpoint;
- :class:`CustomFunctionInferenceEngine` (:mod:`.custom`): a scoring function of the
  user's;
- :class:`OpenAIJudgeEngine` (:mod:`.openai_judge`): OpenAI-compatible judges asked with
  the judge's ``request_options`` (structured answers, answer cap, time-outs), built by
  :func:`judge_engine`;
- :func:`register_platform_provider` (:mod:`.cross_provider`): makes the platform the
  "zentrix-sdk" provider of unitxt's ``CrossProviderInferenceEngine``.

With ``use_cache=True`` unitxt keeps answers under ``settings.inference_engine_cache_path``,
which is ``./inference_engine_cache`` in the current directory unless configured (the
``UNITXT_INFERENCE_ENGINE_CACHE_PATH`` environment variable or the setting): callers that
cache point it at the user's cache folder.
"""

from zentrix_gov.utils.lazy_exports import lazy_exports

_MODULES = {
    "MLPInferenceEngineGeneration": "platform",
    "PortKeyInferenceEngine": "gateways",
    "ZnoAIGatewayInferenceEngine": "gateways",
    "GoogleStudioInferenceEngine": "google_studio",
    "CustomFunctionInferenceEngine": "custom",
    "OpenAIChatEngine": "chat",
    "OpenAIJudgeEngine": "openai_judge",
    "judge_engine": "openai_judge",
    "verdict_schema": "openai_judge",
    "InferenceFailed": "_common",
    "register_platform_provider": "cross_provider",
    "PLATFORM_PROVIDER": "cross_provider",
}

__all__ = sorted(_MODULES)


__getattr__ = lazy_exports(
    __name__, {name: f"{__name__}.{module}" for name, module in _MODULES.items()}
)
