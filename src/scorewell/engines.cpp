// The judge's inference engine: the engine class and its arguments follow the
// kind of the judge model; engines other than custom-function ones come from a
// memoised factory keyed by plain texts, so equal models and credentials
// share one engine.
#include <string>

#include "core/judge_models.hpp"
#include "scorewell/scorewell.hpp"

using namespace pybind11::literals;

namespace scorewell {

namespace {

py::str sorted_json(py::handle value) {
  return scope().get("json").attr(ZN_STR("dumps"))(value, "sort_keys"_a = true);
}

py::object from_factory(const char* provider, py::object model_id, bool use_cache,
                        const py::object& credentials, const py::object& parameters = py::none()) {
  py::dict kwargs;
  kwargs["provider"] = provider;
  kwargs["model_id"] = std::move(model_id);
  kwargs["use_cache"] = use_cache;
  kwargs["credentials_json"] = sorted_json(credentials);
  if (!parameters.is_none()) kwargs["parameters_json"] = sorted_json(parameters);
  py::object factory = scope().get("Scorewell").attr(ZN_STR("_create_inference_engine_impl"));
  return zcore::call_kw(factory, kwargs);
}

py::object loads_or_empty(const py::object& text) {
  if (!zcore::truthy(text)) return py::dict();
  return scope().get("json").attr(ZN_STR("loads"))(text);
}

}  // namespace

py::object get_ai_evaluator_inference_engine(const py::object& self) {
  const bool use_cache = zcore::truthy(scope().get("get_unitxt_enable_inference_cache")());
  py::object model = self.attr(ZN_STR("llm_judge")).attr(ZN_STR("model"));
  auto is = [&model](const char* kind) { return zcore::is_instance(model, scope().get(kind)); };
  // Read per kind: a custom model's record may have no model id at all.
  auto model_id = [&model]() -> py::object { return model.attr(ZN_STR("model_id")); };

  if (is("ZnAIFoundationModel"))
    return from_factory("znai", model_id(), use_cache, zcore::platform_credentials(model));
  if (is("OpenAIFoundationModel"))
    return from_factory("openai", model_id(), use_cache, zcore::credentials_dump(model));
  if (is("AzureOpenAIFoundationModel")) {
    return from_factory("azure_openai", model_id(), use_cache,
                        zcore::credentials_dump(model, /*by_alias=*/true));
  }
  if (is("VertexAIFoundationModel"))
    return from_factory("vertexai", model_id(), use_cache, zcore::credentials_dump(model));
  if (is("GoogleAIStudioFoundationModel")) {
    return from_factory("google_ai_studio", model_id(), use_cache, zcore::credentials_dump(model));
  }
  if (is("AWSBedrockFoundationModel")) {
    py::object parameters = model.attr(ZN_STR("parameters"));
    return from_factory("aws_bedrock", model_id(), use_cache, zcore::credentials_dump(model),
                        zcore::truthy(parameters) ? parameters : py::dict());
  }
  if (is("CustomFoundationModel")) {
    // Never cached: the scoring function is the user's own object.
    py::dict kwargs;
    kwargs["scoring_fn"] = model.attr(ZN_STR("_scoring_fn"));
    kwargs["model_name"] = zcore::attribute_or(model, "model_id", py::str("custom_fn"));
    kwargs["context"] = zcore::attribute_or(model, "context", py::none());
    kwargs["num_parallel_requests"] = zcore::attribute_or(model, "num_parallel_requests", py::int_(20));
    kwargs["use_cache"] = use_cache;
    return zcore::call_kw(scope().get("CustomFunctionInferenceEngine"), kwargs);
  }
  if (is("PortKeyGateway"))
    return from_factory("portkey", model_id(), use_cache, zcore::credentials_dump(model));
  if (is("ZnoAIGateway"))
    return from_factory("zno_gateway", py::str(""), use_cache, zcore::credentials_dump(model));
  zcore::raise(PyExc_Exception, "LLM Model provider is not supported.");
}

py::object create_inference_engine_impl(const py::object& provider, const py::object& model_id,
                                        const py::object& use_cache, const py::object& credentials_json,
                                        const py::object& parameters_json) {
  zcore::require_text_or_none(provider, "provider");
  zcore::require_text_or_none(model_id, "model_id");
  zcore::require_text_or_none(credentials_json, "credentials_json");
  zcore::require_text_or_none(parameters_json, "parameters_json");
  py::bool_ cache_flag(zcore::truthy(use_cache));
  py::object credentials = loads_or_empty(credentials_json);
  py::object parameters = loads_or_empty(parameters_json);

  auto build = [&](const char* engine, std::initializer_list<std::pair<const char*, py::object>> arguments) {
    py::dict kwargs;
    for (const auto& [name, value] : arguments) kwargs[name] = value;
    return zcore::call_kw(scope().get(engine), kwargs);
  };
  if (zcore::is_text(provider, "znai")) {
    return build("MLPInferenceEngineGeneration",
                 {{"credentials", credentials}, {"model_name", model_id}, {"use_cache", cache_flag}});
  }
  if (zcore::is_text(provider, "openai")) {
    return build("OpenAiInferenceEngine",
                 {{"model_name", model_id}, {"credentials", credentials}, {"use_cache", cache_flag}});
  }
  if (zcore::is_text(provider, "azure_openai")) {
    return build("AzureOpenAIInferenceEngine",
                 {{"model_name", model_id}, {"credentials", credentials}, {"use_cache", cache_flag}});
  }
  if (zcore::is_text(provider, "vertexai") || zcore::is_text(provider, "google_ai_studio") ||
      zcore::is_text(provider, "aws_bedrock")) {
    py::dict kwargs;
    kwargs["model"] = model_id;
    kwargs["credentials"] = credentials;
    kwargs["use_cache"] = cache_flag;
    py::object engine = scope().get("LiteLLMInferenceEngine");
    for (auto [key, value] : py::dict(parameters)) {
      // As a Python call with a repeated keyword would: refuse rather than overwrite.
      if (zcore::contains(kwargs, key)) {
        zcore::raise(PyExc_TypeError, zcore::to_text(py::getattr(engine, "__name__", py::str("engine"))) +
                                          "() got multiple values for keyword argument '" +
                                          zcore::to_text(key) + "'");
      }
      kwargs[key] = value;
    }
    return zcore::call_kw(engine, kwargs);
  }
  if (zcore::is_text(provider, "portkey")) {
    return build("PortKeyInferenceEngine",
                 {{"credentials", credentials}, {"model", model_id}, {"use_cache", cache_flag}});
  }
  if (zcore::is_text(provider, "zno_gateway")) {
    return build("ZnoAIGatewayInferenceEngine", {{"credentials", credentials}, {"use_cache", cache_flag}});
  }
  zcore::raise(PyExc_Exception, "LLM Model provider '" + zcore::to_text(provider) + "' is not supported.");
}

}  // namespace scorewell
