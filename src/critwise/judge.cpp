// The judge of one evaluation: an inference engine whose class and keyword
// arguments follow the kind of the judge model, under evalassist's DirectJudge.
#include "core/judge_models.hpp"
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

namespace {

py::dict keyed(const char* key, py::object value) {
  py::dict result;
  result[key] = std::move(value);
  return result;
}

// An OpenAI judge's credentials: the key, and for an OpenAI-compatible
// endpoint its base URL. The engine reaches the model through litellm,
// which would otherwise send the key to OpenAI's own address and refuse
// model names it does not know.
py::dict openai_credentials(const py::object& model) {
  py::object credentials = model.attr(ZN_STR("provider")).attr(ZN_STR("credentials"));
  py::dict result;
  result["api_key"] = credentials.attr(ZN_STR("api_key"));
  py::object base_url = zcore::attribute_or(credentials, "api_url", py::none());
  if (zcore::truthy(base_url)) {
    result["api_base"] = base_url;
    result["custom_llm_provider"] = "openai";
  }
  return result;
}

}  // namespace

py::dict get_inference_engine_params(const py::object& self) {
  py::dict params;
  params["seed"] = 36;
  py::list policy;
  policy.append(py::str("public"));
  params["data_classification_policy"] = policy;

  py::object model = self.attr(ZN_STR("llm_judge")).attr(ZN_STR("model"));
  auto is = [&model](const char* kind) { return zcore::is_instance(model, scope().get(kind)); };
  if (is("ZnAIFoundationModel")) {
    params["credentials"] = zcore::platform_credentials(model);
    params["provider"] = "zentrix-sdk";
    params["model"] = model.attr(ZN_STR("model_id"));
    params["provider_specific_args"] =
        keyed("zentrix-sdk", keyed("concurrency_limit", scope().get("get_zentrix_concurrency_limit")()));
  } else if (is("OpenAIFoundationModel")) {
    params["credentials"] = openai_credentials(model);
    params["provider"] = "open-ai";
    params["model"] = model.attr(ZN_STR("model_id"));
    py::dict generation;
    generation["temperature"] = 0;
    py::object parameters = zcore::attribute_or(model, "parameters", py::none());
    if (zcore::truthy(parameters)) generation.attr(ZN_STR("update"))(parameters);
    params["provider_specific_args"] = keyed("open-ai", generation);
  } else if (is("PortKeyGateway")) {
    params["credentials"] = zcore::credentials_dump(model);
    params["model"] = model.attr(ZN_STR("model_id"));
  } else if (is("VertexAIFoundationModel")) {
    params["credentials"] = zcore::credentials_dump(model);
    params["provider"] = "vertex-ai";
    params["model"] = model.attr(ZN_STR("model_id"));
  } else if (is("AWSBedrockFoundationModel")) {
    params["credentials"] = zcore::credentials_dump(model);
    params["model"] = model.attr(ZN_STR("model_id"));
    params["provider"] = "aws";
    py::object parameters = model.attr(ZN_STR("parameters"));
    params["provider_specific_args"] = keyed("aws", zcore::truthy(parameters) ? parameters : py::dict());
    zcore::dict_delete(params, "seed");
  } else if (is("GoogleAIStudioFoundationModel")) {
    // Served by the SDK's Google AI Studio engine (see get_judge).
    params["credentials"] = zcore::credentials_dump(model);
    params["model"] = model.attr(ZN_STR("model_id"));
  } else if (is("AzureOpenAIFoundationModel")) {
    zcore::raise(PyExc_Exception, "Azure OpenAI Model provider is not supported.");
  } else {
    zcore::raise(PyExc_Exception, "LLM Model provider is not supported.");
  }
  return params;
}

py::object get_judge(const py::object& self) {
  py::object use_cache = scope().get("get_unitxt_enable_inference_cache")();
  py::dict params = self.attr("_Critwise__get_inference_engine_params")();
  py::object llm_judge = self.attr(ZN_STR("llm_judge"));
  const char* engine = "CrossProviderInferenceEngine";
  if (zcore::truthy(llm_judge)) {
    py::object model = llm_judge.attr(ZN_STR("model"));
    if (zcore::is_instance(model, scope().get("PortKeyGateway"))) {
      engine = "PortKeyInferenceEngine";
    } else if (zcore::is_instance(model, scope().get("GoogleAIStudioFoundationModel"))) {
      engine = "GoogleStudioInferenceEngine";
    }
  }
  // A copy: the parameter dictionary itself never holds "use_cache".
  py::dict kwargs = zcore::dict_copy(params);
  kwargs["use_cache"] = use_cache;
  py::object inference_engine = zcore::call_kw(scope().get(engine), kwargs);
  return scope().get("DirectJudge")("inference_engine"_a = inference_engine, "generate_feedback"_a = true);
}

}  // namespace critwise
